// Opening and closing TCP printer ports against real loopback peers: the transport's own
// Open/OpenPort/Close and the native OpenETHERNETDevice on top of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CLog.h"
#include "ClosePause.h"
#include "EthTestSupport.h"
#include "FakeJni.h"
#include "LogCapture.h"
#include "LoopbackPeer.h"
#include "TestPort.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "EthTestAccess.h"
#include "Native.h"

using ethtest::QuickPort;
using ethtest::Stopwatch;

namespace {

const std::string kOpenName = "Java_orvik_services_posprinterPortComm_CommonComPort_OpenETHERNETDevice";

timeval SocketTimeout(int hSocket, int nOption) {
    timeval tv{-1, -1};
    socklen_t nLength = sizeof(tv);
    getsockopt(hSocket, SOL_SOCKET, nOption, &tv, &nLength);
    return tv;
}

// Name and text of the log lines, for comparing whole sequences.
std::vector<std::string> NamedLines(const LogCapture& log) {
    std::vector<std::string> lines;
    for (const LogCapture::Line& line : log.Lines()) lines.push_back(line.name + "|" + line.text);
    return lines;
}

}  // namespace

TEST(EthInit, KeepsHostAndPortAndRefusesHostsThatDoNotFit) {
    CComPortEth port;
    EXPECT_EQ(EthTestAccess::Socket(port), -1);
    EXPECT_EQ(EthTestAccess::TcpPort(port), 9100);
    EXPECT_EQ(port.m_nTimeoutTX, 1000u);
    EXPECT_EQ(port.m_nTimeoutRX, 1000u);
    EXPECT_EQ(port.m_nMaxPacketSize, 1000u);

    std::string longest(254, 'a');
    EXPECT_TRUE(port.Init(&longest[0], 70000));
    EXPECT_EQ(std::string(EthTestAccess::Host(port)), longest);
    EXPECT_EQ(EthTestAccess::TcpPort(port), 70000);

    LogCapture log;
    std::string tooLong(255, 'b');
    EXPECT_FALSE(port.Init(&tooLong[0], 9100));
    EXPECT_STREQ(port.m_strLastError, "Wrong hostname");
    EXPECT_EQ(std::string(EthTestAccess::Host(port)), longest) << "a refused host must leave the kept one alone";
    EXPECT_EQ(NamedLines(log), std::vector<std::string>{"Init|Wrong hostname"});
    EXPECT_FALSE(port.Init(nullptr, 9100));
}

TEST(EthOpen, ConnectsAtOnceInBlockingModeWithTheStoredTimeouts) {
    LoopbackPeer peer;
    QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, peer.Port(), 1500, 0));
    int hSocket = EthTestAccess::Socket(*quick);
    ASSERT_GE(hSocket, 0);
    EXPECT_STREQ(quick->m_strLastError, "");
    EXPECT_EQ(fcntl(hSocket, F_GETFL, 0) & O_NONBLOCK, 0);
    // A program that anything else in the JVM starts (system, popen) must not keep the
    // connection: a printer that takes one connection would refuse the next open.
    EXPECT_NE(fcntl(hSocket, F_GETFD) & FD_CLOEXEC, 0);
    timeval send = SocketTimeout(hSocket, SO_SNDTIMEO);
    // The kernel keeps these in its own ticks: allow for its rounding.
    EXPECT_EQ(send.tv_sec, 1);
    EXPECT_NEAR(send.tv_usec, 500000, 10000);
    timeval receive = SocketTimeout(hSocket, SO_RCVTIMEO);
    EXPECT_EQ(receive.tv_sec, 0) << "0 means a receive never times out";
    EXPECT_EQ(receive.tv_usec, 0);
    int nNoDelay = 0;
    socklen_t nLength = sizeof(nNoDelay);
    getsockopt(hSocket, IPPROTO_TCP, TCP_NODELAY, &nNoDelay, &nLength);
    EXPECT_NE(nNoDelay, 0) << "small sends must not wait for the printer's acknowledgement";

    // Connected already: the same socket, no second connection.
    EXPECT_TRUE(quick->Open());
    EXPECT_EQ(EthTestAccess::Socket(*quick), hSocket);
    EXPECT_TRUE(peer.WaitForAccepted(1, 2000));
    EXPECT_EQ(peer.Accepted(), 1);

    // Timeouts stored later reach the connected socket at once; -1 from Java is taken as
    // the largest signed millisecond count.
    quick->SetTimeoutTX(-1);
    quick->SetTimeoutRX(3000);
    EXPECT_EQ(quick->GetTimeoutRX(), 3000u);
    send = SocketTimeout(hSocket, SO_SNDTIMEO);
    EXPECT_EQ(send.tv_sec, 2147483);
    EXPECT_NEAR(send.tv_usec, 647000, 10000);
    EXPECT_EQ(SocketTimeout(hSocket, SO_RCVTIMEO).tv_sec, 3);
    EXPECT_EQ(quick->m_nTimeoutTX, static_cast<unsigned long>(-1)) << "the stored value stays as set";
}

