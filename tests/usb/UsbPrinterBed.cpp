#include "UsbPrinterBed.h"

#include <errno.h>
#include <libusb.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

constexpr int kBus = 1;
constexpr uint8_t kSerialIndex = 3;
constexpr size_t kSetupSize = 8;

void AppendHex(std::string& out, std::initializer_list<unsigned> bytes) {
    char sz[3];
    for (unsigned byte : bytes) {
        snprintf(sz, sizeof(sz), "%02x", byte & 0xffu);
        out += sz;
    }
}

// A string descriptor: length, type 3, UTF-16LE text.
std::vector<uint8_t> StringDescriptor(const std::string& text) {
    std::vector<uint8_t> desc = {static_cast<uint8_t>(2 + 2 * text.size()), LIBUSB_DT_STRING};
    for (char c : text) {
        desc.push_back(static_cast<uint8_t>(c));
        desc.push_back(0);
    }
    return desc;
}

// A bulk OUT transfer whose bytes the printer took, all or the first part.
bool AcceptedOut(const UsbPrinterBed::Transfer& transfer) {
    return (transfer.endpoint & LIBUSB_ENDPOINT_IN) == 0 &&
           (transfer.outcome == UsbPrinterBed::Outcome::Accept || transfer.outcome == UsbPrinterBed::Outcome::Short);
}

}  // namespace

// One submitted URB until it is reaped. `data` is the client's struct usbdevfs_urb,
// resolved together with its buffer so a reap can write both back.
struct UsbPrinterBed::Urb {
    Urb(UMockdevIoctlClient* c, UMockdevIoctlData* d) : client(c), data(d) {}
    UMockdevIoctlClient* client;
    UMockdevIoctlData* data;
    bool ready = false;
    int status = 0;
    int actualLength = 0;
    std::vector<uint8_t> answer;  // bytes to place in the buffer (after the setup packet)
    size_t answerOffset = 0;
    // A bulk URB waits in its endpoint's queue until the host controller comes to it.
    bool bulk = false;
    bool waiting = false;
    int endpoint = 0;
    size_t length = 0;
    std::vector<uint8_t> out;  // an OUT URB's bytes, taken at the submit

    // Done with all its bytes: the queue behind it goes on.
    bool Whole() const { return ready && status == 0 && static_cast<size_t>(actualLength) == length; }
};

UsbPrinterBed::UsbPrinterBed() {
    const char* preload = getenv("LD_PRELOAD");
    if (preload == nullptr || strstr(preload, "libumockdev-preload") == nullptr)
        throw std::runtime_error("emulated USB printers need umockdev-wrapper");
    m_testbed = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    m_root = root;
    g_free(root);
    m_handler = umockdev_ioctl_base_new();
    g_signal_connect_after(m_handler, "handle-ioctl", G_CALLBACK(&UsbPrinterBed::HandleIoctl), this);
    g_signal_connect(m_handler, "client-connected", G_CALLBACK(&UsbPrinterBed::ClientConnected), this);
    g_signal_connect(m_handler, "client-vanished", G_CALLBACK(&UsbPrinterBed::ClientVanished), this);
}

UsbPrinterBed::~UsbPrinterBed() {
    // Put hidden nodes back so the testbed removes its whole tree.
    for (int i = 0; i < static_cast<int>(m_devices.size()); ++i) SetOpenFails(i, false);
    g_object_unref(m_testbed);
    g_object_unref(m_handler);
    for (Urb* urb : m_urbs) {
        g_object_unref(urb->data);
        delete urb;
    }
}

std::string UsbPrinterBed::DescriptorsHex(const Printer& printer) const {
    std::string hex;
    // Device descriptor: USB 2.0, 64-byte control endpoint, strings 1..3, one configuration.
    const unsigned vendor = printer.vendor;
    const unsigned product = printer.product;
    AppendHex(hex, {18, LIBUSB_DT_DEVICE, 0x00, 0x02, 0, 0, 0, 64, vendor, vendor >> 8u, product, product >> 8u, 0x00,
                    0x01, 1, 2, printer.hasSerialString ? kSerialIndex : 0u, 1});
    const unsigned nEndpoints = static_cast<unsigned>(printer.endpoints.size());
    const unsigned total = 9 + 9 + 7 * nEndpoints;
    AppendHex(hex, {9, LIBUSB_DT_CONFIG, total, total >> 8u, 1, 1, 0, 0xc0, 50});
    // Interface 0: printer class, bidirectional.
    AppendHex(hex, {9, LIBUSB_DT_INTERFACE, 0, 0, nEndpoints, 7, 1, 2, 0});
    const unsigned packet = printer.packetSize;
    for (uint8_t address : printer.endpoints)
        AppendHex(hex, {7, LIBUSB_DT_ENDPOINT, address, 2, packet, packet >> 8u, 0});
    return hex;
}

