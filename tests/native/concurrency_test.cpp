// Java calling from several threads at once: the port table, calls on one port, a close
// racing a call, ports that must not wait for each other, and the log. Each thread has a
// fake JNIEnv of its own, as each Java thread has its own JNIEnv.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "CLog.h"
#include "ClosePause.h"
#include "ConnectionDrain.h"
#include "EthTestSupport.h"
#include "LogCapture.h"
#include "LoopbackPeer.h"
#include "NativeTestSupport.h"
#include "SlowLookUp.h"
#include "TimeScale.h"
#include "tillportcomm.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "EthTestAccess.h"
#include "Native.h"


using ethtest::Stopwatch;

namespace {

class Concurrency : public testing::Test {
protected:
    void SetUp() override {
        EmptyPortTable();
        m_nLiveBefore = TestPort::s_nLive;
    }
    void TearDown() override {
        EmptyPortTable();
        EXPECT_EQ(TestPort::s_nLive.load(), m_nLiveBefore) << "port objects leaked";
    }

    int m_nLiveBefore = 0;
};

// Bytes of one value only, so a job's bytes can be told from another's.
std::vector<uint8_t> Filled(size_t nSize, uint8_t value) { return std::vector<uint8_t>(nSize, value); }

}  // namespace

TEST_F(Concurrency, CloseWaitsForTheReadInProgressAndCallsAfterItFindNoPort) {
    FakeJni fake;
    TestPort* pPort = nullptr;
    jint nId = OpenTestPort(fake, fake.NewString("printer"), 9100, {}, &pPort);
    ASSERT_EQ(nId, 0);
    pPort->m_strFailText = "late answer lost";
    pPort->m_reads.push_back({{0x12}, false, 0});
    pPort->m_bHoldReads = true;  // the read stays in its pass until the late call is done
    LogCapture log;
    TestPort::s_nClosesDuringCall = 0;

    std::atomic<bool> bReadDone{false};
    auto reader = std::async(std::launch::async, [&] {
        FakeJni readerJni;
        jintArray answer = NATIVE(ReadFromDevice)(readerJni.env(), nullptr, nId, 1);
        bReadDone = true;
        std::vector<jint> ints = answer != nullptr ? readerJni.Ints(answer) : std::vector<jint>{};
        EXPECT_FALSE(readerJni.ExceptionPending()) << readerJni.PendingMessage();
        readerJni.ExpectClean();
        return ints;
    });
    auto waitFor = [](const std::function<bool()>& done) {
        for (int i = 0; i < 10000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return done();
    };
    ASSERT_TRUE(waitFor([&] { return pPort->CallsRunning() > 0; })) << "the read never reached the port";

    auto closer = std::async(std::launch::async, [&] {
        FakeJni closerJni;
        NATIVE(CloseDevice)(closerJni.env(), nullptr, nId);
    });
    ASSERT_TRUE(waitFor([&] { return tillport::CloseInProgress(nId); })) << "the close never began";

    // Arriving now, after the close began: no port, at once, without waiting for the read.
    Stopwatch late;
    EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, nId, fake.NewByteArray({1})), 0);
    EXPECT_LT(late.Seconds(), 0.15 * TimeScale());
    EXPECT_FALSE(bReadDone);
    EXPECT_FALSE(fake.ExceptionPending());
    EXPECT_TRUE(tillport::CloseInProgress(nId)) << "the close did not wait for the read";
    pPort->m_bHoldReads = false;

    EXPECT_EQ(reader.get(), std::vector<jint>{0x12});
    closer.get();
    EXPECT_EQ(TestPort::s_nClosesDuringCall.load(), 0) << "the port was closed under the read in progress";
    EXPECT_EQ(m_pComPortPointers[nId], nullptr);
    EXPECT_TRUE(log.Has("PortID not Available"));
    EXPECT_EQ(NATIVE(ReadFromDevice)(fake.env(), nullptr, nId, 1), nullptr);
    EXPECT_FALSE(fake.ExceptionPending());
    fake.ExpectClean();
}

