// The serial transport without a device: name rules, the settings record, the checks'
// order and the state each rejection leaves, chunk sizes on both widths of unsigned long,
// and failed system calls reported as errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "ComPortRs232.h"
#include "FakeJni.h"
#include "LogCapture.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "tillportcomm.h"
#include "SerialTestAccess.h"

namespace {

bool InitPort(CComPortRs232& port, std::string name, int nBaudrate = 9600, int nFlowControl = 0) {
    return port.Init(&name[0], nBaudrate, nFlowControl);
}

TEST(SerialInit, NewPortHasTheDefaultsAndRefusesTheOtherTransportsInit) {
    CComPortRs232 port;
    EXPECT_EQ(SerialTestAccess::Line(port), -1);
    EXPECT_EQ(SerialTestAccess::Baudrate(port), -1);
    EXPECT_EQ(SerialTestAccess::FlowControl(port), -1);
    EXPECT_EQ(port.GetTimeoutRX(), 1000u);
    EXPECT_EQ(port.m_nTimeoutTX, 1000u);
    EXPECT_EQ(port.m_nMaxPacketSize, 1000u);
    EXPECT_EQ(std::string(SerialTestAccess::Name(port)), "");

    char szHost[] = "localhost";
    char szAddress[] = "1";
    EXPECT_FALSE(port.Init(szHost, 9100));
    EXPECT_FALSE(port.Init(szHost, szAddress));
    EXPECT_EQ(SerialTestAccess::Baudrate(port), -1);
}

TEST(SerialInit, ComNamesInAnyCaseAndTtySNamesBecomeDevicePaths) {
    const std::pair<const char*, const char*> accepted[] = {
        {"com1", "/dev/ttyS0"}, {"COM1", "/dev/ttyS0"},        {"cOm1", "/dev/ttyS0"},
        {"COM9", "/dev/ttyS8"}, {"/dev/ttyS0", "/dev/ttyS0"}, {"/dev/ttyS8", "/dev/ttyS8"},
    };
    for (const auto& name : accepted) {
        CComPortRs232 port;
        EXPECT_TRUE(InitPort(port, name.first)) << name.first;
        EXPECT_EQ(std::string(SerialTestAccess::Name(port)), name.second);
        EXPECT_EQ(SerialTestAccess::Line(port), -1) << "Init opens nothing";
    }
}

TEST(SerialInit, EveryOtherNameIsRejectedWithInitComPortError) {
    const std::string rejected[] = {"COM0",       "COMA",         "COM10",        "CON1",        "COM",
                                    "",           "/dev/ttyS9",   "/dev/ttys0",   "/dev/ttyUSB0", "/dev/ttyAMA0",
                                    "COM1 ",      "/dev/ttyS0 ",  "xcom1",        std::string(5000, 'C'),
                                    std::string(1023, 'C'), std::string(1024, 'C')};
    for (const std::string& name : rejected) {
        SCOPED_TRACE(name.size() > 20 ? std::to_string(name.size()) + " bytes" : name);
        CComPortRs232 port;
        LogCapture log;
        EXPECT_FALSE(InitPort(port, name, 9600, 0));
        EXPECT_STREQ(port.m_strLastError, "Init COM Port error");
        ASSERT_EQ(log.Lines().size(), 1u);
        EXPECT_EQ(log.Lines()[0].name, "Init");
        EXPECT_EQ(log.Lines()[0].text, "Init COM Port error");
        EXPECT_EQ(SerialTestAccess::Baudrate(port), -1);
        EXPECT_EQ(SerialTestAccess::FlowControl(port), -1);
    }
}

TEST(SerialInit, RecordCarriesSpeedEightBitsReceiverLocalAndTheFlowControl) {
    struct Case {
        int nBaudrate;
        int nFlowControl;
        tcflag_t nCflag;
        tcflag_t nIflag;
    };
    const Case cases[] = {
        {115200, 1, 0x800018B2, 0}, {9600, 2, 0x8BD, 0x1C00}, {9600, 0, 0x8BD, 0},    {1200, 0, 0x8B9, 0},
        {2400, 0, 0x8BB, 0},        {4800, 0, 0x8BC, 0},      {19200, 0, 0x8BE, 0},   {38400, 0, 0x8BF, 0},
        {57600, 0, 0x18B1, 0},      {115200, 0, 0x18B2, 0},   {57600, 2, 0x18B1, 0x1C00},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.nBaudrate) + "/" + std::to_string(c.nFlowControl));
        CComPortRs232 port;
        // Leftovers in the record must not survive Init.
        memset(&SerialTestAccess::Settings(port), 0xA5, sizeof(SerialTestAccess::Settings(port)));
        ASSERT_TRUE(InitPort(port, "COM2", c.nBaudrate, c.nFlowControl));
        EXPECT_EQ(SerialTestAccess::Settings(port).c_cflag, c.nCflag);
        EXPECT_EQ(SerialTestAccess::Settings(port).c_iflag, c.nIflag);
        EXPECT_EQ(SerialTestAccess::Settings(port).c_oflag, 0u);
        EXPECT_EQ(SerialTestAccess::Settings(port).c_lflag, 0u);
        EXPECT_EQ(SerialTestAccess::Settings(port).c_line, 0);
        // Only the software handshake has control characters: XON and XOFF.
        cc_t expected[NCCS] = {};
        if (c.nFlowControl == 2) {
            expected[VSTART] = 0x11;
            expected[VSTOP] = 0x13;
        }
        for (int i = 0; i < NCCS; ++i) EXPECT_EQ(SerialTestAccess::Settings(port).c_cc[i], expected[i]) << "c_cc[" << i << "]";
        EXPECT_EQ(SerialTestAccess::Settings(port).c_ispeed, 0u);
        EXPECT_EQ(SerialTestAccess::Settings(port).c_ospeed, 0u);
        EXPECT_EQ(SerialTestAccess::Baudrate(port), c.nBaudrate);
        EXPECT_EQ(SerialTestAccess::FlowControl(port), c.nFlowControl);
        EXPECT_STREQ(port.m_strLastError, "");
    }
}

