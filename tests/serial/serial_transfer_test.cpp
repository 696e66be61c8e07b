// Writes, reads and flushes of the serial transport on an emulated line, with the test
// holding the printer's end.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ComPortRs232.h"
#include "SerialLine.h"
#include "SignalTimer.h"
#include "SerialTestAccess.h"
#include "TimeScale.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A port opened on an emulated line, closed again when the test ends.
class SerialTransfer : public ::testing::Test {
protected:
    void OpenAt(int nBaudrate, int nFlowControl = 0, int index = 0) {
        m_index = index;
        m_hPrinterEnd = m_line.AddLine(index);
        ASSERT_GE(m_hPrinterEnd, 0);
        std::string name = "COM" + std::to_string(index + 1);
        ASSERT_TRUE(m_port.Init(&name[0], nBaudrate, nFlowControl)) << m_port.m_strLastError;
        ASSERT_TRUE(m_port.Open()) << m_port.m_strLastError;
    }
    void TearDown() override {
        m_port.Close();
        RecordWritesOn(-1);
    }

    // Waits (bounded) until the port's input queue holds nCount bytes.
    void AwaitPending(int nCount) {
        int nPending = 0;
        for (int i = 0; i < 300 && nPending < nCount; ++i) {
            ioctl(SerialTestAccess::Line(m_port), FIONREAD, &nPending);
            if (nPending < nCount) usleep(10000);
        }
        ASSERT_EQ(nPending, nCount);
    }

    // Writes through the port and returns the sizes of the writes it made.
    std::vector<size_t> WriteAndRecord(const std::vector<unsigned char>& data, unsigned long* pnResult,
                                       unsigned long* pnError) {
        RecordWritesOn(SerialTestAccess::Line(m_port));
        std::vector<unsigned char> copy = data;
        *pnResult = m_port.Write(copy.data(), copy.size(), pnError);
        std::vector<size_t> writes = RecordedWrites();
        RecordWritesOn(-1);
        return writes;
    }

    SerialLine m_line;
    CComPortRs232 m_port;
    int m_index = 0;
    int m_hPrinterEnd = -1;
};

TEST_F(SerialTransfer, At9600ShortWritesGoOutWholeAndLongOnesInChunksOf480InOrder) {
    OpenAt(9600);
    struct Case {
        size_t nLength;
        std::vector<size_t> writes;
    };
    for (const Case& c : {Case{100, {100}}, Case{480, {480}}, Case{2500, {480, 480, 480, 480, 480, 100}}}) {
        SCOPED_TRACE(c.nLength);
        std::vector<unsigned char> data = Pattern(c.nLength);
        unsigned long nError = 0, nWritten = 0;
        EXPECT_EQ(WriteAndRecord(data, &nWritten, &nError), c.writes);
        EXPECT_EQ(nWritten, c.nLength);
        EXPECT_EQ(nError, 0u);
        EXPECT_EQ(m_port.m_nMaxPacketSize, 480u);
        EXPECT_EQ(m_line.Receive(m_index, c.nLength), data);
    }
}

TEST_F(SerialTransfer, NewTransmitTimeoutSizesTheNextWritesChunks) {
    OpenAt(9600);
    m_port.SetTimeoutTX(2000);
    std::vector<unsigned char> data = Pattern(2500);
    unsigned long nError = 0, nWritten = 0;
    EXPECT_EQ(WriteAndRecord(data, &nWritten, &nError), (std::vector<size_t>{960, 960, 580}));
    EXPECT_EQ(nWritten, 2500u);
    EXPECT_EQ(m_line.Receive(m_index, 2500), data);
}

