#include "ComPortUsb.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CGenericFunctions.h"
#include "CLog.h"

namespace {

constexpr const char* kVendorId = "0C3B";
constexpr int kInterface = 0;
constexpr size_t kTextSize = 256;
constexpr size_t kCleared = 255;
constexpr size_t kStringSize = 1024;
// A full-speed bulk packet; taken when the IN endpoint's descriptor gives no size.
constexpr int kDefaultPacketSize = 64;
// The most one read asks libusb for, before rounding up to whole packets.
constexpr unsigned long kMaxReadRequest = 16384;
// A transfer's wait for libusb's events is taken in steps of this many seconds, as
// libusb_bulk_transfer takes it.
constexpr long kEventWaitSeconds = 60;
// The control requests of discovery (string descriptors) wait this long at most: a printer
// that answers them at all answers at once.
constexpr unsigned int kControlTimeoutMs = 500;
constexpr uint16_t kMaxDescriptorSize = 255;

void LIBUSB_CALL TransferDone(libusb_transfer* pTransfer) { *static_cast<int*>(pTransfer->user_data) = 1; }

// The result libusb_bulk_transfer gives for a finished transfer's status.
int ResultOf(libusb_transfer_status eStatus) {
    switch (eStatus) {
    case LIBUSB_TRANSFER_COMPLETED:
        return 0;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
        return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_OVERFLOW:
        return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    default:
        return LIBUSB_ERROR_IO;
    }
}

}  // namespace

CComPortUsb::CComPortUsb()
    : m_bOpened(false),
      m_strPID{},
      m_strAddress{},
      m_nEndpointIn(0),
      m_nEndpointOut(0),
      m_pDeviceList(nullptr),
      m_hDevice(nullptr),
      m_nPacketSizeIn(kDefaultPacketSize),
      m_bDriverDetached(false),
      m_nDetachedBus(0),
      m_nDetachedDevice(0),
      m_bLibusbStarted(false),
      m_nKeptFrom(0),
      m_nKeptCount(0),
      m_pTransfer(nullptr),
      m_bTransferIsRead(false) {
    m_nTimeoutTX = 1000;
    m_nTimeoutRX = 1000;
    m_nMaxPacketSize = 1000;
}

CComPortUsb::~CComPortUsb() = default;

bool CComPortUsb::Init(char* szProductId, char* szAddress) {
    ClearLastError();
    if (strnlen(szProductId, kStringSize) >= kStringSize || strnlen(szAddress, kStringSize) >= kStringSize) {
        return Conclude(Fail("Init", "Init Error: parameter too long", FailureCause::BadSetting));
    }
    // A reopening Write hands back the stored strings themselves: nothing to copy then.
    if (szProductId != m_strPID) strcpy(m_strPID, szProductId);
    if (szAddress != m_strAddress) strcpy(m_strAddress, szAddress);

    // An earlier Init that failed after starting libusb left its start and list here.
    ClosePort();
    ReleaseLibusb();

    if (libusb_init(nullptr) < 0) return Conclude(Fail("Init", "libusb_init error", FailureCause::UsbUnavailable));
    m_bLibusbStarted = true;
    libusb_device** pList = nullptr;
    if (libusb_get_device_list(nullptr, &pList) < 0) {
        return Conclude(Fail("Init", "libusb_get_device_list error", FailureCause::UsbUnavailable));
    }
    m_pDeviceList = pList;
    return Conclude(FindDevice(const_cast<char*>(kVendorId), szProductId, atoi(szAddress)));
}

