// OpenRS232Device and the port's open on emulated lines: the names reach the right line
// with the right settings, failures leave no port and no descriptor behind, and a whole
// print job runs through the native methods.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "CLog.h"
#include "ComPortRs232.h"
#include "FakeJni.h"
#include "LogCapture.h"
#include "NativeTestSupport.h"
#include "SerialLine.h"
#include "TimeScale.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "tillportcomm.h"
#include "SerialTestAccess.h"

namespace {

const char kName[] = "Java_orvik_services_posprinterPortComm_CommonComPort_OpenRS232Device";

bool TableEmpty() {
    for (CComPort* pPort : m_pComPortPointers) {
        if (pPort != nullptr) return false;
    }
    return true;
}

jint OpenRs232(FakeJni& fake, const std::string& name, int nBaudrate, int nFlowControl) {
    return Java_orvik_services_posprinterPortComm_CommonComPort_OpenRS232Device(fake.env(), nullptr, fake.NewString(name),
                                                                                 nBaudrate, nFlowControl);
}

// Index of the first line of texts equal to text, or -1.
long IndexOf(const std::vector<std::string>& texts, const std::string& text) {
    for (size_t i = 0; i < texts.size(); ++i) {
        if (texts[i] == text) return static_cast<long>(i);
    }
    return -1;
}

class SerialOpen : public ::testing::Test {
protected:
    void TearDown() override {
        for (jint nId = 0; nId < TILLPORT_MAX_PORTS; ++nId) {
            if (m_pComPortPointers[nId] != nullptr) {
                ADD_FAILURE() << "port " << nId << " left open";
                Java_orvik_services_posprinterPortComm_CommonComPort_CloseDevice(m_fake.env(), nullptr, nId);
            }
        }
    }

    SerialLine m_line;
    FakeJni m_fake;
};

TEST_F(SerialOpen, EachNameFormOpensItsLineWithTheRecordInitBuilt) {
    struct Case {
        const char* szName;
        int nIndex;
        int nBaudrate;
        int nFlowControl;
        tcflag_t nCflag;
        tcflag_t nIflag;
    };
    const Case cases[] = {
        {"com1", 0, 9600, 0, 0x8BD, 0},
        {"COM9", 8, 115200, 1, 0x800018B2, 0},
        {"cOm5", 4, 9600, 2, 0x8BD, 0x1C00},
        {"/dev/ttyS3", 3, 1200, 0, B1200 | CS8 | CREAD | CLOCAL, 0},
    };
    for (const Case& c : cases) m_line.AddLine(c.nIndex);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        // The line starts from other settings, which the record must replace whole.
        struct termios other = m_line.Settings(c.nIndex);
        other.c_lflag |= ECHO | ICANON;
        other.c_oflag |= OPOST;
        other.c_cc[VMIN] = 1;
        cfsetospeed(&other, B2400);
        m_line.Apply(c.nIndex, other);

        jint nId = OpenRs232(m_fake, c.szName, c.nBaudrate, c.nFlowControl);
        ASSERT_FALSE(m_fake.ExceptionPending()) << m_fake.PendingMessage();
        EXPECT_EQ(nId, 0);
        auto* pPort = static_cast<CComPortRs232*>(m_pComPortPointers[0]);
        ASSERT_NE(pPort, nullptr);
        EXPECT_EQ(std::string(SerialTestAccess::Name(*pPort)), "/dev/ttyS" + std::to_string(c.nIndex));

        struct termios applied = m_line.Settings(c.nIndex);
        EXPECT_EQ(applied.c_cflag, c.nCflag);
        EXPECT_EQ(applied.c_iflag, c.nIflag);
        EXPECT_EQ(applied.c_oflag, 0u);
        EXPECT_EQ(applied.c_lflag, 0u);
        EXPECT_EQ(applied.c_cc[VMIN], 0);
        EXPECT_EQ(applied.c_cc[VTIME], 0);

        Java_orvik_services_posprinterPortComm_CommonComPort_CloseDevice(m_fake.env(), nullptr, nId);
        EXPECT_TRUE(TableEmpty());
    }
    m_fake.ExpectClean();
}

