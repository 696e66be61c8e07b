#ifndef TILLPORTCOMM_SYSTEMCALLS_H
#define TILLPORTCOMM_SYSTEMCALLS_H

#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

#include <cstdint>
#include <memory>
#include <new>
#include <utility>

// The one place where the library meets the system: every descriptor, socket, terminal, file
// lock, clock, thread and dynamic-lookup call of the library is made here, and nowhere else.
// A call interrupted by a signal is made again (with the time that remains, for waits), so no
// caller handles EINTR; descriptors are close-on-exec; a failure leaves errno as the call
// set it. Besides: Java timeouts as deadlines on the monotonic clock, waits in poll that a
// close on another thread can end, the host lookup, and a lock whose wait a deadline bounds.
// Everything here is safe to call from several threads at once and uses only what glibc
// 2.28 offers.
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

// The end of a wait, on the wrapping 32-bit millisecond ticks of MonotonicTicks (the ticks of
// GenericFunctions::GetTickCount).
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

// Waits in poll for any of the descriptors, up to the deadline; the number ready (0 when the
// time ran out), or -1 with errno. The events are left in each revents.
int WaitForAny(pollfd* pWaits, size_t nWaits, const Deadline& deadline);

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

// ---- Clocks and sleeping ----

// Milliseconds of the monotonic clock as seconds * 1000 + nanoseconds / 1000000, computed in
// 32 bits so it wraps modulo 2^32 on every build; 0 when the clock cannot be read.
uint32_t MonotonicTicks();
// Sleeps the whole time, also when signals cut the sleep short.
void Sleep(unsigned long nMicroseconds);
// Now on the wall clock, as seconds since 1970 and the milliseconds of the second. Right past
// January 2038 wherever time_t has 64 bits, and on 32-bit builds wherever the running C
// library has its 64-bit time calls (glibc 2.34 and later; looked up once, at load).
int64_t WallClockNow(long* pnMilliseconds);
// nSeconds since 1970 as local time; false (all fields 0) when it cannot be converted.
bool LocalTime(int64_t nSeconds, struct tm* pLocal);
// Whether WallClockNow and LocalTime reach past January 2038 here.
bool WallClockPast2038();

// ---- Descriptors ----

// Closes *pFd when it is a descriptor and sets it to -1, so nothing closes a reused number.
void Close(int* pFd);
// One read or write, made again after a signal: the count, or -1 with errno.
ssize_t Read(int fd, void* pBuffer, size_t nLength);
ssize_t Write(int fd, const void* pData, size_t nLength);
// Switches O_NONBLOCK on or off: the one way the library switches it.
enum class FlagsResult { Done, ReadFailed, SetFailed };
FlagsResult SetNonBlocking(int fd, bool bNonBlocking);
// Bytes received and not yet read (FIONREAD), 0 when it cannot be asked.
int BytesToRead(int fd);
// Bytes still to go out (TIOCOUTQ on a terminal, SIOCOUTQ on a TCP socket: not yet sent or
// not yet acknowledged), or -1 when it cannot be asked.
int BytesToSend(int fd);
// The text of an errno value, into szBuffer.
const char* ErrorText(int nErrno, char* szBuffer, size_t nSize);

// ---- Terminals ----

// Applies the settings at once (tcsetattr TCSANOW); false when refused.
bool ApplyTerminal(int fd, const struct termios& settings);
// Discards output not yet sent (TCOFLUSH) or input not yet read (TCIFLUSH).
void FlushTerminal(int fd, int nQueue);
// Waits until what was written has left the line (tcdrain); false when that fails.
bool DrainTerminal(int fd);
// Takes (TIOCEXCL) or gives up (TIOCNXCL) the line's exclusive mode: while taken, further
// opens of the line fail with EBUSY.
void SetExclusiveUse(int fd, bool bExclusive);

// ---- File locks (flock) ----

enum class LockKind { Shared, Exclusive, Unlock };
// Waits for the lock (or gives it up); false when the file system has none.
bool LockFile(int fd, LockKind eKind);
enum class TryLockResult { Taken, HeldElsewhere, NoLocks };
// The exclusive lock, without waiting: HeldElsewhere when another holder has it, NoLocks
// when the file system offers none (the caller goes on without).
TryLockResult TryLockFile(int fd);

// ---- Files ----

struct FileInfo {
    bool bRegular = false;
    dev_t nDevice = 0;
    ino_t nInode = 0;
    unsigned long long nSize = 0;
    bool SameFile(const FileInfo& other) const { return nDevice == other.nDevice && nInode == other.nInode; }
};
// What an open descriptor is; false when it cannot be asked.
bool StatDescriptor(int fd, FileInfo* pInfo);
// What a path names, not following a final symbolic link (a link is no regular file).
bool StatPath(const char* szPath, FileInfo* pInfo);
// A stream for appending to szPath, created with nMode where it is missing; it only carries
// the descriptor (write through Write(fileno)). Null, with errno, on failure.
FILE* OpenAppending(const char* szPath, mode_t nMode);
// Closes the stream when there is one and forgets it.
void CloseStream(FILE** ppStream);
// rename(2) and unlink(2): 0, or -1 with errno.
int Rename(const char* szFrom, const char* szTo);
int Unlink(const char* szPath);
// Writes the bytes to standard output and flushes it.
void WriteStandardOutput(const char* pData, size_t nLength);

// ---- Sockets ----

enum class ConnectStart { Connected, InProgress, Failed };
// Starts a connect on a non-blocking socket.
ConnectStart StartConnect(int fd, const sockaddr_in& address);
// The error of a finished connect (SO_ERROR), 0 when it connected.
int PendingSocketError(int fd);
// SO_SNDTIMEO / SO_RCVTIMEO, clamped as waits are (0: no timeout).
void SetSocketTimeout(int fd, int nOption, unsigned long nTimeoutMs);
// TCP_NODELAY: each send goes out at once.
void SendAtOnce(int fd);
// Whether the socket is connected to a peer (getpeername).
bool HasPeer(int fd);
// Ends the sending side, behind every byte sent (shutdown SHUT_WR); false when refused.
bool ShutDownSending(int fd);
// One send or receive, made again after a signal: the count (0: the peer's end of stream),
// or -1 with errno (EAGAIN: nothing now).
ssize_t Send(int fd, const void* pData, size_t nLength, int nFlags);
ssize_t Receive(int fd, void* pBuffer, size_t nLength, int nFlags);

// ---- Threads ----

// Starts a joinable thread; false, with errno, when none could be made.
bool StartThread(pthread_t* pThread, void* (*pRun)(void*), void* pArgument);
void JoinThread(pthread_t thread);

}  // namespace SystemCalls

#endif
