#ifndef TILLPORTCOMM_TESTS_USBSCENARIO_H
#define TILLPORTCOMM_TESTS_USBSCENARIO_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ComPortUsb.h"
#include "LibusbCalls.h"
#include "UsbPrinterBed.h"
#include "tillportcomm.h"

// Base of the USB scenarios: a fresh bed of emulated printers per test, and at the end a
// check that every libusb start, device list and handle the test made was given back once
// and that the port table is empty again.
class UsbScenario : public testing::Test {
protected:
    static UsbPrinterBed::Printer Printer(const std::string& serial, uint16_t product = 0x0A1F) {
        UsbPrinterBed::Printer printer;
        printer.serial = serial;
        printer.product = product;
        return printer;
    }

    // Init with writable copies of the strings, as the native layer passes them.
    static bool Init(CComPortUsb& port, const std::string& productId, const std::string& address) {
        std::vector<char> pid(productId.begin(), productId.end());
        std::vector<char> addr(address.begin(), address.end());
        pid.push_back('\0');
        addr.push_back('\0');
        return port.Init(pid.data(), addr.data());
    }

    LibusbCalls Calls() const { return LibusbCalls::Now() - m_start; }

    void ExpectAllGivenBack() const {
        LibusbCalls calls = Calls();
        EXPECT_EQ(calls.exits, calls.inits) << "libusb starts not ended once each";
        EXPECT_EQ(calls.frees, calls.lists) << "device lists not freed once each";
        EXPECT_EQ(calls.closes, calls.opens) << "handles not closed once each";
        EXPECT_EQ(calls.unmatched, 0) << "a release of something not held";
    }

    void TearDown() override {
        ExpectAllGivenBack();
        for (CComPort* pPort : m_pComPortPointers) EXPECT_EQ(pPort, nullptr) << "port left in the table";
    }

    UsbPrinterBed bed;

private:
    LibusbCalls m_start = LibusbCalls::Now();
};

#endif
