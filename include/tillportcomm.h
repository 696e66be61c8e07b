#ifndef TILLPORTCOMM_TILLPORTCOMM_H
#define TILLPORTCOMM_TILLPORTCOMM_H

#include <jni.h>

#include <cstddef>
#include <functional>

#include "ComPort.h"

#define TILLPORT_EXPORT __attribute__((visibility("default")))

// Run by the dynamic loader when the library is loaded and unloaded.
extern "C" TILLPORT_EXPORT void tillport_load();
extern "C" TILLPORT_EXPORT void tillport_unload();

// The table of open ports: slot index = port ID. A non-null entry is owned by the table.
constexpr int TILLPORT_MAX_PORTS = 32;
extern CComPort* m_pComPortPointers[TILLPORT_MAX_PORTS];

namespace tillport {

// The port in the slot for nPortId, or null for an empty slot and for any ID outside
// 0..31. Logs "PortID not Available" under szName when there is none.
CComPort* LookUpPort(const char* szName, jint nPortId);

// Raises java.lang.Exception with szMessage (copied by the JVM) and logs
// "Exit For Exception" under szName. Does nothing but log when an exception is already
// pending, so a JVM error such as OutOfMemoryError is never masked.
void ThrowJavaException(JNIEnv* env, const char* szName, const char* szMessage);

// Releases a port object's storage; does no transport work.
void ReleasePort(CComPort* pPort);

// What an open method supplies to the shared open sequence.
struct OpenMethod {
    const char* szName;         // full exported name, for the log
    const char* szInitMessage;  // format with one %s for m_strLastError
    const char* szOpenMessage;  // format with one %s for m_strLastError
    // Logs the open line from the (converted) strings.
    std::function<void(char* const* pStrings)> logOpenLine;
    // Creates the transport with new.
    std::function<CComPort*()> create;
    // Calls the transport's own Init overload with the converted strings.
    std::function<bool(CComPort* pPort, char* const* pStrings)> init;
    // Gives back what a failed Init or Open acquired, before the object is released;
    // may be empty when a failed open holds nothing.
    std::function<void(CComPort* pPort)> releaseOnFailure;
};

// The open sequence shared by the three open methods: takes the strings (upper-casing
// those flagged in bUpper, on a private copy), logs, creates, Init, Open, and stores the
// port in the lowest free slot. Returns the port ID, or 0 with java.lang.Exception raised.
jint RunOpenSequence(JNIEnv* env, const jstring* pStrings, const bool* bUpper, size_t nStrings,
                     const OpenMethod& method);

}  // namespace tillport

#endif
