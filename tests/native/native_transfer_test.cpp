// WriteToDevice and ReadFromDevice: argument checks, logging, the answer collection and
// its bounds, driven through the fake JNIEnv with a scripted test port.
#include <gtest/gtest.h>

#include <chrono>

#include "CLog.h"
#include "LogCapture.h"
#include "NativeTestSupport.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "Native.h"


namespace {

using Texts = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

class NativeTransfer : public testing::Test {
protected:
    void SetUp() override {
        EmptyPortTable();
        ASSERT_EQ(OpenTestPort(fake, fake.NewString("p"), 1), 0);
        port = TestPortAt(0);
    }
    void TearDown() override {
        EmptyPortTable();
        fake.ExpectClean();
    }
    std::vector<jint> Read(jint nExpected) { return fake.Ints(NATIVE(ReadFromDevice)(fake.env(), nullptr, 0, nExpected)); }
    void Answer(std::vector<unsigned char> bytes) { port->m_reads.push_back({std::move(bytes), false, 0}); }

    FakeJni fake;
    TestPort* port = nullptr;
};

}  // namespace

TEST_F(NativeTransfer, WriteHandsEveryByteOverAndReleasesTheElementsWithoutCopyBack) {
    LogCapture log;
    std::vector<uint8_t> data = {0x1b, 0x40, 'H', 'i', 0xff};
    EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, 0, fake.NewByteArray(data)), 5);
    EXPECT_EQ(port->m_written, data);
    EXPECT_EQ(fake.m_nBytesReleasedWithAbort, 1);
    EXPECT_EQ(log.Texts(), (Texts{"Begin", "Write 5 Bytes...", "Buffer to Write:", "Port ID:0", "End"}));
    EXPECT_EQ(log.DumpLines(), (Texts{"0000: 1b 40 48 69 ff" + std::string(33, ' ') + "   .@Hi."}));
}

TEST_F(NativeTransfer, EmptyWriteReturnsAtOnceWithoutLookingAtThePort) {
    LogCapture log;
    EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, 17, fake.NewByteArray({})), 0);
    EXPECT_EQ(log.Texts(), (Texts{"Begin", "Write 0 Bytes..."}));
    EXPECT_EQ(fake.m_nBytesTaken, 0);
    EXPECT_FALSE(fake.ExceptionPending());
}

TEST_F(NativeTransfer, ShortWriteRaisesThePortText) {
    port->m_nWriteResult = 3;
    port->m_strFailText = "Write Error";
    LogCapture log;
    EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, 0, fake.NewByteArray(std::vector<uint8_t>(10, 'x'))), 0);
    ASSERT_TRUE(fake.ExceptionPending());
    EXPECT_EQ(fake.PendingMessage(), "Write Error");
    Texts texts = log.Texts();
    EXPECT_EQ(Texts(texts.end() - 2, texts.end()), (Texts{"ERROR: Write Error(3/10)(Write Error)!", "Exit For Exception"}));
    fake.ClearPending();
}

TEST_F(NativeTransfer, NullOrUnusableArrayIsAnInvalidParameterAndWritesNothing) {
    LogCapture log;
    EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, 0, nullptr), 0);
    EXPECT_EQ(fake.PendingMessage(), "ERROR: Invalid Parameter!");
    EXPECT_EQ(log.Texts(), (Texts{"Begin", "ERROR: Invalid Parameter!", "Exit For Exception"}));
    fake.ClearPending();

    // The JVM could not pin the array: its own error stays the one Java sees.
    fake.m_bFailGetByteArrayElements = true;
    EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, 0, fake.NewByteArray({1, 2, 3})), 0);
    EXPECT_EQ(fake.PendingClass(), "java/lang/OutOfMemoryError");
    EXPECT_EQ(fake.m_nThrowNewCalls, 1);
    EXPECT_TRUE(port->m_written.empty());
    fake.ClearPending();
}

TEST_F(NativeTransfer, PassesAreAppendedUntilTheExpectedSizeIsReached) {
    Answer({1, 2, 3});
    Answer({4, 5});
    EXPECT_EQ(Read(5), (std::vector<jint>{1, 2, 3, 4, 5}));
    EXPECT_EQ(port->m_readRequests, (std::vector<unsigned long>{5, 5}));

    // Each pass asks for the full expected size, so a pass may bring more than is missing.
    Answer({1, 2, 3});
    Answer({4, 5, 6, 7});
    EXPECT_EQ(Read(5).size(), 7u);
}

TEST_F(NativeTransfer, EmptyPassesKeepPollingAndTheLogShowsEachPass) {
    port->m_reads.push_back({{}, false, 0});
    Answer({0x10});
    LogCapture log;
    EXPECT_EQ(Read(1), (std::vector<jint>{16}));
    EXPECT_EQ(log.Texts(), (Texts{"Answer Size Expected: 1", "Port ID:0", "Partial Read 0 Bytes", "Partial Read 1 Bytes",
                                  "Read 1 Bytes", "Read Bytes:", "End"}));
}

TEST_F(NativeTransfer, BytesArriveUnsigned) {
    Answer({0xff, 0x80, 0x00, 0x7f});
    EXPECT_EQ(Read(4), (std::vector<jint>{255, 128, 0, 127}));
}

TEST_F(NativeTransfer, ExpectedSizeZeroMakesExactlyOneReadOf255) {
    Answer({9, 8});
    Answer({7});
    EXPECT_EQ(Read(0), (std::vector<jint>{9, 8}));
    EXPECT_EQ(port->m_readRequests, (std::vector<unsigned long>{255}));

    port->m_readRequests.clear();
    port->m_reads.clear();
    EXPECT_EQ(NATIVE(ReadFromDevice)(fake.env(), nullptr, 0, -5), nullptr);
    EXPECT_EQ(fake.PendingMessage(), "ERROR: No Read Data!");
    EXPECT_EQ(port->m_readRequests.size(), 1u);
    fake.ClearPending();
}

