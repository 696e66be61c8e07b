// WriteToDevice and ReadFromDevice driven through the fake JNIEnv on ports opened with
// OpenETHERNETDevice against real loopback peers: the answer collection's passes, bounds
// and failures, and what a write failure looks like to Java.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ClosePause.h"
#include "EthTestSupport.h"
#include "FakeJni.h"
#include "LogCapture.h"
#include "LoopbackPeer.h"
#include "SignalTimer.h"
#include "TimeScale.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "Native.h"

using ethtest::Pattern;
using Behaviour = LoopbackPeer::Behaviour;
using Reply = LoopbackPeer::Reply;

namespace {


Reply Bytes(std::vector<uint8_t> bytes) {
    Reply reply;
    reply.bytes = std::move(bytes);
    return reply;
}

// A reply held back until the native read has logged its first pass, so the two parts
// arrive in two passes however the machine schedules the threads.
Reply AfterFirstPass(std::vector<uint8_t> bytes, const LogCapture& log, const std::string& firstPass) {
    Reply reply = Bytes(std::move(bytes));
    reply.gate = [&log, firstPass] { return log.Has(firstPass); };
    return reply;
}

std::vector<jint> Ints(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

int CountPasses(const LogCapture& log) {
    int nPasses = 0;
    for (const std::string& text : log.Texts()) nPasses += text.rfind("Partial Read ", 0) == 0;
    return nPasses;
}

}  // namespace

TEST(EthNativeRead, EveryPassAsksForTheWholeExpectedSizeSoAnswersCanExceedIt) {
    FakeJni fake;
    for (const auto& second : {std::vector<uint8_t>{4, 5}, std::vector<uint8_t>{4, 5, 6, 7}}) {
        LogCapture log;
        LoopbackPeer peer(Behaviour::Answer, {Bytes({1, 2, 3}), AfterFirstPass(second, log, "Partial Read 3 Bytes")});
        jint nId = ethtest::OpenThroughJni(fake, peer.Port());
        jintArray result = NATIVE(ReadFromDevice)(fake.env(), nullptr, nId, 5);
        ASSERT_NE(result, nullptr) << fake.PendingMessage();
        std::vector<jint> expected = {1, 2, 3};
        expected.insert(expected.end(), second.begin(), second.end());
        EXPECT_EQ(fake.Ints(result), expected);
        EXPECT_EQ(CountPasses(log), 2);
        EXPECT_TRUE(log.Has("Read " + std::to_string(expected.size()) + " Bytes"));
        ethtest::DropSlot(nId);
    }
    fake.ExpectClean();
}

TEST(EthNativeRead, SilentPrinterFailsWithEthReadErrorAfterTheTimeoutSetAfterTheOpen) {
    LoopbackPeer peer;
    FakeJni fake;
    jint nId = ethtest::OpenThroughJni(fake, peer.Port());
    // Java can set timeouts only once the open has returned the ID: the connected socket
    // takes them at once.
    NATIVE(SetTimeoutRX)(fake.env(), nullptr, nId, 200);
    LogCapture log;
    ethtest::Stopwatch watch;
    EXPECT_EQ(NATIVE(ReadFromDevice)(fake.env(), nullptr, nId, 1), nullptr);
    EXPECT_GE(watch.Seconds(), 0.19);
    EXPECT_LT(watch.Seconds(), 0.9) << "the 1000 ms of the connect still rule the wait";
    EXPECT_EQ(fake.PendingClass(), "java/lang/Exception");
    EXPECT_EQ(fake.PendingMessage(), "EthRead Error");
    EXPECT_TRUE(log.Has("ERROR: Read Error(EthRead Error)!"));
    EXPECT_NE(m_pComPortPointers[nId], nullptr) << "a failed read keeps the port";
    ethtest::DropSlot(nId);
    fake.ExpectClean();
}

TEST(EthNativeRead, PrinterClosingTheConnectionEndsTheCollectionAtOnce) {
    FakeJni fake;
    // A negative receive timeout never runs out: only the end of stream can end these reads.
    LoopbackPeer answering(Behaviour::CloseAfter, {Bytes({0x12, 0x34})}, 3);
    jint nId = ethtest::OpenThroughJni(fake, answering.Port());
    NATIVE(SetTimeoutRX)(fake.env(), nullptr, nId, -1);
    EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, nId, fake.NewByteArray({0x10, 0x04, 0x01})), 3);
    LogCapture log;
    ethtest::Stopwatch watch;
    jintArray result = NATIVE(ReadFromDevice)(fake.env(), nullptr, nId, 5);
    ASSERT_NE(result, nullptr) << fake.PendingMessage();
    EXPECT_EQ(fake.Ints(result), (std::vector<jint>{0x12, 0x34}));
    EXPECT_TRUE(log.Has("Answer Ended(EthRead Error)"));
    EXPECT_LE(CountPasses(log), 2);

    // Closed before sending anything: the read fails as a transport error.
    LoopbackPeer silentThenGone(Behaviour::CloseAfter);
    jint nGone = ethtest::OpenThroughJni(fake, silentThenGone.Port());
    NATIVE(SetTimeoutRX)(fake.env(), nullptr, nGone, -1);
    EXPECT_EQ(NATIVE(ReadFromDevice)(fake.env(), nullptr, nGone, 1), nullptr);
    EXPECT_EQ(fake.PendingMessage(), "EthRead Error");
    fake.ClearPending();
    EXPECT_LT(watch.Seconds(), 3.0);
    ethtest::DropSlot(nId);
    ethtest::DropSlot(nGone);
    fake.ExpectClean();
}

