#ifndef TILLPORTCOMM_COMPORT_H
#define TILLPORTCOMM_COMPORT_H

#include <atomic>
#include <cstdint>

#include "SystemCalls.h"

// Why an operation of a port failed, for callers that must tell causes apart (the tool
// explains each to a technician); the text in m_strLastError stays what callers show.
enum class FailureCause {
    None,
    Ended,           // no more bytes within the wait: the timeout, or a close that ended it
    StreamEnded,     // no more bytes ever: the printer ended the stream, the line hung up
    PortClosing,     // a close had begun: the operation was not made
    NoConnection,    // TCP: the implicit reconnect failed
    BadSetting,      // a name, baud rate or flow-control code that Init refuses
    BadBaudrate,     // serial: the baud rate, in particular
    NotFound,        // USB: no printer of that product ID and address
    CannotOpen,      // USB: the printer's node could not be opened
    SerialUnreadable,
    DriverHeld,      // USB: the kernel driver could not be detached
    Claimed,         // USB: interface 0 could not be claimed
    UsbUnavailable,  // USB: libusb could not start or list the devices
    LineInUse,       // serial: another port or program holds the line
    Other,
};

// What one operation of a port, or one step inside a transport, came to: done, ended (no
// more bytes were coming within the wait; the bytes that came still count), or failed; the
// bytes that really moved (taken by the printer, the line or the socket, or placed in the
// caller's buffer); and the fixed text and cause of an end or a failure. A transport's
// steps hand it up; each operation writes it to the caller's flag, m_strLastError and its
// result in one place (CComPort::Conclude).
struct Outcome {
    enum class Kind { Done, Ended, Failed };
    Kind eKind = Kind::Done;
    unsigned long nMoved = 0;
    const char* szText = "";
    FailureCause eCause = FailureCause::None;

    static Outcome Moved(unsigned long nBytes) { return Outcome{Kind::Done, nBytes, "", FailureCause::None}; }
    static Outcome EndedWith(const char* szText, unsigned long nBytes = 0) {
        return Outcome{Kind::Ended, nBytes, szText, FailureCause::Ended};
    }
    static Outcome Failed(const char* szText, FailureCause eCause = FailureCause::Other, unsigned long nBytes = 0) {
        return Outcome{Kind::Failed, nBytes, szText, eCause};
    }
    bool IsDone() const { return eKind == Kind::Done; }
    bool IsEnded() const { return eKind == Kind::Ended; }
};

// The one interface through which the native layer drives a printer port, whatever the
// transport. Transports derive from it, override their own Init overload and every
// operation from Open() to GetTimeoutRX(), and report failures by their results, by the
// caller's error flag and by the text in m_strLastError; nothing here throws.
class CComPort {
public:
    // The close's own pause: a TCP close lets the printer take the job for up to this long,
    // and a write in progress when a close begins has this long to finish.
    static constexpr unsigned long kClosePauseMs = 2000;

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
    // LastOutcome() tells a failure that only means no more bytes are coming (the wait ran
    // out, or the printer ended the stream: Ended) from any other. A Read that returns bytes
    // may have ended too, without the flag: the wait ran out after they came, so they end
    // this answer. Blocks up to the receive timeout. Base version: 0, flag untouched.
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

    // Called by a close on another thread while a call may be running on the port (the
    // caller does not hold the port's lock). From the first call on, a read waiting for an
    // answer ends at once as an answer that ended (an Ended outcome), and no
    // further read waits; with bWritesToo, a write in progress ends too, as a failed write.
    // The first call also starts CloseDeadline(). Never blocks. The base version records
    // this and signals m_wake; a transport whose waits watch no descriptor ends them itself.
    virtual void Abort(bool bWritesToo);

    // Whether a close has ended reads / writes on this port (Abort). Safe from any thread.
    bool ReadsAborted() const;
    bool WritesAborted() const;
    // The end of the close's 2 s pause: 2 s after the first Abort(), or 2 s from now when no
    // close has begun. A write in progress may use it to finish; a TCP close waits until
    // then at most for the printer to take the job.
    SystemCalls::Deadline CloseDeadline() const;

