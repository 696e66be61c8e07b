#include "ComPortEth.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
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

#include "CGenericFunctions.h"
#include "CLog.h"

namespace {

constexpr int kConnectWaitMs = 5000;
constexpr int kClosePauseMs = 2000;
// Socket timeouts above this many milliseconds (a negative int from Java, stored unsigned)
// are taken as this, about 24.8 days.
constexpr unsigned long kMaxTimeoutMs = 0x7fffffffUL;
// Unread bytes of a connection the printer ended that the log shows before they are dropped.
constexpr size_t kDroppedDumpSize = 256;

constexpr char kWrongHostname[] = "Wrong hostname";
constexpr char kOpenDeviceError[] = "Open ETH Device Error";
constexpr char kTransferOpenError[] = "Open Error (Device Error)";
constexpr char kReadError[] = "EthRead Error";

timeval ToTimeval(unsigned long nTimeoutMs) {
    nTimeoutMs = std::min(nTimeoutMs, kMaxTimeoutMs);
    timeval tv;
    tv.tv_sec = static_cast<time_t>(nTimeoutMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>((nTimeoutMs % 1000) * 1000);
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
    if (OpenPort()) return true;
    // The specific cause stays in the log; the caller sees one text for every failed open.
    CCLog::WriteLog("Open", kOpenDeviceError);
    SetLastError(kOpenDeviceError);
    return false;
}

bool CComPortEth::OpenPort() {
    ClearLastError();
    if (m_hSocket != -1) return true;
    // Only 1..65535 name a TCP port; cutting another number to 16 bits would reach a
    // different one.
    if (m_nPort < 1 || m_nPort > 65535) return FailOpenPort("Wrong port");

    m_hSocket = socket(AF_INET, SOCK_STREAM, 0);
    if (m_hSocket < 0) {
        m_hSocket = -1;
        return FailOpenPort("Error to create new socket");
    }

    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    hostent* pHost = gethostbyname(m_strHost);
    if (pHost == nullptr || pHost->h_addrtype != AF_INET || pHost->h_addr_list[0] == nullptr) {
        return FailOpenPort(kWrongHostname);
    }
    memcpy(&address.sin_addr, pHost->h_addr_list[0],
           std::min(sizeof(address.sin_addr), static_cast<size_t>(std::max(pHost->h_length, 0))));
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
    // A signal does not end the wait early; the 5 s bound holds all the same.
    pollfd wait{m_hSocket, POLLOUT, 0};
    int nReady = GenericFunctions::PollFor(&wait, kConnectWaitMs);
    if (nReady < 1) return FailOpenPort("Timeout or error()");

    int nError = 0;
    socklen_t nLength = sizeof(nError);
    getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLength);
    if (nError != 0) return FailOpenPort("Error in connection()");
    return true;
}

// Set at every connect and by the timeout setters while connected, so the socket's
// options always hold the port's timeouts. A zero timeout means sends and receives never
// time out.
void CComPortEth::ApplySocketTimeouts() {
    SetSocketTimeout(SO_SNDTIMEO, m_nTimeoutTX);
    SetSocketTimeout(SO_RCVTIMEO, m_nTimeoutRX);
}

void CComPortEth::SetSocketTimeout(int nOption, unsigned long nTimeoutMs) {
    timeval tv = ToTimeval(nTimeoutMs);
    setsockopt(m_hSocket, SOL_SOCKET, nOption, &tv, sizeof(tv));
}

// A send or receive on a socket with a timeout returns EINTR when a signal arrives, and
// the retried call would start the whole timeout again: the option is set to what
// remains (0 left: the time is up). Whoever shortens it sets the port's value back.
bool CComPortEth::ShortenTimeout(int nOption, unsigned long nTimeoutMs, uint32_t nStart) {
    if (nTimeoutMs == 0) return true;  // no time limit: nothing to shorten
    int nLeft = GenericFunctions::RemainingMs(nStart, nTimeoutMs);
    if (nLeft == 0) return false;
    SetSocketTimeout(nOption, static_cast<unsigned long>(nLeft));
    return true;
}

bool CComPortEth::Close() {
    // The sending side ends first, behind every byte send took; what the printer still
    // sends is read and dropped until it closes its end. Closing over unread bytes would
    // reset the connection and throw away the end of the job. The pause is the upper bound;
    // a socket that never connected, or was reset, takes the whole pause.
    sockaddr_in peer;
    socklen_t nPeerLength = sizeof(peer);
    bool bConnected = getpeername(m_hSocket, reinterpret_cast<sockaddr*>(&peer), &nPeerLength) == 0;
    if (bConnected && shutdown(m_hSocket, SHUT_WR) == 0) {
        DrainUntilPeerCloses(kClosePauseMs);
    } else {
        GenericFunctions::PauseMicroseconds(static_cast<unsigned long>(kClosePauseMs) * 1000);
    }
    close(m_hSocket);
    m_hSocket = -1;
    return true;
}

void CComPortEth::DrainUntilPeerCloses(int nWaitMs) {
    const uint32_t nStart = GenericFunctions::GetTickCount();
    unsigned long nDropped = 0;
    unsigned char buffer[1024];
    for (;;) {
        int nLeft = GenericFunctions::RemainingMs(nStart, static_cast<unsigned long>(nWaitMs));
        pollfd wait{m_hSocket, POLLIN, 0};
        if (GenericFunctions::PollFor(&wait, nLeft) <= 0) break;
        ssize_t nRead = recv(m_hSocket, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (nRead > 0) {
            nDropped += static_cast<unsigned long>(nRead);
        } else if (nRead == 0 || !WorthRetrying(errno)) {
            break;  // the printer has closed its end, or reset the connection
        }
        if (nLeft == 0) break;
    }
    if (nDropped > 0) CCLog::WriteLogP("Close", "%lu unread byte(s) from the printer dropped", nDropped);
}

bool CComPortEth::PeerHasEnded() {
    // POLLRDHUP reports the printer's FIN even behind bytes it sent first and nobody read.
    pollfd probe{m_hSocket, POLLRDHUP, 0};
    if (GenericFunctions::PollFor(&probe, 0) <= 0) return false;
    return (probe.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void CComPortEth::ReleaseConnection(const char* szName) {
    int nQueued = 0;
    if (ioctl(m_hSocket, FIONREAD, &nQueued) == 0 && nQueued > 0) {
        unsigned char dropped[kDroppedDumpSize];
        ssize_t nRead = recv(m_hSocket, dropped, sizeof(dropped), MSG_DONTWAIT);
        CCLog::WriteLogP(szName, "%d unread byte(s) from the printer dropped with the connection", nQueued);
        if (nRead > 0) CCLog::WriteLogData(szName, "Dropped Bytes:", dropped, static_cast<unsigned long>(nRead));
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
    // A blocking send with the transmit timeout. A signal cuts it short (EINTR, or fewer
    // bytes): it goes on with the rest and the time that remains. MSG_NOSIGNAL: a printer
    // that has closed its end fails the send instead of raising SIGPIPE, which would end
    // the whole process.
    const int nFlags = MSG_NOSIGNAL | (bMoreFollows ? MSG_MORE : 0);
    const uint32_t nStart = GenericFunctions::GetTickCount();
    unsigned long nSent = 0;
    bool bShortened = false;
    bool bDead = false;
    for (;;) {
        ssize_t nResult = send(m_hSocket, pData + nSent, nLength - nSent, nFlags);
        if (nResult > 0) nSent += static_cast<unsigned long>(nResult);
        if (nResult < 0 && !WorthRetrying(errno)) bDead = true;
        if (bDead || nSent >= nLength || nResult == 0 || (nResult < 0 && errno != EINTR)) break;
        if (!ShortenTimeout(SO_SNDTIMEO, m_nTimeoutTX, nStart)) break;  // the time is up
        bShortened = true;
    }
    if (bShortened) ApplySocketTimeouts();
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
    // nothing. The connection itself is still good.
    if (nSent == 0 && nLength > 0) {
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
    // One blocking receive with the receive timeout; a signal does not cut the wait short.
    // End of stream is reported as a failure that ends the answer: a closed connection
    // would otherwise answer 0 bytes at once, again and again.
    const uint32_t nStart = GenericFunctions::GetTickCount();
    ssize_t nResult;
    bool bShortened = false;
    for (;;) {
        nResult = recv(m_hSocket, pBuffer, nLength, 0);
        if (nResult >= 0 || errno != EINTR) break;
        if (!ShortenTimeout(SO_RCVTIMEO, m_nTimeoutRX, nStart)) {
            errno = EAGAIN;  // the time is up
            break;
        }
        bShortened = true;
    }
    const int nErrno = errno;
    if (bShortened) ApplySocketTimeouts();
    if (nResult > 0 || (nResult == 0 && nLength == 0)) return static_cast<unsigned long>(nResult);

    SetLastError(kReadError);
    *pnError = 1;
    if (nResult < 0 && WorthRetrying(nErrno)) {
        m_bReadEnded = true;  // the receive timeout passed without data
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
