#ifndef TILLPORTCOMM_COMPORTETH_H
#define TILLPORTCOMM_COMPORTETH_H

#include <netinet/in.h>

#include "ComPort.h"

// A printer reached over TCP/IP (IPv4, port 9100 unless told otherwise). The connection is
// made by Open() and, when it is gone, again by the next transfer. A connection the printer
// has closed or reset is released by the transfer that finds it so; Close() releases the
// rest, after letting the printer take every byte sent (up to 2 s).
class CComPortEth : public CComPort {
public:
    using CComPort::Init;

    CComPortEth();
    // Does no transport work: Close() is the one place that releases the socket.
    ~CComPortEth() override;

    // Keeps the host text and the TCP port (a port outside 1..65535 fails the connect).
    // Resolves nothing: each connect looks the host up again. False with "Wrong hostname"
    // when the host is missing or does not fit m_strHost.
    bool Init(char* szHost, int nPort) override;
    // Makes the port's wake-up descriptor and connects unless connected: true, or false with
    // "Open ETH Device Error" (the cause is in the log). Blocks for name resolution
    // (getaddrinfo, IPv4), up to 5 s of connect wait and, on failure, the 2 s pause of Close().
    bool Open() override;
    // Ends the sending side, reads and drops what the printer sends until it closes its end
    // or 2 s pass, then closes; without a connection it pauses the 2 s. Once a close from
    // another thread has begun (Abort), both end at CloseDeadline(). A printer that has not
    // taken everything and closed its end by then keeps its connection in ConnectionDrain,
    // which closes it later. Always true.
    bool Close() override;

    // Gives up a connection the printer has ended, then sends the data; from
    // m_nMaxPacketSize bytes on, in chunks of at most that size, each starting after the
    // last byte the socket took. Returns the bytes sent, or 0 once a chunk has failed. A
    // single short send is returned as it is; a single failed send as -1 in the unsigned
    // long's bits (0 when no connection could be made). A close from another thread lets it
    // go on until CloseDeadline(), then fails it. A failed send has an empty text.
    unsigned long Write(unsigned char* pData, unsigned long nLength, unsigned long* pnError) override;
    // One receive of up to nLength bytes, waiting up to the receive timeout (0: no limit).
    // The timeout and a close from another thread end it with "EthRead Error" (-1 as
    // above); the printer's end of stream too (0), giving the connection up; a reset fails
    // it (-1).
    unsigned long Read(unsigned char* pBuffer, unsigned long nLength, unsigned long* pnError) override;
    // TCP holds nothing the library could discard: both do nothing.
    void CleanTX() override;
    void CleanRX() override;
    // Store the value; a connected socket takes it at once.
    void SetTimeoutTX(int nTimeout) override;
    void SetTimeoutRX(int nTimeout) override;
    unsigned long GetTimeoutRX() override;

private:
    friend class EthTestAccess;

    // Makes sure a connected socket exists; clears the first 255 bytes of m_strLastError on
    // every call. On failure the socket has been closed through Close() (with its pause)
    // and m_hSocket is -1; the cause is logged. Once a close from another thread has begun
    // it connects no more, and fails at once.
    Outcome OpenPort();
    // Sends the bytes within the transmit timeout (0: no limit), connecting first if needed;
    // done with a short count when the timeout passed part way, failed when nothing was
    // taken, the close ended the job, or the connection broke (then given up). The bytes
    // the socket took count in every case. bMoreFollows: more of the same job comes next,
    // so the kernel may hold the bytes back to fill a segment.
    Outcome EthWrite(unsigned char* pData, unsigned long nLength, bool bMoreFollows = false);
    // One receive into the buffer (connecting first if needed), as Read describes.
    Outcome EthRead(unsigned char* pBuffer, unsigned long nLength);

    // Logs szText under "OpenPort", closes (with the pause) and fails with it.
    Outcome FailOpenPort(const char* szText);
    // The host's IPv4 address, looked up on a thread of its own; on failure (or a close that
    // began meanwhile) the socket has been closed and the reason logged.
    Outcome LookUpHost(in_addr* pAddress);
    // The connect of an open, with its bounded wait for a connect in progress.
    Outcome Connect(const sockaddr_in& address);
    Outcome SetBlocking(bool bBlocking);
    void ApplySocketTimeouts();
    // True when the printer has closed its end of the connection or reset it. Never blocks.
    bool PeerHasEnded();
    // Closes the socket without the close pause, logging (under szName) and dropping what
    // the printer sent and nobody read.
    void ReleaseConnection(const char* szName);
    // Reads and drops what the printer sends until it closes its end, resets, or the pause
    // ends. True when the connection is over: the printer closed its end (or reset it) and
    // the kernel holds no byte still to be sent.
    bool DrainUntilPeerCloses(const SystemCalls::Deadline& pauseEnd);
    // Bytes the kernel still holds for the printer: not sent, or not yet acknowledged.
    int BytesNotSent() const;

    int m_hSocket;
    int m_nPort;
    char m_strHost[255];
};

#endif