TEST_F(SerialOpen, AnswerCollectionKeepsToTheReceiveTimeoutWhenTheFirstByteComesLate) {
    // One byte at 90% of the timeout: the next pass waits only what is left of it.
    m_line.AddLine(0);
    jint nId = OpenRs232(m_fake, "COM1", 9600, 0);
    ASSERT_FALSE(m_fake.ExceptionPending()) << m_fake.PendingMessage();
    std::thread printer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(900));
        m_line.Send(0, {0x12});
    });
    auto start = std::chrono::steady_clock::now();
    jintArray answer = Java_orvik_services_posprinterPortComm_CommonComPort_ReadFromDevice(m_fake.env(), nullptr, nId, 2);
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printer.join();
    ASSERT_NE(answer, nullptr) << m_fake.PendingMessage();
    EXPECT_EQ(m_fake.Ints(answer), (std::vector<jint>{0x12}));
    EXPECT_GE(dSeconds, 0.9);
    EXPECT_LE(dSeconds, 1.0 + 0.2 * TimeScale());  // a second full wait would take it to 1.9 s
    Java_orvik_services_posprinterPortComm_CommonComPort_CloseDevice(m_fake.env(), nullptr, nId);
}

TEST_F(SerialOpen, MissingDeviceFailsOpenLeavingNoPortAndNoDescriptor) {
    m_line.AddLine(0);
    int nMissing = m_line.MissingIndex();
    ASSERT_GE(nMissing, 0) << "every /dev/ttyS0..8 exists on this machine";
    std::string name = "COM" + std::to_string(nMissing + 1);

    LogCapture log;
    CCLog::WriteLog("test", "start");  // the log file is open before counting
    int nBefore = CountOpenDescriptors();
    EXPECT_EQ(OpenRs232(m_fake, name, 9600, 0), 0);
    EXPECT_EQ(CountOpenDescriptors(), nBefore);
    EXPECT_TRUE(TableEmpty());
    EXPECT_EQ(m_fake.PendingClass(), "java/lang/Exception");
    EXPECT_EQ(m_fake.PendingMessage(), "Open RS232 Device Error");

    std::vector<LogCapture::Line> lines = log.Lines();
    std::vector<std::string> texts = log.Texts();
    long nCause = IndexOf(texts, "Error to open Serial port");
    long nOpen = IndexOf(texts, "Open RS232 Device Error");
    long nOuter = IndexOf(texts, "ERROR: Open Port Error(Open RS232 Device Error)!");
    ASSERT_GE(nCause, 0);
    EXPECT_EQ(lines[nCause].name, "OpenPort");
    EXPECT_EQ(nOpen, nCause + 1);
    EXPECT_EQ(lines[nOpen].name, "Open");
    EXPECT_EQ(nOuter, nOpen + 1);
    EXPECT_EQ(lines[nOuter].name, kName);
    EXPECT_EQ(texts.back(), "Exit For Exception");
    EXPECT_GE(IndexOf(texts, "Open RS232 DEVICE Port:" + name + " Baudrate:9600 Flow:0"), 0);
    m_fake.ExpectClean();
}

TEST_F(SerialOpen, DeviceThatIsNoTerminalFailsAtTheSettingsAndItsDescriptorIsClosed) {
    m_line.AddNonTerminal(2);
    LogCapture log;
    CCLog::WriteLog("test", "start");  // the log file is open before counting
    int nBefore = CountOpenDescriptors();
    EXPECT_EQ(OpenRs232(m_fake, "/dev/ttyS2", 19200, 1), 0);
    EXPECT_EQ(CountOpenDescriptors(), nBefore);
    EXPECT_TRUE(TableEmpty());
    EXPECT_EQ(m_fake.PendingMessage(), "Open RS232 Device Error");
    std::vector<std::string> texts = log.Texts();
    long nCause = IndexOf(texts, "Error to tcsetattr");
    ASSERT_GE(nCause, 0);
    EXPECT_EQ(IndexOf(texts, "Open RS232 Device Error"), nCause + 1);
    m_fake.ExpectClean();
}

