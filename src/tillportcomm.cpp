// The exported native methods of orvik.services.posprinterPortComm.CommonComPort and the
// table of open ports. Every method checks its arguments first, traces itself under its
// full exported name, and turns a port failure into java.lang.Exception.
#include "tillportcomm.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "CGenericFunctions.h"
#include "CLog.h"
#include "ComPortEth.h"
#include "ConnectionDrain.h"
#include "PortCalls.h"
#include "ComPortRs232.h"
#include "ComPortUsb.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"

CComPort* m_pComPortPointers[TILLPORT_MAX_PORTS];

namespace {

// What the table keeps for each slot beside the port pointer. Slots last as long as the
// process, so a caller waiting for a port's lock never holds memory that a close frees, and
// nothing of them is torn down at exit while a thread still waits on a lock.
struct SlotGuard {
    SystemCalls::TimedLock call;     // held for the whole of each call on the slot's port
    bool bClosing = false;           // a close has begun: the port takes no further call
    bool bHandedOver = false;        // the close left the rest of it to the call in progress
    unsigned long long nStored = 0;  // ports stored so far, to tell a port from a later one
};

// Guards m_pComPortPointers and the flags of the slot guards; held only for the moment
// a slot is read or written.
std::mutex g_tableLock;

SlotGuard& Slot(int nSlot) {
    static SystemCalls::NeverDestroyed<std::array<SlotGuard, TILLPORT_MAX_PORTS>> slots;
    return slots.get()[static_cast<size_t>(nSlot)];
}

}  // namespace

__attribute__((constructor)) void tillport_load() {
    std::lock_guard<std::mutex> lock(g_tableLock);
    for (CComPort*& pPort : m_pComPortPointers) pPort = nullptr;
}

// Runs at exit too, when other threads may still be blocked in the library: it does
// nothing. Open ports are given back by JNI_OnUnload, when the JVM unloads the library.
__attribute__((destructor)) void tillport_unload() {}

#define TILLPORT_METHOD(name) Java_orvik_services_posprinterPortComm_CommonComPort_##name
#define TILLPORT_NAME(name) "Java_orvik_services_posprinterPortComm_CommonComPort_" #name

namespace tillport {

namespace {

constexpr const char* kVersion = "2.01";
constexpr const char* kInvalidParameter = "ERROR: Invalid Parameter!";
constexpr const char* kOutOfMemory = "ERROR: Out of memory!";
constexpr const char* kInternalError = "ERROR: Internal Error!";
constexpr size_t kAnswerBufferSize = 256;
// Modified-UTF-8 characters of a Java string, given back when the guard goes.
class Utf8Chars {
public:
    Utf8Chars(JNIEnv* env, jstring str) : m_env(env), m_str(str), m_pChars(env->GetStringUTFChars(str, nullptr)) {}
    ~Utf8Chars() {
        if (m_pChars != nullptr) m_env->ReleaseStringUTFChars(m_str, m_pChars);
    }
    Utf8Chars(const Utf8Chars&) = delete;
    Utf8Chars& operator=(const Utf8Chars&) = delete;
    const char* get() const { return m_pChars; }

private:
    JNIEnv* m_env;
    jstring m_str;
    const char* m_pChars;
};

// Elements of a Java byte array that are only read: given back with JNI_ABORT, so nothing
// is copied back into the array.
class ByteElements {
public:
    ByteElements(JNIEnv* env, jbyteArray array)
        : m_env(env), m_array(array), m_pBytes(env->GetByteArrayElements(array, nullptr)) {}
    ~ByteElements() {
        if (m_pBytes != nullptr) m_env->ReleaseByteArrayElements(m_array, m_pBytes, JNI_ABORT);
    }
    ByteElements(const ByteElements&) = delete;
    ByteElements& operator=(const ByteElements&) = delete;
    unsigned char* get() const { return reinterpret_cast<unsigned char*>(m_pBytes); }

private:
    JNIEnv* m_env;
    jbyteArray m_array;
    jbyte* m_pBytes;
};

// A slot that is being closed still holds its port, so no open takes its ID before the
// close has finished.
jint StorePort(CComPort* pPort) {
    std::lock_guard<std::mutex> lock(g_tableLock);
    for (jint nId = 0; nId < TILLPORT_MAX_PORTS; ++nId) {
        if (m_pComPortPointers[nId] == nullptr) {
            m_pComPortPointers[nId] = pPort;
            ++Slot(nId).nStored;
            return nId;
        }
    }
    return -1;
}

bool ValidId(jint nPortId) { return nPortId >= 0 && nPortId < TILLPORT_MAX_PORTS; }

// The end of every close, by the closing thread or by the call it handed over to, which
// holds the slot's call lock: the port gives everything back and is released, then the ID
// is free for the next open and the lock is let go.
void CloseAndFreeSlot(jint nSlot, CComPort* pPort) {
    pPort->Close();
    ReleasePort(pPort);
    SlotGuard& slot = Slot(nSlot);
    {
        std::lock_guard<std::mutex> lock(g_tableLock);
        m_pComPortPointers[nSlot] = nullptr;
        slot.bClosing = false;
        slot.bHandedOver = false;
    }
    slot.call.Unlock();
}

// A port the open sequence has created and not yet stored in the table. Whatever ends the
// sequence early, a failure or a C++ exception, gives back what the port holds (Close()
// once it is open, else the method's releaseOnFailure) and releases it.
class UnstoredPort {
public:
    UnstoredPort(const OpenMethod& method, CComPort* pPort) : m_method(method), m_pPort(pPort) {}
    ~UnstoredPort() { GiveBack(); }
    UnstoredPort(const UnstoredPort&) = delete;
    UnstoredPort& operator=(const UnstoredPort&) = delete;

