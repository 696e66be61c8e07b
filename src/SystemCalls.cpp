#include "SystemCalls.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "CGenericFunctions.h"

namespace SystemCalls {

uint32_t ClampTimeoutMs(unsigned long nTimeoutMs) {
    return nTimeoutMs < kMaxTimeoutMs ? static_cast<uint32_t>(nTimeoutMs) : kMaxTimeoutMs;
}

Deadline::Deadline(unsigned long nTimeoutMs, ZeroTimeout eZero)
    : Deadline(Since(GenericFunctions::GetTickCount(), nTimeoutMs, eZero)) {}

Deadline Deadline::Since(uint32_t nStartTick, unsigned long nTimeoutMs, ZeroTimeout eZero) {
    return Deadline(nStartTick, ClampTimeoutMs(nTimeoutMs), nTimeoutMs != 0 || eZero == ZeroTimeout::NoWait);
}

int Deadline::RemainingMs() const {
    if (!m_bLimited) return -1;
    const uint32_t nElapsed = GenericFunctions::ElapsedTicks(m_nStartTick, GenericFunctions::GetTickCount());
    return nElapsed >= m_nTimeoutMs ? 0 : static_cast<int>(m_nTimeoutMs - nElapsed);
}

WakeEvent::~WakeEvent() {
    if (m_hEvent >= 0) close(m_hEvent);
}

bool WakeEvent::Create() {
    if (m_hEvent < 0) m_hEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return m_hEvent >= 0;
}

void WakeEvent::Signal() const {
    if (m_hEvent < 0) return;
    const uint64_t nOne = 1;
    // Only a counter at its maximum refuses the write, and that one is readable already.
    while (write(m_hEvent, &nOne, sizeof(nOne)) < 0 && errno == EINTR) {
    }
}

void WakeEvent::Clear() const {
    if (m_hEvent < 0) return;
    uint64_t nCount = 0;
    while (read(m_hEvent, &nCount, sizeof(nCount)) < 0 && errno == EINTR) {
    }
}

WaitResult WaitFor(pollfd* pWait, const Deadline& deadline, const WakeEvent* pWake) {
    pollfd waits[2];
    nfds_t nWaits = 0;
    if (pWait != nullptr) waits[nWaits++] = pollfd{pWait->fd, pWait->events, 0};
    const bool bWake = pWake != nullptr && pWake->Fd() >= 0;
    if (bWake) waits[nWaits++] = pollfd{pWake->Fd(), POLLIN, 0};
    for (;;) {
        int nReady = poll(waits, nWaits, deadline.RemainingMs());
        if (nReady < 0 && errno == EINTR) continue;
        if (nReady < 0) return WaitResult::Failed;
        if (nReady == 0) return WaitResult::TimedOut;
        if (bWake && waits[nWaits - 1].revents != 0) return WaitResult::Woken;
        pWait->revents = waits[0].revents;
        return WaitResult::Ready;
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
    for (const std::shared_ptr<HostLookUp::State>& state : ended) pthread_join(state->thread, nullptr);
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
    int nResult = pthread_create(&state->thread, nullptr, RunLookUp, pHandOff);
    if (nResult != 0) {
        delete pHandOff;
        errno = nResult;
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

}  // namespace SystemCalls
