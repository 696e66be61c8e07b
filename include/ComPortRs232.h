#ifndef TILLPORTCOMM_COMPORTRS232_H
#define TILLPORTCOMM_COMPORTRS232_H

#include <termios.h>

#include <cstdint>

#include "ComPort.h"

// A printer on an RS-232 line of the board, driven through termios. Init accepts COM1..COM9
// (any case) or /dev/ttyS0../dev/ttyS8, one of eight baud rates and a flow-control code, and
// builds the complete settings record; Open applies it. Writes go out in chunks sized to the
// line speed and wait until the line has drained; a read waits up to the receive timeout.
class CComPortRs232 : public CComPort {
public:
    using CComPort::Init;

    CComPortRs232();
    // Does no transport work: Close() gives the descriptor back.
    ~CComPortRs232() override;

    // Validates the name, the baud rate and the flow-control code, in that order, stores
    // them and builds m_tio. False with "Init COM Port error", "Error invalid Baudrate" or
    // "Error invalid Flow control" for the first value rejected. Touches no device.
    bool Init(char* szPortName, int nBaudrate, int nFlowControl) override;

    // Opens the device without waiting for carrier, takes it for this port alone and
    // applies m_tio; false with "Open RS232 Device Error" (the cause is logged; the cause
    // LineInUse tells a line another port or program holds). A failure after the line was taken
    // leaves the descriptor for Close() to give back.
    bool Open() override;
    // Closes the descriptor (once) and forgets the device path; always true.
    bool Close() override;
    // Writes in chunks of m_nMaxPacketSize (recomputed from the baud rate and the transmit
    // timeout); each chunk must be taken by the line and leave it within the transmit
    // timeout. A failed or late chunk sets the flag ("Write Error") and makes the result 0;
    // what the line still holds of it is discarded, so it does not print later; so does a
    // close from another thread once its deadline has passed.
    unsigned long Write(unsigned char* pData, unsigned long nLength, unsigned long* pnError) override;
    // One wait of up to the receive timeout (0: none at all; in an answer collection what is
    // left of it), then one read of up to
    // min(nLength, 1024) bytes. Nothing within the wait, a close from another thread, or a
    // line that has hung up: 0 with the flag set, and an Ended outcome.
    unsigned long Read(unsigned char* pBuffer, unsigned long nLength, unsigned long* pnError) override;
    // Discard output not yet sent / input not yet read on the device (tcflush).
    void CleanTX() override;
    void CleanRX() override;
    void SetTimeoutTX(int nTimeout) override;
    void SetTimeoutRX(int nTimeout) override;
    unsigned long GetTimeoutRX() override;

private:
    friend class SerialTestAccess;

    // Opens the line without waiting for carrier, takes it, applies m_tio and makes the
    // descriptor block again; the failure's text is logged.
    Outcome OpenPort();
    // Locks the line (flock) and makes it exclusive (TIOCEXCL); fails, with the descriptor
    // closed, when another holder has the lock. ClosePort gives both up.
    Outcome TakeLine();
    void ClosePort();
    // Half of the characters the line carries within the transmit timeout, as a multiple
    // of 5, at most 2^31-1; at least what the line sends in 20 ms, and at least one byte.
    void CalcMaxPacketSize();
    // The time nBytes need on the wire at the line's speed (ten bits a character), rounded up.
    unsigned long WireTimeMs(unsigned long nBytes) const;
    // Writes the chunk whole and waits for the line to send it, both within the transmit
    // timeout or, when longer, the chunk's time on the wire and 50 ms; fails otherwise,
    // having discarded what the line still held (the bytes that left count).
    Outcome ComWrite(unsigned char* pData, unsigned long nLength);
    // Waits until the line has sent what it holds, up to the deadline: 0 when drained, 1
    // when the time ran out first (or a close ended the write), -1 when tcdrain failed.
    int DrainWithin(const SystemCalls::Deadline& deadline);
    Outcome ComRead(unsigned char* pBuffer, unsigned long nLength);

    int m_hPort;
    char m_strPortName[1024];
    int m_nBaudrate;
    int m_nFlowControl;
    struct termios m_tio;
};

#endif