TEST(EthNativeRead, SignalsDuringTheWaitNeitherFailNorShortenIt) {
    Reply late = Bytes({0x12});
    late.delayMs = 400;
    LoopbackPeer peer(Behaviour::Answer, {late});
    FakeJni fake;
    jint nId = ethtest::OpenThroughJni(fake, peer.Port());
    NATIVE(SetTimeoutRX)(fake.env(), nullptr, nId, 3000);
    jintArray result;
    int nSignals;
    {
        SignalTimer signals(30);
        result = NATIVE(ReadFromDevice)(fake.env(), nullptr, nId, 1);
        nSignals = signals.Count();
    }
    ASSERT_NE(result, nullptr) << fake.PendingMessage();
    EXPECT_EQ(fake.Ints(result), std::vector<jint>{0x12});
    EXPECT_GE(nSignals, 3) << "the wait was not interrupted";
    ethtest::DropSlot(nId);
    fake.ExpectClean();
}

TEST(EthNativeClose, SlowPrinterWithUnreadStatusGetsTheWholeJobAndTheCloseEndsWhenItCloses) {
    // The printer says something nobody reads and takes the job slowly: the job is all in
    // the sockets' buffers when Java closes.
    LoopbackPeer peer(Behaviour::StopReading, {Bytes({0x12})});
    FakeJni fake;
    jint nId = ethtest::OpenThroughJni(fake, peer.Port());
    std::vector<uint8_t> job = Pattern(8192);
    ASSERT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, nId, fake.NewByteArray(job)), 8192);
    std::thread resume([&peer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        peer.ResumeReading();
    });
    LogCapture log;
    ethtest::Stopwatch watch;
    NATIVE(CloseDevice)(fake.env(), nullptr, nId);
    double dSeconds = watch.Seconds();
    resume.join();
    ASSERT_TRUE(peer.WaitForReceived(job.size(), 5000));
    EXPECT_EQ(peer.Received(), job);
    EXPECT_GE(dSeconds, 0.25);
    EXPECT_LT(dSeconds, closepause::kWaitedOut) << "the printer closed its end: no need to wait out the pause";
    EXPECT_TRUE(log.Has("1 unread byte(s) from the printer dropped"));
    EXPECT_EQ(ethtest::FreeSlots(), TILLPORT_MAX_PORTS);
    fake.ExpectClean();
}