TEST(EthOpen, NativeOpenUpperCasesTheHostAndCloseDeviceEndsTheConnection) {
    LoopbackPeer peer;
    FakeJni fake;
    LogCapture log;
    jint nId = NATIVE(OpenETHERNETDevice)(fake.env(), nullptr, fake.NewString("localhost"), peer.Port());
    ASSERT_FALSE(fake.ExceptionPending()) << fake.PendingMessage();
    EXPECT_EQ(nId, 0);
    ASSERT_NE(m_pComPortPointers[0], nullptr);
    EXPECT_STREQ(EthTestAccess::Host(*static_cast<CComPortEth*>(m_pComPortPointers[0])), "LOCALHOST");
    std::string port = std::to_string(peer.Port());
    EXPECT_EQ(NamedLines(log), (std::vector<std::string>{
                                   kOpenName + "|Begin",
                                   kOpenName + "|Open ETHERNET DEVICE IP:LOCALHOST PORT:" + port,
                                   kOpenName + "|Genereted NEW Port ID:0",
                                   kOpenName + "|End",
                               }));
    ASSERT_TRUE(peer.WaitForAccepted(1, 2000));

    Stopwatch watch;
    NATIVE(CloseDevice)(fake.env(), nullptr, nId);
    double dSeconds = watch.Seconds();
    EXPECT_LT(dSeconds, 1.5) << "the printer closes its end at once: the close need not wait out its pause";
    EXPECT_TRUE(peer.WaitForClientClosed(2000)) << "the printer must see the connection end";
    EXPECT_EQ(ethtest::FreeSlots(), TILLPORT_MAX_PORTS);
    fake.ExpectClean();
}

TEST(EthOpen, RefusedPortFailsWithOnePauseAndLeavesTheTableAsItWas) {
    RefusingPort refusing;
    m_pComPortPointers[0] = new TestPort();
    FakeJni fake;
    LogCapture log;
    Stopwatch watch;
    jint nId = NATIVE(OpenETHERNETDevice)(fake.env(), nullptr, fake.NewString("127.0.0.1"), refusing.Port());
    double dSeconds = watch.Seconds();
    EXPECT_EQ(nId, 0);
    ASSERT_TRUE(fake.ExceptionPending());
    EXPECT_EQ(fake.PendingClass(), "java/lang/Exception");
    EXPECT_EQ(fake.PendingMessage(), "Open ETH Device Error");
    EXPECT_GE(dSeconds, closepause::kWaitedOut);
    EXPECT_LT(dSeconds, 2 * closepause::kSeconds - 0.1) << "the failed open must pause once, not twice";

    std::vector<LogCapture::Line> lines = log.Lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2].name, "OpenPort");
    EXPECT_TRUE(lines[2].text == "Error to connect socket" || lines[2].text == "Error in connection()") << lines[2].text;
    EXPECT_EQ(lines[3].name + "|" + lines[3].text, "Open|Open ETH Device Error");
    EXPECT_EQ(lines[4].text, "ERROR: Open Port Error(Open ETH Device Error)!");
    EXPECT_EQ(lines[5].text, "Exit For Exception");

    EXPECT_EQ(TestPort::s_nLive, 1);
    EXPECT_EQ(ethtest::FreeSlots(), TILLPORT_MAX_PORTS - 1);
    tillport::ReleasePort(m_pComPortPointers[0]);
    m_pComPortPointers[0] = nullptr;
    fake.ExpectClean();
}

TEST(EthOpen, PortNumberOutside1To65535FailsTheOpenInsteadOfReachingAnotherPort) {
    LoopbackPeer peer;
    FakeJni fake;
    LogCapture log;
    // Cut to 16 bits this number would be the peer's port.
    jint nId = NATIVE(OpenETHERNETDevice)(fake.env(), nullptr, fake.NewString("127.0.0.1"), 65536 + peer.Port());
    EXPECT_EQ(nId, 0);
    EXPECT_EQ(fake.PendingMessage(), "Open ETH Device Error");
    std::vector<std::string> lines = NamedLines(log);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[2], "OpenPort|Wrong port");
    EXPECT_EQ(lines[3], "Open|Open ETH Device Error");
    EXPECT_EQ(peer.Accepted(), 0);
    EXPECT_EQ(ethtest::FreeSlots(), TILLPORT_MAX_PORTS);
    fake.ClearPending();
    fake.ExpectClean();
}

