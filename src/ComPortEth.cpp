#include "ComPortEth.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "CLog.h"
#include "ConnectionDrain.h"

namespace {

using SystemCalls::Deadline;
using SystemCalls::WaitResult;
using SystemCalls::ZeroTimeout;

constexpr int kConnectWaitMs = 5000;
// How often a close looks at the send queue once the printer has closed its end.
constexpr int kSendQueueLookMs = 10;
// Unread bytes of a connection the printer ended that the log shows before they are dropped.
constexpr size_t kDroppedDumpSize = 256;

constexpr char kWrongHostname[] = "Wrong hostname";
constexpr char kOpenDeviceError[] = "Open ETH Device Error";
constexpr char kTransferOpenError[] = "Open Error (Device Error)";
constexpr char kReadError[] = "EthRead Error";
constexpr char kClosingText[] = "Port closing: no new connection";

// A receive or send that ended for one of these reasons may be tried again; any other
// failure means the connection can carry nothing more.
bool WorthRetrying(int nErrno) { return nErrno == EAGAIN || nErrno == EWOULDBLOCK; }

// What a failed transfer returns: nothing when no connection could be made or the printer
// ended the stream, otherwise the -1 of the failed system call, in the unsigned long's bits.
unsigned long FailedResult(const Outcome& outcome) {
    const bool bNothing = outcome.eCause == FailureCause::NoConnection || outcome.eCause == FailureCause::StreamEnded;
    return bNothing ? 0 : static_cast<unsigned long>(-1L);
}

}  // namespace

CComPortEth::CComPortEth() : m_hSocket(-1), m_nPort(9100), m_strHost{} {
    m_nTimeoutTX = 1000;
    m_nTimeoutRX = 1000;
    m_nMaxPacketSize = 1000;
}

CComPortEth::~CComPortEth() = default;

bool CComPortEth::Init(char* szHost, int nPort) {
    // A host that does not fit is refused rather than cut: a cut name could reach another
    // machine.
    if (szHost == nullptr || strnlen(szHost, sizeof(m_strHost)) >= sizeof(m_strHost)) {
        return Conclude(Fail("Init", kWrongHostname, FailureCause::BadSetting));
    }
    memcpy(m_strHost, szHost, strlen(szHost) + 1);
    m_nPort = nPort;
    return true;
}

bool CComPortEth::Open() {
    memset(m_strLastError, 0, sizeof(m_strLastError));
    // Without its wake-up a port could not be closed from another thread while it waits.
    if (CreateWakeUp("Open") && OpenPort().IsDone()) return Conclude(Outcome::Moved(0));
    // The specific cause stays in the log; the caller sees one text for every failed open.
    return Conclude(Fail("Open", kOpenDeviceError));
}

Outcome CComPortEth::OpenPort() {
    ClearLastError();
    if (m_hSocket != -1) return Outcome::Moved(0);
    // Once a close has begun, no new connection is made (nor a host looked up): the close
    // would have to wait for it.
    if (ReadsAborted()) return Fail("OpenPort", kClosingText, FailureCause::PortClosing);
    // Only 1..65535 name a TCP port; cutting another number to 16 bits would reach a
    // different one.
    if (m_nPort < 1 || m_nPort > 65535) return FailOpenPort("Wrong port");

    m_hSocket = SystemCalls::SocketCloseOnExec(AF_INET, SOCK_STREAM, 0);
    if (m_hSocket < 0) {
        m_hSocket = -1;
        return FailOpenPort("Error to create new socket");
    }

    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    Outcome lookUp = LookUpHost(&address.sin_addr);
    if (!lookUp.IsDone()) return lookUp;
    address.sin_port = htons(static_cast<uint16_t>(m_nPort));

    Outcome connected = SetBlocking(false);
    if (connected.IsDone()) connected = Connect(address);
    if (connected.IsDone()) connected = SetBlocking(true);
    if (!connected.IsDone()) return connected;
    ApplySocketTimeouts();
    // Each send goes out at once: with Nagle's algorithm the short tail of a job, or a
    // status request right after one, waits for the printer's delayed acknowledgement.
    SystemCalls::SendAtOnce(m_hSocket);
    return Outcome::Moved(0);
}

