#include "ComPortEth.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

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

timeval ToTimeval(unsigned long nTimeoutMs) {
    const uint32_t nMs = SystemCalls::ClampTimeoutMs(nTimeoutMs);
    timeval tv;
    tv.tv_sec = static_cast<time_t>(nMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>((nMs % 1000) * 1000);
    return tv;
}

// A receive or send that ended for one of these reasons may be tried again; any other
// failure means the connection can carry nothing more.
bool WorthRetrying(int nErrno) { return nErrno == EINTR || nErrno == EAGAIN || nErrno == EWOULDBLOCK; }

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
        CCLog::WriteLog("Init", kWrongHostname);
        SetLastError(kWrongHostname);
        return false;
    }
    memcpy(m_strHost, szHost, strlen(szHost) + 1);
    m_nPort = nPort;
    return true;
}

bool CComPortEth::Open() {
    memset(m_strLastError, 0, sizeof(m_strLastError));
    // Without its wake-up a port could not be closed from another thread while it waits.
    if (CreateWakeUp("Open") && OpenPort()) return true;
    // The specific cause stays in the log; the caller sees one text for every failed open.
    CCLog::WriteLog("Open", kOpenDeviceError);
    SetLastError(kOpenDeviceError);
    return false;
}

bool CComPortEth::OpenPort() {
    ClearLastError();
    if (m_hSocket != -1) return true;
    // Once a close has begun, no new connection is made (nor a host looked up): the close
    // would have to wait for it.
    if (ReadsAborted()) {
        CCLog::WriteLog("OpenPort", kClosingText);
        SetLastError(kClosingText);
        return false;
    }
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
    if (!LookUpHost(&address.sin_addr)) return false;
    address.sin_port = htons(static_cast<uint16_t>(m_nPort));

    if (!SetBlocking(false)) return false;
    if (!Connect(&address, sizeof(address))) return false;
    if (!SetBlocking(true)) return false;
    ApplySocketTimeouts();
    // Each send goes out at once: with Nagle's algorithm the short tail of a job, or a
    // status request right after one, waits for the printer's delayed acknowledgement.
    int nNoDelay = 1;
    setsockopt(m_hSocket, IPPROTO_TCP, TCP_NODELAY, &nNoDelay, sizeof(nNoDelay));
    return true;
}

bool CComPortEth::LookUpHost(in_addr* pAddress) {
    // The lookup runs on a thread of its own while this call waits in poll, so a close from
    // another thread ends the wait at once however long the resolver takes.
    SystemCalls::HostLookUp lookUp;
    if (!lookUp.Start(m_strHost)) {
        char szReason[128];
        CCLog::WriteLogP("OpenPort", "Cannot start the host lookup (%s)", strerror_r(errno, szReason, sizeof(szReason)));
        return FailOpenPort(kWrongHostname);
    }
    pollfd wait{lookUp.Fd(), POLLIN, 0};
    const WaitResult result = WaitReady(&wait, Deadline(0, ZeroTimeout::NoLimit), false);
    if (result == WaitResult::Woken) {
        // The close that ended the wait pauses itself; this call need not.
        CCLog::WriteLog("OpenPort", kClosingText);
        SetLastError(kClosingText);
        close(m_hSocket);
        m_hSocket = -1;
        return false;
    }
    if (result != WaitResult::Ready || !lookUp.Result(pAddress)) return FailOpenPort(kWrongHostname);
    return true;
}

bool CComPortEth::FailOpenPort(const char* szText) {
    CCLog::WriteLog("OpenPort", szText);
    SetLastError(szText);
    Close();
    return false;
}

bool CComPortEth::SetBlocking(bool bBlocking) {
    int nFlags = fcntl(m_hSocket, F_GETFL, 0);
    if (nFlags < 0) return FailOpenPort("Error fcntl(..., F_GETFL)");
    nFlags = bBlocking ? (nFlags & ~O_NONBLOCK) : (nFlags | O_NONBLOCK);
    if (fcntl(m_hSocket, F_SETFL, nFlags) < 0) return FailOpenPort("Error fcntl(..., F_SETFL)");
    return true;
}

bool CComPortEth::Connect(const void* pAddress, unsigned int nAddressSize) {
    if (connect(m_hSocket, static_cast<const sockaddr*>(pAddress), nAddressSize) >= 0) return true;
    if (errno != EINPROGRESS) return FailOpenPort("Error to connect socket");

    // poll rather than select: a descriptor of 1024 or more cannot go into an fd_set.
    // A signal does not end the wait early; the 5 s bound holds all the same. A close from
    // another thread does not wait for a connection being made (a reconnecting transfer).
    pollfd wait{m_hSocket, POLLOUT, 0};
    if (WaitReady(&wait, Deadline(kConnectWaitMs, ZeroTimeout::NoWait), false) != WaitResult::Ready) {
        return FailOpenPort("Timeout or error()");
    }

    int nError = 0;
    socklen_t nLength = sizeof(nError);
    getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLength);
    if (nError != 0) return FailOpenPort("Error in connection()");
    return true;
}

// Set at every connect and by the timeout setters while connected, so the socket's
// options always hold the port's timeouts (a zero timeout: sends and receives never time
// out). The library's own transfers wait in poll, where a close can end them, with the same
// timeouts.
void CComPortEth::ApplySocketTimeouts() {
    SetSocketTimeout(SO_SNDTIMEO, m_nTimeoutTX);
    SetSocketTimeout(SO_RCVTIMEO, m_nTimeoutRX);
}