void UsbPrinterBed::AddToTestbed(Device& device) {
    char node[64];
    snprintf(node, sizeof(node), "/dev/bus/usb/%03d/%03d", kBus, device.devnum);
    device.devNode = node;
    GError* error = nullptr;
    // The handler goes on the node first, so the node is a socket when libusb opens it.
    if (!umockdev_testbed_attach_ioctl(m_testbed, node, m_handler, &error)) {
        std::string message = error ? error->message : "attach_ioctl failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    char description[2048];
    snprintf(description, sizeof(description),
             "P: %s\nN: %s\nE: SUBSYSTEM=usb\nE: DRIVER=usb\nE: BUSNUM=%03d\nE: DEVNUM=%03d\nE: DEVNAME=%s\n"
             "E: DEVTYPE=usb_device\nA: bConfigurationValue=1\\n\nA: busnum=%d\\n\nA: devnum=%d\\n\n"
             "A: speed=480\\n\nH: descriptors=%s\n",
             device.sysPath.c_str(), node + strlen("/dev/"), kBus, device.devnum, node, kBus, device.devnum,
             DescriptorsHex(device.printer).c_str());
    if (!umockdev_testbed_add_from_string(m_testbed, description, &error)) {
        std::string message = error ? error->message : "add_from_string failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
}

int UsbPrinterBed::Add(const Printer& printer) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_devices.emplace_back();
    Device& device = m_devices.back();
    int index = static_cast<int>(m_devices.size()) - 1;
    device.printer = printer;
    device.driverBound = printer.driver == Printer::Bound;
    device.devnum = m_nextDevnum++;
    device.sysPath = "/devices/usb" + std::to_string(kBus) + "/" + std::to_string(kBus) + "-" + std::to_string(index + 1);
    lock.unlock();
    AddToTestbed(device);
    return index;
}

void UsbPrinterBed::Unplug(int index) {
    std::string sysPath;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Device& device = m_devices.at(index);
        if (!device.plugged) return;
        device.plugged = false;
        sysPath = "/sys" + device.sysPath;
        // As the kernel does, the transfers still pending end with the device.
        for (Urb* urb : m_urbs) {
            if (!urb->ready && FindDevice(urb->client) == &device) {
                urb->ready = true;
                urb->waiting = false;
                urb->status = -ESHUTDOWN;
                urb->actualLength = 0;
            }
        }
    }
    umockdev_testbed_remove_device(m_testbed, sysPath.c_str());
}

void UsbPrinterBed::PlugBack(int index) {
    Device* device;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        device = &m_devices.at(index);
        if (device->plugged) return;
        device->devnum = m_nextDevnum++;
        device->driverBound = device->printer.driver == Printer::Bound;
    }
    AddToTestbed(*device);
    std::lock_guard<std::mutex> lock(m_mutex);
    device->plugged = true;
}

void UsbPrinterBed::SetOpenFails(int index, bool fail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Device& device = m_devices.at(index);
    if (fail == device.openFails) return;
    std::string path = m_root + device.devNode;
    // A directory in the node's place makes libusb's open fail (EISDIR) while the path
    // still exists in the testbed, so nothing falls through to the machine's own /dev.
    if (fail) {
        device.hiddenNode = path + ".hidden";
        if (rename(path.c_str(), device.hiddenNode.c_str()) != 0 || mkdir(path.c_str(), 0755) != 0)
            throw std::runtime_error("cannot hide " + path);
    } else {
        if (rmdir(path.c_str()) != 0 || rename(device.hiddenNode.c_str(), path.c_str()) != 0)
            throw std::runtime_error("cannot restore " + path);
    }
    device.openFails = fail;
}

void UsbPrinterBed::SetClaimFails(int index, bool fail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices.at(index).claimFails = fail;
}

void UsbPrinterBed::SetClearHaltHangs(int index, bool hang) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices.at(index).clearHaltHangs = hang;
    m_changed.notify_all();
}

void UsbPrinterBed::SetDetachFails(int index, bool fail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices.at(index).detachFails = fail;
}

void UsbPrinterBed::QueueOutcome(int index, Outcome outcome, size_t shortLength) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices.at(index).outcomes.emplace_back(outcome, shortLength);
}

