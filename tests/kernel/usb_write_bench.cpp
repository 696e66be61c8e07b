// What a 1 MiB job costs on a USB printer of the kernel's own stack (a printer gadget on
// dummy_hcd, in the emulated ARM machines; tests/kernel/guest.sh runs it after the kernel
// suite): WriteToDevice of the library, and of a second library for comparison, called as
// Java calls it (its exported function, through the tests' JNIEnv), beside plain libusb on
// the same printer: the whole MiB in one bulk transfer, and in 1000-byte transfers one after
// the other. Prints one line of figures, each the median of three runs. Not a test: it fails
// only when a transfer or a write fails.
#include <dlfcn.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FakeJni.h"

namespace {

constexpr size_t kJob = 1024 * 1024;
constexpr int kRuns = 3;
constexpr int kChunk = 1000;
constexpr int kDepth = 32;  // transfers in flight, as the library keeps them
constexpr unsigned kTimeoutMs = 20000;
constexpr int kInterface = 0;

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::vector<uint8_t> Job() {
    std::vector<uint8_t> bytes(kJob);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0x20 + (i * 7) % 95);
    return bytes;
}

struct Options {
    int nVendor = 0;
    int nProduct = 0;
    std::string serial;
    std::string library;
    std::string before;
};

// The printer opened with plain libusb: the kernel driver detached, interface 0 claimed.
class PlainPrinter {
public:
    bool Open(const Options& options) {
        if (libusb_init(&m_context) != 0) return false;
        libusb_device** pList = nullptr;
        ssize_t nDevices = libusb_get_device_list(m_context, &pList);
        for (ssize_t i = 0; i < nDevices && m_hDevice == nullptr; ++i) {
            libusb_device_descriptor desc;
            if (libusb_get_device_descriptor(pList[i], &desc) != 0 || desc.idVendor != options.nVendor ||
                desc.idProduct != options.nProduct || libusb_open(pList[i], &m_hDevice) != 0) {
                continue;
            }
            unsigned char serial[256] = {};
            if (libusb_get_string_descriptor_ascii(m_hDevice, desc.iSerialNumber, serial, sizeof(serial)) < 0 ||
                options.serial != reinterpret_cast<char*>(serial) || !FindOut(pList[i])) {
                libusb_close(m_hDevice);
                m_hDevice = nullptr;
            }
        }
        if (pList != nullptr) libusb_free_device_list(pList, 1);
        if (m_hDevice == nullptr) return false;
        libusb_set_auto_detach_kernel_driver(m_hDevice, 1);
        return libusb_claim_interface(m_hDevice, kInterface) == 0;
    }

    ~PlainPrinter() {
        if (m_hDevice != nullptr) {
            libusb_release_interface(m_hDevice, kInterface);  // gives the driver back (auto detach)
            libusb_close(m_hDevice);
        }
        if (m_context != nullptr) libusb_exit(m_context);
    }

    // Sends the job in transfers of nChunk bytes, one after the other; false on a failure.
    bool Send(std::vector<uint8_t>& job, int nChunk) {
        for (size_t nSent = 0; nSent < job.size();) {
            int nLength = static_cast<int>(std::min<size_t>(static_cast<size_t>(nChunk), job.size() - nSent));
            int nDone = 0;
            if (libusb_bulk_transfer(m_hDevice, m_nOut, job.data() + nSent, nLength, &nDone, kTimeoutMs) != 0 ||
                nDone != nLength) {
                return false;
            }
            nSent += static_cast<size_t>(nDone);
        }
        return true;
    }

