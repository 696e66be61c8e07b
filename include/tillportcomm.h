#ifndef TILLPORTCOMM_TILLPORTCOMM_H
#define TILLPORTCOMM_TILLPORTCOMM_H

#include <jni.h>

#include <cstddef>
#include <functional>

#include "ComPort.h"

#define TILLPORT_EXPORT __attribute__((visibility("default")))

// Run by the dynamic loader when the library is loaded and unloaded (and at exit).
extern "C" TILLPORT_EXPORT void tillport_load();
extern "C" TILLPORT_EXPORT void tillport_unload();

// Run by the JVM when it unloads the library (the class loader that loaded it has been
// collected; never at exit): gives back everything the library holds.
extern "C" JNIEXPORT void JNICALL JNI_OnUnload(JavaVM* pVm, void* pReserved);

// The table of open ports: slot index = port ID. A non-null entry is owned by the table.
// Reached from any thread through the guards below; a direct reader or writer (tests) must
// make sure no other thread uses the table.
constexpr int TILLPORT_MAX_PORTS = 32;
extern CComPort* m_pComPortPointers[TILLPORT_MAX_PORTS];

namespace tillport {

// A port borrowed from the table for one call. While the lease holds a port it holds that
// port's own lock, so calls on one port run one at a time and whole, and a close waits for
// them; calls on other ports never wait for it. The table itself is locked only for the
// moment a slot is read or written, never across a port's I/O.
class PortLease {
public:
    // The port in nPortId's slot, locked for this caller. There is none for an empty slot,
    // an ID outside 0..31, or a port whose close has begun (also while this caller waited
    // for the lock): then logs "PortID not Available" under szName and holds nothing.
    PortLease(const char* szName, jint nPortId);
    ~PortLease() { Release(); }
    PortLease(const PortLease&) = delete;
    PortLease& operator=(const PortLease&) = delete;

    explicit operator bool() const { return m_pPort != nullptr; }
    CComPort* get() const { return m_pPort; }
    CComPort* operator->() const { return m_pPort; }
    // Gives the port back early, before the caller calls into the JVM.
    void Release();

private:
    int m_nSlot = -1;
    CComPort* m_pPort = nullptr;
};

// CloseDevice's work: takes the port out of service at once (later calls find no port),
// ends the call in progress on it (a read at once, a write once the port's CloseDeadline()
// has passed: Abort), waits for it, closes and releases the port, then frees the ID. Returns
// within the 2 s pause and about 100 ms. Logs "PortID not Available" under szName when
// there is no port. No table lock is held while the port closes.
void ClosePortById(const char* szName, jint nPortId);

// Closes every open port as ClosePortById does, all at once: their closes begin together, so
// the whole takes one close's pause, not one per port. Returns how many there were.
int CloseAllPorts(const char* szName);

// Whether a close of nPortId has begun and not yet freed the ID.
bool CloseInProgress(jint nPortId);

// Raises java.lang.Exception with szMessage (copied by the JVM) and logs
// "Exit For Exception" under szName. Does nothing but log when an exception is already
// pending, so a JVM error such as OutOfMemoryError is never masked.
void ThrowJavaException(JNIEnv* env, const char* szName, const char* szMessage);

// Logs szText under szName, then raises it as ThrowJavaException does.
void LogAndThrow(JNIEnv* env, const char* szName, const char* szText);

// Called in a catch block at the edge of an exported function: logs the C++ exception under
// szName and raises java.lang.Exception with "ERROR: Out of memory!" for std::bad_alloc, or
// "ERROR: Internal Error!" for any other (its what() goes to the log), as ThrowJavaException
// does.
void ReportCppException(JNIEnv* env, const char* szName) noexcept;

// Runs an exported function's work so that no C++ exception crosses into the JVM: one that
// escapes (std::bad_alloc from new, a string, a vector or a std::function) ends in
// ReportCppException, once the work's guards have given back what they held, and the
// function returns failed.
template <typename Result, typename Work>
Result CatchAtEdge(JNIEnv* env, const char* szName, Result failed, Work&& work) noexcept {
    try {
        return work();
    } catch (...) {
        ReportCppException(env, szName);
        return failed;
    }
}

template <typename Work>
void CatchAtEdge(JNIEnv* env, const char* szName, Work&& work) noexcept {
    try {
        work();
    } catch (...) {
        ReportCppException(env, szName);
    }
}

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
