#ifndef TILLPORTCOMM_COMPORTETH_H
#define TILLPORTCOMM_COMPORTETH_H

#include "ComPort.h"

// A printer reached over TCP/IP (IPv4, port 9100 unless told otherwise). The connection is
// made by Open() and, when it has been closed, again by the next transfer; only Close()
// releases the socket. Every close pauses 2 s so the printer can finish what it took.
class CComPortEth : public CComPort {
public:
    using CComPort::Init;

    CComPortEth();
    // Does no transport work: Close() is the one place that releases the socket.
    ~CComPortEth() override;

    // Keeps the host text and the TCP port (only its low 16 bits reach the socket). Resolves
    // nothing. False with "Wrong hostname" when the host is missing or does not fit m_strHost.
    bool Init(char* szHost, int nPort) override;
    // Connects unless connected: true, or false with "Open ETH Device Error" (the cause is
    // in the log). Blocks for name resolution, up to 5 s of connect wait and, on failure,
    // the 2 s pause of Close().
    bool Open() override;
    // shutdown, a 2 s pause, close; always true, also without a connection.
    bool Close() override;

    // Sends the data; from m_nMaxPacketSize bytes on, in chunks of at most that size, each
    // starting after the last byte the socket took. Returns the bytes sent, or 0 once a
    // chunk has failed. A single short send is returned as it is.
    unsigned long Write(unsigned char* pData, unsigned long nLength, unsigned long* pnError) override;
    // One receive of up to nLength bytes; 0 when the peer has closed (no failure).
    unsigned long Read(unsigned char* pBuffer, unsigned long nLength, unsigned long* pnError) override;
    // TCP holds nothing the library could discard: both do nothing.
    void CleanTX() override;
    void CleanRX() override;
    // Store the value; the socket options follow at the next connect.
    void SetTimeoutTX(int nTimeout) override;
    void SetTimeoutRX(int nTimeout) override;
    unsigned long GetTimeoutRX() override;

    // Makes sure a connected socket exists; clears the first 255 bytes of m_strLastError on
    // every call. On failure the socket has been closed through Close() and m_hSocket is -1.
    bool OpenPort();
    // One send of the bytes (connecting first if needed). A negative result comes back as
    // the unsigned long with the same bits, with the error flag set. bMoreFollows: more of
    // the same job comes next, so the kernel may hold the bytes back to fill a segment.
    unsigned long EthWrite(unsigned char* pData, unsigned long nLength, unsigned long* pnError,
                           bool bMoreFollows = false);
    // One receive into the buffer (connecting first if needed); failure as for EthWrite,
    // with "EthRead Error".
    unsigned long EthRead(unsigned char* pBuffer, unsigned long nLength, unsigned long* pnError);

    int m_hSocket;
    int m_nPort;
    char m_strHost[255];

private:
    // Logs szText under "OpenPort", keeps it as the last error, closes; always false.
    bool FailOpenPort(const char* szText);
    // The connect of an open, with its bounded wait for a connect in progress.
    bool Connect(const void* pAddress, unsigned int nAddressSize);
    bool SetBlocking(bool bBlocking);
    void ApplySocketTimeouts();
};

#endif