    CComPort* get() const { return m_pPort; }
    void Opened() { m_bOpened = true; }
    // The table owns the port now.
    void Stored() { m_pPort = nullptr; }
    void GiveBack() {
        if (m_pPort == nullptr) return;
        if (m_bOpened) {
            m_pPort->Close();
        } else if (m_method.releaseOnFailure) {
            m_method.releaseOnFailure(m_pPort);
        }
        ReleasePort(m_pPort);
        m_pPort = nullptr;
    }

private:
    const OpenMethod& m_method;
    CComPort* m_pPort;
    bool m_bOpened = false;
};

// Copies a port's error text while its lease is held, for an exception raised after the
// lease has ended.
struct ErrorText {
    explicit ErrorText(const CComPort* pPort) { snprintf(szText, sizeof(szText), "%s", pPort->m_strLastError); }
    char szText[sizeof(CComPort::m_strLastError)];
};

}  // namespace

PortLease::PortLease(const char* szName, jint nPortId) {
    if (ValidId(nPortId)) {
        SlotGuard& slot = Slot(nPortId);
        CComPort* pPort = nullptr;
        unsigned long long nStored = 0;
        {
            std::lock_guard<std::mutex> lock(g_tableLock);
            if (!slot.bClosing) pPort = m_pComPortPointers[nPortId];
            nStored = slot.nStored;
        }
        if (pPort != nullptr) {
            slot.call.Lock();
            // While this caller waited, the port may have been closed, or closed and the ID
            // given to a new port; only the port it looked up is its to use.
            bool bStillThere;
            {
                std::lock_guard<std::mutex> lock(g_tableLock);
                bStillThere = !slot.bClosing && m_pComPortPointers[nPortId] == pPort && slot.nStored == nStored;
            }
            if (bStillThere) {
                m_nSlot = nPortId;
                m_pPort = pPort;
            } else {
                slot.call.Unlock();
            }
        }
    }
    if (m_pPort == nullptr) CCLog::WriteLog(szName, "PortID not Available");
}

void PortLease::Release() {
    if (m_pPort == nullptr) return;
    CComPort* pPort = m_pPort;
    m_pPort = nullptr;
    SlotGuard& slot = Slot(m_nSlot);
    {
        // Under the table lock, so a close deciding whether to hand its work over sees
        // either this call still running or the lock free.
        std::lock_guard<std::mutex> lock(g_tableLock);
        if (!slot.bHandedOver) {
            slot.call.Unlock();
            return;
        }
    }
    // The close that began during this call returned without waiting for it: its end is
    // this call's to do.
    CloseAndFreeSlot(m_nSlot, pPort);
}

namespace {

// How long a close waits, once it has ended the call in progress, for that call to return.
// A call stuck in a step nothing can end (a kernel's control request, a resolver) gets the
// close's remaining work handed over instead, so the close keeps its bound.
constexpr unsigned long kHandOverAfterMs = 60;

// Marks the port in nPortId's slot as closing; null when there is none (or a close of it
// has begun already).
CComPort* MarkClosing(jint nPortId) {
    if (!ValidId(nPortId)) return nullptr;
    std::lock_guard<std::mutex> lock(g_tableLock);
    SlotGuard& slot = Slot(nPortId);
    CComPort* pPort = slot.bClosing ? nullptr : m_pComPortPointers[nPortId];
    if (pPort != nullptr) slot.bClosing = true;
    return pPort;
}

// The rest of a close once Abort() has marked the port: waits for the call in progress
// (a write until the close's deadline, then ended), closes and releases the port, frees the
// ID. When the call does not return soon after it was ended, the close hands the rest over
// to it (PortLease::Release) and returns.
void FinishClose(const char* szName, jint nPortId, CComPort* pPort) {
    SlotGuard& slot = Slot(nPortId);
    if (!slot.call.LockBefore(pPort->CloseDeadline())) {
        pPort->Abort(true);
        if (!slot.call.LockBefore(SystemCalls::Deadline(kHandOverAfterMs, SystemCalls::ZeroTimeout::NoWait))) {
            bool bHandedOver;
            {
                std::lock_guard<std::mutex> lock(g_tableLock);
                bHandedOver = !slot.call.TryLock();
                slot.bHandedOver = bHandedOver;
            }
            if (bHandedOver) {
                CCLog::WriteLog(szName, "The call in progress closes the port when it returns");
                return;
            }
        }
    }
    CloseAndFreeSlot(nPortId, pPort);
}

}  // namespace

void ClosePortById(const char* szName, jint nPortId) {
    CComPort* pPort = MarkClosing(nPortId);
    if (pPort == nullptr) {
        CCLog::WriteLog(szName, "PortID not Available");
        return;
    }
    // A read in progress on the port ends at once; a write may go on until the close's
    // deadline, 2 s from now, and is ended then. The port closes once its call is over.
    pPort->Abort(false);
    FinishClose(szName, nPortId, pPort);
}

int CloseAllPorts(const char* szName) {
    std::vector<std::pair<jint, CComPort*>> ports;
    ports.reserve(TILLPORT_MAX_PORTS);
    for (jint nId = 0; nId < TILLPORT_MAX_PORTS; ++nId) {
        if (CComPort* pPort = MarkClosing(nId)) ports.emplace_back(nId, pPort);
    }
    // Every port's close begins now, so their pauses run at the same time and end together:
    // the whole takes one pause, not one per port.
    for (const auto& port : ports) port.second->Abort(false);
    for (const auto& port : ports) FinishClose(szName, port.first, port.second);
    return static_cast<int>(ports.size());
}

bool CloseInProgress(jint nPortId) {
    if (!ValidId(nPortId)) return false;
    std::lock_guard<std::mutex> lock(g_tableLock);
    return Slot(nPortId).bClosing;
}

void ThrowJavaException(JNIEnv* env, const char* szName, const char* szMessage) {
    if (!env->ExceptionCheck()) {
        jclass cls = env->FindClass("java/lang/Exception");
        // A failed FindClass leaves its own error pending, which reaches Java instead.
        if (cls != nullptr) {
            env->ThrowNew(cls, szMessage);
            env->DeleteLocalRef(cls);
        }
    }
    CCLog::WriteLog(szName, "Exit For Exception");
}

void LogAndThrow(JNIEnv* env, const char* szName, const char* szText) {
    CCLog::WriteLog(szName, szText);
    ThrowJavaException(env, szName, szText);
}

void ReportCppException(JNIEnv* env, const char* szName) noexcept {
    const char* szText = kInternalError;
    try {
        throw;
    } catch (const std::bad_alloc&) {
        szText = kOutOfMemory;
    } catch (const std::exception& error) {
        CCLog::WriteLogP(szName, "C++ exception: %s", error.what());
    } catch (...) {
    }
    LogAndThrow(env, szName, szText);
}

void ReleasePort(CComPort* pPort) { delete pPort; }

jint RunOpenSequence(JNIEnv* env, const jstring* pStrings, const bool* bUpper, size_t nStrings,
                     const OpenMethod& method) {
    const char* szName = method.szName;
    CCLog::WriteLog(szName, "Begin");

    for (size_t i = 0; i < nStrings; ++i) {
        if (pStrings[i] == nullptr) {
            LogAndThrow(env, szName, kInvalidParameter);
            return 0;
        }
    }

    // Each string is copied out of the JVM so upper-casing never writes into the JVM's own
    // characters; the copies are what Init sees and may keep.
    std::vector<std::string> copies;
    copies.reserve(nStrings);
    for (size_t i = 0; i < nStrings; ++i) {
        Utf8Chars chars(env, pStrings[i]);
        if (chars.get() == nullptr) {
            // The JVM has made its OutOfMemoryError pending; let that one reach Java.
            CCLog::WriteLog(szName, "ERROR: Out of memory taking a string parameter!");
            CCLog::WriteLog(szName, "Exit For Exception");
            return 0;
        }
        copies.emplace_back(chars.get());
        if (bUpper[i]) GenericFunctions::ToUpper(&copies.back()[0]);
    }
    std::vector<char*> strings;
    for (std::string& copy : copies) strings.push_back(&copy[0]);

    method.logOpenLine(strings.data());
    UnstoredPort port(method, method.create());

    const char* szFailure = nullptr;
    if (!method.init(port.get(), strings.data())) {
        szFailure = method.szInitMessage;
    } else if (!port.get()->Open()) {
        szFailure = method.szOpenMessage;
    } else {
        port.Opened();
    }
    if (szFailure != nullptr) {
        CCLog::WriteLogP(szName, szFailure, port.get()->m_strLastError);
        ThrowJavaException(env, szName, port.get()->m_strLastError);
        return 0;
    }

    jint nId = StorePort(port.get());
    if (nId < 0) {
        static const char kTableFull[] = "ERROR: No free Port ID!";
        CCLog::WriteLog(szName, kTableFull);
        port.GiveBack();
        ThrowJavaException(env, szName, kTableFull);
        return 0;
    }
    port.Stored();
    CCLog::WriteLogP(szName, "Genereted NEW Port ID:%d", static_cast<int>(nId));
    CCLog::WriteLog(szName, "End");
    return nId;
}

}  // namespace tillport