void UsbPrinterBed::QueueAnswer(int index, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Device& device = m_devices.at(index);
    device.answers.push_back(bytes);
    // A bulk IN transfer already waiting gets the answer as it comes, as from the bus.
    for (Urb* pending : m_urbs) {
        const usbdevfs_urb* urb = reinterpret_cast<const usbdevfs_urb*>(pending->data->data);
        if (pending->ready || FindDevice(pending->client) != &device || urb->type != USBDEVFS_URB_TYPE_BULK ||
            (urb->endpoint & LIBUSB_ENDPOINT_IN) == 0) {
            continue;
        }
        DeliverAnswer(&device, static_cast<size_t>(std::max(urb->buffer_length, 0)), pending);
        break;
    }
}

std::vector<UsbPrinterBed::Transfer> UsbPrinterBed::Transfers(int index) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_devices.at(index).transfers;
}

std::vector<size_t> UsbPrinterBed::OutLengths(int index) const {
    std::vector<size_t> lengths;
    for (const Transfer& transfer : Transfers(index)) {
        if (AcceptedOut(transfer)) lengths.push_back(transfer.data.size());
    }
    return lengths;
}

std::vector<uint8_t> UsbPrinterBed::Accepted(int index) const {
    std::vector<uint8_t> joined;
    for (const Transfer& transfer : Transfers(index)) {
        if (AcceptedOut(transfer)) joined.insert(joined.end(), transfer.data.begin(), transfer.data.end());
    }
    return joined;
}

UsbPrinterBed::Counts UsbPrinterBed::GetCounts(int index) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_devices.at(index).counts;
}

std::string UsbPrinterBed::DevNode(int index) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_devices.at(index).devNode;
}

std::vector<int> UsbPrinterBed::ListOrder() const {
    std::vector<int> order;
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) < 0) return order;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    std::lock_guard<std::mutex> lock(m_mutex);
    for (ssize_t i = 0; i < count; ++i) {
        int devnum = libusb_get_device_address(list[i]);
        for (size_t d = 0; d < m_devices.size(); ++d) {
            if (m_devices[d].plugged && m_devices[d].devnum == devnum) order.push_back(static_cast<int>(d));
        }
    }
    if (count >= 0) libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return order;
}

// ---- the usbdevfs side, on umockdev's handler thread ----

int UsbPrinterBed::HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    return static_cast<UsbPrinterBed*>(self)->Handle(client) ? TRUE : FALSE;
}

void UsbPrinterBed::ClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    UsbPrinterBed* bed = static_cast<UsbPrinterBed*>(self);
    std::lock_guard<std::mutex> lock(bed->m_mutex);
    if (Device* device = bed->FindDevice(client)) ++device->counts.opens;
}

void UsbPrinterBed::ClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    UsbPrinterBed* bed = static_cast<UsbPrinterBed*>(self);
    std::lock_guard<std::mutex> lock(bed->m_mutex);
    auto gone = std::stable_partition(bed->m_urbs.begin(), bed->m_urbs.end(),
                                      [client](Urb* urb) { return urb->client != client; });
    for (auto it = gone; it != bed->m_urbs.end(); ++it) {
        g_object_unref((*it)->data);
        delete *it;
    }
    bed->m_urbs.erase(gone, bed->m_urbs.end());
}

UsbPrinterBed::Device* UsbPrinterBed::FindDevice(UMockdevIoctlClient* client) {
    const char* node = umockdev_ioctl_client_get_devnode(client);
    if (node == nullptr) return nullptr;
    for (Device& device : m_devices) {
        if (device.devNode == node) return &device;
    }
    return nullptr;
}

