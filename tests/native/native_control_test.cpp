// The port table, the open sequence and the native control methods, driven through the
// fake JNIEnv with a scripted test port.
#include <gtest/gtest.h>

#include <climits>

#include "CLog.h"
#include "LogCapture.h"
#include "NativeTestSupport.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "Native.h"

#define NAME(name) "Java_orvik_services_posprinterPortComm_CommonComPort_" #name

namespace {

class NativeControl : public testing::Test {
protected:
    void SetUp() override {
        EmptyPortTable();
        TestPort::s_nCloses = 0;
        m_nLiveBefore = TestPort::s_nLive;
    }
    void TearDown() override {
        EmptyPortTable();
        EXPECT_EQ(TestPort::s_nLive, m_nLiveBefore) << "port objects leaked";
        fake.ExpectClean();
    }
    jint Open(const std::string& host = "printer", int nPort = 9100) {
        return OpenTestPort(fake, fake.NewString(host), nPort);
    }

    FakeJni fake;
    int m_nLiveBefore = 0;
};

using Texts = std::vector<std::string>;

}  // namespace

TEST_F(NativeControl, LoadEmptiesTheTable) {
    ASSERT_EQ(Open(), 0);
    CComPort* pPort = m_pComPortPointers[0];
    tillport_load();
    for (CComPort* p : m_pComPortPointers) EXPECT_EQ(p, nullptr);
    pPort->Close();
    tillport::ReleasePort(pPort);
    tillport_unload();  // leaves whatever is open alone; nothing to see but no crash
}

TEST_F(NativeControl, OpensTakeTheLowestFreeSlotAndIdsAreReused) {
    LogCapture log;
    EXPECT_EQ(Open(), 0);
    EXPECT_EQ(Open(), 1);
    EXPECT_EQ(Open(), 2);
    NATIVE(CloseDevice)(fake.env(), nullptr, 0);
    EXPECT_EQ(m_pComPortPointers[0], nullptr);
    EXPECT_EQ(TestPort::s_nCloses, 1);
    EXPECT_EQ(Open(), 0);
    NATIVE(CloseDevice)(fake.env(), nullptr, 1);
    EXPECT_EQ(Open(), 1);
    EXPECT_FALSE(fake.ExceptionPending());
    EXPECT_TRUE(log.Has("Genereted NEW Port ID:2"));
}

TEST_F(NativeControl, SuccessfulOpenLogsItsStepsWithTheHostUpperCasedOnACopy) {
    LogCapture log;
    jstring host = fake.NewString("printer.example");
    TestPort* pPort = nullptr;
    ASSERT_EQ(OpenTestPort(fake, host, 9100, {}, &pPort), 0);
    EXPECT_EQ(pPort->m_strHost, "PRINTER.EXAMPLE");
    EXPECT_EQ(pPort->m_nPort, 9100);
    // The JVM's own characters are never written.
    EXPECT_EQ(reinterpret_cast<FakeJni::Object*>(host)->text, "printer.example");
    EXPECT_EQ(log.Texts(), (Texts{"Begin", "Open TEST DEVICE IP:PRINTER.EXAMPLE PORT:9100", "Genereted NEW Port ID:0", "End"}));
    for (const LogCapture::Line& line : log.Lines()) EXPECT_EQ(line.name, "TestOpen");
}