    // An answer collection that began at tick nStart is in progress until EndAnswer(): each
    // Read waits only for what is left of the receive timeout from nStart, so the whole
    // collection keeps to the timeout. Called by the native layer with the port's lock held.
    void BeginAnswer(uint32_t nStart);
    void EndAnswer();

    // What the last operation came to (Init, Open, Write, Read): for a Write, the bytes that
    // left the port (taken and not discarded afterwards), also when it failed, so the log can
    // tell a job cut off part way from one that never started; for a Read, whether the
    // answer ended.
    const Outcome& LastOutcome() const { return m_outcome; }

    // The port's kind; no transport assigns one, so it is 0.
    long GetPortType();

    long m_nPortType;
    char m_strLastError[1024];
    unsigned long m_nTimeoutTX;
    unsigned long m_nTimeoutRX;
    unsigned long m_nMaxPacketSize;

protected:
    // Every transport's Write: a job below m_nMaxPacketSize goes to send(pData, nLength) in
    // one piece, whose outcome is the write's (a short count included); a longer one in
    // pieces of at most m_nMaxPacketSize bytes, each starting after the last byte the
    // previous one took, with the outcome of the whole: what every piece moved, and done,
    // or the first piece's end or failure. A piece that takes nothing without failing ends
    // the loop with the short count, so a stalled device cannot keep it going.
    template <typename Send>
    Outcome WriteInChunks(unsigned char* pData, unsigned long nLength, Send send) {
        if (nLength < m_nMaxPacketSize) return send(pData, nLength);
        unsigned long nTotal = 0;
        do {
            unsigned long nLeft = nLength - nTotal;
            unsigned long nChunk = nLeft < m_nMaxPacketSize ? nLeft : m_nMaxPacketSize;
            Outcome piece = send(pData + nTotal, nChunk);
            nTotal += piece.nMoved;
            if (!piece.IsDone()) {
                piece.nMoved = nTotal;
                return piece;
            }
            if (piece.nMoved == 0) break;
        } while (nTotal < nLength);
        return Outcome::Moved(nTotal);
    }

    // The one place where an operation's outcome reaches its caller: kept as LastOutcome(),
    // the text written to m_strLastError (cleared when done), the error flag set when it
    // failed or ended with nothing, and the result: the bytes moved when done or ended with
    // bytes, else nFailed (the transport's result for a failure).
    unsigned long Conclude(const Outcome& outcome, unsigned long* pnError, unsigned long nFailed = 0);
    // The same for the set-up operations: true when done.
    bool Conclude(const Outcome& outcome);
    // A failure: logs szText under szOperation and returns it as the outcome.
    static Outcome Fail(const char* szOperation, const char* szText, FailureCause eCause = FailureCause::Other);

    // Waits as SystemCalls::WaitFor does, watching m_wake too, and ends (Woken) once Abort()
    // has ended this kind of call: a read at the first Abort(), a write (bWrite) only when
    // writes are ended too. A wake-up that does not end the call is taken back and the wait
    // goes on.
    SystemCalls::WaitResult WaitReady(pollfd* pWait, const SystemCalls::Deadline& deadline, bool bWrite);

    // The end of a Read's wait: the receive timeout from now, or from the start of the
    // answer collection in progress; eZero says what a timeout of 0 means on the transport.
    SystemCalls::Deadline ReceiveDeadline(SystemCalls::ZeroTimeout eZero) const;

    // Makes m_wake; on failure logs the cause under szName and returns false: a port must not
    // open without it.
    bool CreateWakeUp(const char* szName);

    // Clears the first 255 bytes of m_strLastError, as operations do on entry.
    void ClearLastError();
    // Copies a fixed message, bounded, to m_strLastError.
    void SetLastError(const char* szText);

    // The wake-up descriptor that Abort() signals; transports whose waits a close must end
    // make it when they open (CreateWakeUp).
    SystemCalls::WakeEvent m_wake;

private:
    // 0 until a close begins, then 1 (reads ended), then 2 (writes ended too).
    std::atomic<int> m_nAbortLevel;
    // The tick of the first Abort(), written before the level.
    std::atomic<uint32_t> m_nAbortTick;
    // The answer collection in progress (BeginAnswer): its start tick.
    bool m_bAnswerInProgress;
    uint32_t m_nAnswerStart;
    Outcome m_outcome;
};

#endif
