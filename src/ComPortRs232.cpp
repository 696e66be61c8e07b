#include "ComPortRs232.h"

#include <fcntl.h>
#include <poll.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "CGenericFunctions.h"
#include "CLog.h"

namespace {

using SystemCalls::Deadline;
using SystemCalls::WaitResult;
using SystemCalls::ZeroTimeout;

constexpr const char* kInitError = "Init COM Port error";
constexpr const char* kBaudrateError = "Error invalid Baudrate";
constexpr const char* kFlowError = "Error invalid Flow control";
constexpr const char* kOpenError = "Open RS232 Device Error";
constexpr const char* kOpenPortError = "Error to open Serial port";
constexpr const char* kSetAttrError = "Error to tcsetattr";
constexpr const char* kLineInUse = "Serial line in use by another program";
constexpr const char* kBlockingError = "Error to fcntl(..., F_SETFL)";
constexpr const char* kWriteError = "Write Error";
constexpr const char* kDrainError = "Write Error on tcdrain";
constexpr const char* kReadTimeout = "Read select() timeout! No data read";
constexpr const char* kReadError = "Read Error";

constexpr size_t kNameSize = 1024;
constexpr unsigned long kMaxReadSize = 1024;
// More bytes than this already waiting: pause so the rest of a longer answer gathers.
constexpr int kShortAnswer = 7;
constexpr unsigned long kLongPauseUs = 80000;
constexpr unsigned long kShortPauseUs = 10;
// A chunk carries at least what the line sends in this many ms, so a short transmit timeout
// does not cut a job into single bytes.
constexpr uint64_t kMinChunkMs = 20;
// What a chunk may take beyond its bytes' time on the wire before the line counts as stalled.
constexpr unsigned long kWireMarginMs = 50;
// Longest single sleep while waiting for the line to drain.
constexpr long kMaxDrainStepMs = 100;
// Software handshake characters, DC1 and DC3.
constexpr cc_t kXon = 0x11;
constexpr cc_t kXoff = 0x13;
// A chunk is handed to one write.
constexpr unsigned long kMaxInt = 0x7fffffffUL;

struct BaudRate {
    int nRate;
    tcflag_t nSpeed;
};
constexpr BaudRate kBaudRates[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

}  // namespace

CComPortRs232::CComPortRs232()
    : m_hPort(-1), m_strPortName{}, m_nBaudrate(-1), m_nFlowControl(-1), m_tio{} {
    m_nTimeoutTX = 1000;
    m_nTimeoutRX = 1000;
    m_nMaxPacketSize = 1000;
}

CComPortRs232::~CComPortRs232() = default;

bool CComPortRs232::Init(char* szPortName, int nBaudrate, int nFlowControl) {
    auto reject = [this](const char* szText, FailureCause eCause = FailureCause::BadSetting) {
        return Conclude(Fail("Init", szText, eCause));
    };

    ClearLastError();
    memset(m_strPortName, 0, sizeof(m_strPortName));
    // Measured before the copy: a name that does not fit is no valid name anyway.
    if (szPortName == nullptr || strnlen(szPortName, kNameSize) >= kNameSize) return reject(kInitError);
    memcpy(m_strPortName, szPortName, strlen(szPortName));

    size_t nLength = strlen(m_strPortName);
    if (nLength == 4) {
        char cDigit = m_strPortName[3];
        if (cDigit < '1' || cDigit > '9') return reject(kInitError);
        m_strPortName[3] = '\0';
        if (strcasecmp(m_strPortName, "com") != 0) return reject(kInitError);
        snprintf(m_strPortName, sizeof(m_strPortName), "/dev/ttyS%c", cDigit - 1);
    } else if (nLength == 10) {
        char cDigit = m_strPortName[9];
        if (cDigit < '0' || cDigit > '8') return reject(kInitError);
        char szPrefix[10];
        memcpy(szPrefix, m_strPortName, 9);
        szPrefix[9] = '\0';
        if (strcmp(szPrefix, "/dev/ttyS") != 0) return reject(kInitError);
    } else {
        return reject(kInitError);
    }

    m_nBaudrate = nBaudrate;
    m_nFlowControl = nFlowControl;
    memset(&m_tio, 0, sizeof(m_tio));

    // The speed travels in the speed bits of c_cflag only; the record replaces the
    // device's settings whole (no tcgetattr, no cfset*speed).
    const BaudRate* pRate = std::find_if(std::begin(kBaudRates), std::end(kBaudRates),
                                         [nBaudrate](const BaudRate& rate) { return rate.nRate == nBaudrate; });
    if (pRate == std::end(kBaudRates)) {
        m_nBaudrate = -1;
        return reject(kBaudrateError, FailureCause::BadBaudrate);
    }
    m_tio.c_cflag |= pRate->nSpeed;
    m_tio.c_cflag |= CS8;

    switch (nFlowControl) {
        case 0:
            break;
        case 1:
            m_tio.c_cflag |= CRTSCTS;
            break;
        case 2:
            m_tio.c_iflag |= IXON | IXOFF | IXANY;
            // The handshake characters themselves: left at 0 they would be no XON and XOFF
            // at all, and a printer's XOFF would not hold the line.
            m_tio.c_cc[VSTART] = kXon;
            m_tio.c_cc[VSTOP] = kXoff;
            break;
        default:
            reject(kFlowError);
            m_nFlowControl = -1;
            return false;
    }

    m_tio.c_cflag |= CREAD | CLOCAL;
    return true;
}

bool CComPortRs232::Open() {
    ClearLastError();
    // Without its wake-up a port could not be closed from another thread while it waits.
    const Outcome opened = CreateWakeUp("OpenPort") ? OpenPort() : Outcome::Failed(kOpenPortError);
    if (opened.IsDone()) return Conclude(opened);
    // The cause stays in the log; the caller sees one text for every failed open.
    return Conclude(Fail("Open", kOpenError, opened.eCause));
}

Outcome CComPortRs232::OpenPort() {
    ClearLastError();
    // Without O_NONBLOCK the open waits for carrier (DCD) when the line's stored settings
    // lack CLOCAL, and a printer's cable may never raise it. m_tio sets CLOCAL; the
    // descriptor blocks again once it is applied.
    m_hPort = SystemCalls::OpenCloseOnExec(m_strPortName, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_hPort < 0) {
        // EBUSY: another program has made the line exclusive (TIOCEXCL).
        const bool bInUse = errno == EBUSY;
        m_hPort = -1;
        if (bInUse) return Fail("OpenPort", kLineInUse, FailureCause::LineInUse);
        return Fail("OpenPort", kOpenPortError, FailureCause::CannotOpen);
    }
    const Outcome taken = TakeLine();
    if (!taken.IsDone()) return taken;
    // Output still queued from before is dropped; the input queue is kept.
    SystemCalls::FlushTerminal(m_hPort, TCOFLUSH);
    // The descriptor stays in m_hPort on a failure below; Close() gives it back.
    if (!SystemCalls::ApplyTerminal(m_hPort, m_tio)) return Fail("OpenPort", kSetAttrError);
    if (SystemCalls::SetNonBlocking(m_hPort, false) != SystemCalls::FlagsResult::Done) {
        return Fail("OpenPort", kBlockingError);
    }
    return Outcome::Moved(0);
}

Outcome CComPortRs232::TakeLine() {
    // The lock first, so a line another program holds is left as it is: neither its
    // settings nor its queued output are touched. A file system without locks does not
    // stop the open.
    if (SystemCalls::TryLockFile(m_hPort) == SystemCalls::TryLockResult::HeldElsewhere) {
        // Closed as it is: the exclusive mode of the line belongs to its holder.
        SystemCalls::Close(&m_hPort);
        return Fail("OpenPort", kLineInUse, FailureCause::LineInUse);
    }
    // Further opens of the line then fail with EBUSY, also for programs that take no lock.
    // A device that is no terminal fails at tcsetattr.
    SystemCalls::SetExclusiveUse(m_hPort, true);
    return Outcome::Moved(0);
}

bool CComPortRs232::Close() {
    ClearLastError();
    ClosePort();
    return true;
}

void CComPortRs232::ClosePort() {
    // -1 marks the descriptor as given back, so no later call closes a reused number.
    if (m_hPort >= 0) {
        // Closing drops the lock; the exclusive mode stays with a terminal whose other end
        // is still open (a pseudo-terminal), so it is given up first.
        SystemCalls::SetExclusiveUse(m_hPort, false);
        SystemCalls::Close(&m_hPort);
    }
    memset(m_strPortName, 0, sizeof(m_strPortName));
}

void CComPortRs232::CalcMaxPacketSize() {
    // Bits within the timeout, ten bits a character, half of them, as a multiple of 5.
    // Formed in 64 bits; a product beyond 64 bits or a chunk beyond int is capped. A short
    // timeout gives no chunk at all by that rule: a chunk is at least what the line sends in
    // kMinChunkMs, and at least one byte.
    const uint64_t nRate = m_nBaudrate > 0 ? static_cast<uint64_t>(m_nBaudrate) : 0;
    uint64_t nBits = 0;
    uint64_t nChunk = kMaxInt;
    if (!__builtin_mul_overflow(nRate, static_cast<uint64_t>(m_nTimeoutTX), &nBits)) {
        nChunk = std::min<uint64_t>(nBits / 1000 / 10 / 10 * 5, kMaxInt);
    }
    const uint64_t nLeast = std::max<uint64_t>(nRate * kMinChunkMs / 1000 / 10, 1);
    m_nMaxPacketSize = static_cast<unsigned long>(std::max(nChunk, nLeast));
}

unsigned long CComPortRs232::WireTimeMs(unsigned long nBytes) const {
    if (m_nBaudrate <= 0) return 0;
    const uint64_t nBits = static_cast<uint64_t>(nBytes) * 10 * 1000;
    const uint64_t nMs = (nBits + static_cast<uint64_t>(m_nBaudrate) - 1) / static_cast<uint64_t>(m_nBaudrate);
    return static_cast<unsigned long>(std::min<uint64_t>(nMs, SystemCalls::kMaxTimeoutMs));
}

unsigned long CComPortRs232::Write(unsigned char* pData, unsigned long nLength, unsigned long* pnError) {
    ClearLastError();
    CalcMaxPacketSize();
    return Conclude(WriteInChunks(pData, nLength,
                                  [this](unsigned char* pChunk, unsigned long nChunk) { return ComWrite(pChunk, nChunk); }),
                    pnError);
}

Outcome CComPortRs232::ComWrite(unsigned char* pData, unsigned long nLength) {
    ClearLastError();
    // The line must take the chunk and send it within the transmit timeout, or within the
    // time its bytes need on the wire and a margin when that is longer: the timeout bounds
    // how long the line may stall, not how fast it goes (0: no stall at all). A blocking
    // write or tcdrain would wait for ever on a line that takes nothing (flow control
    // holding it, a cable pulled), so the write is non-blocking and the waits are bounded.
    // A close from another thread lets the chunk go on until its deadline.
    const uint32_t nStallMs = SystemCalls::ClampTimeoutMs(m_nTimeoutTX);
    const Deadline deadline(std::max<unsigned long>(nStallMs, WireTimeMs(nLength) + kWireMarginMs), ZeroTimeout::NoWait);
    const bool bNonBlocking = SystemCalls::SetNonBlocking(m_hPort, true) == SystemCalls::FlagsResult::Done;
    unsigned long nWritten = 0;
    bool bTimedOut = false;
    do {
        if (WritesAborted()) break;
        ssize_t nResult = SystemCalls::Write(m_hPort, pData + nWritten, nLength - nWritten);
        if (nResult > 0) {
            nWritten += static_cast<unsigned long>(nResult);
            continue;
        }
        if (nResult < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd wait = {m_hPort, POLLOUT, 0};
            WaitResult result = deadline.Passed() ? WaitResult::TimedOut : WaitReady(&wait, deadline, true);
            if (result == WaitResult::Ready && (wait.revents & POLLOUT) != 0) continue;
            bTimedOut = result == WaitResult::TimedOut || result == WaitResult::Woken;
        }
        break;  // nothing taken, the write failed, or the time is up
    } while (nWritten < nLength);
    if (bNonBlocking) SystemCalls::SetNonBlocking(m_hPort, false);

    // Drained whatever the write did, so bytes that went out have left the line.
    int nDrain = DrainWithin(deadline);
    if (!bTimedOut && nDrain <= 0 && nWritten == nLength && nWritten > 0) return Outcome::Moved(nWritten);
    // Nothing written, the write failed, or the line did not take or send the chunk in
    // time: none of it is a byte count, and the bytes already taken are no success. What
    // the line still holds is discarded: it would print once the printer takes data
    // again, and the caller's retry would print it a second time.
    const int nQueued = std::max(SystemCalls::BytesToSend(m_hPort), 0);
    SystemCalls::FlushTerminal(m_hPort, TCOFLUSH);
    const unsigned long nLeft = nWritten - std::min(nWritten, static_cast<unsigned long>(nQueued));
    return Outcome::Failed(nDrain < 0 && nWritten == 0 ? kDrainError : kWriteError, FailureCause::Other, nLeft);
}

int CComPortRs232::DrainWithin(const SystemCalls::Deadline& deadline) {
    // The driver's output queue is watched, sleeping about as long as the line needs for
    // what it holds, so a line held by flow control cannot keep the call beyond the time,
    // nor past the deadline of a close from another thread.
    for (;;) {
        const int nQueued = SystemCalls::BytesToSend(m_hPort);
        if (nQueued <= 0) break;
        int nLeft = deadline.RemainingMs();
        if (nLeft == 0) return 1;
        long nNeedMs = m_nBaudrate > 0 ? static_cast<long>(nQueued) * 10 * 1000 / m_nBaudrate + 1 : kMaxDrainStepMs;
        long nStepMs = std::min<long>({nNeedMs, kMaxDrainStepMs, nLeft});
        const Deadline stepEnd(static_cast<unsigned long>(nStepMs), ZeroTimeout::NoWait);
        if (WaitReady(nullptr, stepEnd, true) == WaitResult::Woken) return 1;
    }
    // The queue is empty (or cannot be asked): tcdrain then waits only for the last
    // characters in the device itself.
    return SystemCalls::DrainTerminal(m_hPort) ? 0 : -1;
}

unsigned long CComPortRs232::Read(unsigned char* pBuffer, unsigned long nLength, unsigned long* pnError) {
    ClearLastError();
    return Conclude(ComRead(pBuffer, nLength), pnError);
}

Outcome CComPortRs232::ComRead(unsigned char* pBuffer, unsigned long nLength) {
    ClearLastError();
    // poll, unlike a select set, takes any descriptor number; a signal does not end the
    // wait early, a close from another thread ends it at once, as the timeout would.
    pollfd wait = {m_hPort, POLLIN, 0};
    const Deadline deadline = ReceiveDeadline(ZeroTimeout::NoWait);
    WaitResult result = WaitReady(&wait, deadline, false);
    if (result != WaitResult::Ready || (wait.revents & POLLNVAL) != 0) {
        if (result == WaitResult::TimedOut || result == WaitResult::Woken) return Outcome::EndedWith(kReadTimeout);
        return Outcome::Failed(kReadTimeout);
    }
    GenericFunctions::PauseMicroseconds(kShortPauseUs);
    // The pause that lets a longer answer gather stays within the receive timeout.
    if (SystemCalls::BytesToRead(m_hPort) > kShortAnswer) {
        const unsigned long nLeftUs = static_cast<unsigned long>(deadline.RemainingMs()) * 1000;
        GenericFunctions::PauseMicroseconds(std::min(kLongPauseUs, nLeftUs));
    }

    const ssize_t nRead = SystemCalls::Read(m_hPort, pBuffer, std::min(nLength, kMaxReadSize));
    if (nRead < 0) return Outcome::Failed(kReadError);
    if (nRead == 0 && nLength > 0) {
        // Readable yet nothing to read: the line has hung up, and will answer so at once,
        // again and again. That ends the answer like the end of a stream.
        Outcome ended = Outcome::EndedWith(kReadError);
        ended.eCause = FailureCause::StreamEnded;
        return ended;
    }
    return Outcome::Moved(static_cast<unsigned long>(nRead));
}

void CComPortRs232::CleanTX() { SystemCalls::FlushTerminal(m_hPort, TCOFLUSH); }

void CComPortRs232::CleanRX() { SystemCalls::FlushTerminal(m_hPort, TCIFLUSH); }

void CComPortRs232::SetTimeoutTX(int nTimeout) { m_nTimeoutTX = static_cast<unsigned long>(nTimeout); }

void CComPortRs232::SetTimeoutRX(int nTimeout) { m_nTimeoutRX = static_cast<unsigned long>(nTimeout); }

unsigned long CComPortRs232::GetTimeoutRX() { return m_nTimeoutRX; }
