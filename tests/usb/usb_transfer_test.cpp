// Transfers: chunking as the printer sees it, short and failed transfers, and rediscovery
// of the printer by the next write after a failure.
#include <chrono>
#include <thread>
#include <numeric>
#include <string>
#include <vector>

#include "FakeJni.h"
#include "LogCapture.h"
#include "TimeScale.h"
#include "UsbScenario.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "UsbTestAccess.h"

namespace {

using Outcome = UsbPrinterBed::Outcome;

std::vector<uint8_t> Pattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return bytes;
}

class UsbTransfer : public UsbScenario {
protected:
    void SetUp() override {
        printer = bed.Add(Printer("SN1"));
        ASSERT_TRUE(Init(port, "0A1F", "1")) << port.m_strLastError;
        ASSERT_TRUE(port.Open()) << port.m_strLastError;
    }
    void TearDown() override {
        port.Close();
        UsbScenario::TearDown();
    }

    unsigned long Write(std::vector<uint8_t> bytes, unsigned long* error) {
        *error = 0;
        return port.Write(bytes.data(), bytes.size(), error);
    }

    // Bytes of the accepted OUT transfers from the index-th on, joined.
    std::vector<uint8_t> Received(size_t from = 0) const {
        std::vector<uint8_t> joined;
        std::vector<UsbPrinterBed::Transfer> transfers = bed.Transfers(printer);
        for (size_t i = from; i < transfers.size(); ++i) joined.insert(joined.end(), transfers[i].data.begin(), transfers[i].data.end());
        return joined;
    }

    int printer = -1;
    CComPortUsb port;
};

TEST_F(UsbTransfer, WritesBelowTheChunkSizeGoInOneTransferLongerOnesInChunksOf1000) {
    unsigned long error = 0;
    EXPECT_EQ(Write(Pattern(999), &error), 999u);
    EXPECT_EQ(bed.OutLengths(printer), (std::vector<size_t>{999}));
    EXPECT_EQ(Write(Pattern(1000), &error), 1000u);
    EXPECT_EQ(bed.OutLengths(printer), (std::vector<size_t>{999, 1000}));
    EXPECT_EQ(Write(Pattern(2500), &error), 2500u);
    EXPECT_EQ(bed.OutLengths(printer), (std::vector<size_t>{999, 1000, 1000, 1000, 500}));
    EXPECT_EQ(Received(2), Pattern(2500));
    EXPECT_EQ(error, 0u);
    for (const UsbPrinterBed::Transfer& transfer : bed.Transfers(printer)) EXPECT_EQ(transfer.endpoint, 0x02);
}

TEST_F(UsbTransfer, EmptyWriteIsOneZeroLengthTransfer) {
    unsigned long error = 0;
    EXPECT_EQ(Write({}, &error), 0u);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(bed.OutLengths(printer), (std::vector<size_t>{0}));
}

TEST_F(UsbTransfer, ShortTransfersReturnTheSmallerCountOrResumeAtTheFirstUnsentByte) {
    unsigned long error = 0;
    bed.QueueOutcome(printer, Outcome::Short, 40);
    EXPECT_EQ(Write(Pattern(100), &error), 40u);
    EXPECT_EQ(error, 0u);

    // In the chunk loop a short chunk makes the next one start where it stopped.
    bed.QueueOutcome(printer, Outcome::Short, 600);
    EXPECT_EQ(Write(Pattern(2500), &error), 2500u);
    EXPECT_EQ(bed.OutLengths(printer), (std::vector<size_t>{40, 600, 1000, 900}));
    EXPECT_EQ(Received(1), Pattern(2500));

    // A printer taking nothing, without an error, must not keep the loop going.
    bed.QueueOutcome(printer, Outcome::Short, 0);
    EXPECT_EQ(Write(Pattern(2500), &error), 0u);
    EXPECT_EQ(bed.OutLengths(printer).size(), 5u);
    EXPECT_TRUE(UsbTestAccess::Opened(port));
}

