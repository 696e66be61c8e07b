// The shared helpers and the base port's operations.
#include <gtest/gtest.h>
#include <time.h>

#include "CGenericFunctions.h"
#include "ComPort.h"

TEST(ToUpper, ConvertsAsciiAndLeavesOtherBytesAsTheCLocaleDoes) {
    char text[] = "printer.local-0a1f\xe9\xff";
    GenericFunctions::ToUpper(text);
    EXPECT_STREQ(text, "PRINTER.LOCAL-0A1F\xe9\xff");
    char empty[] = "";
    GenericFunctions::ToUpper(empty);
    EXPECT_STREQ(empty, "");
    GenericFunctions::ToUpper(nullptr);
}

TEST(GetTickCount, FollowsTheMonotonicClockInThirtyTwoBits) {
    // The monotonic clock counts from boot, the wall clock from 1970: a tick taken from the
    // wall clock lies nowhere near these readings, and a clock step cannot move it.
    auto monotonicMs = [] {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<uint32_t>(static_cast<unsigned long long>(now.tv_sec) * 1000ULL + now.tv_nsec / 1000000);
    };
    uint32_t before = monotonicMs();
    uint32_t tick = GenericFunctions::GetTickCount();
    uint32_t after = monotonicMs();
    EXPECT_LE(tick - before, after - before);
}

TEST(GetTickCount, ElapsedTimeSurvivesTheWrap) {
    EXPECT_EQ(GenericFunctions::ElapsedTicks(0xfffffff0u, 0x10u), 0x20u);
    EXPECT_EQ(GenericFunctions::ElapsedTicks(5u, 5u), 0u);
    EXPECT_EQ(GenericFunctions::ElapsedTicks(100u, 350u), 250u);
}

namespace {
// A port that overrides nothing: every operation is the base version.
class BarePort : public CComPort {};
}  // namespace

TEST(CComPortBase, OperationsAnswerTheirNeutralResults) {
    BarePort port;
    char text[] = "x";
    unsigned char data[4] = {1, 2, 3, 4};
    unsigned long nError = 7;
    EXPECT_FALSE(port.Init(text, text));
    EXPECT_FALSE(port.Init(text, 9600, 0));
    EXPECT_FALSE(port.Init(text, 9100));
    EXPECT_FALSE(port.Open());
    EXPECT_FALSE(port.Close());
    EXPECT_EQ(port.Write(data, 4, &nError), 0u);
    EXPECT_EQ(port.Read(data, 4, &nError), 0u);
    EXPECT_EQ(nError, 7u);
    port.SetTimeoutRX(55);
    port.SetTimeoutTX(55);
    EXPECT_EQ(port.GetTimeoutRX(), 0u);
    EXPECT_EQ(port.m_nTimeoutTX, 0u);
    EXPECT_EQ(port.GetPortType(), 0);
    EXPECT_STREQ(port.m_strLastError, "");
}