TEST(EthOpen, HostsThatCannotBeUsedFailWithWrongHostname) {
    FakeJni fake;
    {
        // Resolution fails locally for a malformed name: no query leaves the machine.
        LogCapture log;
        jint nId = NATIVE(OpenETHERNETDevice)(fake.env(), nullptr, fake.NewString("no..such..host"), 9100);
        EXPECT_EQ(nId, 0);
        EXPECT_EQ(fake.PendingMessage(), "Open ETH Device Error");
        std::vector<std::string> lines = NamedLines(log);
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[1], kOpenName + "|Open ETHERNET DEVICE IP:NO..SUCH..HOST PORT:9100");
        EXPECT_EQ(lines[2], "OpenPort|Wrong hostname");
        EXPECT_EQ(lines[3], "Open|Open ETH Device Error");
        fake.ClearPending();
    }
    {
        // Too long to keep: refused by Init before anything is acquired, so no pause.
        LogCapture log;
        Stopwatch watch;
        jint nId = NATIVE(OpenETHERNETDevice)(fake.env(), nullptr, fake.NewString(std::string(300, 'h')), 9100);
        EXPECT_EQ(nId, 0);
        EXPECT_EQ(fake.PendingMessage(), "Wrong hostname");
        EXPECT_LT(watch.Seconds(), 1.5);
        EXPECT_TRUE(log.Has("ERROR: Init Port Error(Wrong hostname)!"));
        fake.ClearPending();
    }
    EXPECT_EQ(ethtest::FreeSlots(), TILLPORT_MAX_PORTS);
    fake.ExpectClean();
}

TEST(EthOpen, PeerThatNeverAcceptsRunsOutTheFiveSecondConnectWait) {
    FullAcceptQueue queue;
    ASSERT_TRUE(queue.Filled()) << "the accept queue of the loopback listener did not fill";
    LogCapture log;
    QuickPort quick;
    char szHost[] = "127.0.0.1";
    ASSERT_TRUE(quick->Init(szHost, queue.Port()));
    Stopwatch watch;
    EXPECT_FALSE(quick->Open());
    double dSeconds = watch.Seconds();
    EXPECT_GE(dSeconds, 5.0 + closepause::kSeconds - 0.2) << "5 s of connect wait and the pause of Close()";
    EXPECT_LT(dSeconds, 12.0);
    EXPECT_EQ(EthTestAccess::Socket(*quick), -1);
    EXPECT_STREQ(quick->m_strLastError, "Open ETH Device Error");
    EXPECT_TRUE(log.Has("Timeout or error()"));
}

// Out of descriptors: a port that could not be closed from another thread never opens; the
// open fails as any failed open does and the log says why. In a child process, so the limit
// is its own: it exits 0 when all of that holds.
void OpenWithoutDescriptors(int nPort) {
    LogCapture log;
    CCLog::WriteLog("Test", "the log file is open");
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(2);
    limit.rlim_cur = 64;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(2);
    std::vector<int> fillers;
    for (int fd; (fd = dup(0)) >= 0;) fillers.push_back(fd);
    FakeJni fake;
    NATIVE(OpenETHERNETDevice)(fake.env(), nullptr, fake.NewString("127.0.0.1"), nPort);
    for (int fd : fillers) close(fd);
    const bool bFailed = fake.PendingMessage() == "Open ETH Device Error";
    const bool bSaid = log.Has("No wake-up descriptor for the port (Too many open files)");
    bool bEmpty = true;
    for (CComPort* pPort : m_pComPortPointers) bEmpty = bEmpty && pPort == nullptr;
    if (!(bFailed && bSaid && bEmpty)) fprintf(stderr, "failed %d, said %d, table empty %d\n", bFailed, bSaid, bEmpty);
    _exit(bFailed && bSaid && bEmpty ? 0 : 1);
}

TEST(EthOpenDeathTest, OutOfDescriptorsTheOpenFailsAndTheLogNamesTheWakeUp) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own for its checks";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    RefusingPort refusing;
    EXPECT_EXIT(OpenWithoutDescriptors(refusing.Port()), testing::ExitedWithCode(0), "");
}
