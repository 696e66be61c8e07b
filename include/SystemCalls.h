#ifndef TILLPORTCOMM_SYSTEMCALLS_H
#define TILLPORTCOMM_SYSTEMCALLS_H

#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <new>
#include <utility>

// The system-call details the ports and the port table share: Java timeouts as deadlines on
// the monotonic clock, waits in poll that a close on another thread can end, close-on-exec
// descriptors, the host lookup, and a lock whose wait a deadline bounds. Everything here is
// safe to call from several threads at once and uses only what glibc 2.28 offers.
namespace SystemCalls {

// Storage for an object that lasts as long as the process: built in place and never
// destroyed, so nothing of it runs at exit, when a thread may still be blocked in the
// library waiting on it (a condition variable's destruction waits for its waiters).
template <typename T>
class NeverDestroyed {
public:
    template <typename... Args>
    explicit NeverDestroyed(Args&&... args) {
        new (m_storage) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;
    T& get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }
    T* operator->() { return &get(); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

// The longest wait in milliseconds, 2^31-1 (about 24.8 days), the most poll takes. Java hands
// timeouts over as int and the ports keep them as unsigned long, so a negative timeout
// arrives as a huge count: every wait takes it as this.
constexpr uint32_t kMaxTimeoutMs = 0x7fffffffu;
uint32_t ClampTimeoutMs(unsigned long nTimeoutMs);

// What a timeout of 0 means on a transport: no limit (TCP sockets, libusb transfers) or do
// not wait at all (serial lines).
enum class ZeroTimeout { NoLimit, NoWait };

// The end of a wait, on the wrapping 32-bit millisecond ticks of GenericFunctions::GetTickCount.
class Deadline {
public:
    // nTimeoutMs from now, taken through ClampTimeoutMs; 0 means what eZero says.
    Deadline(unsigned long nTimeoutMs, ZeroTimeout eZero);
    // The same, counted from an earlier tick.
    static Deadline Since(uint32_t nStartTick, unsigned long nTimeoutMs, ZeroTimeout eZero);

    // Milliseconds left, as poll takes them: -1 without a limit, 0 once the deadline has passed.
    int RemainingMs() const;
    bool Passed() const { return RemainingMs() == 0; }

private:
    Deadline(uint32_t nStartTick, uint32_t nTimeoutMs, bool bLimited)
        : m_nStartTick(nStartTick), m_nTimeoutMs(nTimeoutMs), m_bLimited(bLimited) {}

    uint32_t m_nStartTick;
    uint32_t m_nTimeoutMs;
    bool m_bLimited;
};

// A port's wake-up descriptor: an eventfd that a close on another thread signals, so that the
// waits of the call in progress on the port end. It has no descriptor until Create(); without
// one, Signal() does nothing and waits do not watch it.
class WakeEvent {
public:
    WakeEvent() = default;
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // Makes the descriptor (close-on-exec, non-blocking); false when none could be made.
    bool Create();
    // Makes the descriptor readable until Clear(). Never blocks.
    void Signal() const;
    // Takes back what Signal() gave. Never blocks.
    void Clear() const;
    int Fd() const { return m_hEvent; }

private:
    int m_hEvent = -1;
};

enum class WaitResult { Ready, TimedOut, Woken, Failed };

// Waits in poll until pWait's descriptor has one of its events (pWait may be null: then it
// only sleeps), the deadline passes, or pWake is signalled (null, or without a descriptor:
// not watched). A signal does not end the wait early: it goes on with the time that remains.
// Woken wins over Ready; Ready leaves the descriptor's events in pWait->revents (POLLHUP,
// POLLERR and POLLNVAL among them); Failed leaves errno.
WaitResult WaitFor(pollfd* pWait, const Deadline& deadline, const WakeEvent* pWake = nullptr);

// open(2) and socket(2) with close-on-exec, so that a program another part of the process
// starts (system, popen, ProcessBuilder) never holds the printer's line or connection.
int OpenCloseOnExec(const char* szPath, int nFlags, mode_t nMode = 0);
int SocketCloseOnExec(int nDomain, int nType, int nProtocol);

// The first IPv4 address of a host name or dotted address, by getaddrinfo: the result is the
// caller's own, and the lookup holds no lock that another port's call needs. False when the
// host has no IPv4 address. bNumericOnly: only a dotted address is taken, and no resolver
// is asked (it never blocks).
bool LookUpIPv4(const char* szHost, in_addr* pAddress, bool bNumericOnly = false);

// LookUpIPv4 on a thread of its own (a dotted address is taken at once, without one), so that
// the caller waits for it in poll, beside a port's
// wake-up, and can give it up: a resolver may wait out its timeouts (seconds per dead name
// server), which no close could otherwise cut short. A lookup given up finishes by itself
// and frees what it holds; the threads are joined when they are done, at the latest by
// JoinLookUps().
class HostLookUp {
public:
    HostLookUp() = default;
    // Joins the lookup's thread when it has finished; one given up is joined later.
    ~HostLookUp();
    HostLookUp(const HostLookUp&) = delete;
    HostLookUp& operator=(const HostLookUp&) = delete;

    // Starts looking szHost up; false, with errno set, when no descriptor or thread could
    // be made for it.
    bool Start(const char* szHost);
    // Readable once the lookup has finished.
    int Fd() const;
    // Once Fd() is readable: the first IPv4 address; false when the host has none.
    bool Result(in_addr* pAddress) const;

    // Waits until every lookup thread, given up or not, has ended. For the library's unload:
    // no code of the library may run once it is gone.
    static void JoinLookUps();

    struct State;

private:
    std::shared_ptr<State> m_state;
};

// A lock, like a plain mutex, whose taking a deadline can bound. Not recursive; Unlock() only
// by the thread that holds it. The wait runs on the monotonic clock.
class TimedLock {
public:
    TimedLock();
    ~TimedLock();
    TimedLock(const TimedLock&) = delete;
    TimedLock& operator=(const TimedLock&) = delete;

    void Lock();
    // Takes the lock unless the deadline passes first; false then, holding nothing.
    bool LockBefore(const Deadline& deadline);
    // Takes the lock only when it is free at once.
    bool TryLock();
    void Unlock();

private:
    pthread_mutex_t m_mutex;
    pthread_cond_t m_released;
    bool m_bHeld = false;
};

}  // namespace SystemCalls

#endif