TEST(SerialInit, NameIsCheckedBeforeBaudRateAndBaudRateBeforeFlowControl) {
    for (int nBaudrate : {600, 300, 0, -9600, 9601}) {
        CComPortRs232 port;
        EXPECT_FALSE(InitPort(port, "COM1", nBaudrate, 0));
        EXPECT_STREQ(port.m_strLastError, "Error invalid Baudrate");
        EXPECT_EQ(SerialTestAccess::Baudrate(port), -1);
        EXPECT_EQ(SerialTestAccess::FlowControl(port), 0);
    }

    CComPortRs232 both;
    LogCapture log;
    EXPECT_FALSE(InitPort(both, "COM1", 0, 5));
    EXPECT_STREQ(both.m_strLastError, "Error invalid Baudrate");
    EXPECT_EQ(SerialTestAccess::FlowControl(both), 5) << "the code is stored but not yet tested";
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"Error invalid Baudrate"});

    for (int nFlowControl : {-1, 3}) {
        CComPortRs232 port;
        EXPECT_FALSE(InitPort(port, "COM1", 19200, nFlowControl));
        EXPECT_STREQ(port.m_strLastError, "Error invalid Flow control");
        EXPECT_EQ(SerialTestAccess::FlowControl(port), -1);
        EXPECT_EQ(SerialTestAccess::Baudrate(port), 19200);
    }

    // A bad name leaves what an earlier Init set.
    CComPortRs232 port;
    ASSERT_TRUE(InitPort(port, "COM3", 4800, 2));
    EXPECT_FALSE(InitPort(port, "COM0", 600, 7));
    EXPECT_STREQ(port.m_strLastError, "Init COM Port error");
    EXPECT_EQ(SerialTestAccess::Baudrate(port), 4800);
    EXPECT_EQ(SerialTestAccess::FlowControl(port), 2);
    EXPECT_EQ(SerialTestAccess::Settings(port).c_iflag, 0x1C00u);
}