Outcome CComPortUsb::FindDevice(char* szVendorId, char* szProductId, int nAddress) {
    ClearLastError();
    // No printer of that product ID and address: an empty text.
    const Outcome notFound = Outcome::Failed("", FailureCause::NotFound);
    for (libusb_device** ppEntry = m_pDeviceList; *ppEntry != nullptr; ++ppEntry) {
        // A close that has begun ends the search: it would otherwise wait for the printer's
        // requests below.
        if (ReadsAborted()) return Outcome::Failed("", FailureCause::PortClosing);
        libusb_device* pDevice = *ppEntry;
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(pDevice, &desc) < 0) {
            return Fail("FindDevice", "failed to get device descriptor");
        }
        char szVendor[kTextSize];
        char szProduct[kTextSize];
        memset(szVendor, 0, kCleared);
        memset(szProduct, 0, kCleared);
        snprintf(szVendor, sizeof(szVendor), "%04x", desc.idVendor);
        snprintf(szProduct, sizeof(szProduct), "%04x", desc.idProduct);
        GenericFunctions::ToUpper(szVendor);
        GenericFunctions::ToUpper(szProduct);
        if (strcmp(szVendor, szVendorId) != 0 || strcmp(szProduct, szProductId) != 0) continue;

        if (libusb_open(pDevice, &m_hDevice) != 0) {
            m_hDevice = nullptr;
            return Fail("FindDevice", "Couldn't open device", FailureCause::CannotOpen);
        }
        unsigned char serial[kTextSize];
        memset(serial, 0, kCleared);
        serial[kTextSize - 1] = 0;
        // String index 0 means the printer has no serial number: it stays empty.
        if (desc.iSerialNumber != 0 && ReadStringAscii(desc.iSerialNumber, serial, sizeof(serial)) < 0) {
            CloseHandle();
            return Fail("FindDevice", "Coudn't get serial string", FailureCause::SerialUnreadable);
        }
        // The last character of the serial number selects among printers of one product
        // ID; an empty serial number matches every address.
        size_t nSerialLength = strlen(reinterpret_cast<char*>(serial));
        int nDigit = nSerialLength == 0 ? -1 : static_cast<int>(serial[nSerialLength - 1]) - '0';
        if (nDigit != nAddress && nSerialLength != 0) {
            CloseHandle();
            continue;
        }

        if (!ReadEndpoints(pDevice)) {
            CloseHandle();
            return Fail("FindDevice", "libusb_get_active_config_descriptor error");
        }
        if (ReadsAborted()) {
            CloseHandle();
            return Outcome::Failed("", FailureCause::PortClosing);
        }
        // Rediscovery after the printer was plugged in again found another device: the one
        // whose driver the port took (if still there) gets it back first.
        const uint8_t nBus = libusb_get_bus_number(pDevice);
        const uint8_t nDevice = libusb_get_device_address(pDevice);
        if (m_bDriverDetached && (nBus != m_nDetachedBus || nDevice != m_nDetachedDevice)) {
            m_bDriverDetached = false;
            ReattachByAddress();
        }
        // Only a definite "driver bound" answer leads to a detach; an error (no kernel
        // driver support) is not a reason to give up the printer.
        if (libusb_kernel_driver_active(m_hDevice, kInterface) == 1) {
            if (libusb_detach_kernel_driver(m_hDevice, kInterface) != 0) {
                CloseHandle();
                return Fail("FindDevice", "libusb_detach_kernel_driver error", FailureCause::DriverHeld);
            }
            m_bDriverDetached = true;
            m_nDetachedBus = nBus;
            m_nDetachedDevice = nDevice;
        }
        // Each request waits up to the kernel's control timeout: none is made once a close
        // has begun.
        if (!ReadsAborted()) libusb_clear_halt(m_hDevice, static_cast<unsigned char>(m_nEndpointIn));
        if (!ReadsAborted()) libusb_clear_halt(m_hDevice, static_cast<unsigned char>(m_nEndpointOut));
        return Outcome::Moved(0);
    }
    return notFound;
}

int CComPortUsb::ReadStringAscii(uint8_t nIndex, unsigned char* pText, size_t nSize) {
    // As libusb_get_string_descriptor_ascii does: the first language the printer names,
    // then the string in it, each character outside ASCII shown as '?'. Through the
    // transfers a close can cancel, with a short timeout of their own.
    unsigned char desc[kMaxDescriptorSize];
    int nResult = ControlIn((LIBUSB_DT_STRING << 8) | 0, 0, desc, sizeof(desc));
    if (nResult < 0) return nResult;
    if (nResult < 4) return LIBUSB_ERROR_IO;
    const uint16_t nLanguage = static_cast<uint16_t>(desc[2] | (desc[3] << 8));
    nResult = ControlIn(static_cast<uint16_t>((LIBUSB_DT_STRING << 8) | nIndex), nLanguage, desc, sizeof(desc));
    if (nResult < 0) return nResult;
    if (nResult < 2 || desc[1] != LIBUSB_DT_STRING || desc[0] > nResult) return LIBUSB_ERROR_IO;
    size_t nOut = 0;
    for (size_t i = 2; i + 1 < desc[0] && nOut + 1 < nSize; i += 2) {
        pText[nOut++] = (desc[i] & 0x80) != 0 || desc[i + 1] != 0 ? '?' : desc[i];
    }
    pText[nOut] = 0;
    return static_cast<int>(nOut);
}