Outcome CComPortEth::LookUpHost(in_addr* pAddress) {
    // The lookup runs on a thread of its own while this call waits in poll, so a close from
    // another thread ends the wait at once however long the resolver takes.
    SystemCalls::HostLookUp lookUp;
    if (!lookUp.Start(m_strHost)) {
        char szReason[128];
        CCLog::WriteLogP("OpenPort", "Cannot start the host lookup (%s)",
                         SystemCalls::ErrorText(errno, szReason, sizeof(szReason)));
        return FailOpenPort(kWrongHostname);
    }
    pollfd wait{lookUp.Fd(), POLLIN, 0};
    const WaitResult result = WaitReady(&wait, Deadline(0, ZeroTimeout::NoLimit), false);
    if (result == WaitResult::Woken) {
        // The close that ended the wait pauses itself; this call need not.
        SystemCalls::Close(&m_hSocket);
        return Fail("OpenPort", kClosingText, FailureCause::PortClosing);
    }
    if (result != WaitResult::Ready || !lookUp.Result(pAddress)) return FailOpenPort(kWrongHostname);
    return Outcome::Moved(0);
}

Outcome CComPortEth::FailOpenPort(const char* szText) {
    Outcome failure = Fail("OpenPort", szText, FailureCause::NoConnection);
    Close();
    return failure;
}

Outcome CComPortEth::SetBlocking(bool bBlocking) {
    switch (SystemCalls::SetNonBlocking(m_hSocket, !bBlocking)) {
    case SystemCalls::FlagsResult::Done:
        return Outcome::Moved(0);
    case SystemCalls::FlagsResult::ReadFailed:
        return FailOpenPort("Error fcntl(..., F_GETFL)");
    default:
        return FailOpenPort("Error fcntl(..., F_SETFL)");
    }
}

Outcome CComPortEth::Connect(const sockaddr_in& address) {
    const SystemCalls::ConnectStart start = SystemCalls::StartConnect(m_hSocket, address);
    if (start == SystemCalls::ConnectStart::Connected) return Outcome::Moved(0);
    if (start == SystemCalls::ConnectStart::Failed) return FailOpenPort("Error to connect socket");

    // A signal does not end the wait early; the 5 s bound holds all the same. A close from
    // another thread does not wait for a connection being made (a reconnecting transfer).
    pollfd wait{m_hSocket, POLLOUT, 0};
    if (WaitReady(&wait, Deadline(kConnectWaitMs, ZeroTimeout::NoWait), false) != WaitResult::Ready) {
        return FailOpenPort("Timeout or error()");
    }
    if (SystemCalls::PendingSocketError(m_hSocket) != 0) return FailOpenPort("Error in connection()");
    return Outcome::Moved(0);
}

// Set at every connect and by the timeout setters while connected, so the socket's
// options always hold the port's timeouts (a zero timeout: sends and receives never time
// out). The library's own transfers wait in poll, where a close can end them, with the same
// timeouts.
void CComPortEth::ApplySocketTimeouts() {
    SystemCalls::SetSocketTimeout(m_hSocket, SO_SNDTIMEO, m_nTimeoutTX);
    SystemCalls::SetSocketTimeout(m_hSocket, SO_RCVTIMEO, m_nTimeoutRX);
}

bool CComPortEth::Close() {
    // The sending side ends first, behind every byte send took; what the printer still
    // sends is read and dropped until it closes its end. Closing over unread bytes would
    // reset the connection and throw away the end of the job. The pause is the upper bound;
    // a socket that never connected, or was reset, takes the whole pause. Once a close from
    // another thread has begun, the pause ends 2 s after it began, whatever came between.
    const Deadline pauseEnd = CloseDeadline();
    if (SystemCalls::HasPeer(m_hSocket) && SystemCalls::ShutDownSending(m_hSocket)) {
        // A printer still busy with the job when the pause ends keeps its connection: the
        // drain closes it once the printer has taken everything, so nothing reported
        // written is thrown away.
        if (!DrainUntilPeerCloses(pauseEnd) && ConnectionDrain::HandOver(m_hSocket)) {
            CCLog::WriteLog("Close", "The printer has not yet taken everything: its connection is kept until it has");
            m_hSocket = -1;
            return true;
        }
    } else {
        SystemCalls::WaitFor(nullptr, pauseEnd);
    }
    SystemCalls::Close(&m_hSocket);
    return true;
}