TEST_F(Concurrency, JobsAndReadsOnOnePortRunWhole) {
    LoopbackPeer peer;
    FakeJni fake;
    jint nId = ethtest::OpenThroughJni(fake, peer.Port());
    constexpr size_t kJob = 1024 * 1024;
    std::atomic<int> nReady{0};
    auto together = [&nReady] {  // the calls start at the same moment
        ++nReady;
        for (int i = 0; i < 5000 && nReady < 3; ++i) std::this_thread::sleep_for(std::chrono::microseconds(200));
    };
    std::vector<std::future<void>> calls;
    for (uint8_t value : {0xAA, 0xBB}) {
        calls.push_back(std::async(std::launch::async, [=] {
            FakeJni writer;
            jbyteArray job = writer.NewByteArray(Filled(kJob, value));
            together();
            EXPECT_EQ(NATIVE(WriteToDevice)(writer.env(), nullptr, nId, job), static_cast<jint>(kJob));
            writer.ExpectClean();
        }));
    }
    // A read among the jobs takes its turn too; the silent printer ends it by timeout.
    calls.push_back(std::async(std::launch::async, [=] {
        FakeJni reader;
        together();
        EXPECT_EQ(NATIVE(ReadFromDevice)(reader.env(), nullptr, nId, 1), nullptr);
        EXPECT_EQ(reader.PendingMessage(), "EthRead Error");
    }));
    for (auto& call : calls) call.get();

    ASSERT_TRUE(peer.WaitForReceived(2 * kJob, 5000));
    std::vector<uint8_t> received = peer.Received();
    ASSERT_EQ(received.size(), 2 * kJob);
    std::vector<uint8_t> aThenB = Filled(kJob, 0xAA), bThenA = Filled(kJob, 0xBB);
    aThenB.resize(2 * kJob, 0xBB);
    bThenA.resize(2 * kJob, 0xAA);
    EXPECT_TRUE(received == aThenB || received == bThenA) << "the two jobs arrived interleaved";
    ethtest::DropSlot(nId);
    fake.ExpectClean();
}