TEST_F(UsbTransfer, FailureInTheSecondChunkReturnsZeroAndClosesThePortUntilTheNextWrite) {
    LibusbCalls before = LibusbCalls::Now();
    bed.QueueOutcome(printer, Outcome::Accept);
    bed.QueueOutcome(printer, Outcome::Error);
    unsigned long error = 0;
    EXPECT_EQ(Write(Pattern(2500), &error), 0u);
    EXPECT_EQ(error, 1u);
    EXPECT_STREQ(port.m_strLastError, "Write Error");
    EXPECT_FALSE(UsbTestAccess::Opened(port));
    EXPECT_EQ(bed.OutLengths(printer), (std::vector<size_t>{1000}));
    LibusbCalls closed = LibusbCalls::Now() - before;
    EXPECT_EQ(closed.releases, 1);
    EXPECT_EQ(closed.closes, 1);
    EXPECT_EQ(closed.frees, 1);
    EXPECT_EQ(closed.exits, 1);

    // The next write finds the printer again and sends everything.
    EXPECT_EQ(Write(Pattern(2500), &error), 2500u);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(bed.GetCounts(printer).claims, 2);
    EXPECT_EQ(Received(2), Pattern(2500));
}

TEST_F(UsbTransfer, ALongJobKeepsChunksInFlightAndNoneBehindOneThatTimedOutReachesThePrinter) {
    unsigned long error = 0;
    EXPECT_EQ(Write(Pattern(20000), &error), 20000u);
    EXPECT_GT(bed.GetCounts(printer).mostOutInFlight, 1u) << "one chunk at a time";
    EXPECT_EQ(Received(), Pattern(20000));

    // The third chunk stops after 300 bytes: those submitted behind it are cancelled unsent.
    port.SetTimeoutTX(100);
    const size_t nBefore = bed.Transfers(printer).size();
    bed.QueueOutcome(printer, Outcome::Accept);
    bed.QueueOutcome(printer, Outcome::Accept);
    bed.QueueOutcome(printer, Outcome::Timeout, 300);
    EXPECT_EQ(Write(Pattern(20000), &error), 0u);
    EXPECT_EQ(error, 1u);
    EXPECT_EQ(port.LastOutcome().nMoved, 2300u);
    EXPECT_EQ(Received(nBefore), Pattern(2300));
    EXPECT_EQ(bed.Transfers(printer).size(), nBefore + 3);
}

TEST_F(UsbTransfer, ReopeningFailsWithTheOenDeviceTextWhileTheInterfaceCannotBeClaimed) {
    bed.QueueOutcome(printer, Outcome::Stall);
    unsigned long error = 0;
    EXPECT_EQ(Write(Pattern(10), &error), 0u);
    EXPECT_STREQ(port.m_strLastError, "Write Error");
    bed.SetClaimFails(printer, true);
    EXPECT_EQ(Write(Pattern(10), &error), 0u);
    EXPECT_EQ(error, 1u);
    EXPECT_STREQ(port.m_strLastError, "Write Error---> error to oen device");
    EXPECT_EQ(UsbTestAccess::Handle(port), nullptr);
    bed.SetClaimFails(printer, false);
    EXPECT_EQ(Write(Pattern(10), &error), 10u);
}