TEST_F(SerialTransfer, ShortTransmitTimeoutsStillPrintAndAHeldLineStillFails) {
    // A timeout shorter than a byte's time on the wire bounds how long the line may stall,
    // not how fast it goes: every write prints whole.
    OpenAt(9600, 1);
    for (int nBaudrate : {1200, 9600}) {
        for (int nTimeout : {0, 5, 50}) {
            SCOPED_TRACE(std::to_string(nBaudrate) + " baud, TX " + std::to_string(nTimeout) + " ms");
            SerialTestAccess::Baudrate(m_port) = nBaudrate;
            m_port.SetTimeoutTX(nTimeout);
            std::vector<unsigned char> data = Pattern(300);
            unsigned long nError = 0;
            EXPECT_EQ(m_port.Write(data.data(), data.size(), &nError), data.size());
            EXPECT_EQ(nError, 0u);
            EXPECT_EQ(m_line.Receive(m_index, data.size()), data);
        }
    }
    // A line that takes nothing fails at once: past its bytes' time and the margin.
    int hLine = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(hLine, 0);
    ASSERT_EQ(tcflow(hLine, TCOOFF), 0);
    m_port.SetTimeoutTX(0);
    std::vector<unsigned char> data = Pattern(100);
    unsigned long nError = 0;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(m_port.Write(data.data(), data.size(), &nError), 0u);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(m_port.m_strLastError, "Write Error");
    EXPECT_LT(MsSince(start), 1000);
    ASSERT_EQ(tcflow(hLine, TCOON), 0);
    close(hLine);
}

TEST_F(SerialTransfer, LineHeldByFlowControlFailsTheWriteAfterTheTransmitTimeout) {
    OpenAt(9600, 1);
    m_port.SetTimeoutTX(500);
    // Out of paper: the printer holds the line, which takes nothing more. (Stopping the
    // output through a second descriptor on the line is what a flow-control stop does.)
    int hLine = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(hLine, 0);
    ASSERT_EQ(tcflow(hLine, TCOOFF), 0);
    std::vector<unsigned char> data = Pattern(100);
    unsigned long nError = 0;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(m_port.Write(data.data(), data.size(), &nError), 0u);
    long nElapsed = MsSince(start);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(m_port.m_strLastError, "Write Error");
    EXPECT_GE(nElapsed, 450);
    EXPECT_LT(nElapsed, 3000);

    // Paper back: the line runs again and the next job goes through whole.
    ASSERT_EQ(tcflow(hLine, TCOON), 0);
    close(hLine);
    m_port.CleanTX();
    std::vector<unsigned char> next = Pattern(20);
    nError = 0;
    EXPECT_EQ(m_port.Write(next.data(), next.size(), &nError), next.size());
    EXPECT_EQ(nError, 0u);
    EXPECT_EQ(m_line.Receive(m_index, next.size()), next);
}

TEST_F(SerialTransfer, FailedWriteLeavesNothingOfTheJobQueuedToPrintOnceThePrinterReadsAgain) {
    OpenAt(115200);
    m_port.SetTimeoutTX(200);
    // A stalled printer reads nothing: its end of the line fills, then the line's own queue.
    std::vector<unsigned char> job = Pattern(256 << 10);
    unsigned long nError = 0;
    EXPECT_EQ(m_port.Write(job.data(), job.size(), &nError), 0u);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(m_port.m_strLastError, "Write Error");
    int nHeld = 0;
    ASSERT_EQ(ioctl(m_hPrinterEnd, FIONREAD, &nHeld), 0);
    ASSERT_GT(nHeld, 0);

    // The printer reads again: it gets what it held, and nothing more of the failed job.
    std::vector<unsigned char> received = m_line.Receive(m_index, job.size(), 300);
    EXPECT_EQ(received.size(), static_cast<size_t>(nHeld));
    EXPECT_TRUE(std::equal(received.begin(), received.end(), job.begin()));
    // What left the port is counted: at least what reached the printer, less than the job.
    EXPECT_GE(m_port.LastOutcome().nMoved, received.size());
    EXPECT_LT(m_port.LastOutcome().nMoved, job.size());
}

