// Discovery: which emulated printer a port picks by vendor, product ID and serial digit,
// how it takes the printer over, and what each failure reports.
#include <string>
#include <vector>

#include "FakeJni.h"
#include "LogCapture.h"
#include "UsbScenario.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "UsbTestAccess.h"

namespace {

using Bed = UsbPrinterBed;

jint OpenUsb(FakeJni& fake, const std::string& productId, const std::string& address) {
    return Java_orvik_services_posprinterPortComm_CommonComPort_OpenUSBDevice(
        fake.env(), nullptr, fake.NewString(productId), fake.NewString(address));
}

void CloseUsb(FakeJni& fake, jint id) {
    Java_orvik_services_posprinterPortComm_CommonComPort_CloseDevice(fake.env(), nullptr, id);
}

class UsbDiscovery : public UsbScenario {};

TEST_F(UsbDiscovery, LowerCaseProductIdFromJavaReachesDiscoveryAndLogInUpperCase) {
    int printer = bed.Add(Printer("SN1"));
    FakeJni fake;
    LogCapture log;
    jint id = OpenUsb(fake, "0a1f", "1");
    ASSERT_FALSE(fake.ExceptionPending()) << fake.PendingMessage();
    EXPECT_EQ(id, 0);
    EXPECT_TRUE(log.Has("Open USB DEVICE PID:0A1F Address:1"));
    EXPECT_TRUE(log.Has("Genereted NEW Port ID:0"));
    auto* port = static_cast<CComPortUsb*>(m_pComPortPointers[0]);
    EXPECT_STREQ(UsbTestAccess::ProductId(*port), "0A1F");
    EXPECT_TRUE(UsbTestAccess::Opened(*port));
    EXPECT_EQ(bed.GetCounts(printer).claims, 1);
    CloseUsb(fake, id);
    fake.ExpectClean();
}

TEST_F(UsbDiscovery, ProductIdMatchesOnlyAsExactlyFourUpperCaseDigits) {
    int printer = bed.Add(Printer("SN0", 0x0A1F));
    for (const char* productId : {"A1F", "0A1F0", "0a1f", "00A1F", ""}) {
        CComPortUsb port;
        EXPECT_FALSE(Init(port, productId, "0")) << productId;
        EXPECT_STREQ(port.m_strLastError, "") << productId;
        port.Close();
    }
    EXPECT_EQ(bed.GetCounts(printer).opens, 0) << "a non-matching device was opened";

    CComPortUsb port;
    EXPECT_TRUE(Init(port, "0A1F", "0"));
    port.Close();
}

TEST_F(UsbDiscovery, OtherVendorsAreNeverOpened) {
    Bed::Printer foreign = Printer("SN1");
    foreign.vendor = 0x04B8;
    int other = bed.Add(foreign);
    int ours = bed.Add(Printer("SN1"));

    CComPortUsb port;
    ASSERT_TRUE(Init(port, "0A1F", "1")) << port.m_strLastError;
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(bed.GetCounts(ours).claims, 1);
    port.Close();

    bed.Unplug(ours);
    CComPortUsb alone;
    EXPECT_FALSE(Init(alone, "0A1F", "1"));
    EXPECT_STREQ(alone.m_strLastError, "");
    alone.Close();
    EXPECT_EQ(bed.GetCounts(other).opens, 0);
}

TEST_F(UsbDiscovery, TwoPrintersOfOneProductAreToldApartBySerialDigit) {
    int first = bed.Add(Printer("PRN-1"));
    int second = bed.Add(Printer("PRN-2"));
    std::vector<int> order = bed.ListOrder();
    ASSERT_EQ(order.size(), 2u);

    FakeJni fake;
    jint idTwo = OpenUsb(fake, "0A1F", "2");
    jint idOne = OpenUsb(fake, "0A1F", "1");
    ASSERT_FALSE(fake.ExceptionPending()) << fake.PendingMessage();
    EXPECT_EQ(idTwo, 0);
    EXPECT_EQ(idOne, 1);
    EXPECT_EQ(bed.GetCounts(first).claims, 1);
    EXPECT_EQ(bed.GetCounts(second).claims, 1);

    // The printer listed first is opened by both searches: once taken, once passed over
    // (opened, serial read, closed again).
    EXPECT_EQ(bed.GetCounts(order[0]).opens, 2);
    EXPECT_EQ(bed.GetCounts(order[1]).opens, 1);

    unsigned char byte = 0x1b;
    unsigned long error = 0;
    EXPECT_EQ(m_pComPortPointers[idOne]->Write(&byte, 1, &error), 1u);
    EXPECT_EQ(bed.OutLengths(first), std::vector<size_t>{1});
    EXPECT_TRUE(bed.OutLengths(second).empty());
    CloseUsb(fake, idTwo);
    CloseUsb(fake, idOne);
    fake.ExpectClean();
}

TEST_F(UsbDiscovery, SerialDigitRulesForEmptySerialsAddressesWithoutDigitsAndLetters) {
    struct Case {
        std::string serial;
        std::string address;
        bool found;
    };
    const Case cases[] = {
        {"", "7", true},        // an empty serial number matches every address
        {"", "", true},
        {"X0", "", true},       // no digits: atoi gives 0
        {"X0", "abc", true},
        {"X5", "abc", false},
        {"PRNA", "17", true},   // 'A' - '0'
        {"PRNA", "1", false},
        {"PRN7", " +7x", true},  // atoi: blanks and sign accepted, stops at the letter
        {"PRN1", std::string(1022, ' ') + "1", true},  // 1023 characters still fit
    };
    for (const Case& c : cases) {
        UsbPrinterBed caseBed;
        caseBed.Add(Printer(c.serial));
        CComPortUsb port;
        EXPECT_EQ(Init(port, "0A1F", c.address), c.found) << "serial '" << c.serial << "' address '" << c.address << "'";
        port.Close();
    }
}

TEST_F(UsbDiscovery, PrinterWithoutSerialNumberStringHasAnEmptySerialAndOpensForAnyAddress) {
    UsbPrinterBed::Printer printer = Printer("");
    printer.hasSerialString = false;
    int index = bed.Add(printer);
    CComPortUsb port;
    LogCapture log;
    EXPECT_TRUE(Init(port, "0A1F", "4") && port.Open()) << port.m_strLastError;
    EXPECT_FALSE(log.Has("Coudn't get serial string"));
    EXPECT_EQ(bed.GetCounts(index).claims, 1);
    port.Close();
}

TEST_F(UsbDiscovery, MatchingPrinterThatCannotBeOpenedEndsDiscovery) {
    bed.Add(Printer("SN1"));
    bed.Add(Printer("SN1"));
    std::vector<int> order = bed.ListOrder();
    ASSERT_EQ(order.size(), 2u);
    bed.SetOpenFails(order[0], true);

    FakeJni fake;
    LogCapture log;
    EXPECT_EQ(OpenUsb(fake, "0A1F", "1"), 0);
    EXPECT_EQ(fake.PendingClass(), "java/lang/Exception");
    EXPECT_EQ(fake.PendingMessage(), "Couldn't open device");
    EXPECT_TRUE(log.Has("ERROR: Device not found(Couldn't open device)!"));
    EXPECT_EQ(bed.GetCounts(order[1]).opens, 0) << "discovery went on past the failed open";
    fake.ClearPending();
    fake.ExpectClean();
}

TEST_F(UsbDiscovery, NoMatchThrowsAnEmptyMessageAndLeavesTheTableAlone) {
    bed.Add(Printer("SN3"));
    FakeJni fake;
    LogCapture log;
    EXPECT_EQ(OpenUsb(fake, "0A1F", "4"), 0);
    ASSERT_TRUE(fake.ExceptionPending());
    EXPECT_EQ(fake.PendingMessage(), "");
    EXPECT_TRUE(log.Has("ERROR: Device not found()!"));
    EXPECT_TRUE(log.Has("Exit For Exception"));
    fake.ClearPending();
    fake.ExpectClean();
}

TEST_F(UsbDiscovery, EitherEndpointOrderGivesTheRightPair) {
    struct Case {
        std::vector<uint8_t> endpoints;
        int in, out;
    };
    for (const Case& c : {Case{{0x81, 0x02}, 0x81, 0x02}, Case{{0x01, 0x82}, 0x82, 0x01}}) {
        UsbPrinterBed caseBed;
        Bed::Printer printer = Printer("SN1");
        printer.endpoints = c.endpoints;
        int index = caseBed.Add(printer);
        CComPortUsb port;
        ASSERT_TRUE(Init(port, "0A1F", "1"));
        ASSERT_TRUE(port.Open());
        EXPECT_EQ(UsbTestAccess::EndpointIn(port), c.in);
        EXPECT_EQ(UsbTestAccess::EndpointOut(port), c.out);
        EXPECT_EQ(caseBed.GetCounts(index).clearedHalts, (std::vector<int>{c.in, c.out}));

        unsigned char bytes[3] = {1, 2, 3};
        unsigned long error = 0;
        EXPECT_EQ(port.Write(bytes, 3, &error), 3u);
        caseBed.QueueAnswer(index, {0x12});
        unsigned char answer[4];
        EXPECT_EQ(port.Read(answer, sizeof(answer), &error), 1u);
        std::vector<Bed::Transfer> transfers = caseBed.Transfers(index);
        ASSERT_EQ(transfers.size(), 2u);
        EXPECT_EQ(transfers[0].endpoint, c.out);
        EXPECT_EQ(transfers[1].endpoint, c.in);
        port.Close();
    }
}

TEST_F(UsbDiscovery, KernelDriverIsDetachedOnlyWhenTheQueryAnswersBound) {
    const Bed::Printer::Driver drivers[] = {Bed::Printer::Bound, Bed::Printer::NoDriver, Bed::Printer::QueryFails};
    const int expectedDetaches[] = {1, 0, 0};
    for (int i = 0; i < 3; ++i) {
        UsbPrinterBed caseBed;
        Bed::Printer printer = Printer("SN1");
        printer.driver = drivers[i];
        int index = caseBed.Add(printer);
        CComPortUsb port;
        // A query that fails (no kernel driver support) does not stop discovery.
        EXPECT_TRUE(Init(port, "0A1F", "1")) << i << ": " << port.m_strLastError;
        EXPECT_TRUE(port.Open());
        EXPECT_EQ(caseBed.GetCounts(index).detaches, expectedDetaches[i]) << i;
        port.Close();
    }
}

TEST_F(UsbDiscovery, FailuresAfterTheOpenCloseTheHandleWithTheirOwnText) {
    struct Case {
        const char* text;
        void (*arrange)(UsbPrinterBed&, Bed::Printer&);
        void (*fault)(UsbPrinterBed&, int);
    };
    const Case cases[] = {
        {"Coudn't get serial string", [](UsbPrinterBed&, Bed::Printer& p) { p.serialReadable = false; },
         [](UsbPrinterBed&, int) {}},
        {"libusb_detach_kernel_driver error", [](UsbPrinterBed&, Bed::Printer&) {},
         [](UsbPrinterBed& b, int i) { b.SetDetachFails(i, true); }},
        {"libusb_get_active_config_descriptor error", [](UsbPrinterBed&, Bed::Printer& p) { p.endpoints = {0x81}; },
         [](UsbPrinterBed&, int) {}},
    };
    for (const Case& c : cases) {
        UsbPrinterBed caseBed;
        Bed::Printer printer = Printer("SN1");
        c.arrange(caseBed, printer);
        int index = caseBed.Add(printer);
        c.fault(caseBed, index);
        LibusbCalls before = LibusbCalls::Now();
        LogCapture log;
        CComPortUsb port;
        EXPECT_FALSE(Init(port, "0A1F", "1"));
        EXPECT_STREQ(port.m_strLastError, c.text);
        ASSERT_EQ(log.Lines().size(), 1u) << c.text;
        EXPECT_EQ(log.Lines()[0].name, "FindDevice");
        EXPECT_EQ(log.Lines()[0].text, c.text);
        LibusbCalls during = LibusbCalls::Now() - before;
        EXPECT_EQ(during.opens, 1) << c.text;
        EXPECT_EQ(during.closes, 1) << c.text;
        EXPECT_EQ(UsbTestAccess::Handle(port), nullptr);
        EXPECT_EQ(caseBed.GetCounts(index).claims, 0);
        port.Close();
    }
}

TEST_F(UsbDiscovery, ClaimFailureReachesJavaWithTheOpenMessage) {
    int printer = bed.Add(Printer("SN1"));
    bed.SetClaimFails(printer, true);
    FakeJni fake;
    LogCapture log;
    EXPECT_EQ(OpenUsb(fake, "0A1F", "1"), 0);
    EXPECT_EQ(fake.PendingMessage(), "libusb_claim_interface error");
    EXPECT_TRUE(log.Has("ERROR: Open Device Error(libusb_claim_interface error)!"));
    fake.ClearPending();
    fake.ExpectClean();
}

}  // namespace
