#ifndef TILLPORTCOMM_SYSTEMCALLS_H
#define TILLPORTCOMM_SYSTEMCALLS_H

#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/types.h>

#include <cstdint>

// The system-call details the ports and the port table share: Java timeouts as deadlines on
// the monotonic clock, waits in poll that a close on another thread can end, close-on-exec
// descriptors, the host lookup, and a lock whose wait a deadline bounds. Everything here is
// safe to call from several threads at once and uses only what glibc 2.28 offers.
namespace SystemCalls {

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
// host has no IPv4 address.
bool LookUpIPv4(const char* szHost, in_addr* pAddress);

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
    void Unlock();

private:
    pthread_mutex_t m_mutex;
    pthread_cond_t m_released;
    bool m_bHeld = false;
};

}  // namespace SystemCalls

#endif
