// Sending and receiving on TCP printer ports against real loopback peers: chunked writes,
// partial sends, peers that stop reading, close or reset, receive timeouts, reconnects.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <climits>
#include <csignal>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "EthTestSupport.h"
#include "LogCapture.h"
#include "LoopbackPeer.h"
#include "TimeScale.h"
#include "EthTestAccess.h"

using ethtest::Pattern;
using ethtest::QuickPort;
using ethtest::Stopwatch;
using Behaviour = LoopbackPeer::Behaviour;

namespace {

constexpr unsigned long kFailedTransfer = ULONG_MAX;  // -1 from send/recv, as the caller sees it

// Waits, bounded, until the peer's received bytes end with the marker.
bool WaitForMarker(const LoopbackPeer& peer, const std::vector<uint8_t>& marker, int nTimeoutMs) {
    for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 10) {
        std::vector<uint8_t> received = peer.Received();
        if (received.size() >= marker.size() &&
            std::equal(marker.begin(), marker.end(), received.end() - static_cast<long>(marker.size()))) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Sizes and MSG_MORE of the send() calls made on one socket.
std::mutex g_sendLock;
int g_nWatchedSocket = -1;
std::vector<std::pair<size_t, bool>> g_sends;

void RecordSendsOn(int fd) {
    std::lock_guard<std::mutex> lock(g_sendLock);
    g_nWatchedSocket = fd;
    g_sends.clear();
}

std::vector<std::pair<size_t, bool>> RecordedSends() {
    std::lock_guard<std::mutex> lock(g_sendLock);
    return g_sends;
}

// Waits, bounded, until the socket's send queue is empty: the peer has taken every byte.
bool WaitUntilSent(int hSocket, int nTimeoutMs) {
    for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 10) {
        int nQueued = -1;
        if (ioctl(hSocket, SIOCOUTQ, &nQueued) == 0 && nQueued == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

// The library's objects are linked into this program, so their send() calls bind here;
// the call goes on to the next send() (a sanitizer's, then the system's).
extern "C" ssize_t send(int fd, const void* pData, size_t nLength, int nFlags) {
    using SendFn = ssize_t (*)(int, const void*, size_t, int);
    static SendFn pNext = reinterpret_cast<SendFn>(dlsym(RTLD_NEXT, "send"));
    {
        std::lock_guard<std::mutex> lock(g_sendLock);
        if (fd == g_nWatchedSocket && fd >= 0) g_sends.emplace_back(nLength, (nFlags & MSG_MORE) != 0);
    }
    return pNext(fd, pData, nLength, nFlags);
}

TEST(EthWrite, WritesBelowAtAndAboveTheChunkSizeArriveWholeAndInOrder) {
    LoopbackPeer peer;
    QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, peer.Port()));
    std::vector<uint8_t> all = Pattern(999 + 1000 + 2500);
    // At most 1000 bytes per send; within a job every send but the last says more is
    // coming, so the last one pushes the job out at once.
    using Sends = std::vector<std::pair<size_t, bool>>;
    const Sends expected[] = {{{999, false}}, {{1000, false}}, {{1000, true}, {1000, true}, {500, false}}};
    unsigned long nOffset = 0;
    int nJob = 0;
    for (unsigned long nLength : {999UL, 1000UL, 2500UL}) {
        unsigned long nError = 0;
        RecordSendsOn(EthTestAccess::Socket(*quick));
        EXPECT_EQ(quick->Write(all.data() + nOffset, nLength, &nError), nLength);
        EXPECT_EQ(RecordedSends(), expected[nJob++]) << nLength << " bytes";
        EXPECT_EQ(nError, 0u);
        nOffset += nLength;
    }
    RecordSendsOn(-1);
    ASSERT_TRUE(peer.WaitForReceived(all.size(), 5000));
    EXPECT_EQ(peer.Received(), all);
}

TEST(EthWrite, PeerThatStopsReadingMakesTheWriteTimeOutPartWayAndKeepsWhatWentOut) {
    LoopbackPeer peer(Behaviour::StopReading);
    QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, peer.Port(), 300, 1000));
    std::vector<uint8_t> data = Pattern(32 << 20);
    unsigned long nError = 0;
    Stopwatch watch;
    EXPECT_EQ(quick->Write(data.data(), data.size(), &nError), 0u);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(quick->m_strLastError, "") << "a failed send leaves the text OpenPort cleared";
    EXPECT_LT(watch.Seconds(), 10.0 * TimeScale());
    ASSERT_NE(EthTestAccess::Socket(*quick), -1) << "a failed transfer keeps the socket";

