#ifndef TILLPORTCOMM_TOOLS_PRINTERENGINE_H
#define TILLPORTCOMM_TOOLS_PRINTERENGINE_H

// A receipt printer on a loopback TCP port: the behaviour behind the virtual printer
// (tools/virtual_printer) and the C++ tests' LoopbackPeer. It records every byte it
// receives, answers the real-time status request DLE EOT n (0x10 0x04 n, n = 1..4) with the
// byte of the state it reports, sends scripted replies, and misbehaves on request the way
// printers do: refusing, closing after N bytes or at once, resetting, reading slowly or not
// at all, dropping or resetting an idle connection, sending status nobody asked for,
// answering late. One thread runs it, turn by turn (Turn); what happens is told to a
// PrinterEvents object from that thread.
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace printer {

// The status byte of a printer that is "all well": the two bits that are always 1 set,
// online, cover closed, paper present, no error.
constexpr uint8_t kStatusByte = 0x12;
// A slowly reading printer's receive buffer, and what it reads at a time.
constexpr int kSlowReceiveBuffer = 2048;
constexpr size_t kSlowReadBytes = 64;
// How long after its accept a resetting printer aborts the connection.
constexpr int kResetDelayMs = 100;
// How long a reply waits for its gate before it goes out all the same.
constexpr int kGateLimitMs = 5000;

// The answers to DLE EOT 1 (printer status), 2 (offline cause), 3 (error cause) and 4 (paper
// sensor) in one state the printer can be told to be in.
struct ReportedState {
    const char* szName;
    uint8_t answers[4];
};
// The state named ok, near-end, paper-out, cover-open or offline; nullptr for another name.
const ReportedState* FindReportedState(const std::string& name);

// Finds the real-time status requests DLE EOT n (n = 1..4) in the bytes a printer receives,
// also when a request is cut between two receives, and names the byte the printer in its
// reported state answers to each. Whatever carries the bytes: a connection of the engine, or
// the device-side printer of a USB gadget or a serial line (tools/device_printer).
class StatusRequests {
public:
    explicit StatusRequests(const ReportedState* pState);
    // Calls found(nRequest, cStatus) for each request the bytes complete, in order.
    template <typename Found>
    void Scan(const uint8_t* pData, size_t nSize, Found found) {
        for (size_t i = 0; i < nSize; ++i) {
            const uint8_t c = pData[i];
            if (m_nSeen == 2 && c >= 1 && c <= 4) {
                m_nSeen = 0;
                found(static_cast<int>(c), m_pState->answers[c - 1]);
            } else if (m_nSeen == 1 && c == 0x04) {
                m_nSeen = 2;
            } else {
                m_nSeen = c == 0x10 ? 1 : 0;
            }
        }
    }

private:
    const ReportedState* m_pState;
    int m_nSeen = 0;  // of a request cut between receives: 1 DLE, 2 DLE EOT
};

// Two hex digits a byte, as commands carry bytes ("1b40"): false for an odd count, another
// character, or more than nMaxBytes bytes.
bool ParseHexBytes(const std::string& hex, size_t nMaxBytes, std::vector<uint8_t>* pBytes);

// The faults one connection shows. The connection-ending ones wait until the connection
// is idle (20 ms without a byte and nothing unread), the way a printer drops an idle
// connection or reboots between jobs.
struct FaultPlan {
    long nDropAfter = -1;      // close once this many bytes arrived and the line is idle
    long nResetAfter = -1;     // the same, but reset the connection (RST)
    int nUnaskedStatusMs = 0;  // send the status byte unasked this often (0: never)
    int nLateAnswerMs = 0;     // answer each status request this late

    bool Any() const;
    std::string Describe() const;  // " drop-after 10 late-answer 50ms", or " none"
    // A random mix for one connection: about a third of the connections are dropped and a
    // sixth reset once idle after up to 20 000 bytes; independently a third send status
    // unasked and a third answer late.
    static FaultPlan Draw(std::mt19937& random);
};

// Bytes the printer sends of its own accord, in order: each once nAfterReceived bytes have
// arrived on its connection, nDelayMs after the previous reply went out (or after it was
// queued, when that is later), and once its gate holds (checked every few milliseconds,
// for at most kGateLimitMs).
struct Reply {
    std::vector<uint8_t> bytes;
    size_t afterReceived = 0;
    unsigned delayMs = 0;
    std::function<bool()> gate;
};

enum class EndReason {
    ClientClosed,    // the other end closed
    ReceiveFailed,   // a receive failed (the other end reset the connection)
    ClosedAtOnce,    // closeAfter 0: closed as soon as it was accepted
    ClosedAfter,     // closeAfter N: closed once N bytes arrived
    Dropped,         // fault: closed while idle
    Reset,           // fault: reset while idle
    ResetAtAccept,   // resetAfterAccept: reset kResetDelayMs after the accept
    Stopped,         // the printer stopped
};

struct PrinterSettings {
    std::string address = "127.0.0.1";  // in 127.0.0.0/8
    int nPort = 0;                      // 0: the system picks one
    int nBacklog = 8;
    bool bRefuse = false;               // bind the port but never listen: every connect is refused
    const ReportedState* pState = nullptr;  // nullptr: ok
    bool bAnswerStatus = true;          // false: status requests are seen but never answered
    long nCloseAfter = -1;              // close each connection once this many bytes arrived (0: at once)
    bool bResetAfterAccept = false;     // read nothing and reset each connection kResetDelayMs after its accept
    int nReceiveBuffer = 0;             // SO_RCVBUF of every connection (0: the system's)
    int nSlowReadMs = 0;                // read kSlowReadBytes every this many ms (0: at full speed)
    bool bStartPaused = false;          // read nothing until ResumeReading()
    FaultPlan faults;                   // of every connection, unless nChaosSeed draws them
    long nChaosSeed = -1;               // >= 0: each connection's faults drawn at random
    std::string recordPath;             // every byte received, of every connection
    std::string recordDir;              // each connection's bytes in DIR/connection-<n>.bin
    size_t nMaxConnections = 16;        // open at once
    bool bQueueWhenFull = false;        // when full: leave connections waiting (else accept and close them)
    std::vector<Reply> firstReplies;    // sent on the first connection
    int nTickMs = 50;                   // the longest wait of one turn
};

// What the printer does, told from the thread that runs it. Each connection has a number,
// counting from 1.
class PrinterEvents {
public:
    virtual ~PrinterEvents() = default;
    virtual void Accepted(int /*nConnection*/, const char* /*szPeer*/, int /*nPeerPort*/) {}
    virtual void TurnedAway(size_t /*nOpen*/) {}  // accepted and closed: nOpen are open already
    virtual void FaultsPlanned(int /*nConnection*/, const FaultPlan& /*plan*/) {}
    virtual void Received(int /*nConnection*/, const uint8_t* /*pData*/, size_t /*nSize*/) {}
    virtual void StatusAnswered(int /*nConnection*/, int /*nRequest*/, uint8_t /*cStatus*/) {}
    virtual void StatusUnanswered(int /*nConnection*/, int /*nRequest*/) {}
    virtual void ReplySent(int /*nConnection*/, size_t /*nSize*/) {}
    virtual void Ended(int /*nConnection*/, EndReason /*reason*/, unsigned long /*nReceived*/) {}
    virtual void Problem(const std::string& /*text*/) {}
};

// szAddress (dotted, in 127.0.0.0/8) and nPort as a socket address; false for another address.
bool LoopbackAddress(const char* szAddress, int nPort, sockaddr_in* pAddress);
// A TCP socket bound to szAddress at *pnPort (0: the system picks, and *pnPort is set),
// close-on-exec; nReceiveBuffer > 0 sets SO_RCVBUF first. -1 with errno set on failure.
int BindLoopback(const char* szAddress, int* pnPort, int nReceiveBuffer = 0);

class PrinterEngine {
public:
    PrinterEngine(PrinterSettings settings, PrinterEvents* pEvents);
    ~PrinterEngine();  // closes every socket and record file
    PrinterEngine(const PrinterEngine&) = delete;
    PrinterEngine& operator=(const PrinterEngine&) = delete;

    // Opens the record file, binds the port and (unless refusing) listens. On failure returns
    // false; FailedStep() names what failed and errno tells why.
    bool Start();
    const std::string& FailedStep() const { return m_failedStep; }
    int Port() const { return m_nPort; }

    // One turn: waits at most the tick (a few ms while something timed is pending) for a
    // connection, bytes, or hExtra (when >= 0) to become readable; accepts, receives,
    // answers, and plays the replies and faults that are due. Returns whether hExtra is
    // readable.
    bool Turn(int hExtra = -1);
    // Queues bytes for the newest open connection, due nDelayMs from now; false when no
    // connection is open.
    bool Send(std::vector<uint8_t> bytes, unsigned nDelayMs);
    // Ends every open connection (EndReason::Stopped).
    void Stop();
    // From any thread: a printer that started paused reads from now on.
    void ResumeReading() { m_bPaused = false; }

    int Connections() const { return m_nConnections; }      // accepted so far
    unsigned long TotalReceived() const { return m_nTotal; }

private:
    using Clock = std::chrono::steady_clock;
    struct PendingReply {
        Reply reply;
        Clock::time_point queued;
    };
    struct Connection {
        int hSocket = -1;
        int nNumber = 0;
        unsigned long nReceived = 0;
        Clock::time_point accepted;
        Clock::time_point lastRead;
        StatusRequests requests{nullptr};
        FaultPlan faults;
        Clock::time_point lastUnasked;
        std::deque<std::pair<Clock::time_point, uint8_t>> lateAnswers;  // when due, and the byte
        std::deque<PendingReply> replies;
        Clock::time_point lastReply;
        FILE* pRecord = nullptr;
    };

    bool Fail(const std::string& step);  // keeps errno
    bool ReadDue(const Connection& connection) const;  // a slow reader reads again now
    bool Timed(const Connection& connection) const;    // something of it is due at a time
    void Accept();
    void Receive(size_t nIndex);
    void AnswerStatusRequests(Connection& connection, const uint8_t* pData, size_t nSize);
    // The timed part of one connection: replies, late answers and unasked status that are
    // due, a reset after the accept, and the end of an idle connection that has had its bytes.
    void PlayTimed(size_t nIndex);
    // The next reply, when it is due: one a turn, so replies go out a few ms apart at least.
    void PlayReply(Connection& connection, Clock::time_point now);
    void Finish(size_t nIndex, EndReason reason);

    const PrinterSettings m_settings;
    PrinterEvents* const m_pEvents;
    const ReportedState& m_state;
    std::mt19937 m_random;
    std::atomic<bool> m_bPaused;
    std::string m_failedStep;
    int m_hListen = -1;
    int m_nPort = 0;
    FILE* m_pRecord = nullptr;
    std::vector<Connection> m_connections;
    int m_nConnections = 0;
    unsigned long m_nTotal = 0;
};

}  // namespace printer

#endif
