#include "PortCalls.h"

#include <algorithm>
#include <cstdint>

#include "CGenericFunctions.h"
#include "CLog.h"

namespace PortCalls {

namespace {

// A read pass that brings nothing without failing has not waited (the printer has closed
// the connection, the line has hung up): the next pass comes after this pause, so the
// collection sleeps instead of spinning until its timeout.
constexpr unsigned long kEmptyPassPauseMs = 10;

// Tells the port that an answer collection began at nStart, for as long as it runs: each
// pass then waits only what is left of the receive timeout.
class AnswerInProgress {
public:
    AnswerInProgress(CComPort& port, uint32_t nStart) : m_port(port) { m_port.BeginAnswer(nStart); }
    ~AnswerInProgress() { m_port.EndAnswer(); }
    AnswerInProgress(const AnswerInProgress&) = delete;
    AnswerInProgress& operator=(const AnswerInProgress&) = delete;

private:
    CComPort& m_port;
};

// The collection stops once more than the receive timeout (read afresh at every test) has
// passed since nStart, on the wrapping millisecond count.
bool TimedOut(CComPort& port, uint32_t nStart) {
    const uint32_t nTimeout = SystemCalls::ClampTimeoutMs(port.GetTimeoutRX());
    return GenericFunctions::ElapsedTicks(nStart, GenericFunctions::GetTickCount()) > nTimeout;
}

// Sleeps kEmptyPassPauseMs, or less when the collection's deadline comes sooner.
void PauseAfterEmptyPass(CComPort& port, uint32_t nStart) {
    using SystemCalls::Deadline;
    int nLeft = Deadline::Since(nStart, port.GetTimeoutRX(), SystemCalls::ZeroTimeout::NoWait).RemainingMs();
    unsigned long nPause = std::min(kEmptyPassPauseMs, static_cast<unsigned long>(nLeft));
    GenericFunctions::PauseMicroseconds(nPause * 1000);
}

void LogPass(const char* szLogName, unsigned long nBytes) {
    if (szLogName != nullptr) CCLog::WriteLogP(szLogName, "Partial Read %lu Bytes", nBytes);
}

void LogEnd(const char* szLogName, const CComPort& port) {
    if (szLogName != nullptr) CCLog::WriteLogP(szLogName, "Answer Ended(%s)", port.m_strLastError);
}

}  // namespace

Job WriteJob(CComPort& port, unsigned char* pData, unsigned long nLength) {
    unsigned long nError = 0;
    const unsigned long nWritten = port.Write(pData, nLength, &nError);
    // Only the count decides; after a failure it says nothing (a failed send can come back
    // as all bits set), and the port's outcome tells what left it.
    if (nWritten == nLength) return Job{true, nWritten};
    return Job{false, std::min(port.LastOutcome().nMoved, nLength)};
}

Answer CollectAnswer(CComPort& port, unsigned char* pAnswer, size_t nCapacity, unsigned long nRequest,
                     unsigned long nWanted, const char* szLogName) {
    Answer answer;
    const uint32_t nStart = GenericFunctions::GetTickCount();
    AnswerInProgress inProgress(port, nStart);
    // Each request is bounded by the room left in the answer buffer, so neither the
    // caller's buffer nor the transport's chunk can overflow whatever the caller asks.
    auto room = [&] { return std::min<unsigned long>(nRequest, nCapacity - answer.nTotal); };
    while (!TimedOut(port, nStart)) {
        unsigned long nError = 0;
        const unsigned long nAsked = room();
        unsigned long nRead = port.Read(pAnswer + answer.nTotal, nAsked, &nError);
        const bool bEnded = port.LastOutcome().IsEnded();
        if (nError != 0) {
            // The wait ran out, or the printer ended the stream, after part of the answer
            // had come: that part is the answer. Before it, the pass failed.
            if (bEnded && answer.nTotal > 0) {
                answer.bEnded = true;
                LogEnd(szLogName, port);
            } else {
                answer.bFailed = true;
                answer.nTotal = 0;
            }
            break;
        }
        nRead = std::min(nRead, nAsked);
        LogPass(szLogName, nRead);
        answer.nTotal += nRead;
        if (answer.nTotal >= nWanted || answer.nTotal == nCapacity) break;
        if (bEnded) {
            // The wait ran out just after these bytes came: they end the answer.
            answer.bEnded = true;
            LogEnd(szLogName, port);
            break;
        }
        // A close that has begun takes no further pass: what came is the answer.
        if (port.ReadsAborted()) break;
        if (nRead == 0) PauseAfterEmptyPass(port, nStart);
    }
    return answer;
}

Answer ReadOnce(CComPort& port, unsigned char* pAnswer, unsigned long nRequest, const char* szLogName) {
    Answer answer;
    const uint32_t nStart = GenericFunctions::GetTickCount();
    if (TimedOut(port, nStart)) return answer;
    AnswerInProgress inProgress(port, nStart);
    unsigned long nError = 0;
    unsigned long nRead = port.Read(pAnswer, nRequest, &nError);
    if (nError != 0) {
        answer.bFailed = true;
        return answer;
    }
    answer.nTotal = std::min(nRead, nRequest);
    LogPass(szLogName, answer.nTotal);
    return answer;
}

}  // namespace PortCalls