    // Sends the job in transfers of nChunk bytes with up to nDepth of them submitted at
    // once, each resubmitted with the next chunk as it comes back; false on a failure.
    bool SendInFlight(std::vector<uint8_t>& job, int nChunk, int nDepth) {
        struct Slot {
            libusb_transfer* pTransfer;
            int nDone;
        };
        std::vector<Slot> slots(static_cast<size_t>(nDepth));
        size_t nNext = 0;
        bool bOk = true;
        auto submit = [&](Slot& slot) {
            int nLength = static_cast<int>(std::min<size_t>(static_cast<size_t>(nChunk), job.size() - nNext));
            libusb_fill_bulk_transfer(slot.pTransfer, m_hDevice, m_nOut, job.data() + nNext, nLength, Done, &slot.nDone,
                                      kTimeoutMs);
            slot.nDone = 0;
            nNext += static_cast<size_t>(nLength);
            if (libusb_submit_transfer(slot.pTransfer) != 0) {
                slot.nDone = 1;
                bOk = false;
            }
        };
        for (Slot& slot : slots) {
            slot.pTransfer = libusb_alloc_transfer(0);
            slot.nDone = 1;
            if (nNext < job.size()) submit(slot);
        }
        // The slots come back in the order they went out: the oldest one is waited for.
        for (size_t nHead = 0;; nHead = (nHead + 1) % slots.size()) {
            Slot& slot = slots[nHead];
            while (slot.nDone == 0) libusb_handle_events_completed(m_context, &slot.nDone);
            if (slot.pTransfer->status != LIBUSB_TRANSFER_COMPLETED) bOk = false;
            if (nNext >= job.size() || !bOk) {
                bool bIdle = true;
                for (Slot& other : slots) bIdle = bIdle && other.nDone != 0;
                if (bIdle) break;
                continue;
            }
            submit(slot);
        }
        for (Slot& slot : slots) libusb_free_transfer(slot.pTransfer);
        return bOk;
    }

private:
    static void LIBUSB_CALL Done(libusb_transfer* pTransfer) { *static_cast<int*>(pTransfer->user_data) = 1; }

    bool FindOut(libusb_device* pDevice) {
        libusb_config_descriptor* pConfig = nullptr;
        if (libusb_get_active_config_descriptor(pDevice, &pConfig) != 0) return false;
        const libusb_interface_descriptor& setting = pConfig->interface[0].altsetting[0];
        for (int i = 0; i < setting.bNumEndpoints; ++i) {
            const uint8_t nAddress = setting.endpoint[i].bEndpointAddress;
            if ((nAddress & LIBUSB_ENDPOINT_IN) == 0) m_nOut = nAddress;
        }
        libusb_free_config_descriptor(pConfig);
        return m_nOut != 0;
    }

    libusb_context* m_context = nullptr;
    libusb_device_handle* m_hDevice = nullptr;
    unsigned char m_nOut = 0;
};

// A library's exported functions, as the JVM calls them.
class Library {
public:
    explicit Library(const std::string& path) : m_hLibrary(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (m_hLibrary == nullptr) return;
        m_open = reinterpret_cast<Open>(Find("OpenUSBDevice"));
        m_write = reinterpret_cast<Write>(Find("WriteToDevice"));
        m_timeout = reinterpret_cast<Timeout>(Find("SetTimeoutTX"));
        m_close = reinterpret_cast<Close>(Find("CloseDevice"));
    }
    ~Library() {
        if (m_hLibrary != nullptr) dlclose(m_hLibrary);
    }
    bool Loaded() const {
        return m_open != nullptr && m_write != nullptr && m_timeout != nullptr && m_close != nullptr;
    }

    // The median time of a 1 MiB WriteToDevice on the printer of this product and address;
    // negative when a call failed.
    double WriteTime(const Options& options, const std::string& address) {
        FakeJni fake;
        char szProduct[8];
        snprintf(szProduct, sizeof(szProduct), "%04X", options.nProduct & 0xffff);
        jint nId = m_open(fake.env(), nullptr, fake.NewString(szProduct), fake.NewString(address));
        if (fake.ExceptionPending()) return -1;
        m_timeout(fake.env(), nullptr, nId, static_cast<jint>(kTimeoutMs));
        std::vector<double> times;
        const std::vector<uint8_t> job = Job();
        for (int nRun = 0; nRun < kRuns && !fake.ExceptionPending(); ++nRun) {
            jbyteArray data = fake.NewByteArray(job);
            const auto start = Clock::now();
            jint nWritten = m_write(fake.env(), nullptr, nId, data);
            if (nWritten == static_cast<jint>(kJob)) times.push_back(Milliseconds(start));
        }
        const bool bFailed = fake.ExceptionPending() || times.size() != kRuns;
        m_close(fake.env(), nullptr, nId);
        return bFailed ? -1 : Median(times);
    }

private:
    using Open = jint (*)(JNIEnv*, jobject, jstring, jstring);
    using Write = jint (*)(JNIEnv*, jobject, jint, jbyteArray);
    using Timeout = void (*)(JNIEnv*, jobject, jint, jint);
    using Close = void (*)(JNIEnv*, jobject, jint);