bool UsbPrinterBed::Handle(UMockdevIoctlClient* client) {
    std::unique_lock<std::mutex> lock(m_mutex);
    Device* device = FindDevice(client);
    if (device == nullptr) return false;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const unsigned long request = umockdev_ioctl_client_get_request(client);

    // Reaping and discarding work on a device that has gone, as usbfs allows.
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        ReapUrb(client);
        return true;
    }
    if (request == USBDEVFS_DISCARDURB) {
        DiscardUrb(client);
        return true;
    }
    if (!device->plugged) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32*>(caps->data) =
            USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(caps);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
        if (device->claimFails) {
            umockdev_ioctl_client_complete(client, -1, EBUSY);
        } else {
            ++device->counts.claims;
            umockdev_ioctl_client_complete(client, 0, 0);
        }
        return true;
    case USBDEVFS_RELEASEINTERFACE:
        ++device->counts.releases;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_CLEAR_HALT: {
        UMockdevIoctlData* endpoint = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
        device->counts.clearedHalts.push_back(static_cast<int>(*reinterpret_cast<unsigned int*>(endpoint->data)));
        if (device->clearHaltHangs) {
            // As a wedged printer keeps the kernel's control request waiting.
            ++device->counts.hungClearHalts;
            m_changed.wait_for(lock, std::chrono::seconds(10), [device] { return !device->clearHaltHangs; });
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(endpoint);
        return true;
    }
    case USBDEVFS_GETDRIVER: {
        ++device->counts.driverQueries;
        if (device->printer.driver == Printer::QueryFails) {
            umockdev_ioctl_client_complete(client, -1, EIO);
        } else if (!device->driverBound) {
            umockdev_ioctl_client_complete(client, -1, ENODATA);
        } else {
            UMockdevIoctlData* query = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
            snprintf(reinterpret_cast<usbdevfs_getdriver*>(query->data)->driver, USBDEVFS_MAXDRIVERNAME + 1, "usblp");
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(query);
        }
        return true;
    }
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData* command = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
        int code = reinterpret_cast<usbdevfs_ioctl*>(command->data)->ioctl_code;
        g_object_unref(command);
        if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            if (device->detachFails) {
                umockdev_ioctl_client_complete(client, -1, EIO);
            } else if (!device->driverBound) {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
            } else {
                device->driverBound = false;
                ++device->counts.detaches;
                umockdev_ioctl_client_complete(client, 0, 0);
            }
        } else if (code == static_cast<int>(USBDEVFS_CONNECT)) {
            ++device->counts.attaches;
            device->driverBound = device->printer.driver == Printer::Bound;
            umockdev_ioctl_client_complete(client, 0, 0);
        } else {
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
        }
        return true;
    }
    case USBDEVFS_SUBMITURB:
        SubmitUrb(device, client);
        return true;
    default:
        return false;
    }
}

void UsbPrinterBed::SubmitUrb(Device* device, UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
    const size_t length = urb->buffer_length > 0 ? static_cast<size_t>(urb->buffer_length) : 0;
    UMockdevIoctlData* buffer = nullptr;
    if (length > 0)
        buffer = umockdev_ioctl_data_resolve(data, G_STRUCT_OFFSET(usbdevfs_urb, buffer), length, nullptr);
    const uint8_t* bytes = buffer != nullptr ? buffer->data : nullptr;

    Urb* pending = new Urb(client, data);
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        // Only string descriptor requests are answered; anything else stalls.
        pending->ready = true;
        pending->status = -EPIPE;
        if (length >= kSetupSize && bytes[0] == 0x80 && bytes[1] == LIBUSB_REQUEST_GET_DESCRIPTOR &&
            bytes[3] == LIBUSB_DT_STRING) {
            const uint8_t index = bytes[2];
            const size_t wanted = std::min<size_t>(bytes[6] | (bytes[7] << 8), length - kSetupSize);
            std::vector<uint8_t> answer;
            if (index == 0) {
                answer = {4, LIBUSB_DT_STRING, 0x09, 0x04};  // English (US) only
            } else if (index == kSerialIndex && device->printer.serialReadable) {
                answer = StringDescriptor(device->printer.serial);
            }
            if (!answer.empty()) {
                answer.resize(std::min(answer.size(), wanted));
                pending->status = 0;
                pending->answer = answer;
                pending->answerOffset = kSetupSize;
                pending->actualLength = static_cast<int>(answer.size());
            }
        }
    } else {
        pending->bulk = true;
        pending->waiting = true;
        pending->endpoint = urb->endpoint;
        pending->length = length;
        if ((urb->endpoint & LIBUSB_ENDPOINT_IN) == 0 && bytes != nullptr) pending->out.assign(bytes, bytes + length);
    }
    m_urbs.push_back(pending);
    if (pending->bulk && (pending->endpoint & LIBUSB_ENDPOINT_IN) == 0) {
        const size_t nOut = static_cast<size_t>(std::count_if(m_urbs.begin(), m_urbs.end(), [&](const Urb* other) {
            return other->client == client && other->bulk && other->endpoint == pending->endpoint;
        }));
        device->counts.mostOutInFlight = std::max(device->counts.mostOutInFlight, nOut);
    }
    if (pending->bulk) StartQueued(device, client, pending->endpoint);
    if (buffer != nullptr) g_object_unref(buffer);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbPrinterBed::StartQueued(Device* device, UMockdevIoctlClient* client, int endpoint) {
    for (Urb* pending : m_urbs) {
        if (pending->client != client || !pending->bulk || pending->endpoint != endpoint) continue;
        if (pending->waiting) StartBulk(device, pending);
        if (!pending->Whole()) return;
    }
}