TEST(EthNativeRead, AnswerCollectionKeepsToTheReceiveTimeoutWhenTheFirstByteComesLate) {
    // One byte at 90% of the timeout: the next pass waits only what is left of it.
    FakeJni fake;
    auto start = std::make_shared<std::atomic<long long>>(0);
    Reply late = Bytes({0x12});
    late.gate = [start] {
        const long long nStart = start->load();
        return nStart != 0 && std::chrono::steady_clock::now().time_since_epoch().count() - nStart >=
                                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::milliseconds(900)).count();
    };
    LoopbackPeer peer(Behaviour::Answer, {late});
    jint nId = ethtest::OpenThroughJni(fake, peer.Port());
    ethtest::Stopwatch watch;
    start->store(std::chrono::steady_clock::now().time_since_epoch().count());
    jintArray result = NATIVE(ReadFromDevice)(fake.env(), nullptr, nId, 2);
    const double dSeconds = watch.Seconds();
    ASSERT_NE(result, nullptr) << fake.PendingMessage();
    EXPECT_EQ(fake.Ints(result), (std::vector<jint>{0x12}));
    EXPECT_GE(dSeconds, 0.9);
    EXPECT_LE(dSeconds, 1.0 + 0.2 * TimeScale());  // a second full wait would take it to 1.9 s
    ethtest::DropSlot(nId);
    fake.ExpectClean();
}

TEST(EthNativeRead, ExpectedSizeZeroMakesOneReadOfUpTo255AndBytesStayUnsigned) {
    std::vector<uint8_t> answer = Pattern(300);
    answer[0] = 0xff;
    answer[254] = 0x80;
    LoopbackPeer peer(Behaviour::Answer, {Bytes(answer)});
    FakeJni fake;
    jint nId = ethtest::OpenThroughJni(fake, peer.Port());
    LogCapture log;
    jintArray result = NATIVE(ReadFromDevice)(fake.env(), nullptr, nId, 0);
    ASSERT_NE(result, nullptr) << fake.PendingMessage();
    std::vector<jint> ints = fake.Ints(result);
    // The 300 bytes went out in one send, but a pass may still see only part of them.
    ASSERT_GE(ints.size(), 1u);
    ASSERT_LE(ints.size(), 255u);
    EXPECT_EQ(ints, Ints({answer.begin(), answer.begin() + static_cast<long>(ints.size())}));
    EXPECT_EQ(ints[0], 255);
    EXPECT_EQ(CountPasses(log), 1);
    ethtest::DropSlot(nId);
    fake.ExpectClean();
}

TEST(EthNativeRead, ExpectedSizeAbove256ReturnsAtMost256BytesWithoutOverrun) {
    FakeJni fake;
    LogCapture log;
    std::vector<uint8_t> answer = Pattern(400);
    // 200 bytes, then 200 more once the first pass is in: the second pass may take only
    // the 56 bytes left in the answer buffer.
    LoopbackPeer peer(Behaviour::Answer, {Bytes({answer.begin(), answer.begin() + 200}),
                                          AfterFirstPass({answer.begin() + 200, answer.end()}, log,
                                                         "Partial Read 200 Bytes")});
    jint nId = ethtest::OpenThroughJni(fake, peer.Port());
    jintArray result = NATIVE(ReadFromDevice)(fake.env(), nullptr, nId, 300);
    ASSERT_NE(result, nullptr) << fake.PendingMessage();
    EXPECT_EQ(fake.Ints(result), Ints({answer.begin(), answer.begin() + 256}));
    EXPECT_TRUE(log.Has("Partial Read 56 Bytes"));
    ethtest::DropSlot(nId);
    fake.ExpectClean();
}

TEST(EthNativeRead, EmptySlotReturnsNullWithoutException) {
    FakeJni fake;
    EXPECT_EQ(NATIVE(ReadFromDevice)(fake.env(), nullptr, 5, 1), nullptr);
    EXPECT_FALSE(fake.ExceptionPending());
    fake.ExpectClean();
}