TEST_F(Concurrency, ThreadsOpeningAndClosingNeverShareAnIdNorLoseAPort) {
    constexpr int kThreads = 8;
    constexpr int kCycles = 40;
    std::atomic<int> owners[TILLPORT_MAX_PORTS] = {};
    std::atomic<int> nDuplicates{0}, nFailures{0};
    std::vector<std::thread> threads;
    for (int t = 1; t <= kThreads; ++t) {
        threads.emplace_back([&, t] {
            FakeJni fake;
            for (int i = 0; i < kCycles; ++i) {
                jint nId = OpenTestPort(fake, fake.NewString("printer"), 9100);
                if (fake.ExceptionPending() || nId < 0 || nId >= TILLPORT_MAX_PORTS) {
                    ++nFailures;
                    fake.ClearPending();
                    continue;
                }
                int nExpected = 0;
                if (!owners[nId].compare_exchange_strong(nExpected, t)) ++nDuplicates;
                std::vector<uint8_t> mine(1, static_cast<uint8_t>(t));
                if (NATIVE(WriteToDevice)(fake.env(), nullptr, nId, fake.NewByteArray(mine)) != 1) ++nFailures;
                owners[nId].store(0);
                NATIVE(CloseDevice)(fake.env(), nullptr, nId);
            }
            fake.ExpectClean();
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(nDuplicates.load(), 0) << "one ID handed to two open ports";
    EXPECT_EQ(nFailures.load(), 0);
    EXPECT_EQ(ethtest::FreeSlots(), TILLPORT_MAX_PORTS);
    EXPECT_EQ(TestPort::s_nLive.load(), m_nLiveBefore);
}

TEST_F(Concurrency, SlowCloseAndSlowOpenDoNotDelayCallsOnOtherPorts) {
    // The close waits out its pause (its printer never closes its end); the open runs out its 5 s
    // connect wait and pauses before it fails.
    LoopbackPeer closing(LoopbackPeer::Behaviour::StopReading);
    FullAcceptQueue queue;
    ASSERT_TRUE(queue.Filled()) << "the accept queue of the loopback listener did not fill";
    LoopbackPeer::Reply status;
    status.bytes = {0x12};
    status.afterReceived = 3;
    LoopbackPeer printing(LoopbackPeer::Behaviour::Answer, {status});
    FakeJni fake;
    jint nClosing = ethtest::OpenThroughJni(fake, closing.Port());
    jint nPrinting = ethtest::OpenThroughJni(fake, printing.Port());

    auto closer = std::async(std::launch::async, [&] {
        FakeJni jni;
        NATIVE(CloseDevice)(jni.env(), nullptr, nClosing);
    });
    auto opener = std::async(std::launch::async, [&] {
        FakeJni jni;
        NATIVE(OpenETHERNETDevice)(jni.env(), nullptr, jni.NewString("127.0.0.1"), queue.Port());
        EXPECT_EQ(jni.PendingMessage(), "Open ETH Device Error");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    Stopwatch quick;
    EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, nPrinting, fake.NewByteArray({0x10, 0x04, 0x01})), 3);
    jintArray answer = NATIVE(ReadFromDevice)(fake.env(), nullptr, nPrinting, 1);
    ASSERT_NE(answer, nullptr) << fake.PendingMessage();
    EXPECT_EQ(fake.Ints(answer), std::vector<jint>{0x12});
    jint nTest = OpenTestPort(fake, fake.NewString("printer"), 9100);  // the table is free too
    NATIVE(CloseDevice)(fake.env(), nullptr, nTest);
    EXPECT_LT(quick.Seconds(), 0.5);
    EXPECT_EQ(closer.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << "no overlap shown";
    EXPECT_EQ(opener.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << "no overlap shown";

    closer.get();
    opener.get();
    ethtest::DropSlot(nPrinting);
    fake.ExpectClean();
}

TEST_F(Concurrency, LogLinesAndDumpsStayWholeWhileTheLogIsSwitched) {
    LogCapture log;
    constexpr int kThreads = 4;
    constexpr int kCalls = 30;
    constexpr size_t kBytes = 200;  // a line and 13 dump lines per call
    std::atomic<bool> bStop{false};
    std::thread switcher([&] {
        FakeJni jni;
        for (int i = 0; i < 20000 && !bStop; ++i) {
            NATIVE(SetLogType)(jni.env(), nullptr, i % 2 == 0 ? 3 : 2, true);  // 3 formats and drops
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            std::vector<uint8_t> bytes = Filled(kBytes, static_cast<uint8_t>('A' + t));
            std::string name = "Writer" + std::to_string(t);
            // Spread over several switches: a call alone takes only some microseconds.
            for (int i = 0; i < kCalls; ++i) {
                CCLog::WriteLogData(name.c_str(), "Buffer to Write:", bytes.data(), bytes.size());
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    bStop = true;
    switcher.join();
    CCLog::SetLogEnable(2, true);

    // Every header is followed by its own 13 dump lines; every line is whole.
    static const std::regex kStamped(R"(^\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}\]\[[A-Za-z_0-9]+\].*$)");
    std::vector<std::string> lines = log.RawLines();
    const std::string tabs(10, '\t');
    int nHeaders = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].compare(0, tabs.size(), tabs) == 0) {
            ADD_FAILURE() << "dump line " << i << " away from its header";
            break;
        }
        ASSERT_TRUE(std::regex_match(lines[i], kStamped)) << "line " << i << ": " << lines[i];
        size_t nWriter = lines[i].find("][Writer");
        if (nWriter == std::string::npos) continue;
        char cByte = static_cast<char>('A' + (lines[i][nWriter + 8] - '0'));
        ++nHeaders;
        ASSERT_LE(i + 13, lines.size() - 1);
        for (size_t k = 1; k <= 13; ++k) {
            const std::string& dump = lines[i + k];
            ASSERT_EQ(dump.compare(0, tabs.size(), tabs), 0) << "dump of line " << i << " cut by another line";
            EXPECT_EQ(dump.back(), cByte) << "dump of line " << i << " carries another call's bytes";
        }
        i += 13;
    }
    EXPECT_GT(nHeaders, 0);
}

TEST_F(Concurrency, TwoThreadsOpeningTwoPrintersByAddressReachOnlyTheirOwn) {
    // One port number at two loopback addresses: every connection of each thread must reach
    // the printer it names, also while the other thread looks its own printer up.
    LoopbackPeer bar("127.0.0.1", 0);
    LoopbackPeer kitchen("127.0.0.2", bar.Port());
    // Enough opens that a lookup which shares its result between threads shows (about one
    // connection in 10,000 went astray), within a few seconds on a slow core.
    constexpr int kOpens = 25000;
    const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    std::atomic<int> nWrong{0}, nFailed{0};
    auto openAgainAndAgain = [&](std::string host, const LoopbackPeer& printer) {
        CComPortEth port;
        for (int i = 0; i < kOpens && std::chrono::steady_clock::now() < stop; ++i) {
            // A few connections ahead of the printer's accepts at most: a full accept queue
            // would drop the next connect for a second.
            if (!port.Init(&host[0], bar.Port()) || !printer.WaitForAccepted(i - 16, ScaledMs(5000)) || !port.Open()) {
                ++nFailed;
                return;  // a failed open waits out the pause: stop at the first
            }
            sockaddr_in peer{};
            socklen_t nLength = sizeof(peer);
            char szPeer[INET_ADDRSTRLEN] = "";
            if (getpeername(EthTestAccess::Socket(port), reinterpret_cast<sockaddr*>(&peer), &nLength) != 0 ||
                inet_ntop(AF_INET, &peer.sin_addr, szPeer, sizeof(szPeer)) == nullptr || host != szPeer) {
                ++nWrong;
            }
            close(EthTestAccess::Socket(port));  // without the close pause
            EthTestAccess::Socket(port) = -1;
        }
    };
    std::thread first(openAgainAndAgain, "127.0.0.1", std::cref(bar));
    std::thread second(openAgainAndAgain, "127.0.0.2", std::cref(kitchen));
    first.join();
    second.join();
    EXPECT_EQ(nWrong.load(), 0) << "connections reached the other thread's printer";
    EXPECT_EQ(nFailed.load(), 0);
}

TEST_F(Concurrency, CloseEndsAReadWaitingWithoutLimitAtOnce) {
    // Receive timeout 0: the read on a silent printer waits without limit. The close ends
    // the wait at once, as the read's failure; the printer closes its end when ours shuts
    // down, so the close returns at once too.
    auto peer = std::make_unique<LoopbackPeer>();
    FakeJni fake;
    jint nId = ethtest::OpenThroughJni(fake, peer->Port());
    NATIVE(SetTimeoutRX)(fake.env(), nullptr, nId, 0);
    // A collection whose first test of the timeout comes a millisecond after it began makes
    // no pass at all (on a slow core): that call ends at once and is made again.
    std::atomic<pid_t> nReader{0};
    std::future<JavaOutcome> reader;
    bool bWaiting = false;
    for (int nAttempt = 0; nAttempt < 20 && !bWaiting && peer; ++nAttempt) {
        reader = CallFromAnotherThread(nReader, [nId](FakeJni& jni) {
            return jni.Ints(NATIVE(ReadFromDevice)(jni.env(), nullptr, nId, 2));
        });
        bWaiting = WaitUntilWaiting(nReader, reader, ScaledMs(5000));
        if (bWaiting) break;
        if (reader.wait_for(std::chrono::seconds(0)) != std::future_status::ready) peer.reset();  // ends it
        EXPECT_EQ(reader.get().message, "ERROR: No Read Data!") << "the read neither waited nor ended at once";
    }
    ASSERT_TRUE(bWaiting) << "the read never waited";
    // Should the close wait for the read, the printer goes away: the read ends.
    const double dSeconds = CloseFromAnotherThread(nId, ScaledMs(4000), [&] { peer.reset(); });
    JavaOutcome outcome = reader.get();
    ASSERT_GE(dSeconds, 0.0) << "the close was still waiting after 4 s";
    EXPECT_LT(dSeconds, 0.5 * TimeScale());
    EXPECT_TRUE(outcome.answer.empty());
    EXPECT_EQ(outcome.message, "EthRead Error");
    fake.ExpectClean();
}

TEST_F(Concurrency, CloseEndsAStalledWriteAtItsDeadlineAndReturnsWithinItsPause) {
    // A printer that takes nothing, a transmit timeout of 0 (no limit): the write gets the
    // close's pause to finish, then fails; the close returns right after.
    LoopbackPeer peer(LoopbackPeer::Behaviour::StopReading);
    FakeJni fake;
    jint nId = ethtest::OpenThroughJni(fake, peer.Port());
    NATIVE(SetTimeoutTX)(fake.env(), nullptr, nId, 0);
    std::atomic<pid_t> nWriter{0};
    auto writer = CallFromAnotherThread(nWriter, [nId](FakeJni& jni) {
        jbyteArray job = jni.NewByteArray(Filled(32 << 20, 0x55));
        return std::vector<jint>{NATIVE(WriteToDevice)(jni.env(), nullptr, nId, job)};
    });
    if (!WaitUntilWaiting(nWriter, writer, ScaledMs(5000))) {
        peer.ResumeReading();  // the write ends
        writer.get();
        FAIL() << "the write never stalled";
    }
    // Should the close wait for the whole job, the printer takes it: the write ends.
    const double dSeconds = CloseFromAnotherThread(nId, ScaledMs(5000), [&] { peer.ResumeReading(); });
    JavaOutcome outcome = writer.get();
    ASSERT_GE(dSeconds, 0.0) << "the close was still waiting after 5 s";
    EXPECT_GE(dSeconds, closepause::kWaitedOut);
    EXPECT_LT(dSeconds, closepause::AtMost());
    EXPECT_EQ(outcome.answer, std::vector<jint>{0});
    EXPECT_TRUE(outcome.bThrown);
    EXPECT_EQ(outcome.message, "") << "the text of every failed send";
    fake.ExpectClean();
}

TEST_F(Concurrency, CloseStuckBehindACallNothingCanEndReturnsInItsBoundAndTheCallClosesThePort) {
    // A call stuck in a step no close can cut short (a kernel's request, say): the close
    // returns within its pause all the same, and the call gives the port back when it ends.
    FakeJni fake;
    TestPort* pPort = nullptr;
    jint nId = OpenTestPort(fake, fake.NewString("printer"), 9100, {}, &pPort);
    ASSERT_GE(nId, 0);
    pPort->m_reads.push_back({{0x12}, false, 0});
    pPort->m_bHoldReads = true;
    const int nClosesBefore = TestPort::s_nCloses;
    auto reader = std::async(std::launch::async, [nId] {
        FakeJni readerJni;
        jintArray answer = NATIVE(ReadFromDevice)(readerJni.env(), nullptr, nId, 1);
        std::vector<jint> ints = answer != nullptr ? readerJni.Ints(answer) : std::vector<jint>{};
        readerJni.ExpectClean();
        return ints;
    });
    for (int i = 0; i < 5000 && pPort->CallsRunning() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GT(pPort->CallsRunning(), 0) << "the read never reached the port";

    const double dSeconds = CloseFromAnotherThread(nId, ScaledMs(5000), [&] { pPort->m_bHoldReads = false; });
    ASSERT_GE(dSeconds, 0.0) << "the close waited for the call";
    EXPECT_LT(dSeconds, closepause::AtMost());
    EXPECT_TRUE(tillport::CloseInProgress(nId)) << "the ID was freed under the call";
    EXPECT_EQ(TestPort::s_nCloses.load(), nClosesBefore);
    pPort->m_bHoldReads = false;
    EXPECT_EQ(reader.get(), std::vector<jint>{0x12});
    EXPECT_EQ(TestPort::s_nCloses.load(), nClosesBefore + 1);
    EXPECT_FALSE(tillport::CloseInProgress(nId));
    EXPECT_EQ(m_pComPortPointers[nId], nullptr);
    fake.ExpectClean();
}

TEST_F(Concurrency, CloseDuringAReconnectWhoseHostLookupHangsEndsTheWriteAtOnce) {
    // The printer ended the idle connection; the next write connects again and its host
    // lookup hangs as behind a dead name server. The close ends the write at once and
    // returns within its pause.
    LoopbackPeer peer(LoopbackPeer::Behaviour::CloseAfter);
    FakeJni fake;
    jint nId = NATIVE(OpenETHERNETDevice)(fake.env(), nullptr, fake.NewString(slowlookup::kSlowHost), peer.Port());
    ASSERT_FALSE(fake.ExceptionPending()) << fake.PendingMessage();
    ASSERT_TRUE(peer.WaitForAccepted(1, ScaledMs(2000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(ScaledMs(100)));  // the printer's close has arrived
    slowlookup::SetSlow(true);
    std::atomic<pid_t> nWriter{0};
    auto writer = CallFromAnotherThread(nWriter, [nId](FakeJni& jni) {
        return std::vector<jint>{NATIVE(WriteToDevice)(jni.env(), nullptr, nId, jni.NewByteArray(Filled(100, 0x41)))};
    });
    for (int i = 0; i < 5000 && slowlookup::Waiting() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool bLookingUp = slowlookup::Waiting() > 0;
    Stopwatch closing;
    const double dSeconds = bLookingUp ? CloseFromAnotherThread(nId, ScaledMs(5000), [] { slowlookup::Release(); }) : -1;
    std::future_status writeEnded = writer.wait_for(std::chrono::seconds(0));
    slowlookup::SetSlow(false);
    slowlookup::Release();
    JavaOutcome outcome = writer.get();
    ASSERT_TRUE(bLookingUp) << "the write never looked the host up";
    ASSERT_GE(dSeconds, 0.0) << "the close waited for the lookup";
    EXPECT_LT(dSeconds, closepause::AtMost());
    EXPECT_EQ(writeEnded, std::future_status::ready) << "the write still waited for the lookup";
    EXPECT_EQ(outcome.answer, std::vector<jint>{0});
    EXPECT_EQ(outcome.message, "Open Error (Device Error)");
    EXPECT_EQ(peer.Accepted(), 1);
    SystemCalls::HostLookUp::JoinLookUps();  // the lookup given up has ended with the release
    fake.ExpectClean();
}

TEST_F(Concurrency, UnloadClosesEveryPortWithinOnePauseAndLeavesNothingRunning) {
    // Two printers that never read and never close their end: each close would take the
    // whole pause. The unload's closes run their pauses together.
    LoopbackPeer first(LoopbackPeer::Behaviour::StopReading), second(LoopbackPeer::Behaviour::StopReading);
    FakeJni fake;
    jint nFirst = ethtest::OpenThroughJni(fake, first.Port());
    jint nSecond = ethtest::OpenThroughJni(fake, second.Port());
    for (jint nId : {nFirst, nSecond}) {
        EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, nId, fake.NewByteArray(Filled(100, 0x41))), 100);
    }
    Stopwatch unloading;
    JNI_OnUnload(nullptr, nullptr);
    const double dSeconds = unloading.Seconds();
    EXPECT_GE(dSeconds, closepause::kWaitedOut);
    EXPECT_LT(dSeconds, closepause::AtMost());
    EXPECT_EQ(m_pComPortPointers[nFirst], nullptr);
    EXPECT_EQ(m_pComPortPointers[nSecond], nullptr);
    EXPECT_EQ(ConnectionDrain::Count(), 0u) << "a connection is still kept open";
    for (LoopbackPeer* pPeer : {&first, &second}) {
        pPeer->ResumeReading();  // and finds the connection over
        EXPECT_TRUE(pPeer->WaitForClientClosed(ScaledMs(2000)));
    }
    fake.ExpectClean();
}
