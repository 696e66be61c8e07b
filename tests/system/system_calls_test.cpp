// The system-call layer's pieces on their own: deadlines, waits a wake-up ends, the lock whose
// wait a deadline bounds, and calls that a signal interrupts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "SignalTimer.h"
#include "SystemCalls.h"
#include "TimeScale.h"

using SystemCalls::Deadline;
using SystemCalls::WaitResult;
using SystemCalls::ZeroTimeout;

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Both ends of a pipe, closed when the test ends.
struct Pipe {
    Pipe() { EXPECT_EQ(pipe(ends), 0); }
    ~Pipe() {
        SystemCalls::Close(&ends[0]);
        SystemCalls::Close(&ends[1]);
    }
    int ends[2] = {-1, -1};
};

}  // namespace

TEST(Deadline, ZeroTimeoutMeansNoLimitOrNoWaitAndNegativeOnesAreClamped) {
    EXPECT_EQ(Deadline(0, ZeroTimeout::NoLimit).RemainingMs(), -1);
    EXPECT_TRUE(Deadline(0, ZeroTimeout::NoWait).Passed());
    // -1 from Java is the largest unsigned long on either build: 24.8 days, the most poll takes.
    const int nClamped = Deadline(static_cast<unsigned long>(-1L), ZeroTimeout::NoWait).RemainingMs();
    EXPECT_LE(nClamped, 0x7fffffff);
    EXPECT_GT(nClamped, 0x7fffffff - 1000);
    const int nLeft = Deadline(1500, ZeroTimeout::NoLimit).RemainingMs();
    EXPECT_LE(nLeft, 1500);
    EXPECT_GT(nLeft, 1500 - ScaledMs(100));
}

TEST(Deadline, CountedFromAnEarlierTickAcrossTheWrapOfTheTicks) {
    const uint32_t nNow = SystemCalls::MonotonicTicks();
    // 300 ms ago, and a start taken "before" 0 that wrapped to the top of the count.
    EXPECT_LE(Deadline::Since(nNow - 300, 1000, ZeroTimeout::NoWait).RemainingMs(), 700);
    EXPECT_TRUE(Deadline::Since(nNow - 2000, 1000, ZeroTimeout::NoWait).Passed());
    const uint32_t nWrapped = nNow - 0x80000000u;  // half the count back: long passed
    EXPECT_TRUE(Deadline::Since(nWrapped, 1000, ZeroTimeout::NoWait).Passed());
}

TEST(WaitFor, AWakeUpEndsAWaitAtOnceAndAReadyDescriptorWins) {
    Pipe quiet;
    SystemCalls::WakeEvent wake;
    ASSERT_TRUE(wake.Create());
    std::thread waker([&wake] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        wake.Signal();
    });
    pollfd wait{quiet.ends[0], POLLIN, 0};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SystemCalls::WaitFor(&wait, Deadline(5000, ZeroTimeout::NoWait), &wake), WaitResult::Woken);
    const double dSeconds = SecondsSince(start);
    waker.join();
    EXPECT_GE(dSeconds, 0.09);
    EXPECT_LT(dSeconds, 0.1 + 0.5 * TimeScale());
    // The wake-up stays until it is taken back; then the wait runs to its deadline.
    EXPECT_EQ(SystemCalls::WaitFor(&wait, Deadline(10, ZeroTimeout::NoWait), &wake), WaitResult::Woken);
    wake.Clear();
    EXPECT_EQ(SystemCalls::WaitFor(&wait, Deadline(10, ZeroTimeout::NoWait), &wake), WaitResult::TimedOut);
    ASSERT_EQ(SystemCalls::Write(quiet.ends[1], "x", 1), 1);
    EXPECT_EQ(SystemCalls::WaitFor(&wait, Deadline(1000, ZeroTimeout::NoWait), &wake), WaitResult::Ready);
}

TEST(WaitFor, SignalsNeitherEndTheWaitNorStretchIt) {
    Pipe quiet;
    pollfd wait{quiet.ends[0], POLLIN, 0};
    SignalTimer signals(20);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SystemCalls::WaitFor(&wait, Deadline(300, ZeroTimeout::NoWait)), WaitResult::TimedOut);
    const double dSeconds = SecondsSince(start);
    EXPECT_GT(signals.Count(), 3);
    EXPECT_GE(dSeconds, 0.29);
    EXPECT_LT(dSeconds, 0.3 + 0.2 * TimeScale());
}

TEST(Read, ASignalDuringTheReadIsNoFailure) {
    Pipe line;
    std::thread writer([&line] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        SystemCalls::Write(line.ends[1], "ok", 2);
    });
    SignalTimer signals(20);
    char buffer[4] = {};
    EXPECT_EQ(SystemCalls::Read(line.ends[0], buffer, sizeof(buffer)), 2);
    writer.join();
    EXPECT_GT(signals.Count(), 3);
    EXPECT_STREQ(buffer, "ok");
}

TEST(TimedLock, TheDeadlineBoundsTheWaitForAHeldLock) {
    SystemCalls::TimedLock lock;
    lock.Lock();
    bool bTaken = true;
    double dSeconds = 0;
    std::thread other([&] {
        const auto start = std::chrono::steady_clock::now();
        bTaken = lock.LockBefore(Deadline(150, ZeroTimeout::NoWait));
        dSeconds = SecondsSince(start);
        EXPECT_FALSE(lock.TryLock());
    });
    other.join();
    EXPECT_FALSE(bTaken);
    EXPECT_GE(dSeconds, 0.14);
    EXPECT_LT(dSeconds, 0.15 + 0.5 * TimeScale());
    // Given back, it is taken at once; a waiter without limit gets it when it is released.
    lock.Unlock();
    ASSERT_TRUE(lock.TryLock());
    std::thread waiter([&] {
        lock.Lock();
        lock.Unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    lock.Unlock();
    waiter.join();
    EXPECT_TRUE(lock.LockBefore(Deadline(0, ZeroTimeout::NoWait)));
    lock.Unlock();
}

TEST(NonBlocking, SwitchesTheDescriptorEachWay) {
    Pipe line;
    char c;
    ASSERT_EQ(SystemCalls::SetNonBlocking(line.ends[0], true), SystemCalls::FlagsResult::Done);
    EXPECT_EQ(SystemCalls::Read(line.ends[0], &c, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    ASSERT_EQ(SystemCalls::SetNonBlocking(line.ends[0], false), SystemCalls::FlagsResult::Done);
    EXPECT_EQ(SystemCalls::SetNonBlocking(-1, true), SystemCalls::FlagsResult::ReadFailed);
}