TEST_F(SerialTransfer, PrintersXoffHoldsTheLineAndXonReleasesIt) {
    OpenAt(9600, 2);
    m_port.SetTimeoutTX(500);
    m_line.Send(m_index, {0x13});  // XOFF: the printer's buffer is full
    // The line's discipline takes the XOFF in on a kernel worker of its own: give it the
    // moment it needs before the job starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(ScaledMs(50)));
    std::vector<unsigned char> data = Pattern(100);
    unsigned long nError = 0;
    EXPECT_EQ(m_port.Write(data.data(), data.size(), &nError), 0u);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(m_port.m_strLastError, "Write Error");
    EXPECT_TRUE(m_line.Receive(m_index, 1, 200).empty()) << "bytes went out past the printer's XOFF";

    m_line.Send(m_index, {0x11});  // XON: the line runs again and the next job goes through
    m_port.CleanTX();
    std::vector<unsigned char> next = Pattern(20);
    nError = 0;
    EXPECT_EQ(m_port.Write(next.data(), next.size(), &nError), next.size());
    EXPECT_EQ(m_line.Receive(m_index, next.size()), next);
}

TEST_F(SerialTransfer, FailedSystemWriteOnTheLineIsAnErrorNotAByteCount) {
    OpenAt(9600);
    // A read-only descriptor on the same line: write fails, tcdrain still works.
    int hWritable = SerialTestAccess::Line(m_port);
    SerialTestAccess::Line(m_port) = open("/dev/ttyS0", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(SerialTestAccess::Line(m_port), 0);
    std::vector<unsigned char> data = Pattern(600);
    unsigned long nError = 0;
    EXPECT_EQ(m_port.Write(data.data(), data.size(), &nError), 0u);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(m_port.m_strLastError, "Write Error");
    close(SerialTestAccess::Line(m_port));
    SerialTestAccess::Line(m_port) = hWritable;
}

TEST_F(SerialTransfer, SilentPrinterTimesOutAfterTheReceiveTimeoutEvenWhenSignalsInterruptTheWait) {
    OpenAt(9600);
    m_port.SetTimeoutRX(300);
    unsigned char buffer[256];
    unsigned long nError = 0;
    Clock::time_point start = Clock::now();
    int nSignals;
    {
        SignalTimer signals(40);
        EXPECT_EQ(m_port.Read(buffer, 255, &nError), 0u);
        nSignals = signals.Count();
    }
    long nElapsed = MsSince(start);
    EXPECT_GE(nSignals, 3) << "the wait was not interrupted";
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(m_port.m_strLastError, "Read select() timeout! No data read");
    EXPECT_TRUE(m_port.LastOutcome().IsEnded());
    EXPECT_GE(nElapsed, 290);
    EXPECT_LT(nElapsed, 5000);

    m_port.SetTimeoutRX(0);
    nError = 0;
    start = Clock::now();
    EXPECT_EQ(m_port.Read(buffer, 255, &nError), 0u);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(m_port.m_strLastError, "Read select() timeout! No data read");
}

TEST_F(SerialTransfer, ShortAnswerIsReadAtOnceAndLongerOneAfterThePause) {
    OpenAt(9600);
    unsigned char buffer[256];
    // Short answers: the fastest of a few tries stays well below the 80 ms pause.
    long nFastest = 100000;
    for (int i = 0; i < 3; ++i) {
        std::vector<unsigned char> answer = Pattern(5);
        m_line.Send(m_index, answer);
        AwaitPending(5);
        unsigned long nError = 0;
        Clock::time_point start = Clock::now();
        ASSERT_EQ(m_port.Read(buffer, 255, &nError), 5u);
        nFastest = std::min(nFastest, MsSince(start));
        EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + 5), answer);
    }
    EXPECT_LT(nFastest, 70);

    std::vector<unsigned char> answer = Pattern(20);
    m_line.Send(m_index, answer);
    AwaitPending(20);
    unsigned long nError = 0;
    Clock::time_point start = Clock::now();
    ASSERT_EQ(m_port.Read(buffer, 255, &nError), 20u);
    EXPECT_GE(MsSince(start), 79);
    EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + 20), answer);
}

