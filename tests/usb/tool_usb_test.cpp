// The technician's tool on emulated USB printers: what list shows, a decoded status, what it
// says when it cannot open, and the real program served by the same testbed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ToolRun.h"
#include "UsbScenario.h"

namespace {

class ToolUsb : public UsbScenario {
protected:
    // "bus 001 device DDD" of a plugged printer.
    std::string Place(int index) const { return "bus 001 device " + bed.DevNode(index).substr(17); }

    // The bytes of the bulk OUT transfers the printer accepted, one string each.
    std::vector<std::string> Received(int index) const {
        std::vector<std::string> received;
        for (const UsbPrinterBed::Transfer& transfer : bed.Transfers(index)) {
            if ((transfer.endpoint & LIBUSB_ENDPOINT_IN) == 0 && transfer.outcome == UsbPrinterBed::Outcome::Accept)
                received.emplace_back(transfer.data.begin(), transfer.data.end());
        }
        return received;
    }
};

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << "no \"" << (part) << "\" in:\n" << (text)

}  // namespace

TEST_F(ToolUsb, ListShowsEachPrinterWithItsAddressDriverAndAccess) {
    int bound = bed.Add(Printer("PRN-0001"));
    UsbPrinterBed::Printer anyAddress = Printer("", 0x0B22);
    anyAddress.driver = UsbPrinterBed::Printer::NoDriver;
    int free = bed.Add(anyAddress);
    int letter = bed.Add(Printer("LP-A", 0x0C00));
    UsbPrinterBed::Printer otherVendor = Printer("OTHER-7");
    otherVendor.vendor = 0x1234;
    bed.Add(otherVendor);

    ToolRun run = RunTool({"list"});
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_HAS(run.out, "  usb:0A1F:1  product 0A1F  serial \"PRN-0001\"  address 1  " + Place(bound) +
                            "\n      kernel driver on interface 0: yes (the library detaches it when it opens the "
                            "printer)\n      this user may open " + bed.DevNode(bound) + ": yes\n");
    EXPECT_HAS(run.out, "  usb:0B22  product 0B22  serial \"\"  address any (empty serial number)  " + Place(free) +
                            "\n      kernel driver on interface 0: no\n");
    // A serial number ending in a letter gives that letter's code minus '0' as the address.
    EXPECT_HAS(run.out, "  usb:0C00:17  product 0C00  serial \"LP-A\"  address 17  " + Place(letter) + "\n");
    EXPECT_HAS(run.out, "  (1 other USB device)\n");
    EXPECT_EQ(run.out.find("OTHER-7"), std::string::npos) << "a device of another vendor was opened";
    // Listing takes nothing from a printer.
    EXPECT_EQ(bed.GetCounts(bound).claims, 0);
    EXPECT_EQ(bed.GetCounts(bound).detaches, 0);
}

TEST_F(ToolUsb, StatusDecodesAPrinterOutOfPaper) {
    int index = bed.Add(Printer("PRN-0004"));
    for (uint8_t answer : {0x1a, 0x32, 0x12, 0x7e}) bed.QueueAnswer(index, {answer});

    // Lower case and no address: the one printer of that product, whatever its address.
    ToolRun run = RunTool({"status", "usb:0a1f"});
    EXPECT_EQ(run.nExit, tilltool::kExitPrinter) << run.err;
    EXPECT_HAS(run.out, "DLE EOT 2  offline cause   0x32  cover closed, no paper fed by the button, printing "
                        "stopped at paper end, no error\n");
    EXPECT_HAS(run.out, "DLE EOT 4  paper sensor    0x7e  paper near end, paper out\n");
    EXPECT_HAS(run.out, "raw status bytes: 1a 32 12 7e\nNOT READY: offline, paper out. Load a new paper roll.\n");
    const std::vector<std::string> requests = {"\x10\x04\x01", "\x10\x04\x02", "\x10\x04\x03", "\x10\x04\x04"};
    EXPECT_EQ(Received(index), requests);
    EXPECT_EQ(bed.GetCounts(index).releases, 1) << "interface 0 not given back";
}

TEST_F(ToolUsb, SaysWhatToDoWhenItCannotOpenThePrinter) {
    int first = bed.Add(Printer("PRN-0001"));
    bed.Add(Printer("PRN-0002"));

    ToolRun several = RunTool({"status", "usb:0A1F"});
    EXPECT_EQ(several.nExit, tilltool::kExitUsage);
    EXPECT_HAS(several.err, "2 USB printers 0C3B:0A1F are plugged in; name one: ");
    EXPECT_HAS(several.err, "usb:0A1F:2 (serial \"PRN-0002\")");

    ToolRun otherAddress = RunTool({"status", "usb:0A1F:3"});
    EXPECT_EQ(otherAddress.nExit, tilltool::kExitCannotOpen);
    EXPECT_HAS(otherAddress.err, "no USB printer 0C3B:0A1F answers to address 3; plugged in: ");

    ToolRun absent = RunTool({"print", "usb:0B00"});
    EXPECT_EQ(absent.nExit, tilltool::kExitCannotOpen);
    EXPECT_HAS(absent.err, "no USB printer 0C3B:0B00 is plugged in. Is it switched on and its USB cable plugged in?");

    bed.SetClaimFails(first, true);
    ToolRun held = RunTool({"print", "usb:0A1F:1"});
    EXPECT_EQ(held.nExit, tilltool::kExitCannotOpen);
    EXPECT_HAS(held.err, "the USB printer 0C3B:0A1F is held by another program (interface 0 is claimed)");
    EXPECT_TRUE(Received(first).empty());
    bed.SetClaimFails(first, false);

    bed.SetOpenFails(first, true);
    ToolRun unopened = RunTool({"print", "usb:0A1F:1"});
    EXPECT_EQ(unopened.nExit, tilltool::kExitCannotOpen);
    EXPECT_HAS(unopened.err, "(Couldn't open device): unplug it and plug it in again");
}

TEST_F(ToolUsb, TheProgramIsServedByTheSameTestbed) {
    int index = bed.Add(Printer("PRN-0001"));
    for (int n = 0; n < 4; ++n) bed.QueueAnswer(index, {0x12});
    ChildProcess tool({TILLPORTCOMM_TOOL, "status", "usb:0A1F:1"});
    ASSERT_TRUE(tool.Started());
    EXPECT_EQ(tool.Wait(30000), 0) << tool.Err();
    EXPECT_HAS(tool.Out(), "READY: online, cover closed, paper present, no error.\n");
    EXPECT_EQ(Received(index).size(), 4u);
}
