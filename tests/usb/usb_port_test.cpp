// The USB port without a device: defaults, the operations that never start libusb, and the
// argument checks that come first.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "ComPortUsb.h"
#include "LogCapture.h"
#include "UsbTestAccess.h"

namespace {

TEST(UsbPortAlone, FreshPortHasTheDefaultsAndForeignInitOverloadsChangeNothing) {
    CComPortUsb port;
    EXPECT_EQ(port.GetTimeoutRX(), 1000u);
    EXPECT_EQ(port.m_nTimeoutTX, 1000u);
    EXPECT_EQ(port.m_nMaxPacketSize, 1000u);
    EXPECT_FALSE(UsbTestAccess::Opened(port));
    EXPECT_EQ(UsbTestAccess::Handle(port), nullptr);
    char host[] = "localhost";
    EXPECT_FALSE(port.Init(host, 9100));
    EXPECT_FALSE(port.Init(host, 9600, 0));
    EXPECT_STREQ(UsbTestAccess::ProductId(port), "");

    port.SetTimeoutRX(-1);
    EXPECT_EQ(port.GetTimeoutRX(), ULONG_MAX);
    port.SetTimeoutTX(0);
    EXPECT_EQ(port.m_nTimeoutTX, 0u);
}

TEST(UsbPortAlone, CloseOfAPortThatHoldsNothingIsHarmless) {
    CComPortUsb port;
    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(UsbTestAccess::DeviceList(port), nullptr);
}

TEST(UsbPortAlone, ReadOnAClosedPortFailsWithoutTouchingLibusb) {
    CComPortUsb port;
    unsigned char buffer[8];
    unsigned long error = 0;
    EXPECT_EQ(port.Read(buffer, sizeof(buffer), &error), 0u);
    EXPECT_EQ(error, 1u);
    EXPECT_STREQ(port.m_strLastError, "Read timeout! No data read");
    port.CleanTX();
    port.CleanRX();
    EXPECT_STREQ(port.m_strLastError, "Read timeout! No data read");
}

TEST(UsbPortAlone, StringsOf1024CharactersAreRefusedAndNotCopied) {
    std::string longText(1024, '7');
    char shortText[] = "0A1F";
    LogCapture log;
    CComPortUsb port;
    EXPECT_FALSE(port.Init(&longText[0], shortText));
    EXPECT_STREQ(port.m_strLastError, "Init Error: parameter too long");
    EXPECT_FALSE(port.Init(shortText, &longText[0]));
    EXPECT_STREQ(UsbTestAccess::ProductId(port), "");
    EXPECT_STREQ(UsbTestAccess::Address(port), "");
    ASSERT_EQ(log.Lines().size(), 2u);
    EXPECT_EQ(log.Lines()[0].name, "Init");
    EXPECT_TRUE(port.Close());
}

}  // namespace
