#ifndef TILLPORTCOMM_COMPORT_H
#define TILLPORTCOMM_COMPORT_H

// The one interface through which the native layer drives a printer port, whatever the
// transport. Transports derive from it, override their own Init overload and every
// operation from Open() to GetTimeoutRX(), and report failures by their results, by the
// caller's error flag and by the text in m_strLastError; nothing here throws.
class CComPort {
public:
    CComPort();

    // USB set-up from product-ID text and address text. Copies what it keeps; true when
    // the printer was found and prepared, false with the reason in m_strLastError.
    // Base version: false.
    virtual bool Init(char* szProductId, char* szAddress);
    // Serial set-up from port name, baud rate and flow-control code. Same contract.
    virtual bool Init(char* szPortName, int nBaudrate, int nFlowControl);
    // TCP set-up from host text and TCP port number. Same contract.
    virtual bool Init(char* szHost, int nPort);

    // Makes the port ready for transfers: true, or false with the reason in m_strLastError.
    // May block for the transport's connect or claim time (a TCP connect up to 5 s).
    virtual bool Open();
    // Gives back everything the port holds; harmless when called again. The result is
    // informational only. A TCP close blocks for its 2 s pause.
    virtual bool Close();

    // Sends nLength bytes of pData and returns how many went out. On failure sets
    // *pnError to 1 (never clears it) and leaves the reason in m_strLastError. Blocks up
    // to the transmit timeout per low-level write. Base version: 0, flag untouched.
    virtual unsigned long Write(unsigned char* pData, unsigned long nLength, unsigned long* pnError);
    // Places up to nLength bytes at the start of pBuffer and returns how many; 0 when
    // nothing arrived within the transport's own wait. Failure as for Write; besides,
    // m_bReadEnded tells a failure that only means no more bytes are coming (the wait ran
    // out, or the printer ended the stream) from any other. A Read that returns bytes may
    // set m_bReadEnded too, without the flag: the wait ran out after they came, so they
    // end this answer. Blocks up to the receive timeout. Base version: 0, flag untouched.
    virtual unsigned long Read(unsigned char* pBuffer, unsigned long nLength, unsigned long* pnError);

    // Discard output not yet sent / input received but not yet read, where the
    // transport holds such data. Never block. Base versions do nothing.
    virtual void CleanTX();
    virtual void CleanRX();

    // Store the Java int converted to unsigned long (so -1 becomes the largest count).
    // Base versions store nothing.
    virtual void SetTimeoutTX(int nTimeout);
    virtual void SetTimeoutRX(int nTimeout);
    // The stored receive timeout in ms. Base version: 0.
    virtual unsigned long GetTimeoutRX();

    // Declared after the twelve operations so their order in the operation table stays
    // as designed. Virtual so that releasing a port through this interface frees the
    // transport's whole object; it does no transport work (Close() has done that).
    virtual ~CComPort();

    // The port's kind; no transport assigns one, so it is 0.
    long GetPortType();

    long m_nPortType;
    char m_strLastError[1024];
    unsigned long m_nTimeoutTX;
    unsigned long m_nTimeoutRX;
    unsigned long m_nMaxPacketSize;
    // Set by a failed Read when no more bytes are coming within this wait (its timeout ran
    // out, or the printer ended the stream), cleared by every Read on entry. The bytes an
    // answer collection already holds are then its answer, not lost.
    bool m_bReadEnded;
    // Bytes of the last Write that left the port: taken by the device, the line or the
    // socket, and not discarded afterwards. Set by every transport's Write, also when it
    // fails, so the log can tell a job cut off part way from one that never started.
    unsigned long m_nBytesSent;

protected:
    // The chunk loop of every transport's Write: hands the data to send(pChunk, nChunk,
    // pnError) in pieces of at most m_nMaxPacketSize bytes, each starting after the last
    // byte the previous one took. Returns the bytes taken, 0 as soon as a piece sets the
    // error flag, or the short count when a piece takes nothing without an error (so a
    // stalled device cannot keep the loop going).
    template <typename Send>
    unsigned long WriteInChunks(unsigned char* pData, unsigned long nLength, unsigned long* pnError, Send send) {
        unsigned long nTotal = 0;
        do {
            unsigned long nLeft = nLength - nTotal;
            unsigned long nChunk = nLeft < m_nMaxPacketSize ? nLeft : m_nMaxPacketSize;
            unsigned long nSent = send(pData + nTotal, nChunk, pnError);
            if (*pnError != 0) return 0;
            if (nSent == 0) break;
            nTotal += nSent;
        } while (nTotal < nLength);
        return nTotal;
    }

    // Clears the first 255 bytes of m_strLastError, as operations do on entry.
    void ClearLastError();
    // Copies a fixed message, bounded, to m_strLastError.
    void SetLastError(const char* szText);
};

#endif
