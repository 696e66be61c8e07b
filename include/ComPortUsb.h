#ifndef TILLPORTCOMM_COMPORTUSB_H
#define TILLPORTCOMM_COMPORTUSB_H

#include <libusb.h>

#include <cstdint>
#include <mutex>
#include <vector>

#include "ComPort.h"

// The USB printer port. Discovery finds the printer by the fixed vendor ID, the product ID
// the caller names and the last digit of its serial-number string, takes its two endpoints
// from interface 0, detaches the kernel driver and clears halts; Open claims interface 0.
// Writes go out in bulk transfers of at most m_nMaxPacketSize bytes; reads ask for whole
// packets of the IN endpoint and keep what came beyond the caller's request. A failed
// transfer releases everything but the kernel driver, which gets the printer back only when
// the port is closed (Close); the next Write rediscovers the printer with the stored
// strings. All libusb calls use the default context.
class CComPortUsb : public CComPort {
public:
    using CComPort::Init;

    CComPortUsb();
    // Does no transport work: Close() gives everything back.
    ~CComPortUsb() override;

    // Stores both strings, starts libusb, takes the device list and runs discovery.
    // Gives back first what an earlier failed Init left started and held. Strings of
    // 1024 characters or more are refused.
    bool Init(char* szProductId, char* szAddress) override;
    // Claims interface 0 of the device discovery found; on failure closes its handle.
    bool Open() override;
    // Gives the kernel driver back where discovery detached it, then ClosePort, then frees
    // the device list and ends libusb, each only while held; harmless when called again.
    // Always true.
    bool Close() override;

    // Reopens the printer when a failed transfer has closed the port, then sends the data
    // in one transfer (below m_nMaxPacketSize) or in chunks of m_nMaxPacketSize, several of
    // them in flight at once. Blocks up to m_nTimeoutTX per transfer (0: no limit), counted
    // for a chunk from the end of the one before it. 0 with the flag set on failure; the
    // port is then closed. A close from another thread lets a transfer go on until
    // CloseDeadline(), then cancels it: the write fails. LastOutcome() counts what the
    // printer took, in order, the failed transfer's part included.
    unsigned long Write(unsigned char* pData, unsigned long nLength, unsigned long* pnError) override;
    // Hands out up to nLength bytes kept from the last transfer, without a transfer; with
    // none kept, one bulk IN transfer of nLength rounded up to whole packets (at most
    // 16 KiB), blocking up to m_nTimeoutRX (0: no limit; in an answer collection, what is
    // left of it), of which up to nLength bytes are handed out and the rest kept; a close
    // from another thread cancels it at once. A timeout (or the close) after some bytes
    // came returns them, ended, with the flag clear. Any other failure, a timeout or the
    // close without bytes, or a closed port: 0 with the flag set (an Ended outcome for the
    // timeout and the close). After a failure or a timeout the port is closed.
    unsigned long Read(unsigned char* pBuffer, unsigned long nLength, unsigned long* pnError) override;
    // CleanTX does nothing (nothing waits to go out); CleanRX discards the kept bytes.
    void CleanTX() override;
    void CleanRX() override;
    void SetTimeoutTX(int nTimeout) override;
    void SetTimeoutRX(int nTimeout) override;
    unsigned long GetTimeoutRX() override;

    // Cancels the transfer in progress when the close ends its kind of call (a read at
    // once, a write with bWritesToo), besides what CComPort::Abort does.
    void Abort(bool bWritesToo) override;

private:
    friend class UsbTestAccess;

