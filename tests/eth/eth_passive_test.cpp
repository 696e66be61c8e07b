// TCP transfers against a listener that runs no thread of its own: the kernel completes
// the connection into the listener's queue, so the test can let the library connect and
// write first, then accept and read, or queue an answer before the library reads, with no
// second party running beside the library.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <vector>

#include "ClosePause.h"
#include "EthTestSupport.h"
#include "FakeJni.h"
#include "LogCapture.h"
#include "LoopbackPeer.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "EthTestAccess.h"
#include "Native.h"


namespace {

// A listening socket on 127.0.0.1 that accepts only when asked.
class PassiveListener {
public:
    PassiveListener() {
        m_hListen = BindLoopback(&m_nPort);
        if (listen(m_hListen, 8) != 0) m_nPort = 0;
    }
    ~PassiveListener() {
        if (m_hPeer >= 0) close(m_hPeer);
        close(m_hListen);
    }
    int Port() const { return m_nPort; }
    // Takes the queued connection (waiting up to 2 s for it).
    bool Accept() {
        pollfd ready{m_hListen, POLLIN, 0};
        if (poll(&ready, 1, 2000) != 1) return false;
        m_hPeer = accept(m_hListen, nullptr, nullptr);
        return m_hPeer >= 0;
    }
    bool Send(const std::vector<uint8_t>& bytes) {
        return send(m_hPeer, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
    }
    // Reads until nBytes arrived or 2 s passed without data.
    std::vector<uint8_t> Receive(size_t nBytes) {
        std::vector<uint8_t> received;
        uint8_t buffer[4096];
        while (received.size() < nBytes) {
            pollfd ready{m_hPeer, POLLIN, 0};
            if (poll(&ready, 1, 2000) != 1) break;
            ssize_t n = recv(m_hPeer, buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            received.insert(received.end(), buffer, buffer + n);
        }
        return received;
    }

private:
    int m_hListen = -1;
    int m_hPeer = -1;
    int m_nPort = 0;
};

timeval SocketTimeout(int hSocket, int nOption) {
    timeval tv{-1, -1};
    socklen_t nLength = sizeof(tv);
    getsockopt(hSocket, SOL_SOCKET, nOption, &tv, &nLength);
    return tv;
}

}  // namespace

TEST(EthPassive, NegativeTimeoutsAreStoredAtTheBuildsWidthAndClampedForTheSocket) {
    PassiveListener listener;
    ethtest::QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, listener.Port(), -1, 2500));
#if __SIZEOF_LONG__ == 4
    EXPECT_EQ(quick->m_nTimeoutTX, 4294967295UL);
#else
    EXPECT_EQ(quick->m_nTimeoutTX, 18446744073709551615UL);
#endif
    timeval send = SocketTimeout(EthTestAccess::Socket(*quick), SO_SNDTIMEO);
    EXPECT_EQ(send.tv_sec, 2147483);
    EXPECT_NEAR(send.tv_usec, 647000, 10000);
    EXPECT_EQ(SocketTimeout(EthTestAccess::Socket(*quick), SO_RCVTIMEO).tv_sec, 2);
}

TEST(EthPassive, JobsBelowAtAndAboveTheChunkSizeArriveWholeAndInOrder) {
    PassiveListener listener;
    ethtest::QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, listener.Port()));
    std::vector<uint8_t> job = ethtest::Pattern(999 + 1000 + 2500);
    unsigned long nError = 0;
    EXPECT_EQ(quick->Write(job.data(), 999, &nError), 999u);
    EXPECT_EQ(quick->Write(job.data() + 999, 1000, &nError), 1000u);
    EXPECT_EQ(quick->Write(job.data() + 1999, 2500, &nError), 2500u);
    EXPECT_EQ(nError, 0u);
    ASSERT_TRUE(listener.Accept());
    EXPECT_EQ(listener.Receive(job.size()), job);
}

TEST(EthPassive, AnswerCollectionThroughTheNativeMethods) {
    PassiveListener listener;
    FakeJni fake;
    jint nId = NATIVE(OpenETHERNETDevice)(fake.env(), nullptr, fake.NewString("127.0.0.1"), listener.Port());
    ASSERT_FALSE(fake.ExceptionPending()) << fake.PendingMessage();
    ASSERT_TRUE(listener.Accept());
    NATIVE(SetTimeoutRX)(fake.env(), nullptr, nId, 300);

    // Seven bytes waiting against an expected five: the pass asks for five and the
    // collection ends with them.
    ASSERT_TRUE(listener.Send({0x12, 0xff, 0x00, 0x80, 0x7f, 1, 2}));
    LogCapture log;
    std::vector<jint> answer = fake.Ints(NATIVE(ReadFromDevice)(fake.env(), nullptr, nId, 5));
    EXPECT_EQ(answer, (std::vector<jint>{0x12, 255, 0, 128, 127}));
    EXPECT_FALSE(fake.ExceptionPending());

    // The other two come in the next call's first pass; its second pass waits out the
    // receive timeout, which ends the answer: Java gets the two bytes.
    answer = fake.Ints(NATIVE(ReadFromDevice)(fake.env(), nullptr, nId, 5));
    EXPECT_EQ(answer, (std::vector<jint>{1, 2}));
    EXPECT_FALSE(fake.ExceptionPending());
    EXPECT_TRUE(log.Has("Answer Ended(EthRead Error)"));

    std::vector<uint8_t> receipt = ethtest::Pattern(2500);
    EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, nId, fake.NewByteArray(receipt)), 2500);
    EXPECT_EQ(listener.Receive(receipt.size()), receipt);
    ethtest::DropSlot(nId);
    fake.ExpectClean();
}

TEST(EthPassive, CloseOfAConnectionThePrinterKeepsOpenTakesTheWholePause) {
    // Queued by the kernel, never accepted: nobody will close the printer's end.
    PassiveListener listener;
    ethtest::QuickPort quick;
    ASSERT_TRUE(ethtest::Connect(quick, listener.Port()));
    ethtest::Stopwatch watch;
    EXPECT_TRUE(quick->Close());
    EXPECT_GE(watch.Seconds(), closepause::kWaitedOut);
    EXPECT_LT(watch.Seconds(), closepause::kSeconds + 1.5);
    EXPECT_EQ(EthTestAccess::Socket(*quick), -1);
}
