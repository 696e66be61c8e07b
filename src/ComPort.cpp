#include "ComPort.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "CGenericFunctions.h"
#include "CLog.h"

namespace {

constexpr int kNotAborted = 0;
constexpr int kReadsAborted = 1;
constexpr int kWritesAborted = 2;

}  // namespace

CComPort::CComPort()
    : m_nPortType(0),
      m_strLastError{},
      m_nTimeoutTX(0),
      m_nTimeoutRX(0),
      m_nMaxPacketSize(0),
      m_nAbortLevel(kNotAborted),
      m_nAbortTick(0),
      m_bAnswerInProgress(false),
      m_nAnswerStart(0) {}

CComPort::~CComPort() = default;

bool CComPort::Init(char*, char*) { return false; }

bool CComPort::Init(char*, int, int) { return false; }

bool CComPort::Init(char*, int) { return false; }

bool CComPort::Open() { return false; }

bool CComPort::Close() { return false; }

unsigned long CComPort::Write(unsigned char*, unsigned long, unsigned long*) { return 0; }

unsigned long CComPort::Read(unsigned char*, unsigned long, unsigned long*) { return 0; }

void CComPort::CleanTX() {}

void CComPort::CleanRX() {}

void CComPort::SetTimeoutTX(int) {}

void CComPort::SetTimeoutRX(int) {}

unsigned long CComPort::GetTimeoutRX() { return 0; }

long CComPort::GetPortType() { return m_nPortType; }

void CComPort::BeginAnswer(uint32_t nStart) {
    m_bAnswerInProgress = true;
    m_nAnswerStart = nStart;
}

void CComPort::EndAnswer() { m_bAnswerInProgress = false; }

SystemCalls::Deadline CComPort::ReceiveDeadline(SystemCalls::ZeroTimeout eZero) const {
    if (!m_bAnswerInProgress) return SystemCalls::Deadline(m_nTimeoutRX, eZero);
    return SystemCalls::Deadline::Since(m_nAnswerStart, m_nTimeoutRX, eZero);
}

bool CComPort::CreateWakeUp(const char* szName) {
    if (m_wake.Create()) return true;
    char szReason[128];
    CCLog::WriteLogP(szName, "No wake-up descriptor for the port (%s)", SystemCalls::ErrorText(errno, szReason, sizeof(szReason)));
    return false;
}

void CComPort::Abort(bool bWritesToo) {
    const int nLevel = bWritesToo ? kWritesAborted : kReadsAborted;
    const int nBefore = m_nAbortLevel.load(std::memory_order_acquire);
    if (nBefore >= nLevel) return;
    if (nBefore == kNotAborted) m_nAbortTick.store(GenericFunctions::GetTickCount(), std::memory_order_relaxed);
    m_nAbortLevel.store(nLevel, std::memory_order_release);
    m_wake.Signal();
}

bool CComPort::ReadsAborted() const { return m_nAbortLevel.load(std::memory_order_acquire) >= kReadsAborted; }

bool CComPort::WritesAborted() const { return m_nAbortLevel.load(std::memory_order_acquire) >= kWritesAborted; }

SystemCalls::Deadline CComPort::CloseDeadline() const {
    using SystemCalls::Deadline;
    if (!ReadsAborted()) return Deadline(kClosePauseMs, SystemCalls::ZeroTimeout::NoWait);
    return Deadline::Since(m_nAbortTick.load(std::memory_order_relaxed), kClosePauseMs,
                           SystemCalls::ZeroTimeout::NoWait);
}

SystemCalls::WaitResult CComPort::WaitReady(pollfd* pWait, const SystemCalls::Deadline& deadline, bool bWrite) {
    for (;;) {
        if (bWrite ? WritesAborted() : ReadsAborted()) return SystemCalls::WaitResult::Woken;
        SystemCalls::WaitResult result = SystemCalls::WaitFor(pWait, deadline, &m_wake);
        if (result != SystemCalls::WaitResult::Woken) return result;
        m_wake.Clear();
    }
}

unsigned long CComPort::Conclude(const Outcome& outcome, unsigned long* pnError, unsigned long nFailed) {
    m_outcome = outcome;
    if (outcome.IsDone()) {
        ClearLastError();
        return outcome.nMoved;
    }
    SetLastError(outcome.szText);
    if (outcome.IsEnded() && outcome.nMoved > 0) return outcome.nMoved;
    *pnError = 1;
    return nFailed;
}

bool CComPort::Conclude(const Outcome& outcome) {
    unsigned long nError = 0;
    Conclude(outcome, &nError);
    return outcome.IsDone();
}

Outcome CComPort::Fail(const char* szOperation, const char* szText, FailureCause eCause) {
    CCLog::WriteLog(szOperation, szText);
    return Outcome::Failed(szText, eCause);
}

void CComPort::ClearLastError() { memset(m_strLastError, 0, 255); }

void CComPort::SetLastError(const char* szText) { snprintf(m_strLastError, sizeof(m_strLastError), "%s", szText); }