TEST_F(SerialTransfer, PauseLetsTheRestOfABurstArriveBeforeTheOneRead) {
    OpenAt(9600);
    std::vector<unsigned char> answer = Pattern(40);
    // The rest follows 20 ms after the first part, well inside the 80 ms pause; a stalled
    // machine may delay it, so the best of a few tries must read the whole burst at once.
    unsigned long nBest = 0;
    for (int nTry = 0; nTry < 3 && nBest < answer.size(); ++nTry) {
        m_line.Send(m_index, std::vector<unsigned char>(answer.begin(), answer.begin() + 10));
        AwaitPending(10);
        std::thread printer([&] {
            usleep(20000);
            m_line.Send(m_index, std::vector<unsigned char>(answer.begin() + 10, answer.end()));
        });
        unsigned char buffer[256];
        unsigned long nError = 0;
        unsigned long nRead = m_port.Read(buffer, 255, &nError);
        printer.join();
        EXPECT_EQ(nError, 0u);
        ASSERT_GE(nRead, 10u);
        EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + nRead),
                  std::vector<unsigned char>(answer.begin(), answer.begin() + nRead));
        nBest = std::max(nBest, nRead);
        usleep(50000);
        m_port.CleanRX();
    }
    EXPECT_EQ(nBest, answer.size());
}

TEST_F(SerialTransfer, ReadNeverWritesPastTheCallersLengthNorAsksForMoreThan1024) {
    OpenAt(115200);
    std::vector<unsigned char> answer = Pattern(3000);
    m_line.Send(m_index, answer);
    AwaitPending(3000);

    // A heap buffer of exactly the length asked for, so any overrun shows under ASan too,
    // followed by a guard that must stay untouched.
    std::vector<unsigned char> small(16 + 64, 0xEE);
    unsigned long nError = 0;
    ASSERT_EQ(m_port.Read(small.data(), 16, &nError), 16u);
    EXPECT_EQ(std::vector<unsigned char>(small.begin(), small.begin() + 16),
              std::vector<unsigned char>(answer.begin(), answer.begin() + 16));
    EXPECT_TRUE(std::all_of(small.begin() + 16, small.end(), [](unsigned char b) { return b == 0xEE; }));

    std::vector<unsigned char> big(4096, 0xEE);
    ASSERT_EQ(m_port.Read(big.data(), big.size(), &nError), 1024u);
    EXPECT_EQ(std::vector<unsigned char>(big.begin(), big.begin() + 1024),
              std::vector<unsigned char>(answer.begin() + 16, answer.begin() + 1040));
    EXPECT_EQ(big[1024], 0xEE);
    EXPECT_EQ(nError, 0u);
}

TEST_F(SerialTransfer, ClearRxDiscardsReceivedUnreadInput) {
    OpenAt(9600);
    m_line.Send(m_index, Pattern(10));
    AwaitPending(10);
    m_port.CleanRX();
    AwaitPending(0);
    m_port.SetTimeoutRX(200);
    unsigned char buffer[256];
    unsigned long nError = 0;
    EXPECT_EQ(m_port.Read(buffer, 255, &nError), 0u);
    EXPECT_EQ(nError, 1u);

    // Input arriving after the flush is read as usual.
    m_line.Send(m_index, Pattern(3));
    nError = 0;
    EXPECT_EQ(m_port.Read(buffer, 255, &nError), 3u);
}

TEST_F(SerialTransfer, ClearTxDiscardsOutputTheLineStillHolds) {
    OpenAt(115200);
    // The printer does not read: the line keeps what its receive side cannot take yet.
    std::vector<unsigned char> data = Pattern(6000);
    unsigned long nError = 0;
    ASSERT_EQ(m_port.Write(data.data(), data.size(), &nError), 6000u);
    m_port.CleanTX();
    std::vector<unsigned char> received = m_line.Receive(m_index, data.size(), 300);
    EXPECT_LT(received.size(), data.size());
    EXPECT_EQ(received, std::vector<unsigned char>(data.begin(), data.begin() + received.size()));
}

}  // namespace
