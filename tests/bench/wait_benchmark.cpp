// What a wait for a silent printer costs in CPU (not a test): one ReadFromDevice for one
// byte with a 2 s receive timeout, through the exported function, on each transport: TCP
// against a loopback printer that never answers and one that has closed the connection,
// a serial line on an emulated terminal whose printer stays silent, and an emulated USB
// printer with no answer queued. Prints the calling thread's CPU time (the library's own
// work), the process's (also the emulated printers' threads) and the wall time of each.
// Runs under umockdev-wrapper, which the serial and USB printers need.
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <functional>
#include <string>

#include "ComPortEth.h"
#include "FakeJni.h"
#include "LoopbackPeer.h"
#include "SerialLine.h"
#include "UsbPrinterBed.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "tillportcomm.h"
#include "Native.h"


namespace {

constexpr int kWaitMs = 2000;

double Seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double ProcessSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One read of one byte on the open port nId, with its CPU and wall time.
void MeasureRead(FakeJni& fake, const char* szWhat, jint nId) {
    if (fake.ExceptionPending()) {
        printf("  %-44s open failed: %s\n", szWhat, fake.PendingMessage().c_str());
        fake.ClearPending();
        return;
    }
    NATIVE(SetTimeoutRX)(fake.env(), nullptr, nId, kWaitMs);
    double dThread = Seconds(CLOCK_THREAD_CPUTIME_ID), dProcess = ProcessSeconds(), dWall = Seconds(CLOCK_MONOTONIC);
    jintArray answer = NATIVE(ReadFromDevice)(fake.env(), nullptr, nId, 1);
    dThread = Seconds(CLOCK_THREAD_CPUTIME_ID) - dThread;
    dProcess = ProcessSeconds() - dProcess;
    dWall = Seconds(CLOCK_MONOTONIC) - dWall;
    std::string outcome = answer != nullptr ? "an answer?" : fake.ExceptionPending() ? fake.PendingMessage() : "null";
    fake.ClearPending();
    printf("  %-44s thread CPU %7.1f ms, process CPU %7.1f ms, wall %.2f s (%s)\n", szWhat, dThread * 1e3,
           dProcess * 1e3, dWall, outcome.c_str());
}

// A TCP port whose socket gets the 2 s receive timeout from the start: the socket takes
// its timeouts when it connects.
jint OpenTcp(FakeJni& fake, int nPort) {
    tillport::OpenMethod method;
    method.szName = "WaitBenchmark";
    method.szInitMessage = "%s";
    method.szOpenMessage = "%s";
    method.logOpenLine = [](char* const*) {};
    method.create = []() -> CComPort* {
        auto* pPort = new CComPortEth();
        pPort->SetTimeoutRX(kWaitMs);
        return pPort;
    };
    method.init = [nPort](CComPort* pPort, char* const* pStrings) { return pPort->Init(pStrings[0], nPort); };
    jstring host = fake.NewString("127.0.0.1");
    const bool bUpper[] = {false};
    return tillport::RunOpenSequence(fake.env(), &host, bUpper, 1, method);
}

}  // namespace

int main() {
    FakeJni fake;
    printf("CPU of one ReadFromDevice(1) against a printer that sends nothing, receive timeout %d ms:\n", kWaitMs);
    {
        LoopbackPeer silent;
        jint nId = OpenTcp(fake, silent.Port());
        MeasureRead(fake, "TCP, printer silent:", nId);
        NATIVE(CloseDevice)(fake.env(), nullptr, nId);
    }
    {
        LoopbackPeer closing(LoopbackPeer::Behaviour::CloseAfter, {}, 0);
        jint nId = OpenTcp(fake, closing.Port());
        closing.WaitForAccepted(1, 2000);
        MeasureRead(fake, "TCP, printer has closed the connection:", nId);
        NATIVE(CloseDevice)(fake.env(), nullptr, nId);
    }
    {
        SerialLine line;
        if (line.AddLine(5) >= 0) {
            jint nId = NATIVE(OpenRS232Device)(fake.env(), nullptr, fake.NewString("/dev/ttyS5"), 9600, 0);
            MeasureRead(fake, "serial line (emulated), printer silent:", nId);
            NATIVE(CloseDevice)(fake.env(), nullptr, nId);
        }
    }
    try {
        UsbPrinterBed bed;
        UsbPrinterBed::Printer printer;
        printer.serial = "SN1";
        int nPrinter = bed.Add(printer);
        jint nId = NATIVE(OpenUSBDevice)(fake.env(), nullptr, fake.NewString("0A1F"), fake.NewString("1"));
        MeasureRead(fake, "USB (emulated), printer silent:", nId);
        NATIVE(CloseDevice)(fake.env(), nullptr, nId);
        // The emulated device node is a socket, which poll always finds writable, so
        // libusb's wait for the transfer to complete spins inside the emulation; on a real
        // usbfs node it sleeps. What the library itself does is one transfer.
        printf("  %-44s %zu bulk transfer(s) made; libusb's wait spins on the emulated node only\n", "",
               bed.Transfers(nPrinter).size());
    } catch (const std::exception& e) {
        printf("  USB: %s\n", e.what());
    }
    return 0;
}