TEST_F(UsbTransfer, ReadReturnsWhatThePrinterAnsweredAndATimeoutClosesThePort) {
    bed.QueueAnswer(printer, {0x10, 0x20});
    unsigned char buffer[16];
    unsigned long error = 0;
    EXPECT_EQ(port.Read(buffer, sizeof(buffer), &error), 2u);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(buffer[1], 0x20);
    EXPECT_EQ(bed.Transfers(printer).back().endpoint, 0x81);

    port.SetTimeoutRX(150);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.Read(buffer, sizeof(buffer), &error), 0u);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(error, 1u);
    EXPECT_STREQ(port.m_strLastError, "Read timeout! No data read");
    EXPECT_TRUE(port.LastOutcome().IsEnded());
    EXPECT_GE(elapsed, std::chrono::milliseconds(100));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_FALSE(UsbTestAccess::Opened(port));

    // Closed: Read fails without touching the closed handle; only Write reopens.
    LibusbCalls before = LibusbCalls::Now();
    error = 0;
    EXPECT_EQ(port.Read(buffer, sizeof(buffer), &error), 0u);
    EXPECT_EQ(error, 1u);
    EXPECT_STREQ(port.m_strLastError, "Read timeout! No data read");
    EXPECT_EQ((LibusbCalls::Now() - before).transfers, 0);

    EXPECT_EQ(Write(Pattern(5), &error), 5u);
    EXPECT_TRUE(UsbTestAccess::Opened(port));
    bed.QueueAnswer(printer, {0x7f});
    EXPECT_EQ(port.Read(buffer, sizeof(buffer), &error), 1u);
}

TEST_F(UsbTransfer, FailedReadOfAnyKindReportsTheTimeoutText) {
    bed.QueueOutcome(printer, Outcome::Error);
    unsigned char buffer[4];
    unsigned long error = 0;
    EXPECT_EQ(port.Read(buffer, sizeof(buffer), &error), 0u);
    EXPECT_EQ(error, 1u);
    EXPECT_STREQ(port.m_strLastError, "Read timeout! No data read");
    EXPECT_FALSE(port.LastOutcome().IsEnded()) << "a transfer error is no timeout";
    EXPECT_FALSE(UsbTestAccess::Opened(port));
}

// Through the native methods, as Java sees it.
class UsbTransferThroughJni : public UsbScenario {
protected:
    jint Open(FakeJni& fake) {
        return Java_orvik_services_posprinterPortComm_CommonComPort_OpenUSBDevice(fake.env(), nullptr,
                                                                                   fake.NewString("0A1F"), fake.NewString("1"));
    }
    jint WriteBytes(FakeJni& fake, jint id, const std::vector<uint8_t>& bytes) {
        return Java_orvik_services_posprinterPortComm_CommonComPort_WriteToDevice(fake.env(), nullptr, id,
                                                                                   fake.NewByteArray(bytes));
    }
    void Close(FakeJni& fake, jint id) {
        Java_orvik_services_posprinterPortComm_CommonComPort_CloseDevice(fake.env(), nullptr, id);
    }
    // The answer Java gets; a failure of the test when it gets an exception instead.
    std::vector<jint> ReadAnswer(FakeJni& fake, jint id, jint expected) {
        jintArray answer = Java_orvik_services_posprinterPortComm_CommonComPort_ReadFromDevice(fake.env(), nullptr, id,
                                                                                                expected);
        EXPECT_FALSE(fake.ExceptionPending()) << fake.PendingMessage();
        fake.ClearPending();
        return answer == nullptr ? std::vector<jint>{} : fake.Ints(answer);
    }
    // Lengths of the bulk IN transfers, as the printer saw them asked.
    std::vector<size_t> InLengths(int printer) const {
        std::vector<size_t> lengths;
        for (const UsbPrinterBed::Transfer& transfer : bed.Transfers(printer)) {
            if ((transfer.endpoint & LIBUSB_ENDPOINT_IN) != 0) lengths.push_back(transfer.length);
        }
        return lengths;
    }
};

TEST_F(UsbTransferThroughJni, WriteReadAndAShortWriteThatJavaSeesAsAnError) {
    int printer = bed.Add(Printer("SN1"));
    FakeJni fake;
    jint id = Open(fake);
    ASSERT_FALSE(fake.ExceptionPending());
    EXPECT_EQ(WriteBytes(fake, id, Pattern(2500)), 2500);
    EXPECT_EQ(bed.OutLengths(printer), (std::vector<size_t>{1000, 1000, 500}));

    bed.QueueAnswer(printer, {0x10, 0x00, 0xff});
    jintArray answer = Java_orvik_services_posprinterPortComm_CommonComPort_ReadFromDevice(fake.env(), nullptr, id, 3);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(fake.Ints(answer), (std::vector<jint>{0x10, 0x00, 0xff}));

    LogCapture log;
    bed.QueueOutcome(printer, Outcome::Short, 7);
    EXPECT_EQ(WriteBytes(fake, id, Pattern(20)), 0);
    EXPECT_TRUE(fake.ExceptionPending());
    EXPECT_TRUE(log.Has("ERROR: Write Error(7/20)()!"));
    fake.ClearPending();
    Close(fake, id);
    fake.ExpectClean();
}