int CComPortUsb::ControlIn(uint16_t nValue, uint16_t nIndex, unsigned char* pData, uint16_t nLength) {
    std::vector<unsigned char> buffer(LIBUSB_CONTROL_SETUP_SIZE + nLength);
    libusb_fill_control_setup(buffer.data(), LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, nValue, nIndex,
                              nLength);
    libusb_transfer* pTransfer = libusb_alloc_transfer(0);
    if (pTransfer == nullptr) return LIBUSB_ERROR_NO_MEM;
    libusb_fill_control_transfer(pTransfer, m_hDevice, buffer.data(), nullptr, nullptr, kControlTimeoutMs);
    int nTransferred = 0;
    const int nResult = RunTransfer(pTransfer, true, &nTransferred);
    if (nResult != 0) return nResult;
    memcpy(pData, buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, static_cast<size_t>(nTransferred));
    return nTransferred;
}

bool CComPortUsb::ReadEndpoints(libusb_device* pDevice) {
    libusb_config_descriptor* pConfig = nullptr;
    if (libusb_get_active_config_descriptor(pDevice, &pConfig) != 0 || pConfig == nullptr) return false;
    bool bFound = false;
    if (pConfig->bNumInterfaces >= 1 && pConfig->interface != nullptr && pConfig->interface[0].num_altsetting >= 1) {
        const libusb_interface_descriptor& setting = pConfig->interface[0].altsetting[0];
        if (setting.bNumEndpoints >= 2 && setting.endpoint != nullptr) {
            int nFirst = setting.endpoint[0].bEndpointAddress;
            int nSecond = setting.endpoint[1].bEndpointAddress;
            bool bFirstIsIn = (nFirst & LIBUSB_ENDPOINT_IN) != 0;
            m_nEndpointIn = bFirstIsIn ? nFirst : nSecond;
            m_nEndpointOut = bFirstIsIn ? nSecond : nFirst;
            // Bits 0..10 are the packet size; bits 11 and 12 only count isochronous extras.
            int nPacket = setting.endpoint[bFirstIsIn ? 0 : 1].wMaxPacketSize & 0x7ff;
            m_nPacketSizeIn = nPacket > 0 ? nPacket : kDefaultPacketSize;
            bFound = true;
        }
    }
    libusb_free_config_descriptor(pConfig);
    return bFound;
}

bool CComPortUsb::Open() {
    ClearLastError();
    if (m_hDevice == nullptr || libusb_claim_interface(m_hDevice, kInterface) < 0) {
        // The service never got the printer: the driver has it back at once.
        GiveDriverBack();
        CloseHandle();
        return Conclude(Fail("Open", "libusb_claim_interface error", FailureCause::Claimed));
    }
    m_bOpened = true;
    return Conclude(Outcome::Moved(0));
}

unsigned long CComPortUsb::Write(unsigned char* pData, unsigned long nLength, unsigned long* pnError) {
    ClearLastError();
    if (!m_bOpened) {
        // A failed transfer closed the port: find the printer again before writing, unless a
        // close has begun (also while the printer was being found).
        const Outcome closing = Outcome::Failed("Write Error", FailureCause::PortClosing);
        if (ReadsAborted()) return Conclude(closing, pnError);
        if (!Init(m_strPID, m_strAddress)) {
            return Conclude(Outcome::Failed("Write Error---> error to reinit device", LastOutcome().eCause), pnError);
        }
        if (ReadsAborted()) return Conclude(closing, pnError);
        if (!Open()) return Conclude(Outcome::Failed("Write Error---> error to oen device", FailureCause::Claimed), pnError);
    }
    // A job below the chunk size is one transfer; a longer one keeps several in flight.
    if (nLength < m_nMaxPacketSize) return Conclude(UsbWrite(pData, nLength), pnError);
    return Conclude(WriteInFlight(pData, nLength), pnError);
}

