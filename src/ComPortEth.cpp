#include "ComPortEth.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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
constexpr unsigned int kClosePauseSeconds = 2;
// Socket timeouts above this many milliseconds (a negative int from Java, stored unsigned)
// are taken as this, about 24.8 days.
constexpr unsigned long kMaxTimeoutMs = 0x7fffffffUL;

constexpr char kWrongHostname[] = "Wrong hostname";
constexpr char kOpenDeviceError[] = "Open ETH Device Error";
constexpr char kTransferOpenError[] = "Open Error (Device Error)";

timeval ToTimeval(unsigned long nTimeoutMs) {
    nTimeoutMs = std::min(nTimeoutMs, kMaxTimeoutMs);
    timeval tv;
    tv.tv_sec = static_cast<time_t>(nTimeoutMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>((nTimeoutMs % 1000) * 1000);
    return tv;
}

// The full pause even when a signal cuts a sleep short.
void PauseSeconds(unsigned int nSeconds) {
    timespec remaining{static_cast<time_t>(nSeconds), 0};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
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
    const uint32_t nStart = GenericFunctions::GetTickCount();
    int nReady;
    for (;;) {
        uint32_t nElapsed = GenericFunctions::ElapsedTicks(nStart, GenericFunctions::GetTickCount());
        int nLeft = nElapsed >= static_cast<uint32_t>(kConnectWaitMs) ? 0 : kConnectWaitMs - static_cast<int>(nElapsed);
        nReady = poll(&wait, 1, nLeft);
        if (nReady >= 0 || errno != EINTR || nLeft == 0) break;
    }
    if (nReady < 1) return FailOpenPort("Timeout or error()");

    int nError = 0;
    socklen_t nLength = sizeof(nError);
    getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLength);
    if (nError != 0) return FailOpenPort("Error in connection()");
    return true;
}

// Read only here: timeouts stored later take effect at the next connect. A zero timeout
// means sends and receives never time out.
void CComPortEth::ApplySocketTimeouts() {
    timeval tvSend = ToTimeval(m_nTimeoutTX);
    setsockopt(m_hSocket, SOL_SOCKET, SO_SNDTIMEO, &tvSend, sizeof(tvSend));
    timeval tvReceive = ToTimeval(m_nTimeoutRX);
    setsockopt(m_hSocket, SOL_SOCKET, SO_RCVTIMEO, &tvReceive, sizeof(tvReceive));
    // Each send goes out at once: with Nagle's algorithm the short tail of a job, or a
    // status request right after one, waits for the printer's delayed acknowledgement.
    int nNoDelay = 1;
    setsockopt(m_hSocket, IPPROTO_TCP, TCP_NODELAY, &nNoDelay, sizeof(nNoDelay));
}

bool CComPortEth::Close() {
    shutdown(m_hSocket, SHUT_RDWR);
    PauseSeconds(kClosePauseSeconds);
    close(m_hSocket);
    m_hSocket = -1;
    return true;
}

unsigned long CComPortEth::Write(unsigned char* pData, unsigned long nLength, unsigned long* pnError) {
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
    // MSG_NOSIGNAL: a printer that has closed its end fails the send instead of raising
    // SIGPIPE, which would end the whole process.
    int nResult = static_cast<int>(send(m_hSocket, pData, nLength, MSG_NOSIGNAL | (bMoreFollows ? MSG_MORE : 0)));
    if (nResult < 0) *pnError = 1;
    return static_cast<unsigned long>(static_cast<long>(nResult));
}

unsigned long CComPortEth::Read(unsigned char* pBuffer, unsigned long nLength, unsigned long* pnError) {
    return EthRead(pBuffer, nLength, pnError);
}

unsigned long CComPortEth::EthRead(unsigned char* pBuffer, unsigned long nLength, unsigned long* pnError) {
    if (!OpenPort()) {
        CCLog::WriteLog("EthRead", kTransferOpenError);
        SetLastError(kTransferOpenError);
        *pnError = 1;
        return 0;
    }
    int nResult = static_cast<int>(recv(m_hSocket, pBuffer, nLength, 0));
    if (nResult < 0) {
        SetLastError("EthRead Error");
        *pnError = 1;
    }
    return static_cast<unsigned long>(static_cast<long>(nResult));
}

void CComPortEth::CleanTX() {}

void CComPortEth::CleanRX() {}

void CComPortEth::SetTimeoutTX(int nTimeout) { m_nTimeoutTX = static_cast<unsigned long>(nTimeout); }

void CComPortEth::SetTimeoutRX(int nTimeout) { m_nTimeoutRX = static_cast<unsigned long>(nTimeout); }

unsigned long CComPortEth::GetTimeoutRX() { return m_nTimeoutRX; }