TEST(EthNativeWrite, JobArrivesWholeAndAFailedWriteReachesJavaAsException) {
    LoopbackPeer peer;
    FakeJni fake;
    jint nId = ethtest::OpenThroughJni(fake, peer.Port());
    std::vector<uint8_t> job = Pattern(2500);
    EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, nId, fake.NewByteArray(job)), 2500);
    ASSERT_TRUE(peer.WaitForReceived(job.size(), 5000));
    EXPECT_EQ(peer.Received(), job);

    // A null array writes nothing.
    EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, nId, nullptr), 0);
    EXPECT_EQ(fake.PendingMessage(), "ERROR: Invalid Parameter!");
    fake.ClearPending();

    // The printer goes away in the middle of a job: it takes 1000 bytes and closes over the
    // rest, which resets the connection while the job is still being sent.
    LoopbackPeer gone(Behaviour::CloseAfter, {}, 1000);
    jint nGone = ethtest::OpenThroughJni(fake, gone.Port());
    // Twice what loopback sockets queue for a printer that does not read.
    std::vector<uint8_t> big = Pattern(8 << 20);
    LogCapture log;
    EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, nGone, fake.NewByteArray(big)), 0);
    ASSERT_TRUE(fake.ExceptionPending());
    EXPECT_EQ(fake.PendingClass(), "java/lang/Exception");
    EXPECT_EQ(fake.PendingMessage(), "") << "a failed send leaves no text of its own";
    fake.ClearPending();
    // The log counts what the socket took before the connection failed: the part the
    // printer read at least, not the whole job.
    long nSent = -1, nSize = 0;
    for (const std::string& text : log.Texts()) sscanf(text.c_str(), "ERROR: Write Error(%ld/%ld)", &nSent, &nSize);
    EXPECT_GE(nSent, 1000);
    EXPECT_LT(nSent, nSize);
    EXPECT_EQ(peer.Received().size(), job.size());

    ethtest::DropSlot(nId);
    ethtest::DropSlot(nGone);
    fake.ExpectClean();
}

namespace {

// TCPAbortOnData of this thread's network namespace: connections the kernel reset because
// bytes arrived for a socket the program had closed.
long AbortsOnData() {
    std::ifstream in("/proc/thread-self/net/netstat");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind("TcpExt:", 0) != 0) continue;
        std::istringstream nameWords(names), valueWords(values);
        for (std::string name, value; nameWords >> name && valueWords >> value;) {
            if (name == "TCPAbortOnData") return std::stol(value);
        }
    }
    return -1;
}

// In a network namespace of its own (the counter above is then this scenario's alone): a
// slow printer, busy when the close's pause ends, with jobs still queued for it and a
// status request among them that it answers only afterwards. Exits 0 when every job
// reported written reached the printer whole and no connection was reset.
void CloseBeforeThePrinterAnswersALateRequest() {
    if (unshare(CLONE_NEWNET) != 0) _exit(2);
    const int hControl = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback{};
    snprintf(loopback.ifr_name, sizeof(loopback.ifr_name), "lo");
    loopback.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    if (hControl < 0 || ioctl(hControl, SIOCSIFFLAGS, &loopback) != 0) _exit(3);
    close(hControl);

    Reply answer = Bytes({0x12});
    answer.afterReceived = 20003;  // the answer to the request, once the printer has read it
    LoopbackPeer printer(Behaviour::SlowRead, {answer});
    FakeJni fake;
    jint nId = ethtest::OpenThroughJni(fake, printer.Port());
    NATIVE(SetTimeoutTX)(fake.env(), nullptr, nId, 20000);
    std::vector<uint8_t> sent;
    for (const std::vector<uint8_t>& job : {Pattern(20000), std::vector<uint8_t>{0x10, 0x04, 0x01}, Pattern(4000)}) {
        if (NATIVE(WriteToDevice)(fake.env(), nullptr, nId, fake.NewByteArray(job)) != static_cast<jint>(job.size())) {
            _exit(4);
        }
        sent.insert(sent.end(), job.begin(), job.end());
    }
    // The printer gets to the request only after the close's pause, answers it, and reads on.
    NATIVE(CloseDevice)(fake.env(), nullptr, nId);
    const bool bWhole = printer.WaitForReceived(sent.size(), ScaledMs(10000)) && printer.Received() == sent;
    const bool bClosed = printer.WaitForClientClosed(ScaledMs(5000));
    const long nAborts = AbortsOnData();
    if (!bWhole || !bClosed || nAborts != 0) {
        fprintf(stderr, "received %zu of %zu, closed %d, aborts on data %ld\n", printer.Received().size(),
                sent.size(), bClosed, nAborts);
        _exit(1);
    }
    _exit(0);
}

}  // namespace

TEST(EthNativeCloseDeathTest, JobsReportedWrittenReachAPrinterThatAnswersAfterTheClosesPause) {
    if (geteuid() != 0) GTEST_SKIP() << "a network namespace of the test's own needs root";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(CloseBeforeThePrinterAnswersALateRequest(), testing::ExitedWithCode(0), "");
}