Outcome CComPortUsb::UsbWrite(unsigned char* pData, unsigned long nLength) {
    unsigned long nSent = 0;
    const int nResult = BulkTransfer(m_nEndpointOut, pData, nLength, m_nTimeoutTX, &nSent);
    // A transfer that failed part way (a timeout, a printer that stopped taking data) has
    // still put its first bytes on the printer.
    nSent = std::min(nSent, nLength);
    if (nResult != 0) return Outcome::Failed("Write Error", FailureCause::Other, nSent);
    return Outcome::Moved(nSent);
}

// One chunk of a write in flight: its transfer, and whether libusb has given it back.
struct CComPortUsb::WriteSlot {
    CComPortUsb* pPort = nullptr;
    libusb_transfer* pTransfer = nullptr;
    int nCompleted = 0;
};

Outcome CComPortUsb::WriteInFlight(unsigned char* pData, unsigned long nLength) {
    using SystemCalls::Deadline;
    using SystemCalls::ZeroTimeout;
    WriteSlot slots[kWritesInFlight];
    int nFailure = 0;  // libusb's result for the first chunk, in order, that failed
    for (WriteSlot& slot : slots) {
        slot.pPort = this;
        slot.pTransfer = libusb_alloc_transfer(0);
        if (slot.pTransfer == nullptr) nFailure = LIBUSB_ERROR_NO_MEM;
    }
    unsigned long nNext = 0;   // where the next chunk to submit starts
    unsigned long nTaken = 0;  // what the printer took, in order
    unsigned long nMoved = 0;  // that, and the part of a failed chunk
    size_t nHead = 0;          // the oldest chunk in flight, in slots
    size_t nFlying = 0;
    int nSubmitFailure = 0;    // a submit that failed: the write fails once the chunks before it are in
    auto submit = [&]() {
        while (nFailure == 0 && nSubmitFailure == 0 && nFlying < kWritesInFlight && nNext < nLength) {
            WriteSlot& slot = slots[(nHead + nFlying) % kWritesInFlight];
            const int nChunk = static_cast<int>(std::min(m_nMaxPacketSize, nLength - nNext));
            slot.nCompleted = 0;
            // No libusb timeout: a chunk's time runs from the end of the chunk before it.
            libusb_fill_bulk_transfer(slot.pTransfer, m_hDevice, static_cast<unsigned char>(m_nEndpointOut & 0xff),
                                      pData + nNext, nChunk, ChunkDone, &slot, 0);
            std::lock_guard<std::mutex> lock(m_transferLock);
            nSubmitFailure = WritesAborted() ? kEndedByClose : libusb_submit_transfer(slot.pTransfer);
            if (nSubmitFailure != 0) break;
            m_writesInFlight.push_back(slot.pTransfer);
            nNext += static_cast<unsigned long>(nChunk);
            ++nFlying;
        }
    };
    // Cancels everything in flight and waits until libusb has given it all back.
    auto cancelAll = [&]() {
        {
            std::lock_guard<std::mutex> lock(m_transferLock);
            CancelChunksFrom(0);
        }
        for (size_t i = 0; i < nFlying; ++i) {
            WriteSlot& slot = slots[(nHead + i) % kWritesInFlight];
            while (slot.nCompleted == 0) {
                timeval wait{kEventWaitSeconds, 0};
                libusb_handle_events_timeout_completed(nullptr, &wait, &slot.nCompleted);
            }
        }
        nHead = (nHead + nFlying) % kWritesInFlight;
        nFlying = 0;
    };

    submit();
    Deadline deadline(m_nTimeoutTX, ZeroTimeout::NoLimit);
    bool bCancelled = false;
    bool bTimedOut = false;
    while (nFlying > 0) {
        WriteSlot& head = slots[nHead];
        while (head.nCompleted == 0) {
            const int nLeftMs = deadline.RemainingMs();
            if (nLeftMs == 0 && !bCancelled) {
                std::lock_guard<std::mutex> lock(m_transferLock);
                CancelChunksFrom(0);
                bCancelled = bTimedOut = true;
            }
            timeval wait{kEventWaitSeconds, 0};
            if (nLeftMs > 0 && nLeftMs < kEventWaitSeconds * 1000) wait = {nLeftMs / 1000, (nLeftMs % 1000) * 1000};
            int nHandled = libusb_handle_events_timeout_completed(nullptr, &wait, &head.nCompleted);
            if (nHandled < 0 && nHandled != LIBUSB_ERROR_INTERRUPTED && !bCancelled) {
                std::lock_guard<std::mutex> lock(m_transferLock);
                CancelChunksFrom(0);
                bCancelled = true;
            }
        }
        const libusb_transfer* pTransfer = head.pTransfer;
        const unsigned long nActual =
            std::min(static_cast<unsigned long>(std::max(pTransfer->actual_length, 0)),
                     static_cast<unsigned long>(pTransfer->length));
        nHead = (nHead + 1) % kWritesInFlight;
        --nFlying;
        nMoved += nActual;
        if (pTransfer->status != LIBUSB_TRANSFER_COMPLETED) {
            bool bEndedByClose = pTransfer->status == LIBUSB_TRANSFER_CANCELLED && WritesAborted();
            nFailure = bEndedByClose ? kEndedByClose
                       : (bTimedOut && pTransfer->status == LIBUSB_TRANSFER_CANCELLED) ? LIBUSB_ERROR_TIMEOUT
                                                                                       : ResultOf(pTransfer->status);
            cancelAll();
            break;
        }
        nTaken += nActual;
        if (nActual < static_cast<unsigned long>(pTransfer->length)) {
            // The printer took part of the chunk without an error: the chunks behind it are
            // cancelled (by ChunkDone), and the job goes on from the first byte it did not
            // take; a chunk it took nothing of ends the job with the count so far.
            cancelAll();
            if (nActual == 0) break;
            nNext = nTaken;
        }
        deadline = Deadline(m_nTimeoutTX, ZeroTimeout::NoLimit);
        submit();
        if (nFlying == 0 && nSubmitFailure != 0) nFailure = nSubmitFailure;
    }
    if (nFailure == 0 && nSubmitFailure != 0) nFailure = nSubmitFailure;
    for (WriteSlot& slot : slots) libusb_free_transfer(slot.pTransfer);
    if (nFailure == 0) return Outcome::Moved(nTaken);
    // As after any failed transfer: the next Write finds the printer again, and the kernel
    // driver stays detached until the service lets the printer go.
    ClosePort();
    ReleaseLibusb();
    return Outcome::Failed("Write Error", FailureCause::Other, nMoved);
}