TEST_F(UsbTransferThroughJni, ShortAnswerIsReturnedAndTheTimeoutStillClosesThePortForTheNextWrite) {
    int printer = bed.Add(Printer("SN1"));
    FakeJni fake;
    jint id = Open(fake);
    ASSERT_FALSE(fake.ExceptionPending());
    Java_orvik_services_posprinterPortComm_CommonComPort_SetTimeoutRX(fake.env(), nullptr, id, 150);
    bed.QueueAnswer(printer, {0x12});
    jintArray answer = Java_orvik_services_posprinterPortComm_CommonComPort_ReadFromDevice(fake.env(), nullptr, id, 3);
    EXPECT_FALSE(fake.ExceptionPending()) << fake.PendingMessage();
    EXPECT_EQ(answer == nullptr ? std::vector<jint>{} : fake.Ints(answer), std::vector<jint>{0x12});
    fake.ClearPending();
    EXPECT_FALSE(UsbTestAccess::Opened(*static_cast<CComPortUsb*>(m_pComPortPointers[id])));
    EXPECT_EQ(WriteBytes(fake, id, Pattern(4)), 4);
    EXPECT_EQ(bed.GetCounts(printer).claims, 2);

    // Exactly one 64-byte packet and no zero-length packet after it: only the timeout ends
    // the transfer, and its bytes are the answer all the same.
    std::vector<uint8_t> whole = Pattern(64);
    bed.QueueAnswer(printer, whole);
    LogCapture log;
    EXPECT_EQ(ReadAnswer(fake, id, 100), std::vector<jint>(whole.begin(), whole.end()));
    EXPECT_TRUE(log.Has("Answer Ended(Read timeout! No data read)"));
    EXPECT_FALSE(UsbTestAccess::Opened(*static_cast<CComPortUsb*>(m_pComPortPointers[id])));
    EXPECT_EQ(WriteBytes(fake, id, Pattern(4)), 4);
    EXPECT_EQ(bed.GetCounts(printer).claims, 3);
    Close(fake, id);
    fake.ExpectClean();
}

TEST_F(UsbTransferThroughJni, AnswerCollectionKeepsToTheReceiveTimeoutWhenTheFirstByteComesLate) {
    // One byte at 90% of the timeout: the next pass waits only what is left of it.
    int printer = bed.Add(Printer("SN1"));
    FakeJni fake;
    jint id = Open(fake);
    ASSERT_FALSE(fake.ExceptionPending());
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(900));
        bed.QueueAnswer(printer, {0x12});
    });
    auto start = std::chrono::steady_clock::now();
    std::vector<jint> answer = ReadAnswer(fake, id, 2);
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    late.join();
    EXPECT_EQ(answer, (std::vector<jint>{0x12}));
    EXPECT_GE(dSeconds, 0.9);
    EXPECT_LE(dSeconds, 1.0 + 0.2 * TimeScale());  // a second full wait would take it to 1.9 s
    Close(fake, id);
    fake.ExpectClean();
}