void UsbPrinterBed::StartBulk(Device* device, Urb* pending) {
    pending->waiting = false;
    const size_t length = pending->length;
    const uint8_t* bytes = pending->out.empty() ? nullptr : pending->out.data();
    Transfer record{pending->endpoint, length, {}, Outcome::Accept};
    size_t shortLength = 0;
    if (!device->outcomes.empty()) {
        record.outcome = device->outcomes.front().first;
        shortLength = device->outcomes.front().second;
        device->outcomes.pop_front();
    }
    const bool in = (pending->endpoint & LIBUSB_ENDPOINT_IN) != 0;
    const bool cut = record.outcome != Outcome::Accept;
    switch (record.outcome) {
    case Outcome::Accept:
    case Outcome::Short:
    case Outcome::Timeout:
        if (in) {
            // A timeout before any byte leaves the answers for the next transfer.
            if (record.outcome == Outcome::Timeout && shortLength == 0) break;
            if (cut && !device->answers.empty())
                device->answers.front().resize(std::min(device->answers.front().size(), shortLength));
            DeliverAnswer(device, length, pending);
            record.data = pending->answer;
        } else {
            size_t taken = cut ? std::min(shortLength, length) : length;
            if (taken > 0) record.data.assign(bytes, bytes + taken);
            pending->ready = true;
            pending->actualLength = static_cast<int>(taken);
        }
        // The bytes so far stay with the URB until the timeout discards it.
        if (record.outcome == Outcome::Timeout) pending->ready = false;
        break;
    case Outcome::Error:
        pending->ready = true;
        pending->status = -EPROTO;
        break;
    case Outcome::Stall:
        pending->ready = true;
        pending->status = -EPIPE;
        break;
    }
    if (!in && length > 0 && (record.outcome == Outcome::Error || record.outcome == Outcome::Stall))
        record.data.assign(bytes, bytes + length);
    device->transfers.push_back(record);
}

void UsbPrinterBed::DeliverAnswer(Device* device, size_t length, Urb* pending) {
    if (device->answers.empty()) return;  // nothing to say: wait for the timeout
    std::vector<uint8_t> answer = device->answers.front();
    device->answers.pop_front();
    const size_t packet = std::max<size_t>(device->printer.packetSize, 1);
    size_t offset = 0;
    for (;;) {
        const size_t n = std::min(packet, answer.size() - offset);
        if (pending->answer.size() + n > length) {
            // Babble: the packet does not fit, and the host controller drops it.
            pending->ready = true;
            pending->status = -EOVERFLOW;
            break;
        }
        pending->answer.insert(pending->answer.end(), answer.begin() + static_cast<long>(offset),
                               answer.begin() + static_cast<long>(offset + n));
        offset += n;
        if (n < packet) {  // a short packet ends the transfer
            pending->ready = true;
            break;
        }
        if (pending->answer.size() == length) {  // a full transfer ends; the rest waits
            pending->ready = true;
            if (offset < answer.size())
                device->answers.emplace_front(answer.begin() + static_cast<long>(offset), answer.end());
            break;
        }
        if (offset == answer.size()) break;  // whole packets only: nothing says the answer is over
    }
    pending->actualLength = static_cast<int>(pending->answer.size());
}

void UsbPrinterBed::ReapUrb(UMockdevIoctlClient* client) {
    auto it = std::find_if(m_urbs.begin(), m_urbs.end(),
                           [client](Urb* urb) { return urb->client == client && urb->ready; });
    if (it == m_urbs.end()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    Urb* pending = *it;
    m_urbs.erase(it);
    usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(pending->data->data);
    urb->status = pending->status;
    urb->actual_length = pending->actualLength;
    if (!pending->answer.empty())
        memcpy(static_cast<uint8_t*>(urb->buffer) + pending->answerOffset, pending->answer.data(), pending->answer.size());
    UMockdevIoctlData* pointer =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(gpointer), nullptr);
    umockdev_ioctl_data_set_ptr(pointer, 0, pending->data);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(pointer);
    g_object_unref(pending->data);
    delete pending;
}

void UsbPrinterBed::DiscardUrb(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    gulong address = reinterpret_cast<gulong>(*reinterpret_cast<void**>(arg->data));
    for (Urb* pending : m_urbs) {
        if (pending->client == client && pending->data->client_addr == address && !pending->ready) {
            // What got through before the discard stays in the URB, as usbfs reports it; a
            // URB still waiting in its queue never started.
            pending->ready = true;
            pending->waiting = false;
            pending->status = -ENOENT;
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}
