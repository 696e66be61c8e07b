// Sending and receiving on TCP printer ports against real loopback peers: chunked writes,
// partial sends, peers that stop reading, close or reset, receive timeouts, reconnects.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <climits>
#include <csignal>
#include <thread>

#include "EthTestSupport.h"
#include "LogCapture.h"
#include "LoopbackPeer.h"
#include "TimeScale.h"

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

TEST(EthWrite, WritesBelowAtAndAboveTheChunkSizeArriveWholeAndInOrder) {
    LoopbackPeer peer;
    QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, peer.Port()));
    std::vector<uint8_t> all = Pattern(999 + 1000 + 2500);
    unsigned long nOffset = 0;
    for (unsigned long nLength : {999UL, 1000UL, 2500UL}) {
        unsigned long nError = 0;
        EXPECT_EQ(quick->Write(all.data() + nOffset, nLength, &nError), nLength);
        EXPECT_EQ(nError, 0u);
        nOffset += nLength;
    }
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
    ASSERT_NE(quick->m_hSocket, -1) << "a failed transfer keeps the socket";

    // Once the printer reads again, it gets exactly a prefix of the data (each chunk began
    // after the last byte the socket took), then what is written next on the same socket.
    // The next write waits for room at most the 300 ms send timeout: let the peer first
    // drain the megabytes the socket buffers hold, which takes longer on a slow core.
    peer.ResumeReading();
    ASSERT_TRUE(WaitUntilSent(quick->m_hSocket, ScaledMs(10000)));
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

TEST(EthWrite, PeerThatHasClosedMakesTheWriteFailWithoutASignal) {
    // SIGPIPE at its default action would end this process on the first failed send.
    struct sigaction previous {};
    struct sigaction fatal {};
    fatal.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &fatal, &previous);

    LoopbackPeer peer(Behaviour::CloseAfter);
    QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, peer.Port()));
    ASSERT_TRUE(peer.WaitForAccepted(1, 2000));
    std::vector<uint8_t> data = Pattern(2500);
    unsigned long nError = 0;
    unsigned long nResult = 0;
    // The first sends may still be taken before the reset comes back.
    for (int i = 0; i < 100 && nError == 0; ++i) {
        nResult = quick->Write(data.data(), 100, &nError);
        if (nError == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    EXPECT_EQ(nError, 1u);
    EXPECT_EQ(nResult, kFailedTransfer);
    nError = 0;
    EXPECT_EQ(quick->Write(data.data(), data.size(), &nError), 0u) << "a failed chunked write returns 0";
    EXPECT_EQ(nError, 1u);
    EXPECT_NE(quick->m_hSocket, -1);
    sigaction(SIGPIPE, &previous, nullptr);
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
    EXPECT_NE(quick->m_hSocket, -1);
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

TEST(EthRead, PeerEndingTheConnectionGivesZeroWhenClosedAndAnErrorWhenReset) {
    LoopbackPeer closing(Behaviour::CloseAfter);
    QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, closing.Port()));
    unsigned char buffer[16];
    unsigned long nError = 0;
    EXPECT_EQ(quick->Read(buffer, sizeof(buffer), &nError), 0u);
    EXPECT_EQ(nError, 0u) << "an orderly close is no failure";
    EXPECT_NE(quick->m_hSocket, -1);

    LoopbackPeer resetting(Behaviour::Reset);
    QuickPort reset;
    ASSERT_TRUE(ethtest::Connect(reset, resetting.Port()));
    ASSERT_TRUE(resetting.WaitForAccepted(1, 2000));
    nError = 0;
    unsigned long nResult = 0;
    // Bounded: the reset may come back after the first receive has begun.
    for (int i = 0; i < 20 && nError == 0; ++i) nResult = reset->Read(buffer, sizeof(buffer), &nError);
    EXPECT_EQ(nResult, kFailedTransfer);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(reset->m_strLastError, "EthRead Error");
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
