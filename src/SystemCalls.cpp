#include "SystemCalls.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>


namespace {

// Makes the call again while a signal interrupts it: the one retry of EINTR in the library.
template <typename Call>
auto Retry(Call call) -> decltype(call()) {
    decltype(call()) nResult;
    do {
        nResult = call();
    } while (nResult == -1 && errno == EINTR);
    return nResult;
}

}  // namespace

namespace SystemCalls {

uint32_t ClampTimeoutMs(unsigned long nTimeoutMs) {
    return nTimeoutMs < kMaxTimeoutMs ? static_cast<uint32_t>(nTimeoutMs) : kMaxTimeoutMs;
}

Deadline::Deadline(unsigned long nTimeoutMs, ZeroTimeout eZero)
    : Deadline(Since(MonotonicTicks(), nTimeoutMs, eZero)) {}

Deadline Deadline::Since(uint32_t nStartTick, unsigned long nTimeoutMs, ZeroTimeout eZero) {
    return Deadline(nStartTick, ClampTimeoutMs(nTimeoutMs), nTimeoutMs != 0 || eZero == ZeroTimeout::NoWait);
}

int Deadline::RemainingMs() const {
    if (!m_bLimited) return -1;
    // Taken modulo 2^32, so it stays right when the count wraps between the two readings.
    const uint32_t nElapsed = MonotonicTicks() - m_nStartTick;
    return nElapsed >= m_nTimeoutMs ? 0 : static_cast<int>(m_nTimeoutMs - nElapsed);
}

WakeEvent::~WakeEvent() { Close(&m_hEvent); }

bool WakeEvent::Create() {
    if (m_hEvent < 0) m_hEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return m_hEvent >= 0;
}

void WakeEvent::Signal() const {
    if (m_hEvent < 0) return;
    const uint64_t nOne = 1;
    // Only a counter at its maximum refuses the write, and that one is readable already.
    Write(m_hEvent, &nOne, sizeof(nOne));
}

void WakeEvent::Clear() const {
    if (m_hEvent < 0) return;
    uint64_t nCount = 0;
    Read(m_hEvent, &nCount, sizeof(nCount));
}

WaitResult WaitFor(pollfd* pWait, const Deadline& deadline, const WakeEvent* pWake) {
    pollfd waits[2];
    nfds_t nWaits = 0;
    if (pWait != nullptr) waits[nWaits++] = pollfd{pWait->fd, pWait->events, 0};
    const bool bWake = pWake != nullptr && pWake->Fd() >= 0;
    if (bWake) waits[nWaits++] = pollfd{pWake->Fd(), POLLIN, 0};
    for (;;) {
        // Each round waits only for the time that remains.
        int nReady = poll(waits, nWaits, deadline.RemainingMs());
        if (nReady < 0 && errno == EINTR) continue;
        if (nReady < 0) return WaitResult::Failed;
        if (nReady == 0) return WaitResult::TimedOut;
        if (bWake && waits[nWaits - 1].revents != 0) return WaitResult::Woken;
        pWait->revents = waits[0].revents;
        return WaitResult::Ready;
    }
}

int WaitForAny(pollfd* pWaits, size_t nWaits, const Deadline& deadline) {
    for (;;) {
        const int nReady = poll(pWaits, nWaits, deadline.RemainingMs());
        if (nReady >= 0 || errno != EINTR) return nReady;
    }
}

int OpenCloseOnExec(const char* szPath, int nFlags, mode_t nMode) { return open(szPath, nFlags | O_CLOEXEC, nMode); }

int SocketCloseOnExec(int nDomain, int nType, int nProtocol) {
    return socket(nDomain, nType | SOCK_CLOEXEC, nProtocol);
}

bool LookUpIPv4(const char* szHost, in_addr* pAddress, bool bNumericOnly) {
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (bNumericOnly) hints.ai_flags = AI_NUMERICHOST;
    addrinfo* pResults = nullptr;
    if (getaddrinfo(szHost, nullptr, &hints, &pResults) != 0) return false;
    bool bFound = false;
    for (const addrinfo* pResult = pResults; pResult != nullptr && !bFound; pResult = pResult->ai_next) {
        if (pResult->ai_family != AF_INET || pResult->ai_addr == nullptr ||
            pResult->ai_addrlen < sizeof(sockaddr_in)) {
            continue;
        }
        sockaddr_in address;
        memcpy(&address, pResult->ai_addr, sizeof(address));
        *pAddress = address.sin_addr;
        bFound = true;
    }
    freeaddrinfo(pResults);
    return bFound;
}

struct HostLookUp::State {
    std::string host;
    WakeEvent done;                 // signalled once the lookup has finished
    std::atomic<bool> bFinished{false};
    bool bFound = false;            // written before bFinished, read after it
    in_addr address{};
    pthread_t thread{};
};

namespace {

// Every lookup thread not yet joined, given up or not: each is joined once it has finished,
// at the next lookup's start or at the library's unload.
struct LookUpThreads {
    std::mutex lock;
    std::vector<std::shared_ptr<HostLookUp::State>> running;
};
NeverDestroyed<LookUpThreads> g_lookUps;

void* RunLookUp(void* pHandOff) {
    std::shared_ptr<HostLookUp::State> state = std::move(*static_cast<std::shared_ptr<HostLookUp::State>*>(pHandOff));
    delete static_cast<std::shared_ptr<HostLookUp::State>*>(pHandOff);
    state->bFound = LookUpIPv4(state->host.c_str(), &state->address);
    state->bFinished.store(true, std::memory_order_release);
    state->done.Signal();
    return nullptr;
}

// Joins the lookup threads that have finished (bAll: every one, waiting for those that
// have not). The threads are taken out under the lock and joined outside it.
void JoinLookUpThreads(bool bAll) {
    std::vector<std::shared_ptr<HostLookUp::State>> ended;
    {
        std::lock_guard<std::mutex> lock(g_lookUps->lock);
        std::vector<std::shared_ptr<HostLookUp::State>>& running = g_lookUps->running;
        for (auto it = running.begin(); it != running.end();) {
            if (bAll || (*it)->bFinished.load(std::memory_order_acquire)) {
                ended.push_back(std::move(*it));
                it = running.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const std::shared_ptr<HostLookUp::State>& state : ended) JoinThread(state->thread);
}

}  // namespace

bool HostLookUp::Start(const char* szHost) {
    JoinLookUpThreads(false);
    std::shared_ptr<State> state = std::make_shared<State>();
    state->host = szHost;
    if (!state->done.Create()) return false;
    // A dotted address needs no resolver: it is taken at once, without a thread.
    if (LookUpIPv4(szHost, &state->address, true)) {
        state->bFound = true;
        state->bFinished.store(true, std::memory_order_release);
        state->done.Signal();
        m_state = state;
        return true;
    }
    auto* pHandOff = new std::shared_ptr<State>(state);
    std::lock_guard<std::mutex> lock(g_lookUps->lock);
    try {
        // Room first: once the thread runs, nothing may fail before it is registered.
        g_lookUps->running.reserve(g_lookUps->running.size() + 1);
    } catch (...) {
        delete pHandOff;
        throw;
    }
    if (!StartThread(&state->thread, RunLookUp, pHandOff)) {
        delete pHandOff;
        return false;
    }
    g_lookUps->running.push_back(state);
    m_state = state;
    return true;
}

HostLookUp::~HostLookUp() {
    if (m_state && m_state->bFinished.load(std::memory_order_acquire)) JoinLookUpThreads(false);
}

int HostLookUp::Fd() const { return m_state ? m_state->done.Fd() : -1; }

bool HostLookUp::Result(in_addr* pAddress) const {
    if (!m_state || !m_state->bFinished.load(std::memory_order_acquire) || !m_state->bFound) return false;
    *pAddress = m_state->address;
    return true;
}

void HostLookUp::JoinLookUps() { JoinLookUpThreads(true); }

TimedLock::TimedLock() {
    pthread_mutex_init(&m_mutex, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&m_released, &attributes);
    pthread_condattr_destroy(&attributes);
}

TimedLock::~TimedLock() {
    pthread_cond_destroy(&m_released);
    pthread_mutex_destroy(&m_mutex);
}

void TimedLock::Lock() {
    pthread_mutex_lock(&m_mutex);
    while (m_bHeld) pthread_cond_wait(&m_released, &m_mutex);
    m_bHeld = true;
    pthread_mutex_unlock(&m_mutex);
}

bool TimedLock::LockBefore(const Deadline& deadline) {
    pthread_mutex_lock(&m_mutex);
    while (m_bHeld) {
        int nLeft = deadline.RemainingMs();
        if (nLeft == 0) break;
        if (nLeft < 0) {
            pthread_cond_wait(&m_released, &m_mutex);
            continue;
        }
        // The condition waits on the monotonic clock, so the end of the wait is a point of it.
        timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += nLeft / 1000;
        until.tv_nsec += static_cast<long>(nLeft % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        pthread_cond_timedwait(&m_released, &m_mutex, &until);
    }
    const bool bTaken = !m_bHeld;
    if (bTaken) m_bHeld = true;
    pthread_mutex_unlock(&m_mutex);
    return bTaken;
}

bool TimedLock::TryLock() {
    pthread_mutex_lock(&m_mutex);
    const bool bTaken = !m_bHeld;
    if (bTaken) m_bHeld = true;
    pthread_mutex_unlock(&m_mutex);
    return bTaken;
}

void TimedLock::Unlock() {
    pthread_mutex_lock(&m_mutex);
    m_bHeld = false;
    pthread_mutex_unlock(&m_mutex);
    pthread_cond_signal(&m_released);
}

namespace {

// The wall clock. Where time_t has 32 bits (the 32-bit ARM build keeps it so, to load on C
// libraries older than 2.34), the dates would wrap in January 2038: the C library's 64-bit
// calls are used instead where the running one has them, looked up once when the library
// is loaded. Timeouts run on the monotonic clock and are not affected either way.
struct Timespec64 {  // the C library's struct __timespec64 on 32-bit builds
    int64_t tv_sec;
    int32_t tv_nsec;
    int32_t nPadding;
};
struct WallClock64 {
    WallClock64() {
        if (sizeof(time_t) >= 8) return;
        pClock = reinterpret_cast<int (*)(clockid_t, Timespec64*)>(dlsym(RTLD_DEFAULT, "__clock_gettime64"));
        pLocalTime = reinterpret_cast<struct tm* (*)(const int64_t*, struct tm*)>(dlsym(RTLD_DEFAULT, "__localtime64_r"));
        if (pClock == nullptr || pLocalTime == nullptr) {  // both, or neither
            pClock = nullptr;
            pLocalTime = nullptr;
        }
    }
    int (*pClock)(clockid_t, Timespec64*) = nullptr;
    struct tm* (*pLocalTime)(const int64_t*, struct tm*) = nullptr;
};
const WallClock64 g_wallClock64;

}  // namespace

bool LocalTime(int64_t nSeconds, struct tm* pLocal) {
    if (g_wallClock64.pLocalTime != nullptr) {
        if (g_wallClock64.pLocalTime(&nSeconds, pLocal) != nullptr) return true;
    } else {
        time_t nTime = static_cast<time_t>(nSeconds);
        if (localtime_r(&nTime, pLocal) != nullptr) return true;
    }
    memset(pLocal, 0, sizeof(*pLocal));
    return false;
}

// Now on the wall clock: seconds since 1970, and the milliseconds of the second.
int64_t WallClockNow(long* pnMilliseconds) {
    Timespec64 now64;
    if (g_wallClock64.pClock != nullptr && g_wallClock64.pClock(CLOCK_REALTIME, &now64) == 0) {
        *pnMilliseconds = static_cast<long>(now64.tv_nsec / 1000000);
        return now64.tv_sec;
    }
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    *pnMilliseconds = static_cast<long>(tv.tv_usec / 1000);
    return tv.tv_sec;
}

bool WallClockPast2038() { return sizeof(time_t) >= 8 || g_wallClock64.pLocalTime != nullptr; }

uint32_t MonotonicTicks() {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    // Truncating each term first keeps the arithmetic in 32 bits on every build.
    return static_cast<uint32_t>(now.tv_sec) * 1000u + static_cast<uint32_t>(now.tv_nsec / 1000000);
}

void Sleep(unsigned long nMicroseconds) {
    timespec remaining{static_cast<time_t>(nMicroseconds / 1000000), static_cast<long>(nMicroseconds % 1000000) * 1000};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void Close(int* pFd) {
    if (*pFd >= 0) close(*pFd);
    *pFd = -1;
}

ssize_t Read(int fd, void* pBuffer, size_t nLength) { return Retry([&] { return read(fd, pBuffer, nLength); }); }

ssize_t Write(int fd, const void* pData, size_t nLength) { return Retry([&] { return write(fd, pData, nLength); }); }

FlagsResult SetNonBlocking(int fd, bool bNonBlocking) {
    const int nFlags = Retry([&] { return fcntl(fd, F_GETFL, 0); });
    if (nFlags < 0) return FlagsResult::ReadFailed;
    const int nWanted = bNonBlocking ? (nFlags | O_NONBLOCK) : (nFlags & ~O_NONBLOCK);
    if (Retry([&] { return fcntl(fd, F_SETFL, nWanted); }) != 0) return FlagsResult::SetFailed;
    return FlagsResult::Done;
}

int BytesToRead(int fd) {
    int nCount = 0;
    return ioctl(fd, FIONREAD, &nCount) == 0 ? nCount : 0;
}

int BytesToSend(int fd) {
    // TIOCOUTQ and SIOCOUTQ are the same request.
    int nCount = 0;
    return ioctl(fd, TIOCOUTQ, &nCount) == 0 ? nCount : -1;
}

const char* ErrorText(int nErrno, char* szBuffer, size_t nSize) { return strerror_r(nErrno, szBuffer, nSize); }

bool ApplyTerminal(int fd, const struct termios& settings) { return Retry([&] { return tcsetattr(fd, TCSANOW, &settings); }) == 0; }

void FlushTerminal(int fd, int nQueue) { tcflush(fd, nQueue); }

bool DrainTerminal(int fd) { return Retry([&] { return tcdrain(fd); }) == 0; }

void SetExclusiveUse(int fd, bool bExclusive) { ioctl(fd, bExclusive ? TIOCEXCL : TIOCNXCL); }

bool LockFile(int fd, LockKind eKind) {
    const int nOperation = eKind == LockKind::Shared ? LOCK_SH : eKind == LockKind::Exclusive ? LOCK_EX : LOCK_UN;
    return Retry([&] { return flock(fd, nOperation); }) == 0;
}

TryLockResult TryLockFile(int fd) {
    if (Retry([&] { return flock(fd, LOCK_EX | LOCK_NB); }) == 0) return TryLockResult::Taken;
    return errno == EWOULDBLOCK ? TryLockResult::HeldElsewhere : TryLockResult::NoLocks;
}

namespace {

void Describe(const struct stat& st, FileInfo* pInfo) {
    pInfo->bRegular = S_ISREG(st.st_mode);
    pInfo->nDevice = st.st_dev;
    pInfo->nInode = st.st_ino;
    pInfo->nSize = static_cast<unsigned long long>(st.st_size);
}

}  // namespace

bool StatDescriptor(int fd, FileInfo* pInfo) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    Describe(st, pInfo);
    return true;
}

bool StatPath(const char* szPath, FileInfo* pInfo) {
    struct stat st;
    if (lstat(szPath, &st) != 0) return false;
    Describe(st, pInfo);
    return true;
}

FILE* OpenAppending(const char* szPath, mode_t nMode) {
    int fd = OpenCloseOnExec(szPath, O_WRONLY | O_APPEND | O_CREAT, nMode);
    if (fd < 0) return nullptr;
    FILE* pStream = fdopen(fd, "a");
    if (pStream == nullptr) {
        const int nErrno = errno;
        Close(&fd);
        errno = nErrno;
    }
    return pStream;
}

void CloseStream(FILE** ppStream) {
    // The stream is gone after fclose whatever it reports.
    if (*ppStream != nullptr) fclose(*ppStream);
    *ppStream = nullptr;
}

int Rename(const char* szFrom, const char* szTo) { return rename(szFrom, szTo); }

int Unlink(const char* szPath) { return unlink(szPath); }

void WriteStandardOutput(const char* pData, size_t nLength) {
    fwrite(pData, 1, nLength, stdout);
    fflush(stdout);
}

ConnectStart StartConnect(int fd, const sockaddr_in& address) {
    // A connect cut short by a signal goes on in the background, as one in progress does.
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return ConnectStart::Connected;
    return errno == EINPROGRESS || errno == EINTR ? ConnectStart::InProgress : ConnectStart::Failed;
}

int PendingSocketError(int fd) {
    int nError = 0;
    socklen_t nLength = sizeof(nError);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &nLength) != 0) return errno;
    return nError;
}

void SetSocketTimeout(int fd, int nOption, unsigned long nTimeoutMs) {
    const uint32_t nMs = ClampTimeoutMs(nTimeoutMs);
    timeval tv;
    tv.tv_sec = static_cast<time_t>(nMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>((nMs % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, nOption, &tv, sizeof(tv));
}

void SendAtOnce(int fd) {
    int nNoDelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nNoDelay, sizeof(nNoDelay));
}

bool HasPeer(int fd) {
    sockaddr_in peer;
    socklen_t nPeerLength = sizeof(peer);
    return getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &nPeerLength) == 0;
}

bool ShutDownSending(int fd) { return shutdown(fd, SHUT_WR) == 0; }

ssize_t Send(int fd, const void* pData, size_t nLength, int nFlags) {
    return Retry([&] { return send(fd, pData, nLength, nFlags); });
}

ssize_t Receive(int fd, void* pBuffer, size_t nLength, int nFlags) {
    return Retry([&] { return recv(fd, pBuffer, nLength, nFlags); });
}

bool StartThread(pthread_t* pThread, void* (*pRun)(void*), void* pArgument) {
    const int nResult = pthread_create(pThread, nullptr, pRun, pArgument);
    if (nResult != 0) errno = nResult;
    return nResult == 0;
}

void JoinThread(pthread_t thread) { pthread_join(thread, nullptr); }

}  // namespace SystemCalls