void LIBUSB_CALL CComPortUsb::ChunkDone(libusb_transfer* pTransfer) {
    WriteSlot* pSlot = static_cast<WriteSlot*>(pTransfer->user_data);
    CComPortUsb* pPort = pSlot->pPort;
    {
        std::lock_guard<std::mutex> lock(pPort->m_transferLock);
        std::vector<libusb_transfer*>& flying = pPort->m_writesInFlight;
        auto it = std::find(flying.begin(), flying.end(), pTransfer);
        if (it != flying.end()) {
            // Cancelled here, before libusb hands on the next completion, so the printer
            // does not get the chunks behind one that did not go through whole.
            const size_t nIndex = static_cast<size_t>(it - flying.begin());
            if (pTransfer->status != LIBUSB_TRANSFER_COMPLETED || pTransfer->actual_length != pTransfer->length)
                pPort->CancelChunksFrom(nIndex + 1);
            flying.erase(flying.begin() + static_cast<long>(nIndex));
        }
    }
    pSlot->nCompleted = 1;
}

void CComPortUsb::CancelChunksFrom(size_t nFirst) {
    for (size_t i = m_writesInFlight.size(); i > nFirst; --i) libusb_cancel_transfer(m_writesInFlight[i - 1]);
}

unsigned long CComPortUsb::Read(unsigned char* pBuffer, unsigned long nLength, unsigned long* pnError) {
    ClearLastError();
    return Conclude(UsbRead(pBuffer, nLength), pnError);
}