TEST_F(SerialOpen, RejectedSettingsThrowInitTextWithoutTouchingTheLine) {
    m_line.AddLine(0);
    struct Case {
        const char* szName;
        int nBaudrate;
        int nFlowControl;
        const char* szText;
    };
    const Case cases[] = {
        {"COM1", 600, 0, "Error invalid Baudrate"},
        {"COM1", 9600, 3, "Error invalid Flow control"},
        {"COM0", 9600, 0, "Init COM Port error"},
        {"/dev/ttyUSB0", 9600, 0, "Init COM Port error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        FakeJni fake;
        LogCapture log;
        CCLog::WriteLog("test", "start");  // the log file is open before counting
        int nBefore = CountOpenDescriptors();
        EXPECT_EQ(OpenRs232(fake, c.szName, c.nBaudrate, c.nFlowControl), 0);
        EXPECT_EQ(fake.PendingMessage(), c.szText);
        EXPECT_TRUE(log.Has(std::string("ERROR: Init Port Error(") + c.szText + ")!"));
        EXPECT_FALSE(log.Has("Error to open Serial port"));
        EXPECT_EQ(CountOpenDescriptors(), nBefore);
        EXPECT_TRUE(TableEmpty());
        fake.ExpectClean();
    }
}

TEST_F(SerialOpen, PrintJobThroughTheNativeMethodsAndCloseGivesTheDescriptorBack) {
    m_line.AddLine(0);
    int nBefore = CountOpenDescriptors();
    JNIEnv* env = m_fake.env();
    jint nId = OpenRs232(m_fake, "COM1", 9600, 0);
    ASSERT_FALSE(m_fake.ExceptionPending()) << m_fake.PendingMessage();
    EXPECT_EQ(CountOpenDescriptors(), nBefore + 1);
    // A program that anything else in the process starts does not keep the line open.
    EXPECT_NE(fcntl(SerialTestAccess::Line(*static_cast<CComPortRs232*>(m_pComPortPointers[nId])), F_GETFD) & FD_CLOEXEC, 0);

    std::vector<uint8_t> receipt = Pattern(1000);
    EXPECT_EQ(Java_orvik_services_posprinterPortComm_CommonComPort_WriteToDevice(env, nullptr, nId,
                                                                                m_fake.NewByteArray(receipt)),
              1000);
    EXPECT_EQ(m_line.Receive(0, 1000), receipt);

    m_line.Send(0, {0x10, 0x04, 0x12});
    jintArray answer = Java_orvik_services_posprinterPortComm_CommonComPort_ReadFromDevice(env, nullptr, nId, 3);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(m_fake.Ints(answer), (std::vector<jint>{0x10, 0x04, 0x12}));

    // A stale answer is dropped by ClearPipeRX; the next read then finds nothing.
    m_line.Send(0, {0x7f});
    usleep(50000);
    Java_orvik_services_posprinterPortComm_CommonComPort_ClearPipeRX(env, nullptr, nId);
    Java_orvik_services_posprinterPortComm_CommonComPort_ClearPipeTX(env, nullptr, nId);
    Java_orvik_services_posprinterPortComm_CommonComPort_SetTimeoutRX(env, nullptr, nId, 200);
    EXPECT_EQ(Java_orvik_services_posprinterPortComm_CommonComPort_ReadFromDevice(env, nullptr, nId, 1), nullptr);
    EXPECT_EQ(m_fake.PendingMessage(), "Read select() timeout! No data read");
    m_fake.ClearPending();

    Java_orvik_services_posprinterPortComm_CommonComPort_CloseDevice(env, nullptr, nId);
    EXPECT_TRUE(TableEmpty());
    EXPECT_EQ(CountOpenDescriptors(), nBefore);
    m_fake.ExpectClean();
}

TEST_F(SerialOpen, LineLeftWithoutClocalOpensWithoutWaitingForCarrierAndThenBlocks) {
    m_line.AddLine(0);
    // A getty left the line without CLOCAL: a blocking open would wait until DCD rises.
    struct termios left = m_line.Settings(0);
    left.c_cflag &= ~CLOCAL;
    m_line.Apply(0, left);
    RecordOpensOf("/dev/ttyS0");
    jint nId = OpenRs232(m_fake, "COM1", 9600, 0);
    std::vector<int> flags = RecordedOpenFlags();
    RecordOpensOf("");
    ASSERT_FALSE(m_fake.ExceptionPending()) << m_fake.PendingMessage();
    ASSERT_EQ(flags.size(), 1u);
    EXPECT_NE(flags[0] & O_NONBLOCK, 0) << "the open waits for carrier";
    auto* pPort = static_cast<CComPortRs232*>(m_pComPortPointers[nId]);
    EXPECT_EQ(fcntl(SerialTestAccess::Line(*pPort), F_GETFL, 0) & O_NONBLOCK, 0) << "the port's descriptor does not block";
    EXPECT_NE(m_line.Settings(0).c_cflag & CLOCAL, 0u);
    Java_orvik_services_posprinterPortComm_CommonComPort_CloseDevice(m_fake.env(), nullptr, nId);
    m_fake.ExpectClean();
}

TEST_F(SerialOpen, LineThatAPortHoldsFailsASecondOpenAtOnceAndLeavesItAsItIs) {
    m_line.AddLine(0);
    jint nFirst = OpenRs232(m_fake, "COM1", 9600, 0);
    ASSERT_FALSE(m_fake.ExceptionPending()) << m_fake.PendingMessage();
    LogCapture log;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenRs232(m_fake, "/dev/ttyS0", 115200, 1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(m_fake.PendingMessage(), "Open RS232 Device Error");
    m_fake.ClearPending();
    EXPECT_TRUE(log.Has("Serial line in use by another program"));
    EXPECT_EQ(m_line.Settings(0).c_cflag, 0x8BDu) << "the first port's settings were changed";

    Java_orvik_services_posprinterPortComm_CommonComPort_CloseDevice(m_fake.env(), nullptr, nFirst);
    jint nSecond = OpenRs232(m_fake, "/dev/ttyS0", 115200, 1);
    EXPECT_FALSE(m_fake.ExceptionPending()) << m_fake.PendingMessage();
    Java_orvik_services_posprinterPortComm_CommonComPort_CloseDevice(m_fake.env(), nullptr, nSecond);
    m_fake.ExpectClean();
}

TEST_F(SerialOpen, CloseEndsAReadWaitingWithoutLimitAtOnceAndWhatCameIsTheAnswer) {
    // Receive timeout -1 (24.8 days): after the first byte of a three-byte answer the read
    // waits for the rest. The close ends the wait at once; the byte that came is the answer.
    m_line.AddLine(0);
    jint nId = OpenRs232(m_fake, "COM1", 9600, 0);
    ASSERT_FALSE(m_fake.ExceptionPending()) << m_fake.PendingMessage();
    Java_orvik_services_posprinterPortComm_CommonComPort_SetTimeoutRX(m_fake.env(), nullptr, nId, -1);
    m_line.Send(0, {0x12});
    int nPending = 0;
    for (int i = 0; i < 3000 && nPending == 0; ++i) {
        ioctl(SerialTestAccess::Line(*static_cast<CComPortRs232*>(m_pComPortPointers[nId])), FIONREAD, &nPending);
        if (nPending == 0) usleep(1000);
    }

    std::atomic<pid_t> nReader{0};
    auto reader = CallFromAnotherThread(nReader, [nId](FakeJni& jni) {
        return jni.Ints(
            Java_orvik_services_posprinterPortComm_CommonComPort_ReadFromDevice(jni.env(), nullptr, nId, 3));
    });
    ASSERT_TRUE(WaitUntilWaiting(nReader, reader, ScaledMs(5000))) << "the read never waited";
    // Should the close wait for the read, the rest of the answer ends it.
    const double dSeconds = CloseFromAnotherThread(nId, ScaledMs(4000), [&] { m_line.Send(0, {0x34, 0x56}); });
    JavaOutcome outcome = reader.get();
    ASSERT_GE(dSeconds, 0.0) << "the close was still waiting after 4 s";
    EXPECT_LT(dSeconds, 0.2 * TimeScale());
    EXPECT_EQ(outcome.answer, std::vector<jint>{0x12});
    EXPECT_FALSE(outcome.bThrown) << outcome.message;
    EXPECT_TRUE(TableEmpty());
}

}  // namespace