    // Once the printer reads again, it gets exactly a prefix of the data (each chunk began
    // after the last byte the socket took), then what is written next on the same socket.
    // The next write waits for room at most the 300 ms send timeout: let the peer first
    // drain the megabytes the socket buffers hold, which takes longer on a slow core.
    peer.ResumeReading();
    ASSERT_TRUE(WaitUntilSent(EthTestAccess::Socket(*quick), ScaledMs(10000)));
    std::vector<uint8_t> marker = {'E', 'N', 'D'};
    nError = 0;
    EXPECT_EQ(quick->Write(marker.data(), marker.size(), &nError), marker.size());
    ASSERT_TRUE(WaitForMarker(peer, marker, ScaledMs(10000)));
    std::vector<uint8_t> received = peer.Received();
    size_t nPrefix = received.size() - marker.size();
    EXPECT_GT(nPrefix, 0u);
    EXPECT_LT(nPrefix, data.size());
    EXPECT_TRUE(std::equal(received.begin(), received.begin() + static_cast<long>(nPrefix), data.begin()))
        << "the bytes that went out are not the start of the data";
}

TEST(EthWrite, PrinterDroppingTheConnectionMidJobFailsItWithoutASignalAndTheNextJobConnectsAnew) {
    // SIGPIPE at its default action would end this process on the first failed send.
    struct sigaction previous {};
    struct sigaction fatal {};
    fatal.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &fatal, &previous);

    // The printer reads 1000 bytes of a job far larger than the socket buffers, then closes
    // over the rest, which resets the connection while the job is still being sent.
    LoopbackPeer peer(Behaviour::CloseAfter, {}, 1000);
    QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, peer.Port()));
    std::vector<uint8_t> job = Pattern(8 << 20);  // twice what loopback sockets queue
    unsigned long nError = 0;
    EXPECT_EQ(quick->Write(job.data(), job.size(), &nError), 0u);
    EXPECT_EQ(nError, 1u);
    EXPECT_EQ(EthTestAccess::Socket(*quick), -1) << "a connection that ended is given up";

    std::vector<uint8_t> next = {'N', 'E', 'X', 'T'};
    nError = 0;
    EXPECT_EQ(quick->Write(next.data(), next.size(), &nError), next.size());
    EXPECT_EQ(nError, 0u);
    ASSERT_TRUE(WaitForMarker(peer, next, 5000));
    EXPECT_EQ(peer.Accepted(), 2);
    sigaction(SIGPIPE, &previous, nullptr);
}

TEST(EthWrite, PrinterThatClosedAfterUnaskedStatusIsConnectedAgainBeforeTheNextJob) {
    // On connect the printer reports its status unasked; it takes a 10-byte job and closes.
    LoopbackPeer::Reply status;
    status.bytes = {0x12};
    LoopbackPeer peer(Behaviour::CloseAfter, {status}, 10);
    QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, peer.Port()));
    std::vector<uint8_t> first = Pattern(10);
    unsigned long nError = 0;
    ASSERT_EQ(quick->Write(first.data(), first.size(), &nError), first.size());
    // Wait until its FIN is here, behind the status byte nobody read.
    pollfd closed{EthTestAccess::Socket(*quick), POLLRDHUP, 0};
    ASSERT_EQ(poll(&closed, 1, 5000), 1);

    LogCapture log;
    std::vector<uint8_t> second = {'J', 'O', 'B', '2'};
    EXPECT_EQ(quick->Write(second.data(), second.size(), &nError), second.size());
    EXPECT_EQ(nError, 0u);
    std::vector<uint8_t> both = first;
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(peer.WaitForReceived(both.size(), 5000));
    EXPECT_EQ(peer.Received(), both);
    EXPECT_EQ(peer.Accepted(), 2);
    EXPECT_TRUE(log.Has("Connection ended by the printer: connecting again"));
    EXPECT_TRUE(log.Has("1 unread byte(s) from the printer dropped with the connection"));
    EXPECT_EQ(log.DumpLines().size(), 1u) << "the dropped status byte is shown";
}