Outcome CComPortUsb::UsbRead(unsigned char* pBuffer, unsigned long nLength) {
    static const char kReadTimeout[] = "Read timeout! No data read";
    if (m_nKeptCount > 0) return Outcome::Moved(HandOutKept(pBuffer, nLength));

    // The host controller takes a bulk IN packet only whole: a request shorter than the
    // printer's packet (its answer behind an automatic status, say) fails with an
    // overflow, and the packet is lost. So the transfer asks for whole packets.
    const unsigned long nPacket = static_cast<unsigned long>(m_nPacketSizeIn);
    const unsigned long nWanted = std::min(std::max(nLength, 1UL), kMaxReadRequest);
    const unsigned long nRequest = (nWanted + nPacket - 1) / nPacket * nPacket;
    if (m_readBuffer.size() < nRequest) m_readBuffer.resize(nRequest);
    // The transfer waits what is left of the receive timeout (0: no limit). With nothing
    // left there is no transfer: the answer has ended, and nothing failed.
    const int nLeftMs = ReceiveDeadline(SystemCalls::ZeroTimeout::NoLimit).RemainingMs();
    if (nLeftMs == 0 && m_bOpened) return Outcome::EndedWith(kReadTimeout);
    unsigned long nRead = 0;
    const int nResult = BulkTransfer(m_nEndpointIn, m_readBuffer.data(), nRequest,
                                     nLeftMs < 0 ? 0 : static_cast<unsigned long>(nLeftMs), &nRead);
    nRead = std::min(nRead, nRequest);
    if (nResult == 0) {
        m_nKeptFrom = 0;
        m_nKeptCount = nRead;
        return Outcome::Moved(HandOutKept(pBuffer, nLength));
    }
    // The port is closed now. A close from another thread ends the read as its timeout
    // would. An answer that is a whole number of packets has no short packet to end it, so
    // it ends with the timeout: its bytes are still the answer.
    if (nResult == LIBUSB_ERROR_TIMEOUT || nResult == kEndedByClose) {
        nRead = std::min(nRead, nLength);
        memcpy(pBuffer, m_readBuffer.data(), nRead);
        return Outcome::EndedWith(kReadTimeout, nRead);
    }
    return Outcome::Failed(kReadTimeout);
}

unsigned long CComPortUsb::HandOutKept(unsigned char* pBuffer, unsigned long nLength) {
    unsigned long nGiven = std::min(nLength, m_nKeptCount);
    memcpy(pBuffer, m_readBuffer.data() + m_nKeptFrom, nGiven);
    m_nKeptFrom += nGiven;
    m_nKeptCount -= nGiven;
    return nGiven;
}

int CComPortUsb::BulkTransfer(int nEndpoint, unsigned char* pData, unsigned long nLength, unsigned long nTimeout,
                              unsigned long* pnTransferred) {
    int nTransferred = 0;
    int nResult = -1;
    // A port closed by a failed transfer has no handle to use; only Write reopens it.
    if (m_bOpened) {
        const unsigned char nAddress = static_cast<unsigned char>(nEndpoint & 0xff);
        libusb_transfer* pTransfer = libusb_alloc_transfer(0);
        nResult = LIBUSB_ERROR_NO_MEM;
        if (pTransfer != nullptr) {
            libusb_fill_bulk_transfer(pTransfer, m_hDevice, nAddress, pData, static_cast<int>(nLength), nullptr,
                                      nullptr, SystemCalls::ClampTimeoutMs(nTimeout));
            nResult = RunTransfer(pTransfer, (nAddress & LIBUSB_ENDPOINT_IN) != 0, &nTransferred);
        }
    }
    *pnTransferred = static_cast<unsigned long>(std::max(nTransferred, 0));
    if (nResult == 0) return 0;
    // The next Write finds the printer again. The kernel driver stays detached until the
    // service lets the printer go (Close): giving it back between jobs would let the
    // driver, or another program, take the printer.
    ClosePort();
    ReleaseLibusb();
    return nResult;
}