    // Walks m_pDeviceList from its head: done when a device was found and prepared, failed
    // (with an empty text when none matched) otherwise. Once a close has begun it stops,
    // and makes no further request of the printer.
    Outcome FindDevice(char* szVendorId, char* szProductId, int nAddress);
    // One bulk OUT transfer, failed with "Write Error" (the bytes that went out counted);
    // on failure the whole port is closed.
    Outcome UsbWrite(unsigned char* pData, unsigned long nLength);
    // What Read does, as an outcome.
    Outcome UsbRead(unsigned char* pBuffer, unsigned long nLength);
    // Releases interface 0 while claimed, closes the handle while open (the kernel driver
    // stays detached), and discards the kept bytes. Always true.
    bool ClosePort();
    // Takes the endpoint pair from interface 0, alternate setting 0 of the active
    // configuration; false when that configuration lacks them.
    bool ReadEndpoints(libusb_device* pDevice);
    // One bulk transfer on nEndpoint: libusb's result (-1 for a closed port), and in
    // *pnTransferred the bytes transferred, also those of a failed transfer. On failure the
    // whole port is closed.
    int BulkTransfer(int nEndpoint, unsigned char* pData, unsigned long nLength, unsigned long nTimeout,
                     unsigned long* pnTransferred);
    // libusb's result of a transfer that a close from another thread ended.
    static constexpr int kEndedByClose = LIBUSB_ERROR_INTERRUPTED;
    // Runs one filled transfer (and frees it) through libusb's asynchronous interface, so
    // that Abort() can cancel it from another thread: libusb_bulk_transfer's results, or
    // kEndedByClose. bRead: a close ends it at once, as it ends reads; otherwise only once
    // writes are ended too. Its timeout 0: no limit.
    int RunTransfer(libusb_transfer* pTransfer, bool bRead, int* pnTransferred);
    // The string descriptor nIndex in ASCII, as libusb_get_string_descriptor_ascii gives it,
    // through cancellable transfers with a short timeout: its length, or libusb's error.
    int ReadStringAscii(uint8_t nIndex, unsigned char* pText, size_t nSize);
    // One GET_DESCRIPTOR request on the control endpoint: the bytes answered, or an error.
    int ControlIn(uint16_t nValue, uint16_t nIndex, unsigned char* pData, uint16_t nLength);
    // Closes the handle discovery opened and forgets it.
    void CloseHandle();
    // Re-attaches the kernel driver where discovery detached it: on the open handle, or on
    // the printer opened once more for it.
    void GiveDriverBack();
    void ReattachByAddress();
    // The chunk loop of a write of m_nMaxPacketSize bytes or more: the chunks go out as
    // bulk transfers straight from pData, up to kWritesInFlight of them submitted at once,
    // so that the bus never waits for this thread. Outcome as WriteInChunks over UsbWrite:
    // each chunk has m_nTimeoutTX from the end of the one before it; a chunk that fails (a
    // timeout, a close from another thread) fails the write and closes the port, and the
    // chunks behind it are cancelled before they reach the printer; a chunk the printer
    // took only part of without an error makes the rest start after its last byte, one it
    // took nothing of ends the write with the short count. The bytes moved are those of the
    // chunks that went through, in order, and the part of the failed one.
    Outcome WriteInFlight(unsigned char* pData, unsigned long nLength);
    struct WriteSlot;
    // libusb's callback for a chunk in flight: marks its slot done and, unless the chunk went
    // through whole, cancels the chunks submitted after it.
    static void LIBUSB_CALL ChunkDone(libusb_transfer* pTransfer);
    // Cancels the chunks in m_writesInFlight from index nFirst on, the last submitted first,
    // so that none of them starts when one before it ends. Needs m_transferLock.
    void CancelChunksFrom(size_t nFirst);
    static constexpr size_t kWritesInFlight = 32;
    // Copies up to nLength kept bytes to pBuffer and returns how many.
    unsigned long HandOutKept(unsigned char* pBuffer, unsigned long nLength);
    // Frees the device list and ends libusb, each only while held.
    void ReleaseLibusb();

    bool m_bOpened;
    char m_strPID[1024];
    char m_strAddress[1024];
    int m_nEndpointIn;
    int m_nEndpointOut;
    libusb_device** m_pDeviceList;
    libusb_device_handle* m_hDevice;
    // wMaxPacketSize of the IN endpoint, from its descriptor at discovery (64 when it says 0).
    int m_nPacketSizeIn;
    // Discovery detached the kernel driver from interface 0 of the device at this bus and
    // address, and Close() has not yet given it back.
    bool m_bDriverDetached;
    uint8_t m_nDetachedBus;
    uint8_t m_nDetachedDevice;
    bool m_bLibusbStarted;  // a libusb_init not yet matched by libusb_exit
    std::vector<unsigned char> m_readBuffer;  // the packets of the last IN transfer
    unsigned long m_nKeptFrom;                // bytes of it not yet handed out: their offset
    unsigned long m_nKeptCount;               // and their count
    // The transfer in progress, for Abort() on the closing thread; guarded by m_transferLock.
    std::mutex m_transferLock;
    libusb_transfer* m_pTransfer;
    bool m_bTransferIsRead;
    // The chunks of the write in progress that libusb has not given back yet, in the order
    // they were submitted; guarded by m_transferLock.
    std::vector<libusb_transfer*> m_writesInFlight;
};

#endif
