// Release: whatever path a port takes, its interface, handle, device list and libusb start
// are each given back exactly once.
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "ClosePause.h"
#include "FakeJni.h"
#include "NativeTestSupport.h"
#include "TimeScale.h"
#include "UsbScenario.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "UsbTestAccess.h"

namespace {

using Bed = UsbPrinterBed;

jint OpenUsb(FakeJni& fake, const char* address) {
    return Java_orvik_services_posprinterPortComm_CommonComPort_OpenUSBDevice(fake.env(), nullptr,
                                                                               fake.NewString("0A1F"), fake.NewString(address));
}

class UsbRelease : public UsbScenario {};

TEST_F(UsbRelease, CloseDeviceReleasesTheInterfaceClosesTheHandleFreesTheListAndEndsLibusb) {
    int printer = bed.Add(Printer("SN1"));
    FakeJni fake;
    jint id = OpenUsb(fake, "1");
    ASSERT_FALSE(fake.ExceptionPending());
    Java_orvik_services_posprinterPortComm_CommonComPort_CloseDevice(fake.env(), nullptr, id);
    LibusbCalls calls = Calls();
    EXPECT_EQ(calls.inits, 1);
    EXPECT_EQ(calls.exits, 1);
    EXPECT_EQ(calls.lists, 1);
    EXPECT_EQ(calls.frees, 1);
    EXPECT_EQ(calls.opens, 1);
    EXPECT_EQ(calls.closes, 1);
    EXPECT_EQ(calls.claims, 1);
    EXPECT_EQ(calls.releases, 1);
    EXPECT_EQ(bed.GetCounts(printer).releases, 1);
    fake.ExpectClean();
}

TEST_F(UsbRelease, EveryFailedOpenLeavesNoStartListOrHandleBehind) {
    struct Case {
        const char* what;
        std::function<void(Bed&, Bed::Printer&)> arrange;
        std::function<void(Bed&, int)> fault;
        const char* message;
    };
    const Case cases[] = {
        {"no match", [](Bed&, Bed::Printer& p) { p.serial = "SN9"; }, [](Bed&, int) {}, ""},
        {"open fails", [](Bed&, Bed::Printer&) {}, [](Bed& b, int i) { b.SetOpenFails(i, true); }, "Couldn't open device"},
        {"serial unreadable", [](Bed&, Bed::Printer& p) { p.serialReadable = false; }, [](Bed&, int) {},
         "Coudn't get serial string"},
        {"detach fails", [](Bed&, Bed::Printer&) {}, [](Bed& b, int i) { b.SetDetachFails(i, true); },
         "libusb_detach_kernel_driver error"},
        {"one endpoint", [](Bed&, Bed::Printer& p) { p.endpoints = {0x02}; }, [](Bed&, int) {},
         "libusb_get_active_config_descriptor error"},
        {"claim fails", [](Bed&, Bed::Printer&) {}, [](Bed& b, int i) { b.SetClaimFails(i, true); },
         "libusb_claim_interface error"},
    };
    for (const Case& c : cases) {
        Bed caseBed;
        Bed::Printer printer = Printer("SN1");
        c.arrange(caseBed, printer);
        c.fault(caseBed, caseBed.Add(printer));
        LibusbCalls before = LibusbCalls::Now();
        FakeJni fake;
        EXPECT_EQ(OpenUsb(fake, "1"), 0) << c.what;
        EXPECT_EQ(fake.PendingMessage(), c.message) << c.what;
        LibusbCalls calls = LibusbCalls::Now() - before;
        EXPECT_EQ(calls.inits, 1) << c.what;
        EXPECT_EQ(calls.exits, 1) << c.what;
        EXPECT_EQ(calls.lists, 1) << c.what;
        EXPECT_EQ(calls.frees, 1) << c.what;
        EXPECT_EQ(calls.closes, calls.opens) << c.what;
        EXPECT_EQ(calls.releases, 0) << c.what;
        EXPECT_EQ(calls.unmatched, 0) << c.what;
        fake.ClearPending();
        fake.ExpectClean();
    }
}

TEST_F(UsbRelease, PortClosedByAFailedTransferIsNotReleasedAgainByCloseDeviceOrItsDestructor) {
    int printer = bed.Add(Printer("SN1"));
    FakeJni fake;
    jint id = OpenUsb(fake, "1");
    ASSERT_FALSE(fake.ExceptionPending());
    bed.QueueOutcome(printer, Bed::Outcome::Error);
    std::vector<uint8_t> bytes(10, 0x41);
    EXPECT_EQ(Java_orvik_services_posprinterPortComm_CommonComPort_WriteToDevice(fake.env(), nullptr, id,
                                                                                  fake.NewByteArray(bytes)),
              0);
    EXPECT_EQ(fake.PendingMessage(), "Write Error");
    fake.ClearPending();
    LibusbCalls afterFailure = Calls();
    EXPECT_EQ(afterFailure.exits, 1);
    EXPECT_EQ(afterFailure.releases, 1);

    // The close opens the printer once more only to give the kernel driver back.
    Java_orvik_services_posprinterPortComm_CommonComPort_CloseDevice(fake.env(), nullptr, id);
    LibusbCalls afterClose = Calls();
    EXPECT_EQ(afterClose.exits, 2);
    EXPECT_EQ(afterClose.frees, 2);
    EXPECT_EQ(afterClose.closes, 2);
    EXPECT_EQ(afterClose.releases, 1);
    EXPECT_EQ(bed.GetCounts(printer).attaches, 1);
    EXPECT_EQ(bed.GetCounts(printer).releases, 1);
    fake.ExpectClean();
}

TEST_F(UsbRelease, CloseTwiceAndDestroyGiveBackOnce) {
    bed.Add(Printer("SN1"));
    {
        CComPortUsb port;
        ASSERT_TRUE(Init(port, "0A1F", "1"));
        ASSERT_TRUE(port.Open());
        EXPECT_TRUE(port.Close());
        EXPECT_TRUE(port.Close());
        EXPECT_EQ(UsbTestAccess::DeviceList(port), nullptr);
    }
    LibusbCalls calls = Calls();
    EXPECT_EQ(calls.exits, 1);
    EXPECT_EQ(calls.releases, 1);
    EXPECT_EQ(calls.closes, 1);
}

TEST_F(UsbRelease, KernelDriverComesBackOnlyWhenTheServiceLetsThePrinterGo) {
    int printer = bed.Add(Printer("SN1"));
    FakeJni fake;
    jint id = OpenUsb(fake, "1");
    ASSERT_FALSE(fake.ExceptionPending());
    // A failed transfer closes the port for rediscovery, but the driver stays detached: the
    // next job finds the printer without taking it from the driver again.
    bed.QueueOutcome(printer, Bed::Outcome::Error);
    std::vector<uint8_t> bytes(10, 0x41);
    EXPECT_EQ(Java_orvik_services_posprinterPortComm_CommonComPort_WriteToDevice(fake.env(), nullptr, id,
                                                                                  fake.NewByteArray(bytes)),
              0);
    fake.ClearPending();
    EXPECT_EQ(bed.GetCounts(printer).attaches, 0);
    EXPECT_EQ(Java_orvik_services_posprinterPortComm_CommonComPort_WriteToDevice(fake.env(), nullptr, id,
                                                                                  fake.NewByteArray(bytes)),
              10);
    EXPECT_EQ(bed.GetCounts(printer).detaches, 1);
    // So does a read that times out; CloseDevice then gives the driver back, once.
    Java_orvik_services_posprinterPortComm_CommonComPort_SetTimeoutRX(fake.env(), nullptr, id, 50);
    EXPECT_EQ(Java_orvik_services_posprinterPortComm_CommonComPort_ReadFromDevice(fake.env(), nullptr, id, 1), nullptr);
    EXPECT_EQ(fake.PendingMessage(), "Read timeout! No data read");
    fake.ClearPending();
    EXPECT_EQ(bed.GetCounts(printer).attaches, 0);
    Java_orvik_services_posprinterPortComm_CommonComPort_CloseDevice(fake.env(), nullptr, id);
    EXPECT_EQ(bed.GetCounts(printer).attaches, 1);

    // An open that cannot claim the printer gives it back at once.
    bed.SetClaimFails(printer, true);
    CComPortUsb refused;
    EXPECT_TRUE(Init(refused, "0A1F", "1"));
    EXPECT_FALSE(refused.Open());
    EXPECT_EQ(bed.GetCounts(printer).attaches, 2);
    refused.Close();
    EXPECT_EQ(bed.GetCounts(printer).attaches, 2);
    fake.ExpectClean();
}

TEST_F(UsbRelease, CloseCancelsAWaitingReadAtOnceAndAStalledWriteAtItsDeadline) {
    // Transmit timeout 0: libusb waits without limit; receive timeout -1: 24.8 days (with 0 a
    // collection on a slow core may make no pass at all). A read waiting for an answer ends
    // as soon as the close begins, with the read's own text; a write the printer does not
    // take gets the close's pause, then fails. Either way the close gives everything back once.
    int printer = bed.Add(Printer("SN1"));
    for (bool bWrite : {false, true}) {
        SCOPED_TRACE(bWrite ? "write" : "read");
        FakeJni fake;
        jint id = OpenUsb(fake, "1");
        ASSERT_FALSE(fake.ExceptionPending()) << fake.PendingMessage();
        Java_orvik_services_posprinterPortComm_CommonComPort_SetTimeoutTX(fake.env(), nullptr, id, 0);
        Java_orvik_services_posprinterPortComm_CommonComPort_SetTimeoutRX(fake.env(), nullptr, id, -1);
        if (bWrite) bed.QueueOutcome(printer, Bed::Outcome::Timeout);
        const size_t nBefore = bed.Transfers(printer).size();
        std::atomic<pid_t> nCaller{0};
        auto call = CallFromAnotherThread(nCaller, [id, bWrite](FakeJni& jni) {
            if (bWrite) {
                Java_orvik_services_posprinterPortComm_CommonComPort_WriteToDevice(jni.env(), nullptr, id,
                                                                                    jni.NewByteArray({0x1b, 0x40}));
            } else {
                Java_orvik_services_posprinterPortComm_CommonComPort_ReadFromDevice(jni.env(), nullptr, id, 1);
            }
            return std::vector<jint>{};
        });
        for (int i = 0; i < ScaledMs(5000) && bed.Transfers(printer).size() == nBefore; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_GT(bed.Transfers(printer).size(), nBefore) << "the transfer never began";
        // Should the close wait for the transfer, the printer is unplugged: the transfer ends.
        const double dSeconds = CloseFromAnotherThread(id, ScaledMs(5000), [&] { bed.Unplug(printer); });
        std::string message = call.get().message;
        ASSERT_GE(dSeconds, 0.0) << "the close was still waiting after 5 s";
        if (bWrite) {
            EXPECT_GE(dSeconds, closepause::kWaitedOut);
            EXPECT_LT(dSeconds, closepause::AtMost());
            EXPECT_EQ(message, "Write Error");
        } else {
            EXPECT_LT(dSeconds, 0.2 * TimeScale());
            EXPECT_EQ(message, "Read timeout! No data read");
        }
        fake.ExpectClean();
    }
}

TEST_F(UsbRelease, CloseDuringRediscoveryReturnsInItsBoundWhateverThePrinterLeavesWaiting) {
    // A failed transfer closed the port; the next write finds the printer again and its
    // clear-halt request hangs in the kernel. The close makes no further request, returns
    // within its pause, and the write gives the printer back (driver included) when it ends.
    int printer = bed.Add(Printer("SN1"));
    FakeJni fake;
    jint id = OpenUsb(fake, "1");
    ASSERT_FALSE(fake.ExceptionPending()) << fake.PendingMessage();
    bed.QueueOutcome(printer, Bed::Outcome::Error);
    EXPECT_EQ(Java_orvik_services_posprinterPortComm_CommonComPort_WriteToDevice(fake.env(), nullptr, id,
                                                                                  fake.NewByteArray({0x1b, 0x40})),
              0);
    fake.ClearPending();
    bed.SetClearHaltHangs(printer, true);
    std::atomic<pid_t> nWriter{0};
    auto writer = CallFromAnotherThread(nWriter, [id](FakeJni& jni) {
        return std::vector<jint>{Java_orvik_services_posprinterPortComm_CommonComPort_WriteToDevice(
            jni.env(), nullptr, id, jni.NewByteArray({0x1b, 0x40}))};
    });
    for (int i = 0; i < ScaledMs(5000) && bed.GetCounts(printer).hungClearHalts == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool bHung = bed.GetCounts(printer).hungClearHalts > 0;
    const double dSeconds =
        bHung ? CloseFromAnotherThread(id, ScaledMs(6000), [&] { bed.SetClearHaltHangs(printer, false); }) : -1;
    bed.SetClearHaltHangs(printer, false);
    JavaOutcome outcome = writer.get();
    ASSERT_TRUE(bHung) << "the rediscovery never cleared a halt";
    ASSERT_GE(dSeconds, 0.0) << "the close waited for the printer";
    EXPECT_LT(dSeconds, closepause::AtMost());
    EXPECT_EQ(outcome.answer, std::vector<jint>{0});
    EXPECT_EQ(outcome.message, "Write Error");
    EXPECT_EQ(bed.GetCounts(printer).hungClearHalts, 1) << "a request made after the close began";
    EXPECT_EQ(bed.GetCounts(printer).attaches, 1);
    EXPECT_FALSE(tillport::CloseInProgress(id));
    fake.ExpectClean();
}

}  // namespace