TEST(EthRead, SilentPeerTimesOutWithEthReadError) {
    LoopbackPeer peer;
    QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, peer.Port(), 1000, 300));
    unsigned char buffer[16];
    unsigned long nError = 0;
    Stopwatch watch;
    EXPECT_EQ(quick->Read(buffer, sizeof(buffer), &nError), kFailedTransfer);
    EXPECT_GE(watch.Seconds(), 0.25);
    EXPECT_LT(watch.Seconds(), 3.0);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(quick->m_strLastError, "EthRead Error");
    EXPECT_TRUE(quick->LastOutcome().IsEnded());
    EXPECT_NE(EthTestAccess::Socket(*quick), -1);
}

TEST(EthRead, AnswersComeInTheRequestedSizesAndTheCleanOperationsLeaveThemAlone) {
    LoopbackPeer::Reply answer;
    answer.bytes = {'a', 'b', 'c', 0xff};
    LoopbackPeer peer(Behaviour::Answer, {answer});
    QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, peer.Port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    quick->CleanRX();
    quick->CleanTX();
    unsigned char buffer[8] = {};
    unsigned long nError = 0;
    EXPECT_EQ(quick->Read(buffer, 2, &nError), 2u);
    EXPECT_EQ(std::string(buffer, buffer + 2), "ab");
    EXPECT_EQ(quick->Read(buffer, sizeof(buffer), &nError), 2u);
    EXPECT_EQ(buffer[0], 'c');
    EXPECT_EQ(buffer[1], 0xff);
    EXPECT_EQ(nError, 0u);
}

TEST(EthRead, PeerEndingTheConnectionFailsTheReadAndReleasesTheSocket) {
    LoopbackPeer closing(Behaviour::CloseAfter);
    QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, closing.Port()));
    unsigned char buffer[16];
    unsigned long nError = 0;
    EXPECT_EQ(quick->Read(buffer, sizeof(buffer), &nError), 0u);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(quick->m_strLastError, "EthRead Error");
    EXPECT_TRUE(quick->LastOutcome().IsEnded()) << "end of stream: no more bytes are coming";
    EXPECT_EQ(EthTestAccess::Socket(*quick), -1);

    LoopbackPeer resetting(Behaviour::Reset);
    QuickPort reset;
    ASSERT_TRUE(ethtest::Connect(reset, resetting.Port()));
    ASSERT_TRUE(resetting.WaitForAccepted(1, 2000));
    nError = 0;
    EXPECT_EQ(reset->Read(buffer, sizeof(buffer), &nError), kFailedTransfer);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(reset->m_strLastError, "EthRead Error");
    EXPECT_FALSE(reset->LastOutcome().IsEnded()) << "a reset is a failure of its own";
    EXPECT_EQ(EthTestAccess::Socket(*reset), -1);
}

TEST(EthTransfer, PortWithoutConnectionConnectsOnItsNextTransferOrFailsWithDeviceError) {
    LoopbackPeer peer;
    QuickPort quick;
    char szHost[] = "127.0.0.1";
    ASSERT_TRUE(quick->Init(szHost, peer.Port()));
    std::vector<uint8_t> data = {0x1b, 0x40, 'O', 'K'};
    unsigned long nError = 0;
    EXPECT_EQ(quick->Write(data.data(), data.size(), &nError), data.size());
    ASSERT_TRUE(peer.WaitForReceived(data.size(), 2000));
    EXPECT_EQ(peer.Received(), data);

    RefusingPort refusing;
    QuickPort unreachable;
    ASSERT_TRUE(unreachable->Init(szHost, refusing.Port()));
    LogCapture log;
    unsigned char buffer[4];
    nError = 0;
    EXPECT_EQ(unreachable->Read(buffer, sizeof(buffer), &nError), 0u);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(unreachable->m_strLastError, "Open Error (Device Error)");
    std::vector<LogCapture::Line> lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].name, "OpenPort");
    EXPECT_EQ(lines[1].name + "|" + lines[1].text, "EthRead|Open Error (Device Error)");
}