TEST_F(NativeControl, FailedInitOrOpenRaisesTheTransportTextAndLeavesTheTableAlone) {
    for (bool bInitFails : {true, false}) {
        SCOPED_TRACE(bInitFails ? "Init fails" : "Open fails");
        LogCapture log;
        int nReleased = 0;
        jint nId = OpenTestPort(
            fake, fake.NewString("host"), 1,
            [&](TestPort& port) {
                port.m_bInitResult = !bInitFails;
                port.m_bOpenResult = false;
                port.m_strFailText = "Open ETH Device Error";
            },
            nullptr, &nReleased);
        EXPECT_EQ(nId, 0);
        ASSERT_TRUE(fake.ExceptionPending());
        EXPECT_EQ(fake.PendingClass(), "java/lang/Exception");
        EXPECT_EQ(fake.PendingMessage(), "Open ETH Device Error");
        EXPECT_EQ(nReleased, 1) << "the transport's release hook runs before the object goes";
        EXPECT_EQ(TestPort::s_nCloses, 0) << "the sequence itself calls no Close()";
        for (CComPort* p : m_pComPortPointers) EXPECT_EQ(p, nullptr);
        Texts texts = log.Texts();
        ASSERT_GE(texts.size(), 2u);
        EXPECT_EQ(texts[texts.size() - 2], std::string(bInitFails ? "ERROR: Init Port Error(" : "ERROR: Open Port Error(") +
                                               "Open ETH Device Error)!");
        EXPECT_EQ(texts.back(), "Exit For Exception");
        fake.ClearPending();
    }
}

TEST_F(NativeControl, FullTableClosesTheNewPortAndRaises) {
    for (int i = 0; i < TILLPORT_MAX_PORTS; ++i) ASSERT_EQ(Open(), i);
    CComPort* before[TILLPORT_MAX_PORTS];
    std::copy(std::begin(m_pComPortPointers), std::end(m_pComPortPointers), before);
    int nLive = TestPort::s_nLive;
    LogCapture log;
    EXPECT_EQ(Open(), 0);
    ASSERT_TRUE(fake.ExceptionPending());
    EXPECT_EQ(fake.PendingMessage(), "ERROR: No free Port ID!");
    EXPECT_EQ(TestPort::s_nCloses, 1);
    EXPECT_EQ(TestPort::s_nLive, nLive);
    EXPECT_TRUE(std::equal(std::begin(before), std::end(before), std::begin(m_pComPortPointers)));
    EXPECT_TRUE(log.Has("ERROR: No free Port ID!"));
    EXPECT_EQ(log.Texts().back(), "Exit For Exception");
    fake.ClearPending();
}

TEST_F(NativeControl, NullStringIsAnInvalidParameter) {
    LogCapture log;
    int nLive = TestPort::s_nLive;
    EXPECT_EQ(OpenTestPort(fake, nullptr, 9100), 0);
    ASSERT_TRUE(fake.ExceptionPending());
    EXPECT_EQ(fake.PendingMessage(), "ERROR: Invalid Parameter!");
    EXPECT_EQ(TestPort::s_nLive, nLive);
    EXPECT_EQ(log.Texts(), (Texts{"Begin", "ERROR: Invalid Parameter!", "Exit For Exception"}));
    fake.ClearPending();
}

TEST_F(NativeControl, OutOfMemoryTakingAStringLeavesTheJvmErrorPending) {
    fake.m_bFailGetStringUTFChars = true;
    int nLive = TestPort::s_nLive;
    EXPECT_EQ(Open(), 0);
    ASSERT_TRUE(fake.ExceptionPending());
    EXPECT_EQ(fake.PendingClass(), "java/lang/OutOfMemoryError");
    EXPECT_EQ(fake.m_nThrowNewCalls, 0);
    EXPECT_EQ(TestPort::s_nLive, nLive);
    fake.ClearPending();
}

TEST_F(NativeControl, ExceptionClassMissingLeavesTheJvmErrorAndStillLogs) {
    LogCapture log;
    fake.m_bFailFindClass = true;
    OpenTestPort(fake, fake.NewString("h"), 1, [](TestPort& port) { port.m_bOpenResult = false; });
    EXPECT_EQ(fake.PendingClass(), "java/lang/NoClassDefFoundError");
    EXPECT_EQ(log.Texts().back(), "Exit For Exception");
    fake.ClearPending();
}

TEST_F(NativeControl, CloseDeviceClosesReleasesAndEmptiesTheSlotOnce) {
    ASSERT_EQ(Open(), 0);
    LogCapture log;
    NATIVE(CloseDevice)(fake.env(), nullptr, 0);
    NATIVE(CloseDevice)(fake.env(), nullptr, 0);
    EXPECT_EQ(TestPort::s_nCloses, 1);
    EXPECT_EQ(TestPort::s_nLive, m_nLiveBefore);
    EXPECT_EQ(log.Texts(), (Texts{"", "", "PortID not Available"}));
    EXPECT_FALSE(fake.ExceptionPending());
}