bool CComPortEth::DrainUntilPeerCloses(const Deadline& pauseEnd) {
    unsigned long nDropped = 0;
    unsigned char buffer[1024];
    bool bOver = false;  // the printer closed its end or reset the connection
    for (;;) {
        const bool bLastLook = pauseEnd.Passed();
        pollfd wait{m_hSocket, POLLIN, 0};
        if (SystemCalls::WaitFor(&wait, pauseEnd) != WaitResult::Ready) break;
        ssize_t nRead = SystemCalls::Receive(m_hSocket, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (nRead > 0) {
            nDropped += static_cast<unsigned long>(nRead);
        } else if (nRead == 0 || !WorthRetrying(errno)) {
            bOver = true;  // the printer has closed its end, or reset the connection
            break;
        }
        if (bLastLook) break;
    }
    if (nDropped > 0) CCLog::WriteLogP("Close", "%lu unread byte(s) from the printer dropped", nDropped);
    // The acknowledgement of the last bytes may come just after the printer's end.
    while (bOver && BytesNotSent() > 0 && !pauseEnd.Passed()) {
        const int nStepMs = std::min(kSendQueueLookMs, pauseEnd.RemainingMs());
        SystemCalls::WaitFor(nullptr, Deadline(static_cast<unsigned long>(nStepMs), ZeroTimeout::NoWait));
    }
    return bOver && BytesNotSent() == 0;
}

int CComPortEth::BytesNotSent() const { return std::max(SystemCalls::BytesToSend(m_hSocket), 0); }

bool CComPortEth::PeerHasEnded() {
    // POLLRDHUP reports the printer's FIN even behind bytes it sent first and nobody read.
    pollfd probe{m_hSocket, POLLRDHUP, 0};
    if (SystemCalls::WaitFor(&probe, Deadline(0, ZeroTimeout::NoWait)) != WaitResult::Ready) return false;
    return (probe.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void CComPortEth::ReleaseConnection(const char* szName) {
    // Everything that arrived is read first: closing over unread bytes would reset the
    // connection, and the printer might lose what it has not yet printed. The first bytes
    // go to the log.
    unsigned char dropped[kDroppedDumpSize];
    unsigned long nDropped = 0;
    size_t nShown = 0;
    for (;;) {
        unsigned char buffer[4096];
        ssize_t nRead = SystemCalls::Receive(m_hSocket, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (nRead <= 0) break;
        const size_t nCopy = std::min(static_cast<size_t>(nRead), sizeof(dropped) - nShown);
        memcpy(dropped + nShown, buffer, nCopy);
        nShown += nCopy;
        nDropped += static_cast<unsigned long>(nRead);
    }
    if (nDropped > 0) {
        CCLog::WriteLogP(szName, "%lu unread byte(s) from the printer dropped with the connection", nDropped);
        CCLog::WriteLogData(szName, "Dropped Bytes:", dropped, static_cast<unsigned long>(nShown));
    }
    SystemCalls::Close(&m_hSocket);
}

unsigned long CComPortEth::Write(unsigned char* pData, unsigned long nLength, unsigned long* pnError) {
    // A job goes out only on a live connection: one the printer has closed or reset since
    // the last transfer is given up first, and the transfer below connects anew.
    if (m_hSocket != -1 && PeerHasEnded()) {
        CCLog::WriteLog("EthWrite", "Connection ended by the printer: connecting again");
        ReleaseConnection("EthWrite");
    }
    // Every chunk but the last goes with MSG_MORE, so the kernel joins the chunks of a job
    // into full segments; the last one goes without it and sends whatever is queued at once.
    const unsigned char* pEnd = pData + nLength;
    const Outcome sent = WriteInChunks(pData, nLength, [this, pEnd](unsigned char* pChunk, unsigned long nChunk) {
        return EthWrite(pChunk, nChunk, pChunk + nChunk < pEnd);
    });
    // A job of one piece fails with that send's result; a longer one with 0.
    return Conclude(sent, pnError, nLength < m_nMaxPacketSize ? FailedResult(sent) : 0);
}

Outcome CComPortEth::EthWrite(unsigned char* pData, unsigned long nLength, bool bMoreFollows) {
    if (!OpenPort().IsDone()) return Fail("EthWrite", kTransferOpenError, FailureCause::NoConnection);
    // Each send takes what the socket has room for; while it has none, the wait for room
    // lasts until the transmit timeout, and a signal does not cut it short. A close from
    // another thread lets the job go on until its deadline, then ends it as a failed send.
    // MSG_NOSIGNAL: a printer that has closed its end fails the send instead of raising
    // SIGPIPE, which would end the whole process.
    const int nFlags = MSG_NOSIGNAL | MSG_DONTWAIT | (bMoreFollows ? MSG_MORE : 0);
    const Deadline deadline(m_nTimeoutTX, ZeroTimeout::NoLimit);
    unsigned long nSent = 0;
    bool bDead = false;
    bool bEnded = false;
    while (nSent < nLength && !(bEnded = WritesAborted())) {
        ssize_t nResult = SystemCalls::Send(m_hSocket, pData + nSent, nLength - nSent, nFlags);
        if (nResult > 0) {
            nSent += static_cast<unsigned long>(nResult);
            continue;
        }
        if (nResult < 0 && WorthRetrying(errno)) {
            pollfd wait{m_hSocket, POLLOUT, 0};
            WaitResult result = WaitReady(&wait, deadline, true);
            if (result == WaitResult::Ready) continue;
            bEnded = result == WaitResult::Woken;
        } else if (nResult < 0) {
            bDead = true;
        }
        break;  // the time is up, the close ended the job, or the connection is gone
    }
    // What the socket took is counted even when the connection then failed: it may have
    // reached the printer. A failed send has no text of its own.
    if (bDead) {
        // Reset or broken pipe: nothing sent on this connection is reported, and the next
        // transfer connects anew instead of failing on a dead socket.
        ReleaseConnection("EthWrite");
        return Outcome::Failed("", FailureCause::Other, nSent);
    }
    // The timeout passed: what the socket took is the result, or a failure when it took
    // nothing. The connection itself is still good. A job the close ended has failed,
    // whatever part of it went out.
    if (bEnded) return Outcome::Failed("", FailureCause::PortClosing, nSent);
    if (nSent == 0 && nLength > 0) return Outcome::Failed("", FailureCause::Other);
    return Outcome::Moved(nSent);
}

unsigned long CComPortEth::Read(unsigned char* pBuffer, unsigned long nLength, unsigned long* pnError) {
    const Outcome received = EthRead(pBuffer, nLength);
    return Conclude(received, pnError, FailedResult(received));
}

Outcome CComPortEth::EthRead(unsigned char* pBuffer, unsigned long nLength) {
    if (!OpenPort().IsDone()) return Fail("EthRead", kTransferOpenError, FailureCause::NoConnection);
    // One receive after a wait of up to the receive timeout (what is left of it in an answer
    // collection), which a signal does not cut short and a close from another thread ends
    // at once (as the timeout would). End of stream is reported as a failure that ends the
    // answer: a closed connection would otherwise answer 0 bytes at once, again and again.
    if (nLength == 0) return Outcome::Moved(0);
    const Deadline deadline = ReceiveDeadline(ZeroTimeout::NoLimit);
    ssize_t nResult = -1;
    int nErrno = EAGAIN;
    for (;;) {
        pollfd wait{m_hSocket, POLLIN, 0};
        WaitResult result = WaitReady(&wait, deadline, false);
        if (result != WaitResult::Ready) {
            nErrno = result == WaitResult::Failed ? errno : EAGAIN;
            break;
        }
        nResult = SystemCalls::Receive(m_hSocket, pBuffer, nLength, MSG_DONTWAIT);
        nErrno = errno;
        if (nResult >= 0 || !WorthRetrying(nErrno)) break;
    }
    if (nResult > 0) return Outcome::Moved(static_cast<unsigned long>(nResult));
    // The receive timeout passed without data, or the close ended the wait.
    if (nResult < 0 && WorthRetrying(nErrno)) return Outcome::EndedWith(kReadError);
    // End of stream, or a reset: the next transfer connects anew.
    ReleaseConnection("EthRead");
    if (nResult == 0) {
        Outcome ended = Outcome::EndedWith(kReadError);
        ended.eCause = FailureCause::StreamEnded;
        return ended;
    }
    return Outcome::Failed(kReadError);
}

void CComPortEth::CleanTX() {}

void CComPortEth::CleanRX() {}

// A connected socket takes the new value at once, with the clamp of the connect.
void CComPortEth::SetTimeoutTX(int nTimeout) {
    m_nTimeoutTX = static_cast<unsigned long>(nTimeout);
    if (m_hSocket != -1) ApplySocketTimeouts();
}

void CComPortEth::SetTimeoutRX(int nTimeout) {
    m_nTimeoutRX = static_cast<unsigned long>(nTimeout);
    if (m_hSocket != -1) ApplySocketTimeouts();
}

unsigned long CComPortEth::GetTimeoutRX() { return m_nTimeoutRX; }