using tillport::ThrowJavaException;

extern "C" {

JNIEXPORT void JNICALL TILLPORT_METHOD(SetLogType)(JNIEnv* env, jobject, jint nLogType, jboolean bFlag) {
    static const char szName[] = TILLPORT_NAME(SetLogType);
    tillport::CatchAtEdge(env, szName, [&] {
        CCLog::SetLogEnable(static_cast<unsigned long>(nLogType), bFlag == 1);
        CCLog::WriteLog(szName, "*****************************************");
        CCLog::WriteLogP(szName, "            SO Version: %s", tillport::kVersion);
        CCLog::WriteLog(szName, "*****************************************");
    });
}

JNIEXPORT void JNICALL TILLPORT_METHOD(CloseDevice)(JNIEnv* env, jobject, jint nPortId) {
    static const char szName[] = TILLPORT_NAME(CloseDevice);
    tillport::CatchAtEdge(env, szName, [&] {
        CCLog::WriteLog(szName, "");
        tillport::ClosePortById(szName, nPortId);
    });
}

JNIEXPORT void JNICALL TILLPORT_METHOD(ClearPipeTX)(JNIEnv* env, jobject, jint nPortId) {
    static const char szName[] = TILLPORT_NAME(ClearPipeTX);
    tillport::CatchAtEdge(env, szName, [&] {
        CCLog::WriteLog(szName, "Begin");
        CCLog::WriteLogP(szName, "Port ID:%d", static_cast<int>(nPortId));
        tillport::PortLease port(szName, nPortId);
        if (!port) return;
        port->CleanTX();
        CCLog::WriteLog(szName, "End");
    });
}

JNIEXPORT void JNICALL TILLPORT_METHOD(ClearPipeRX)(JNIEnv* env, jobject, jint nPortId) {
    static const char szName[] = TILLPORT_NAME(ClearPipeRX);
    tillport::CatchAtEdge(env, szName, [&] {
        CCLog::WriteLog(szName, "Begin");
        CCLog::WriteLogP(szName, "Port ID:%d", static_cast<int>(nPortId));
        tillport::PortLease port(szName, nPortId);
        if (!port) return;
        port->CleanRX();
        CCLog::WriteLog(szName, "End");
    });
}

JNIEXPORT void JNICALL TILLPORT_METHOD(SetTimeoutTX)(JNIEnv* env, jobject, jint nPortId, jint nTimeout) {
    static const char szName[] = TILLPORT_NAME(SetTimeoutTX);
    tillport::CatchAtEdge(env, szName, [&] {
        CCLog::WriteLog(szName, "Begin");
        CCLog::WriteLogP(szName, "Set TX Timeout: %d", static_cast<int>(nTimeout));
        CCLog::WriteLogP(szName, "Port ID:%d", static_cast<int>(nPortId));
        tillport::PortLease port(szName, nPortId);
        if (!port) return;
        port->SetTimeoutTX(nTimeout);
        CCLog::WriteLog(szName, "End");
    });
}

JNIEXPORT void JNICALL TILLPORT_METHOD(SetTimeoutRX)(JNIEnv* env, jobject, jint nPortId, jint nTimeout) {
    static const char szName[] = TILLPORT_NAME(SetTimeoutRX);
    tillport::CatchAtEdge(env, szName, [&] {
        CCLog::WriteLog(szName, "Begin");
        CCLog::WriteLogP(szName, "Set RX Timeout: %d", static_cast<int>(nTimeout));
        CCLog::WriteLogP(szName, "Port ID:%d", static_cast<int>(nPortId));
        tillport::PortLease port(szName, nPortId);
        if (!port) return;
        port->SetTimeoutRX(nTimeout);
        CCLog::WriteLog(szName, "End");
    });
}

JNIEXPORT jint JNICALL TILLPORT_METHOD(WriteToDevice)(JNIEnv* env, jobject, jint nPortId, jbyteArray data) {
    static const char szName[] = TILLPORT_NAME(WriteToDevice);
    return tillport::CatchAtEdge<jint>(env, szName, 0, [&]() -> jint {
        CCLog::WriteLog(szName, "Begin");
        if (data == nullptr) {
            tillport::LogAndThrow(env, szName, tillport::kInvalidParameter);
            return 0;
        }
        jsize nLength = env->GetArrayLength(data);
        CCLog::WriteLogP(szName, "Write %d Bytes...", static_cast<int>(nLength));
        if (nLength <= 0) return 0;

        tillport::ByteElements bytes(env, data);
        if (bytes.get() == nullptr) {
            tillport::LogAndThrow(env, szName, tillport::kInvalidParameter);
            return 0;
        }
        unsigned long nSize = static_cast<unsigned long>(nLength);
        CCLog::WriteLogData(szName, "Buffer to Write:", bytes.get(), nSize);

        CCLog::WriteLogP(szName, "Port ID:%d", static_cast<int>(nPortId));
        tillport::PortLease port(szName, nPortId);
        if (!port) return 0;

        const PortCalls::Job job = PortCalls::WriteJob(*port.get(), bytes.get(), nSize);
        if (job.bWhole) {
            CCLog::WriteLog(szName, "End");
            return static_cast<jint>(job.nSent);
        }
        // The count is what left the port before the failure, which the result (0 for a
        // failed write) does not tell: a technician can see whether part of the job printed.
        CCLog::WriteLogP(szName, "ERROR: Write Error(%ld/%ld)(%s)!", static_cast<long>(job.nSent),
                         static_cast<long>(nSize), port->m_strLastError);
        tillport::ErrorText error(port.get());
        port.Release();
        ThrowJavaException(env, szName, error.szText);
        return 0;
    });
}

JNIEXPORT jintArray JNICALL TILLPORT_METHOD(ReadFromDevice)(JNIEnv* env, jobject, jint nPortId, jint nExpected) {
    static const char szName[] = TILLPORT_NAME(ReadFromDevice);
    return tillport::CatchAtEdge<jintArray>(env, szName, nullptr, [&]() -> jintArray {
        using tillport::kAnswerBufferSize;
        CCLog::WriteLogP(szName, "Answer Size Expected: %d", static_cast<int>(nExpected));
        CCLog::WriteLogP(szName, "Port ID:%d", static_cast<int>(nPortId));
        tillport::PortLease port(szName, nPortId);
        if (!port) return nullptr;
        CComPort* pPort = port.get();

        unsigned char answer[kAnswerBufferSize];
        PortCalls::Answer collected;
        if (nExpected >= 1) {
            const unsigned long nWanted = static_cast<unsigned long>(nExpected);
            collected = PortCalls::CollectAnswer(*pPort, answer, sizeof(answer), nWanted, nWanted, szName);
        } else {
            collected = PortCalls::ReadOnce(*pPort, answer, 255, szName);
            (void)pPort->GetPortType();  // no kind of port reads further; one pass is all
        }
        if (collected.bFailed) {
            CCLog::WriteLogP(szName, nExpected >= 1 ? "ERROR: Read Error(%s)!" : " 1 ERROR: Read Error(%s)!",
                             pPort->m_strLastError);
            tillport::ErrorText error(pPort);
            port.Release();
            ThrowJavaException(env, szName, error.szText);
            return nullptr;
        }
        const unsigned long nTotal = collected.nTotal;
        // The answer is in a local buffer now; the port is free before any call into the JVM.
        port.Release();

        CCLog::WriteLogP(szName, "Read %lu Bytes", nTotal);
        if (nTotal == 0) {
            static const char kNoData[] = "ERROR: No Read Data!";
            tillport::LogAndThrow(env, szName, kNoData);
            return nullptr;
        }
        CCLog::WriteLogData(szName, "Read Bytes:", answer, nTotal);

        jintArray result = env->NewIntArray(static_cast<jsize>(nTotal));
        if (result == nullptr) {
            static const char kNoBuffer[] = "ERROR: Creation Out Buffer!";
            // Replace the JVM's pending OutOfMemoryError with the library's own message.
            env->ExceptionClear();
            tillport::LogAndThrow(env, szName, kNoBuffer);
            return nullptr;
        }
        std::array<jint, kAnswerBufferSize> values;
        for (unsigned long i = 0; i < nTotal; ++i) values[i] = static_cast<jint>(answer[i]);
        env->SetIntArrayRegion(result, 0, static_cast<jsize>(nTotal), values.data());
        CCLog::WriteLog(szName, "End");
        return result;
    });
}

JNIEXPORT jint JNICALL TILLPORT_METHOD(OpenUSBDevice)(JNIEnv* env, jobject, jstring productId, jstring address) {
    static const char szName[] = TILLPORT_NAME(OpenUSBDevice);
    return tillport::CatchAtEdge<jint>(env, szName, 0, [&]() -> jint {
        const jstring strings[] = {productId, address};
        const bool upper[] = {true, false};
        tillport::OpenMethod method;
        method.szName = szName;
        method.szInitMessage = "ERROR: Device not found(%s)!";
        method.szOpenMessage = "ERROR: Open Device Error(%s)!";
        method.logOpenLine = [](char* const* pStrings) {
            CCLog::WriteLogP(szName, "Open USB DEVICE PID:%s Address:%s", pStrings[0], pStrings[1]);
        };
        method.create = []() -> CComPort* { return new CComPortUsb(); };
        method.init = [](CComPort* pPort, char* const* pStrings) { return pPort->Init(pStrings[0], pStrings[1]); };
        // A failed discovery or claim may leave libusb started and the device list held.
        method.releaseOnFailure = [](CComPort* pPort) { pPort->Close(); };
        return tillport::RunOpenSequence(env, strings, upper, 2, method);
    });
}

JNIEXPORT jint JNICALL TILLPORT_METHOD(OpenRS232Device)(JNIEnv* env, jobject, jstring strPortName, jint nBaudrate,
                                                        jint nFlowControl) {
    static const char szName[] = TILLPORT_NAME(OpenRS232Device);
    return tillport::CatchAtEdge<jint>(env, szName, 0, [&]() -> jint {
        tillport::OpenMethod method;
        method.szName = szName;
        method.szInitMessage = "ERROR: Init Port Error(%s)!";
        method.szOpenMessage = "ERROR: Open Port Error(%s)!";
        method.logOpenLine = [&](char* const* pStrings) {
            CCLog::WriteLogP(szName, "Open RS232 DEVICE Port:%s Baudrate:%d Flow:%d", pStrings[0],
                             static_cast<int>(nBaudrate), static_cast<int>(nFlowControl));
        };
        method.create = []() -> CComPort* { return new CComPortRs232(); };
        method.init = [&](CComPort* pPort, char* const* pStrings) {
            return pPort->Init(pStrings[0], static_cast<int>(nBaudrate), static_cast<int>(nFlowControl));
        };
        // A failed tcsetattr leaves the device open; Close() gives the descriptor back.
        method.releaseOnFailure = [](CComPort* pPort) { pPort->Close(); };
        const jstring strings[] = {strPortName};
        const bool upper[] = {false};
        return tillport::RunOpenSequence(env, strings, upper, 1, method);
    });
}

JNIEXPORT jint JNICALL TILLPORT_METHOD(OpenETHERNETDevice)(JNIEnv* env, jobject, jstring strHost, jint nTcpPort) {
    static const char szName[] = TILLPORT_NAME(OpenETHERNETDevice);
    return tillport::CatchAtEdge<jint>(env, szName, 0, [&]() -> jint {
        const jstring strings[] = {strHost};
        const bool bUpper[] = {true};
        tillport::OpenMethod method;
        method.szName = szName;
        method.szInitMessage = "ERROR: Init Port Error(%s)!";
        method.szOpenMessage = "ERROR: Open Port Error(%s)!";
        method.logOpenLine = [&](char* const* pStrings) {
            CCLog::WriteLogP(szName, "Open ETHERNET DEVICE IP:%s PORT:%d", pStrings[0], static_cast<int>(nTcpPort));
        };
        method.create = []() -> CComPort* { return new CComPortEth(); };
        method.init = [&](CComPort* pPort, char* const* pStrings) {
            return pPort->Init(pStrings[0], static_cast<int>(nTcpPort));
        };
        // Nothing to give back on failure: a failed Init acquires nothing, and a failed Open has
        // already closed its socket (with the pause), which must not be paid twice.
        return tillport::RunOpenSequence(env, strings, bUpper, 1, method);
    });
}

// The class loader that loaded the library is gone, and with it every caller: the ports are
// closed as CloseDevice closes them (all within one pause), the connections still draining
// are closed, the library's own threads are joined and the log file is closed, so nothing is
// left open or running once the library's code is unmapped. The JVM never calls it at exit.
JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) {
    static const char szName[] = "JNI_OnUnload";
    try {
        CCLog::WriteLog(szName, "Begin");
        const int nClosed = tillport::CloseAllPorts(szName);
        CCLog::WriteLogP(szName, "%d open port(s) closed", nClosed);
        ConnectionDrain::EndAll();
        SystemCalls::HostLookUp::JoinLookUps();
        CCLog::WriteLog(szName, "End");
        CCLog::End();
    } catch (...) {
        // Nothing may leave towards the JVM; what could not be done stays undone.
    }
}

}  // extern "C"