TEST_F(NativeControl, EveryMethodTreatsEmptyAndOutOfRangeIdsAsEmptySlots) {
    for (jint nId : {0, 31, 32, -1, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(nId);
        LogCapture log;
        NATIVE(CloseDevice)(fake.env(), nullptr, nId);
        NATIVE(ClearPipeTX)(fake.env(), nullptr, nId);
        NATIVE(ClearPipeRX)(fake.env(), nullptr, nId);
        NATIVE(SetTimeoutTX)(fake.env(), nullptr, nId, 5);
        NATIVE(SetTimeoutRX)(fake.env(), nullptr, nId, 6);
        EXPECT_EQ(NATIVE(WriteToDevice)(fake.env(), nullptr, nId, fake.NewByteArray({1, 2})), 0);
        EXPECT_EQ(NATIVE(ReadFromDevice)(fake.env(), nullptr, nId, 1), nullptr);
        EXPECT_FALSE(fake.ExceptionPending());
        std::string id = "Port ID:" + std::to_string(nId);
        Texts expected = {"", "PortID not Available",
                          "Begin", id, "PortID not Available",
                          "Begin", id, "PortID not Available",
                          "Begin", "Set TX Timeout: 5", id, "PortID not Available",
                          "Begin", "Set RX Timeout: 6", id, "PortID not Available",
                          "Begin", "Write 2 Bytes...", "Buffer to Write:", id, "PortID not Available",
                          "Answer Size Expected: 1", id, "PortID not Available"};
        EXPECT_EQ(log.Texts(), expected);
    }
}

TEST_F(NativeControl, ControlMethodsReachThePort) {
    ASSERT_EQ(Open(), 0);
    TestPort* pPort = TestPortAt(0);
    LogCapture log;
    NATIVE(ClearPipeTX)(fake.env(), nullptr, 0);
    NATIVE(ClearPipeRX)(fake.env(), nullptr, 0);
    NATIVE(ClearPipeRX)(fake.env(), nullptr, 0);
    NATIVE(SetTimeoutTX)(fake.env(), nullptr, 0, 2500);
    NATIVE(SetTimeoutRX)(fake.env(), nullptr, 0, -1);
    EXPECT_EQ(pPort->m_nCleanTX, 1);
    EXPECT_EQ(pPort->m_nCleanRX, 2);
    EXPECT_EQ(pPort->m_nTimeoutTX, 2500u);
    // -1 from Java is the largest count of the build's unsigned long.
#if __SIZEOF_LONG__ == 4
    EXPECT_EQ(pPort->GetTimeoutRX(), 4294967295UL);
#else
    EXPECT_EQ(pPort->GetTimeoutRX(), 18446744073709551615UL);
#endif
    EXPECT_EQ(log.Texts(), (Texts{"Begin", "Port ID:0", "End", "Begin", "Port ID:0", "End", "Begin", "Port ID:0", "End",
                                  "Begin", "Set TX Timeout: 2500", "Port ID:0", "End", "Begin", "Set RX Timeout: -1",
                                  "Port ID:0", "End"}));
}

TEST_F(NativeControl, SetLogTypeWritesTheBannerOnlyWhenTheLogIsOn) {
    LogCapture log;
    NATIVE(SetLogType)(fake.env(), nullptr, 2, JNI_TRUE);
    NATIVE(SetLogType)(fake.env(), nullptr, 0, JNI_TRUE);  // off: destination 0
    NATIVE(SetLogType)(fake.env(), nullptr, 2, JNI_FALSE);  // off: flag false
    std::string stars(41, '*');
    EXPECT_EQ(log.Texts(), (Texts{stars, "            SO Version: 2.01", stars}));
    for (const LogCapture::Line& line : log.Lines()) EXPECT_EQ(line.name, NAME(SetLogType));
}