TEST_F(UsbTransferThroughJni, UnpluggedPrinterIsFoundAgainOnceItIsBackWithoutPilingUpLibusbStarts) {
    int printer = bed.Add(Printer("SN1"));
    FakeJni fake;
    jint id = Open(fake);
    ASSERT_FALSE(fake.ExceptionPending());
    LibusbCalls opened = Calls();

    bed.Unplug(printer);
    EXPECT_EQ(WriteBytes(fake, id, Pattern(10)), 0);
    EXPECT_EQ(fake.PendingMessage(), "Write Error");
    fake.ClearPending();
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(WriteBytes(fake, id, Pattern(10)), 0);
        EXPECT_EQ(fake.PendingMessage(), "Write Error---> error to reinit device");
        fake.ClearPending();
        // Each failed reopening gives back the start and list of the one before.
        LibusbCalls now = Calls();
        EXPECT_EQ(now.inits - now.exits, 1);
        EXPECT_EQ(now.lists - now.frees, 1);
    }
    EXPECT_EQ(Calls().inits, opened.inits + 3);

    bed.PlugBack(printer);
    EXPECT_EQ(WriteBytes(fake, id, Pattern(10)), 10);
    EXPECT_FALSE(fake.ExceptionPending());
    EXPECT_EQ(bed.OutLengths(printer), (std::vector<size_t>{10}));
    EXPECT_EQ(bed.GetCounts(printer).claims, 2);
    Close(fake, id);
    fake.ExpectClean();
}

TEST_F(UsbTransferThroughJni, AnswerLongerThanAskedIsReadInWholePacketsAndTheRestComesWithTheNextRead) {
    UsbPrinterBed::Printer highSpeed = Printer("SN1");
    highSpeed.packetSize = 512;
    int printer = bed.Add(highSpeed);
    FakeJni fake;
    jint id = Open(fake);
    ASSERT_FALSE(fake.ExceptionPending());

    // A 4-byte automatic status and the status byte asked for, in one packet.
    bed.QueueAnswer(printer, {0x14, 0x00, 0x00, 0x0f, 0x12});
    EXPECT_EQ(ReadAnswer(fake, id, 1), std::vector<jint>{0x14});
    EXPECT_EQ(ReadAnswer(fake, id, 4), (std::vector<jint>{0x00, 0x00, 0x0f, 0x12}));
    EXPECT_EQ(InLengths(printer), std::vector<size_t>{512}) << "the kept bytes needed no second transfer";

    // ClearPipeRX drops what is kept: the next read gets the printer's next answer.
    bed.QueueAnswer(printer, {0x16, 0x17});
    EXPECT_EQ(ReadAnswer(fake, id, 1), std::vector<jint>{0x16});
    Java_orvik_services_posprinterPortComm_CommonComPort_ClearPipeRX(fake.env(), nullptr, id);
    bed.QueueAnswer(printer, {0x12});
    EXPECT_EQ(ReadAnswer(fake, id, 1), std::vector<jint>{0x12});
    EXPECT_EQ(InLengths(printer), (std::vector<size_t>{512, 512, 512}));
    Close(fake, id);
    fake.ExpectClean();
}

TEST_F(UsbTransferThroughJni, JobCutOffPartWayLogsTheBytesThePrinterTook) {
    int printer = bed.Add(Printer("SN1"));
    FakeJni fake;
    jint id = Open(fake);
    ASSERT_FALSE(fake.ExceptionPending());
    Java_orvik_services_posprinterPortComm_CommonComPort_SetTimeoutTX(fake.env(), nullptr, id, 150);
    // The first chunk goes out; the printer takes 300 bytes of the second, then stops.
    bed.QueueOutcome(printer, Outcome::Accept);
    bed.QueueOutcome(printer, Outcome::Timeout, 300);
    LogCapture log;
    EXPECT_EQ(WriteBytes(fake, id, Pattern(2500)), 0);
    EXPECT_EQ(fake.PendingMessage(), "Write Error");
    fake.ClearPending();
    EXPECT_TRUE(log.Has("ERROR: Write Error(1300/2500)(Write Error)!"));
    std::vector<uint8_t> taken;
    for (const UsbPrinterBed::Transfer& transfer : bed.Transfers(printer))
        taken.insert(taken.end(), transfer.data.begin(), transfer.data.end());
    EXPECT_EQ(taken, Pattern(1300));
    Close(fake, id);
    fake.ExpectClean();
}

}  // namespace