    void* Find(const char* szMethod) {
        std::string name = std::string("Java_orvik_services_posprinterPortComm_CommonComPort_") + szMethod;
        return dlsym(m_hLibrary, name.c_str());
    }

    void* m_hLibrary;
    Open m_open = nullptr;
    Write m_write = nullptr;
    Timeout m_timeout = nullptr;
    Close m_close = nullptr;
};

bool ParseOptions(int argc, char** argv, Options* pOptions) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* szValue = argv[i + 1];
        if (option == "--vendor") {
            pOptions->nVendor = static_cast<int>(strtol(szValue, nullptr, 16));
        } else if (option == "--product") {
            pOptions->nProduct = static_cast<int>(strtol(szValue, nullptr, 16));
        } else if (option == "--serial") {
            pOptions->serial = szValue;
        } else if (option == "--library") {
            pOptions->library = szValue;
        } else if (option == "--before") {
            pOptions->before = szValue;
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && pOptions->nVendor != 0 && !pOptions->serial.empty() && !pOptions->library.empty();
}

// The library's figure, or a reason.
std::string LibraryFigure(const Options& options, const std::string& path, double* pMs) {
    Library library(path);
    if (!library.Loaded()) return std::string("cannot load ") + path + ": " + dlerror();
    // The address is the serial number's last digit.
    *pMs = library.WriteTime(options, options.serial.substr(options.serial.size() - 1));
    if (*pMs < 0) return "WriteToDevice failed with " + path;
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr,
                "usage: usb_write_bench --vendor HEX --product HEX --serial TEXT --library PATH [--before PATH]\n");
        return 2;
    }
    std::vector<double> whole, chunked, flying;
    {
        PlainPrinter plain;
        if (!plain.Open(options)) {
            fprintf(stderr, "usb_write_bench: cannot open the printer %s with libusb\n", options.serial.c_str());
            return 1;
        }
        std::vector<uint8_t> job = Job();
        for (int nRun = 0; nRun < kRuns; ++nRun) {
            auto start = Clock::now();
            if (!plain.Send(job, static_cast<int>(kJob))) return 1;
            whole.push_back(Milliseconds(start));
            start = Clock::now();
            if (!plain.Send(job, kChunk)) return 1;
            chunked.push_back(Milliseconds(start));
            start = Clock::now();
            if (!plain.SendInFlight(job, kChunk, kDepth)) return 1;
            flying.push_back(Milliseconds(start));
        }
    }
    double dLibrary = 0, dBefore = 0;
    std::string problem = LibraryFigure(options, options.library, &dLibrary);
    if (problem.empty() && !options.before.empty()) problem = LibraryFigure(options, options.before, &dBefore);
    if (!problem.empty()) {
        fprintf(stderr, "usb_write_bench: %s\n", problem.c_str());
        return 1;
    }
    printf("usb write benchmark, 1 MiB, median of %d: WriteToDevice %.0f ms", kRuns, dLibrary);
    if (!options.before.empty()) printf(" (before: %.0f ms)", dBefore);
    printf("; plain libusb: one transfer %.0f ms, 1000-byte transfers %.0f ms one at a time, %.0f ms %d at a time; "
           "WriteToDevice / one transfer %.1f\n",
           Median(whole), Median(chunked), Median(flying), kDepth, dLibrary / Median(whole));
    return 0;
}
