#ifndef TILLPORTCOMM_TESTS_USBPRINTERBED_H
#define TILLPORTCOMM_TESTS_USBPRINTERBED_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

// Emulated USB printers for the real libusb. An umockdev testbed holds each printer's sysfs
// entry (descriptors, bus and device numbers) and device node /dev/bus/usb/001/DDD; an
// in-process usbdevfs handler answers what libusb asks of the node: capabilities,
// claim/release, clear halt, driver query, detach and re-attach, control URBs for string
// descriptors and bulk URBs. Printers answer bulk IN transfers from a queue in whole packets
// as a host controller delivers them, record every bulk OUT transfer, and fail on demand.
// As a host controller does, each endpoint works through its bulk URBs in the order they
// were submitted, starting one once those before it are done whole; a URB that ends
// otherwise (short, failed, stalled, timed out, discarded) holds the URBs behind it, unstarted,
// until the client has reaped it: a discard then ends them with nothing sent, and the next
// submit on the endpoint starts them. The program must run under umockdev-wrapper.
class UsbPrinterBed {
public:
    struct Printer {
        Printer() {
            endpoints.push_back(0x81);
            endpoints.push_back(0x02);
        }
        uint16_t vendor = 0x0C3B;
        uint16_t product = 0x0A1F;
        std::string serial = "PRN-0001";
        bool serialReadable = true;              // false: the string request stalls
        bool hasSerialString = true;             // false: iSerialNumber is 0
        std::vector<uint8_t> endpoints;          // interface 0, alternate setting 0
        uint16_t packetSize = 64;                // wMaxPacketSize of every endpoint
        enum Driver { Bound, NoDriver, QueryFails } driver = Bound;
    };

    // What the printer does with one coming bulk transfer (IN or OUT). Short: takes or
    // answers only shortLength bytes. Timeout: takes or answers the first shortLength
    // bytes, then nothing more until the transfer's timeout.
    enum class Outcome { Accept, Short, Error, Stall, Timeout };

    struct Transfer {
        int endpoint;
        size_t length;             // bytes asked for
        std::vector<uint8_t> data;  // OUT: bytes the printer took (all offered ones for an Error
                                    // or a Stall); IN: bytes it answered
        Outcome outcome;
    };

    struct Counts {
        int opens = 0;  // connections to the device node (libusb_open)
        int claims = 0, releases = 0;
        int driverQueries = 0, detaches = 0, attaches = 0;
        std::vector<int> clearedHalts;
        int hungClearHalts = 0;  // clear-halt requests kept waiting (SetClearHaltHangs)
        size_t mostOutInFlight = 0;  // bulk OUT URBs submitted and not yet reaped, at the most
    };

    // Throws outside umockdev-wrapper, where libusb would see the machine's own buses.
    UsbPrinterBed();
    ~UsbPrinterBed();
    UsbPrinterBed(const UsbPrinterBed&) = delete;
    UsbPrinterBed& operator=(const UsbPrinterBed&) = delete;

    // Plugs a printer in; returns its index for the calls below.
    int Add(const Printer& printer);
    // Takes the printer off the bus: its sysfs entry goes, its node answers ENODEV, and its
    // pending transfers end (ESHUTDOWN).
    void Unplug(int index);
    // Puts an unplugged printer back, with a fresh device number as the kernel would.
    void PlugBack(int index);

    // Faults, kept until changed.
    void SetOpenFails(int index, bool fail);
    void SetClaimFails(int index, bool fail);
    void SetDetachFails(int index, bool fail);
    // Clear-halt requests wait (up to 10 s) until this is set false again, as behind a
    // printer that leaves the kernel's control request unanswered.
    void SetClearHaltHangs(int index, bool hang);
    // Faults for the coming bulk transfers, in order; once used up, transfers succeed
    // (an IN transfer with no answer queued waits until its timeout or an unplug).
    void QueueOutcome(int index, Outcome outcome, size_t shortLength = 0);
    // Bytes the printer has ready for the coming bulk IN transfers: sent in packets of its
    // packet size, the last one short (possibly empty). An answer that fills whole packets
    // has no short packet to end it: a transfer with room left then waits for its timeout.
    // A packet longer than the room left in the transfer fails it with an overflow and is
    // lost with the rest of the answer; what a full transfer leaves comes with the next one.
    // A bulk IN transfer waiting when the answer is queued gets it at once.
    void QueueAnswer(int index, const std::vector<uint8_t>& bytes);

    std::vector<Transfer> Transfers(int index) const;
    // Lengths of the bulk OUT transfers the printer accepted.
    std::vector<size_t> OutLengths(int index) const;
    // The bytes of those transfers, joined in order.
    std::vector<uint8_t> Accepted(int index) const;
    Counts GetCounts(int index) const;
    // Indices of the plugged printers in the order libusb lists them.
    std::vector<int> ListOrder() const;
    std::string DevNode(int index) const;

private:
    struct Urb;
    struct Device {
        Printer printer;
        bool plugged = true;
        bool openFails = false, claimFails = false, detachFails = false, clearHaltHangs = false;
        bool driverBound = true;
        int devnum = 0;
        std::string sysPath;
        std::string devNode;
        std::string hiddenNode;  // where the node socket waits while opening fails
        std::deque<std::pair<Outcome, size_t>> outcomes;
        std::deque<std::vector<uint8_t>> answers;
        std::vector<Transfer> transfers;
        Counts counts;
    };

    static int HandleIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static void ClientConnected(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static void ClientVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    bool Handle(UMockdevIoctlClient* client);
    void SubmitUrb(Device* device, UMockdevIoctlClient* client);
    // Starts the endpoint's waiting bulk URBs in order, up to the first one that is not done whole.
    void StartQueued(Device* device, UMockdevIoctlClient* client, int endpoint);
    // Plays the printer's next outcome on one bulk URB and records it.
    void StartBulk(Device* device, Urb* pending);
    // Places the next answer's packets in an IN URB of `length` bytes.
    void DeliverAnswer(Device* device, size_t length, Urb* pending);
    void ReapUrb(UMockdevIoctlClient* client);
    void DiscardUrb(UMockdevIoctlClient* client);
    Device* FindDevice(UMockdevIoctlClient* client);
    void AddToTestbed(Device& device);
    std::string DescriptorsHex(const Printer& printer) const;

    UMockdevTestbed* m_testbed;
    UMockdevIoctlBase* m_handler;
    std::string m_root;
    mutable std::mutex m_mutex;  // the handler runs on umockdev's own thread
    std::condition_variable m_changed;
    std::deque<Device> m_devices;
    std::vector<Urb*> m_urbs;  // submitted, not yet reaped
    int m_nextDevnum = 2;
};

#endif