unsigned long ChunkFor(int nBaudrate, int nTimeoutTX) {
    CComPortRs232 port;
    EXPECT_TRUE(InitPort(port, "COM1", nBaudrate, 0));
    port.SetTimeoutTX(nTimeoutTX);
    return SerialTestAccess::ChunkSize(port);
}

TEST(SerialChunks, HalfTheCharactersOfTheTimeoutAsAMultipleOfFive) {
    const std::pair<int, unsigned long> table[] = {{1200, 60},   {2400, 120},  {4800, 240},  {9600, 480},
                                                   {19200, 960}, {38400, 1920}, {57600, 2880}, {115200, 5760}};
    for (const auto& row : table) EXPECT_EQ(ChunkFor(row.first, 1000), row.second) << row.first;
    EXPECT_EQ(ChunkFor(9600, 2000), 960u);
    EXPECT_EQ(ChunkFor(115200, 40000), 230400u);  // the product passes 2^32
    EXPECT_EQ(ChunkFor(9600, 200), 95u);
    // A timeout too short for that rule still gives a chunk: what the line sends in 20 ms.
    EXPECT_EQ(ChunkFor(9600, 10), 19u);
    EXPECT_EQ(ChunkFor(9600, 0), 19u);
    EXPECT_EQ(ChunkFor(1200, 83), 2u);
    EXPECT_EQ(ChunkFor(1200, 84), 5u);
    EXPECT_EQ(ChunkFor(115200, 0), 230u);
}

TEST(SerialChunks, HugeTimeoutsAreCappedAtTheLargestIntOnBothWidths) {
    EXPECT_EQ(ChunkFor(115200, INT_MAX), 2147483647u);
    EXPECT_EQ(ChunkFor(1200, INT_MAX), 128849015u);
    // -1 is the largest unsigned long: 2^32-1 ms on 32 bits, 2^64-1 ms on 64 bits, where
    // the product leaves 64 bits.
    if (sizeof(unsigned long) == 4) {
        EXPECT_EQ(ChunkFor(1200, -1), 257698035u);
        EXPECT_EQ(ChunkFor(115200, -1), 2147483647u);
    } else {
        EXPECT_EQ(ChunkFor(1200, -1), 2147483647u);
        EXPECT_EQ(ChunkFor(115200, -1), 2147483647u);
    }
    CComPortRs232 port;
    port.SetTimeoutTX(-1);
    EXPECT_EQ(port.m_nTimeoutTX, ULONG_MAX) << "the stored value stays as set";
}

TEST(SerialTimeouts, TheStoredValueStaysAsSet) {
    CComPortRs232 port;
    for (int nTimeout : {0, 1500, INT_MAX}) {
        port.SetTimeoutRX(nTimeout);
        EXPECT_EQ(port.GetTimeoutRX(), static_cast<unsigned long>(nTimeout));
    }
    port.SetTimeoutRX(-1);
    EXPECT_EQ(port.GetTimeoutRX(), ULONG_MAX);
    port.SetTimeoutRX(INT_MIN);
    EXPECT_EQ(port.GetTimeoutRX(), static_cast<unsigned long>(static_cast<long>(INT_MIN)));
}