TEST_F(NativeTransfer, AnswerNeverOutgrowsItsBufferWhateverTheExpectedSize) {
    for (int i = 0; i < 5; ++i) Answer(std::vector<unsigned char>(300, static_cast<unsigned char>(i)));
    std::vector<jint> answer = Read(300);
    ASSERT_EQ(answer.size(), 256u);
    EXPECT_EQ(answer.front(), 0);
    EXPECT_EQ(answer.back(), 0);
    EXPECT_EQ(port->m_readRequests, (std::vector<unsigned long>{256}));

    // Two passes of 200 against an expected 201: the second asks only for the room left.
    port->m_reads.clear();
    port->m_readRequests.clear();
    Answer(std::vector<unsigned char>(200, 1));
    Answer(std::vector<unsigned char>(200, 2));
    answer = Read(201);
    ASSERT_EQ(answer.size(), 256u);
    EXPECT_EQ(answer[199], 1);
    EXPECT_EQ(answer[200], 2);
    EXPECT_EQ(port->m_readRequests, (std::vector<unsigned long>{201, 56}));
}

TEST_F(NativeTransfer, SilentPortEndsAfterTheReceiveTimeoutWithNoReadData) {
    port->m_nTimeoutRX = 150;
    LogCapture log;
    auto start = Clock::now();
    EXPECT_EQ(NATIVE(ReadFromDevice)(fake.env(), nullptr, 0, 3), nullptr);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(elapsed, 150);
    EXPECT_LT(elapsed, 5000);
    EXPECT_GE(port->m_readRequests.size(), 2u);
    // Passes that bring nothing return at once; the collection sleeps between them rather
    // than spinning, a pass about every 10 ms.
    EXPECT_LE(port->m_readRequests.size(), 20u);
    EXPECT_EQ(fake.PendingMessage(), "ERROR: No Read Data!");
    Texts texts = log.Texts();
    EXPECT_EQ(Texts(texts.end() - 3, texts.end()), (Texts{"Read 0 Bytes", "ERROR: No Read Data!", "Exit For Exception"}));
    fake.ClearPending();
}

TEST_F(NativeTransfer, TimeoutWithSomeBytesReturnsThemWithoutException) {
    port->m_nTimeoutRX = 100;
    Answer({1, 2});
    EXPECT_EQ(Read(10), (std::vector<jint>{1, 2}));
    EXPECT_FALSE(fake.ExceptionPending());
}

TEST_F(NativeTransfer, TransportTimeoutOrEndOfStreamAfterSomeBytesReturnsThemAndWithNoneStillThrows) {
    port->m_strFailText = "Read select() timeout! No data read";
    Answer({1, 2});
    port->m_reads.push_back({{}, true, 0, true});
    LogCapture log;
    EXPECT_EQ(Read(5), (std::vector<jint>{1, 2}));
    EXPECT_FALSE(fake.ExceptionPending());
    Texts texts = log.Texts();
    EXPECT_EQ(Texts(texts.end() - 5, texts.end()),
              (Texts{"Partial Read 2 Bytes", "Answer Ended(Read select() timeout! No data read)", "Read 2 Bytes",
                     "Read Bytes:", "End"}));

    // The same expiry with nothing collected fails as before.
    port->m_reads.push_back({{}, true, 0, true});
    EXPECT_EQ(NATIVE(ReadFromDevice)(fake.env(), nullptr, 0, 5), nullptr);
    EXPECT_EQ(fake.PendingMessage(), "Read select() timeout! No data read");
    fake.ClearPending();
}

TEST_F(NativeTransfer, NegativeReceiveTimeoutStillEndsWhenTheAnswerBufferFills) {
    port->m_nTimeoutRX = static_cast<unsigned long>(-1L);
    for (int i = 0; i < 3; ++i) Answer(std::vector<unsigned char>(100, 7));
    EXPECT_EQ(Read(1000).size(), 256u);
}

TEST_F(NativeTransfer, ReadErrorRaisesThePortTextAndDropsEarlierBytes) {
    for (jint nExpected : {4, 0}) {
        SCOPED_TRACE(nExpected);
        port->m_strFailText = "EthRead Error";
        if (nExpected > 0) Answer({1, 2});
        port->m_reads.push_back({{}, true, 0});
        LogCapture log;
        EXPECT_EQ(NATIVE(ReadFromDevice)(fake.env(), nullptr, 0, nExpected), nullptr);
        EXPECT_EQ(fake.PendingMessage(), "EthRead Error");
        Texts texts = log.Texts();
        std::string expected = nExpected > 0 ? "ERROR: Read Error(EthRead Error)!" : " 1 ERROR: Read Error(EthRead Error)!";
        EXPECT_EQ(Texts(texts.end() - 2, texts.end()), (Texts{expected, "Exit For Exception"}));
        fake.ClearPending();
    }
}

TEST_F(NativeTransfer, ResultArrayThatCannotBeMadeRaisesTheLibraryTextInsteadOfTheJvmError) {
    Answer({1});
    fake.m_bFailNewIntArray = true;
    LogCapture log;
    EXPECT_EQ(NATIVE(ReadFromDevice)(fake.env(), nullptr, 0, 1), nullptr);
    EXPECT_EQ(fake.PendingClass(), "java/lang/Exception");
    EXPECT_EQ(fake.PendingMessage(), "ERROR: Creation Out Buffer!");
    Texts texts = log.Texts();
    EXPECT_EQ(Texts(texts.end() - 2, texts.end()), (Texts{"ERROR: Creation Out Buffer!", "Exit For Exception"}));
    fake.ClearPending();
}