int CComPortUsb::RunTransfer(libusb_transfer* pTransfer, bool bRead, int* pnTransferred) {
    int nCompleted = 0;
    pTransfer->callback = TransferDone;
    pTransfer->user_data = &nCompleted;
    int nResult = kEndedByClose;
    {
        // Abort() looks at the transfer under the same lock, so it either sees it or the
        // transfer sees the close before it starts.
        std::lock_guard<std::mutex> lock(m_transferLock);
        if (!(bRead ? ReadsAborted() : WritesAborted())) {
            nResult = libusb_submit_transfer(pTransfer);
            if (nResult == 0) {
                m_pTransfer = pTransfer;
                m_bTransferIsRead = bRead;
            }
        }
    }
    if (nResult != 0) {
        libusb_free_transfer(pTransfer);
        return nResult;
    }
    // As libusb_bulk_transfer waits: events are handled until the transfer has finished; a
    // failure to handle them cancels it, and the cancelled transfer is waited for.
    while (nCompleted == 0) {
        timeval wait{kEventWaitSeconds, 0};
        int nHandled = libusb_handle_events_timeout_completed(nullptr, &wait, &nCompleted);
        if (nHandled < 0 && nHandled != LIBUSB_ERROR_INTERRUPTED) libusb_cancel_transfer(pTransfer);
    }
    bool bEndedByClose;
    {
        std::lock_guard<std::mutex> lock(m_transferLock);
        m_pTransfer = nullptr;
        bEndedByClose = pTransfer->status == LIBUSB_TRANSFER_CANCELLED && (bRead ? ReadsAborted() : WritesAborted());
    }
    *pnTransferred = pTransfer->actual_length;
    nResult = bEndedByClose ? kEndedByClose : ResultOf(pTransfer->status);
    libusb_free_transfer(pTransfer);
    return nResult;
}

void CComPortUsb::Abort(bool bWritesToo) {
    CComPort::Abort(bWritesToo);
    std::lock_guard<std::mutex> lock(m_transferLock);
    if (m_pTransfer != nullptr && (m_bTransferIsRead || bWritesToo)) libusb_cancel_transfer(m_pTransfer);
    if (bWritesToo) CancelChunksFrom(0);
}

bool CComPortUsb::ClosePort() {
    if (m_bOpened) libusb_release_interface(m_hDevice, kInterface);
    m_bOpened = false;
    CloseHandle();
    m_nKeptCount = 0;
    return true;
}

void CComPortUsb::CloseHandle() {
    if (m_hDevice != nullptr) libusb_close(m_hDevice);
    m_hDevice = nullptr;
}

void CComPortUsb::GiveDriverBack() {
    if (!m_bDriverDetached) return;
    m_bDriverDetached = false;
    if (m_hDevice != nullptr) {
        if (m_bOpened) libusb_release_interface(m_hDevice, kInterface);
        m_bOpened = false;
        libusb_attach_kernel_driver(m_hDevice, kInterface);
        return;
    }
    // The handle went with a failed transfer: the printer is opened once more for it.
    ReattachByAddress();
}

void CComPortUsb::ReattachByAddress() {
    // Only while it is still on the bus at the same address: a printer plugged in again is
    // a new device, which has its driver already.
    const bool bStartedHere = !m_bLibusbStarted;
    if (bStartedHere && libusb_init(nullptr) < 0) return;
    libusb_device** pList = nullptr;
    const ssize_t nDevices = libusb_get_device_list(nullptr, &pList);
    for (ssize_t i = 0; i < nDevices; ++i) {
        if (libusb_get_bus_number(pList[i]) != m_nDetachedBus ||
            libusb_get_device_address(pList[i]) != m_nDetachedDevice) {
            continue;
        }
        libusb_device_handle* hDevice = nullptr;
        if (libusb_open(pList[i], &hDevice) == 0) {
            libusb_attach_kernel_driver(hDevice, kInterface);
            libusb_close(hDevice);
        }
        break;
    }
    if (nDevices >= 0) libusb_free_device_list(pList, 1);
    if (bStartedHere) libusb_exit(nullptr);
}

bool CComPortUsb::Close() {
    // The system's printer driver takes the printer back once the service lets it go,
    // where discovery detached it.
    GiveDriverBack();
    ClosePort();
    ReleaseLibusb();
    return true;
}

void CComPortUsb::ReleaseLibusb() {
    if (m_pDeviceList != nullptr) libusb_free_device_list(m_pDeviceList, 1);
    m_pDeviceList = nullptr;
    if (m_bLibusbStarted) libusb_exit(nullptr);
    m_bLibusbStarted = false;
}

void CComPortUsb::CleanTX() {}

void CComPortUsb::CleanRX() { m_nKeptCount = 0; }

void CComPortUsb::SetTimeoutTX(int nTimeout) { m_nTimeoutTX = static_cast<unsigned long>(nTimeout); }

void CComPortUsb::SetTimeoutRX(int nTimeout) { m_nTimeoutRX = static_cast<unsigned long>(nTimeout); }

unsigned long CComPortUsb::GetTimeoutRX() { return m_nTimeoutRX; }