void CComPortEth::SetSocketTimeout(int nOption, unsigned long nTimeoutMs) {
    timeval tv = ToTimeval(nTimeoutMs);
    setsockopt(m_hSocket, SOL_SOCKET, nOption, &tv, sizeof(tv));
}

bool CComPortEth::Close() {
    // The sending side ends first, behind every byte send took; what the printer still
    // sends is read and dropped until it closes its end. Closing over unread bytes would
    // reset the connection and throw away the end of the job. The pause is the upper bound;
    // a socket that never connected, or was reset, takes the whole pause. Once a close from
    // another thread has begun, the pause ends 2 s after it began, whatever came between.
    const Deadline pauseEnd = CloseDeadline();
    sockaddr_in peer;
    socklen_t nPeerLength = sizeof(peer);
    bool bConnected = getpeername(m_hSocket, reinterpret_cast<sockaddr*>(&peer), &nPeerLength) == 0;
    if (bConnected && shutdown(m_hSocket, SHUT_WR) == 0) {
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
    close(m_hSocket);
    m_hSocket = -1;
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
        ssize_t nRead = recv(m_hSocket, buffer, sizeof(buffer), MSG_DONTWAIT);
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

int CComPortEth::BytesNotSent() const {
    int nQueued = 0;
    return ioctl(m_hSocket, SIOCOUTQ, &nQueued) == 0 ? nQueued : 0;
}

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
        ssize_t nRead = recv(m_hSocket, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (nRead < 0 && errno == EINTR) continue;
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
    close(m_hSocket);
    m_hSocket = -1;
}

unsigned long CComPortEth::Write(unsigned char* pData, unsigned long nLength, unsigned long* pnError) {
    m_nBytesSent = 0;
    // A job goes out only on a live connection: one the printer has closed or reset since
    // the last transfer is given up first, and the transfer below connects anew.
    if (m_hSocket != -1 && PeerHasEnded()) {
        CCLog::WriteLog("EthWrite", "Connection ended by the printer: connecting again");
        ReleaseConnection("EthWrite");
    }
    if (nLength < m_nMaxPacketSize) return EthWrite(pData, nLength, pnError);

    // Every chunk but the last goes with MSG_MORE, so the kernel joins the chunks of a job
    // into full segments; the last one goes without it and sends whatever is queued at once.
    const unsigned char* pEnd = pData + nLength;
    return WriteInChunks(pData, nLength, pnError,
                         [this, pEnd](unsigned char* pChunk, unsigned long nChunk, unsigned long* pnFlag) {
                             return EthWrite(pChunk, nChunk, pnFlag, pChunk + nChunk < pEnd);
                         });
}

unsigned long CComPortEth::EthWrite(unsigned char* pData, unsigned long nLength, unsigned long* pnError,
                                    bool bMoreFollows) {
    if (!OpenPort()) {
        CCLog::WriteLog("EthWrite", kTransferOpenError);
        SetLastError(kTransferOpenError);
        *pnError = 1;
        return 0;
    }
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
        ssize_t nResult = send(m_hSocket, pData + nSent, nLength - nSent, nFlags);
        if (nResult > 0) {
            nSent += static_cast<unsigned long>(nResult);
            continue;
        }
        if (nResult < 0 && errno == EINTR) continue;
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
    // reached the printer.
    m_nBytesSent += nSent;
    if (bDead) {
        // Reset or broken pipe: nothing sent on this connection is reported, and the next
        // transfer connects anew instead of failing on a dead socket.
        ReleaseConnection("EthWrite");
        *pnError = 1;
        return static_cast<unsigned long>(-1L);
    }
    // The timeout passed: what the socket took is the result, or a failure when it took
    // nothing. The connection itself is still good. A job the close ended has failed,
    // whatever part of it went out.
    if ((nSent == 0 && nLength > 0) || bEnded) {
        *pnError = 1;
        return static_cast<unsigned long>(-1L);
    }
    return nSent;
}

unsigned long CComPortEth::Read(unsigned char* pBuffer, unsigned long nLength, unsigned long* pnError) {
    m_bReadEnded = false;
    return EthRead(pBuffer, nLength, pnError);
}

unsigned long CComPortEth::EthRead(unsigned char* pBuffer, unsigned long nLength, unsigned long* pnError) {
    if (!OpenPort()) {
        CCLog::WriteLog("EthRead", kTransferOpenError);
        SetLastError(kTransferOpenError);
        *pnError = 1;
        return 0;
    }
    // One receive after a wait of up to the receive timeout (what is left of it in an answer
    // collection), which a signal does not cut short and a close from another thread ends
    // at once (as the timeout would). End of
    // stream is reported as a failure that ends the answer: a closed connection would
    // otherwise answer 0 bytes at once, again and again.
    if (nLength == 0) return 0;
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
        nResult = recv(m_hSocket, pBuffer, nLength, MSG_DONTWAIT);
        nErrno = errno;
        if (nResult >= 0 || !WorthRetrying(nErrno)) break;
    }
    if (nResult > 0) return static_cast<unsigned long>(nResult);

    SetLastError(kReadError);
    *pnError = 1;
    if (nResult < 0 && WorthRetrying(nErrno)) {
        m_bReadEnded = true;  // the receive timeout passed without data, or the close ended the wait
        return static_cast<unsigned long>(-1L);
    }
    // End of stream (0), or a reset (negative): the next transfer connects anew.
    m_bReadEnded = nResult == 0;
    ReleaseConnection("EthRead");
    return static_cast<unsigned long>(static_cast<long>(nResult));
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