// Failed system calls, shown on descriptors that are no serial line at all.
TEST(SerialFailures, FailedWriteAndReadAreErrorsNeverByteCounts) {
    CComPortRs232 port;
    ASSERT_TRUE(InitPort(port, "COM1", 9600, 0));
    SerialTestAccess::Line(port) = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(SerialTestAccess::Line(port), 0);
    for (unsigned long nLength : {100UL, 480UL, 2500UL}) {
        std::vector<unsigned char> data(nLength, 'x');
        unsigned long nError = 0;
        EXPECT_EQ(port.Write(data.data(), nLength, &nError), 0u) << nLength;
        EXPECT_EQ(nError, 1u);
        // write fails and so does tcdrain: /dev/null is no terminal.
        EXPECT_STREQ(port.m_strLastError, "Write Error on tcdrain");
    }
    close(SerialTestAccess::Line(port));

    SerialTestAccess::Line(port) = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(SerialTestAccess::Line(port), 0);
    std::vector<unsigned char> buffer(16, 0xEE);
    unsigned long nError = 0;
    EXPECT_EQ(port.Read(buffer.data(), buffer.size(), &nError), 0u);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(port.m_strLastError, "Read Error");
    EXPECT_EQ(buffer, std::vector<unsigned char>(16, 0xEE));
    close(SerialTestAccess::Line(port));
    SerialTestAccess::Line(port) = -1;
}

TEST(SerialFailures, HungUpLineEndsTheAnswerAtOnceInsteadOfReadingNothingAgainAndAgain) {
    // A line whose other end has gone reports itself readable and reads 0 bytes for ever;
    // a socket whose peer has closed behaves the same way.
    for (size_t nBefore : {0u, 2u}) {
        SCOPED_TRACE(nBefore);
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        unsigned char answer[] = {0x12, 0x34};
        ASSERT_EQ(write(ends[1], answer, nBefore), static_cast<ssize_t>(nBefore));
        close(ends[1]);
        auto* pPort = new CComPortRs232();
        ASSERT_TRUE(InitPort(*pPort, "COM1"));
        SerialTestAccess::Line(*pPort) = ends[0];
        pPort->SetTimeoutRX(2000);
        ASSERT_EQ(m_pComPortPointers[0], nullptr);
        m_pComPortPointers[0] = pPort;

        FakeJni fake;
        auto start = std::chrono::steady_clock::now();
        jintArray result = Java_orvik_services_posprinterPortComm_CommonComPort_ReadFromDevice(fake.env(), nullptr, 0, 5);
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_LT(elapsed.count(), 500);
        if (nBefore == 0) {
            EXPECT_EQ(result, nullptr);
            EXPECT_EQ(fake.PendingMessage(), "Read Error");
        } else {
            ASSERT_NE(result, nullptr) << fake.PendingMessage();
            EXPECT_EQ(fake.Ints(result), (std::vector<jint>{0x12, 0x34}));
        }
        m_pComPortPointers[0] = nullptr;
        pPort->Close();
        tillport::ReleasePort(pPort);
        fake.ExpectClean();
    }
}

TEST(SerialFailures, PortNeverOpenedTimesOutAndClosesHarmlessly) {
    CComPortRs232 port;
    ASSERT_TRUE(InitPort(port, "COM1", 9600, 0));
    port.SetTimeoutRX(0);
    unsigned char buffer[8];
    unsigned long nError = 0;
    EXPECT_EQ(port.Read(buffer, sizeof(buffer), &nError), 0u);
    EXPECT_EQ(nError, 1u);
    EXPECT_STREQ(port.m_strLastError, "Read select() timeout! No data read");
    EXPECT_TRUE(port.Close());
    EXPECT_STREQ(port.m_strLastError, "");
}

TEST(SerialFailures, DescriptorIsClosedOnceEvenWhenItsNumberIsReused) {
    CComPortRs232 port;
    ASSERT_TRUE(InitPort(port, "COM1", 9600, 0));
    SerialTestAccess::Line(port) = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(SerialTestAccess::Line(port), 0);
    int nNumber = SerialTestAccess::Line(port);
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(SerialTestAccess::Line(port), -1);
    EXPECT_EQ(std::string(SerialTestAccess::Name(port)), "");

    // Someone else now holds the same number; closing the port again must leave it alone.
    int nOther = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(nOther, nNumber);
    EXPECT_TRUE(port.Close());
    SerialTestAccess::ClosePort(port);
    EXPECT_NE(fcntl(nOther, F_GETFD), -1);
    close(nOther);
}

}  // namespace
