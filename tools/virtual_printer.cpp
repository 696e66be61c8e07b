// A receipt printer on a loopback TCP port, for trying the library without a printer and
// for tests. It records every byte it receives, shows each piece as hex and text and each
// finished connection as a readable receipt, answers the real-time status request
// DLE EOT n (0x10 0x04 n, n = 1..4) with one status byte, and misbehaves on request,
// also the way printers do every day: closing or resetting an idle connection, sending
// status nobody asked for, answering late (see FaultPlan). It listens on 127.0.0.1 only
// and ends on SIGTERM, SIGINT or after --max-seconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxConnections = 16;
constexpr int kTickMs = 50;
constexpr int kFaultTickMs = 5;
// A connection counts as idle once nothing has arrived for this long.
constexpr int kQuietMs = 20;
constexpr int kSlowReceiveBuffer = 2048;
constexpr size_t kSlowReadBytes = 64;
// The status byte of a printer that is "all well": the two bits that are always 1 set,
// online, cover closed, paper present, no error.
constexpr unsigned char kStatusByte = 0x12;

// ---- the state the printer reports (--status) ----
// The answers to DLE EOT 1 (printer status), 2 (offline cause), 3 (error cause) and 4 (paper
// sensor) for each state the printer can be told to be in, consistent with each other: a
// printer with its cover open or out of paper is offline, and so on.
struct ReportedState {
    const char* szName;
    unsigned char answers[4];
};
constexpr ReportedState kReportedStates[] = {
    {"ok", {kStatusByte, kStatusByte, kStatusByte, kStatusByte}},
    {"near-end", {0x12, 0x12, 0x12, 0x1e}},    // paper near-end sensor, still online
    {"paper-out", {0x1a, 0x32, 0x12, 0x7e}},   // offline, stopped at paper end, both sensors
    {"cover-open", {0x1a, 0x16, 0x12, 0x12}},  // offline, cover open
    {"offline", {0x1a, 0x52, 0x52, 0x12}},     // offline for an error that clears by itself
};

const ReportedState* FindReportedState(const std::string& name) {
    for (const ReportedState& state : kReportedStates) {
        if (name == state.szName) return &state;
    }
    return nullptr;
}
// ---- end of the reported state ----

volatile sig_atomic_t g_bStop = 0;

void OnStopSignal(int) { g_bStop = 1; }

// The faults one connection shows. The connection-ending ones wait until the connection
// is idle (kQuietMs without a byte and nothing unread), the way a printer drops an idle
// connection or reboots between jobs; --close-after, by contrast, cuts a job wherever N
// falls.
struct FaultPlan {
    long nDropAfter = -1;       // close once this many bytes arrived and the line is idle
    long nResetAfter = -1;      // the same, but reset the connection (RST)
    int nUnaskedStatusMs = 0;   // send the status byte unasked this often (0: never)
    int nLateAnswerMs = 0;      // answer each status request this late

    bool Any() const { return nDropAfter >= 0 || nResetAfter >= 0 || nUnaskedStatusMs > 0 || nLateAnswerMs > 0; }

    std::string Describe() const {
        std::string text;
        if (nDropAfter >= 0) text += " drop-after " + std::to_string(nDropAfter);
        if (nResetAfter >= 0) text += " reset-after " + std::to_string(nResetAfter);
        if (nUnaskedStatusMs > 0) text += " unasked-status " + std::to_string(nUnaskedStatusMs) + "ms";
        if (nLateAnswerMs > 0) text += " late-answer " + std::to_string(nLateAnswerMs) + "ms";
        return text.empty() ? " none" : text;
    }

    // A random mix for one connection (--chaos): about a third of the connections are
    // dropped and a sixth reset once idle after up to 20 000 bytes; independently a third
    // send status unasked and a third answer late.
    static FaultPlan Draw(std::mt19937& random) {
        auto chance = [&random](int nOneIn) { return std::uniform_int_distribution<int>(1, nOneIn)(random) == 1; };
        auto between = [&random](long nLow, long nHigh) { return std::uniform_int_distribution<long>(nLow, nHigh)(random); };
        FaultPlan plan;
        int nEnd = std::uniform_int_distribution<int>(0, 5)(random);
        if (nEnd <= 1) plan.nDropAfter = between(0, 20000);
        if (nEnd == 2) plan.nResetAfter = between(0, 20000);
        if (chance(3)) plan.nUnaskedStatusMs = static_cast<int>(between(100, 1000));
        if (chance(3)) plan.nLateAnswerMs = static_cast<int>(between(50, 600));
        return plan;
    }
};

struct Options {
    int nPort = 9100;
    std::string recordPath;
    double dMaxSeconds = 600;
    const ReportedState* pState = &kReportedStates[0];
    bool bRefuse = false;
    bool bSilent = false;
    long nCloseAfter = -1;  // -1: never
    int nSlowReadMs = 0;    // 0: read at full speed
    bool bQuiet = false;
    FaultPlan faults;          // for every connection, unless --chaos draws them
    long nChaosSeed = -1;      // -1: no random faults
    std::string recordDir;     // one file per connection
    size_t nMaxConnections = kMaxConnections;
};

void Usage(FILE* out) {
    fprintf(out,
            "usage: virtual_printer [options]\n"
            "  --port N          TCP port on 127.0.0.1 (default 9100; 0 picks a free one)\n"
            "  --record FILE     also write every byte received to FILE\n"
            "  --max-seconds S   stop after S seconds (default 600)\n"
            "  --quiet           no hex dumps or receipts, only connection lines and the summary\n"
            "  --status STATE    what DLE EOT 1..4 report: ok (default), near-end, paper-out,\n"
            "                    cover-open or offline\n"
            "misbehaviour:\n"
            "  --refuse          hold the port but refuse every connection\n"
            "  --silent          accept and read, but never answer a status request\n"
            "  --close-after N   close each connection once N bytes have arrived\n"
            "  --slow-read MS    small receive buffer; read %zu bytes every MS milliseconds\n"
            "  --drop-after N    close a connection once N bytes have arrived and it is idle\n"
            "  --reset-after N   the same, resetting the connection instead\n"
            "  --unasked-status MS  send the status byte unasked every MS milliseconds\n"
            "  --late-answer MS  answer status requests MS milliseconds late\n"
            "  --chaos SEED      draw the four faults above at random for each connection\n"
            "  --record-dir DIR  write each connection's bytes to DIR/connection-<n>.bin\n"
            "  --max-connections N  connections open at once (default %zu)\n",
            kSlowReadBytes, kMaxConnections);
}

bool ParseNumber(const char* szText, double dMin, double dMax, double* pValue) {
    char* pEnd = nullptr;
    errno = 0;
    double dValue = strtod(szText, &pEnd);
    if (errno != 0 || pEnd == szText || *pEnd != '\0' || dValue < dMin || dValue > dMax) return false;
    *pValue = dValue;
    return true;
}

// The options of the fault modes, each with its value; false when option is none of them
// or its value is unusable.
bool ParseFaultOption(const std::string& option, const char* szValue, Options* pOptions) {
    double dValue = 0;
    if (szValue == nullptr) return false;
    if (option == "--record-dir") {
        pOptions->recordDir = szValue;
        return true;
    }
    if (option == "--drop-after" && ParseNumber(szValue, 0, 1e12, &dValue)) {
        pOptions->faults.nDropAfter = static_cast<long>(dValue);
    } else if (option == "--reset-after" && ParseNumber(szValue, 0, 1e12, &dValue)) {
        pOptions->faults.nResetAfter = static_cast<long>(dValue);
    } else if (option == "--unasked-status" && ParseNumber(szValue, 1, 3600000, &dValue)) {
        pOptions->faults.nUnaskedStatusMs = static_cast<int>(dValue);
    } else if (option == "--late-answer" && ParseNumber(szValue, 1, 3600000, &dValue)) {
        pOptions->faults.nLateAnswerMs = static_cast<int>(dValue);
    } else if (option == "--chaos" && ParseNumber(szValue, 0, 2147483647, &dValue)) {
        pOptions->nChaosSeed = static_cast<long>(dValue);
    } else if (option == "--max-connections" && ParseNumber(szValue, 1, 1000, &dValue)) {
        pOptions->nMaxConnections = static_cast<size_t>(dValue);
    } else {
        return false;
    }
    return true;
}

bool ParseOptions(int argc, char** argv, Options* pOptions) {
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        bool bHasValue = i + 1 < argc;
        double dValue = 0;
        if (option == "--help" || option == "-h") {
            Usage(stdout);
            exit(0);
        } else if (option == "--refuse") {
            pOptions->bRefuse = true;
        } else if (option == "--silent") {
            pOptions->bSilent = true;
        } else if (option == "--quiet") {
            pOptions->bQuiet = true;
        } else if (option == "--status" && bHasValue && FindReportedState(argv[i + 1]) != nullptr) {
            pOptions->pState = FindReportedState(argv[++i]);
        } else if (option == "--record" && bHasValue) {
            pOptions->recordPath = argv[++i];
        } else if (option == "--port" && bHasValue && ParseNumber(argv[i + 1], 0, 65535, &dValue)) {
            pOptions->nPort = static_cast<int>(dValue);
            ++i;
        } else if (option == "--max-seconds" && bHasValue && ParseNumber(argv[i + 1], 0.1, 86400, &dValue)) {
            pOptions->dMaxSeconds = dValue;
            ++i;
        } else if (option == "--close-after" && bHasValue && ParseNumber(argv[i + 1], 0, 1e12, &dValue)) {
            pOptions->nCloseAfter = static_cast<long>(dValue);
            ++i;
        } else if (option == "--slow-read" && bHasValue && ParseNumber(argv[i + 1], 1, 60000, &dValue)) {
            pOptions->nSlowReadMs = static_cast<int>(dValue);
            ++i;
        } else if (ParseFaultOption(option, bHasValue ? argv[i + 1] : nullptr, pOptions)) {
            ++i;
        } else {
            fprintf(stderr, "virtual_printer: bad or incomplete option %s\n", option.c_str());
            Usage(stderr);
            return false;
        }
    }
    return true;
}

// Renders printer bytes as text: printable characters as they are, line feeds as line
// breaks, and the common command sequences as <ESC a 1>-style marks.
class ReceiptText {
public:
    void Add(const unsigned char* pData, size_t nSize) { m_bytes.insert(m_bytes.end(), pData, pData + nSize); }

    std::string Render() const {
        std::string text;
        size_t i = 0;
        while (i < m_bytes.size()) {
            unsigned char c = m_bytes[i];
            if (c == '\n') {
                text += '\n';
                ++i;
            } else if (c == '\r') {
                ++i;
            } else if (c >= 0x20 && c < 0x7f) {
                text += static_cast<char>(c);
                ++i;
            } else if (c == 0x1b || c == 0x1d || c == 0x10) {
                i = Command(i, &text);
            } else {
                char szMark[16];
                snprintf(szMark, sizeof(szMark), "<0x%02x>", c);
                text += szMark;
                ++i;
            }
        }
        return text;
    }

private:
    // Appends the mark of the command at nStart; returns the index after it.
    size_t Command(size_t nStart, std::string* pText) const {
        unsigned char cIntro = m_bytes[nStart];
        const char* szIntro = cIntro == 0x1b ? "ESC" : cIntro == 0x1d ? "GS" : "DLE";
        if (nStart + 1 >= m_bytes.size()) {
            *pText += std::string("<") + szIntro + ">";
            return nStart + 1;
        }
        unsigned char cCode = m_bytes[nStart + 1];
        size_t nArgs = Arguments(cIntro, cCode, nStart);
        std::string mark = std::string("<") + szIntro + " " + Code(cCode);
        size_t nEnd = std::min(m_bytes.size(), nStart + 2 + nArgs);
        for (size_t j = nStart + 2; j < nEnd; ++j) mark += " " + std::to_string(m_bytes[j]);
        *pText += mark + ">";
        return nEnd;
    }

    static std::string Code(unsigned char cCode) {
        if (cCode > 0x20 && cCode < 0x7f) return std::string(1, static_cast<char>(cCode));
        if (cCode == 0x04) return "EOT";
        return std::to_string(cCode);
    }

    size_t Arguments(unsigned char cIntro, unsigned char cCode, size_t nStart) const {
        if (cIntro == 0x10) return cCode == 0x04 ? 1 : 0;
        if (cIntro == 0x1b) {
            if (strchr("@2", cCode) != nullptr) return 0;
            if (cCode == 'p') return 3;
            if (strchr("a!E-MGtJdR3{V", cCode) != nullptr) return 1;
            return 0;
        }
        if (cCode == 'V') {
            // GS V m, and a feed amount after the cut modes 65 and 66.
            size_t nMode = nStart + 2 < m_bytes.size() ? m_bytes[nStart + 2] : 0;
            return nMode >= 65 ? 2 : 1;
        }
        if (strchr("!BHhwf", cCode) != nullptr) return 1;
        return 0;
    }

    std::vector<unsigned char> m_bytes;
};

void PrintDump(const unsigned char* pData, size_t nSize) {
    for (size_t nOffset = 0; nOffset < nSize; nOffset += 16) {
        char szLine[128];
        int nUsed = snprintf(szLine, sizeof(szLine), "   %04zx:", nOffset);
        for (size_t j = 0; j < 16; ++j) {
            if (nOffset + j < nSize) {
                nUsed += snprintf(szLine + nUsed, sizeof(szLine) - static_cast<size_t>(nUsed), " %02x",
                                  pData[nOffset + j]);
            } else {
                nUsed += snprintf(szLine + nUsed, sizeof(szLine) - static_cast<size_t>(nUsed), "   ");
            }
        }
        nUsed += snprintf(szLine + nUsed, sizeof(szLine) - static_cast<size_t>(nUsed), "   ");
        for (size_t j = 0; j < 16 && nOffset + j < nSize; ++j) {
            unsigned char c = pData[nOffset + j];
            szLine[nUsed++] = (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
        }
        szLine[nUsed] = '\0';
        puts(szLine);
    }
}

struct Connection {
    int hSocket = -1;
    int nNumber = 0;
    unsigned long nReceived = 0;
    std::chrono::steady_clock::time_point lastRead;
    // The status request may be cut between two receives.
    int nRequestState = 0;  // 0: nothing, 1: DLE seen, 2: DLE EOT seen
    ReceiptText receipt;
    FaultPlan faults;
    std::chrono::steady_clock::time_point lastUnasked;
    // Late answers: when each is due, and the byte it answers with.
    std::deque<std::pair<std::chrono::steady_clock::time_point, unsigned char>> lateAnswers;
    FILE* pRecord = nullptr;  // --record-dir
};

class Printer {
public:
    explicit Printer(const Options& options)
        : m_options(options), m_random(static_cast<std::mt19937::result_type>(std::max(options.nChaosSeed, 0L))) {}

    ~Printer() {
        for (Connection& connection : m_connections) {
            close(connection.hSocket);
            if (connection.pRecord != nullptr) fclose(connection.pRecord);
        }
        if (m_hListen >= 0) close(m_hListen);
        if (m_pRecord != nullptr) fclose(m_pRecord);
    }

    bool Start() {
        if (!m_options.recordPath.empty()) {
            m_pRecord = fopen(m_options.recordPath.c_str(), "wb");
            if (m_pRecord == nullptr) {
                fprintf(stderr, "virtual_printer: cannot write %s: %s\n", m_options.recordPath.c_str(), strerror(errno));
                return false;
            }
        }
        m_hListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_hListen < 0) return Fail("socket");
        int nYes = 1;
        setsockopt(m_hListen, SOL_SOCKET, SO_REUSEADDR, &nYes, sizeof(nYes));
        if (m_options.nSlowReadMs > 0) {
            setsockopt(m_hListen, SOL_SOCKET, SO_RCVBUF, &kSlowReceiveBuffer, sizeof(kSlowReceiveBuffer));
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(m_options.nPort));
        if (bind(m_hListen, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return Fail("bind");
        socklen_t nLength = sizeof(address);
        getsockname(m_hListen, reinterpret_cast<sockaddr*>(&address), &nLength);
        // A bound socket that never listens makes every connect fail with a refusal.
        if (!m_options.bRefuse && listen(m_hListen, 8) != 0) return Fail("listen");
        printf("virtual_printer %s on 127.0.0.1 port %d\n", m_options.bRefuse ? "refusing" : "listening",
               ntohs(address.sin_port));
        return true;
    }

    void Run() {
        const auto start = std::chrono::steady_clock::now();
        const auto deadline = start + std::chrono::milliseconds(static_cast<long>(m_options.dMaxSeconds * 1000));
        while (!g_bStop && std::chrono::steady_clock::now() < deadline) {
            std::vector<pollfd> waits;
            if (!m_options.bRefuse) waits.push_back({m_hListen, POLLIN, 0});
            for (Connection& connection : m_connections) {
                waits.push_back({connection.hSocket, static_cast<short>(ReadyToRead(connection) ? POLLIN : 0), 0});
            }
            int nReady = poll(waits.data(), waits.size(), m_bFaultsTimed ? kFaultTickMs : kTickMs);
            if (nReady < 0 && errno != EINTR) break;
            if (nReady > 0) {
                size_t nFirst = 0;
                if (!m_options.bRefuse) {
                    if (waits[0].revents & POLLIN) Accept();
                    nFirst = 1;
                }
                // Back to front, so closing one does not move those not yet looked at.
                for (size_t i = waits.size(); i-- > nFirst;) {
                    if (waits[i].revents != 0) Receive(i - nFirst);
                }
            }
            for (size_t i = m_connections.size(); i-- > 0;) PlayFaults(i);
        }
        double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        while (!m_connections.empty()) Finish(m_connections.size() - 1, "printer stopped");
        printf("virtual_printer stopped after %.1f s: %d connection(s), %lu byte(s) received\n", dSeconds,
               m_nConnections, m_nTotal);
    }

private:
    bool Fail(const char* szCall) {
        fprintf(stderr, "virtual_printer: %s: %s\n", szCall, strerror(errno));
        return false;
    }

    bool ReadyToRead(const Connection& connection) const {
        if (m_options.nSlowReadMs <= 0) return true;
        return std::chrono::steady_clock::now() - connection.lastRead >= std::chrono::milliseconds(m_options.nSlowReadMs);
    }

    void Accept() {
        sockaddr_in peer{};
        socklen_t nLength = sizeof(peer);
        int hSocket = accept4(m_hListen, reinterpret_cast<sockaddr*>(&peer), &nLength, SOCK_CLOEXEC);
        if (hSocket < 0) return;
        if (m_connections.size() >= m_options.nMaxConnections) {
            printf("connection refused: already %zu open\n", m_options.nMaxConnections);
            close(hSocket);
            return;
        }
        Connection connection;
        connection.hSocket = hSocket;
        connection.nNumber = ++m_nConnections;
        connection.lastRead = std::chrono::steady_clock::now();
        printf("connection %d from %s:%d\n", connection.nNumber, inet_ntoa(peer.sin_addr), ntohs(peer.sin_port));
        PlanFaults(connection);
        m_connections.push_back(std::move(connection));
        if (m_options.nCloseAfter == 0) Finish(m_connections.size() - 1, "closed by --close-after 0");
    }

    void Receive(size_t nIndex) {
        Connection& connection = m_connections[nIndex];
        unsigned char buffer[4096];
        size_t nWant = m_options.nSlowReadMs > 0 ? kSlowReadBytes : sizeof(buffer);
        if (m_options.nCloseAfter > 0) {
            // size_t is unsigned int on 32-bit ARM, the byte count unsigned long everywhere.
            nWant = static_cast<size_t>(
                std::min<unsigned long>(nWant, static_cast<unsigned long>(m_options.nCloseAfter) - connection.nReceived));
        }
        ssize_t nRead = recv(connection.hSocket, buffer, nWant, 0);
        if (nRead <= 0) {
            Finish(nIndex, nRead == 0 ? "closed by the client" : "receive failed");
            return;
        }
        connection.lastRead = std::chrono::steady_clock::now();
        connection.nReceived += static_cast<unsigned long>(nRead);
        m_nTotal += static_cast<unsigned long>(nRead);
        if (m_pRecord != nullptr) {
            fwrite(buffer, 1, static_cast<size_t>(nRead), m_pRecord);
            fflush(m_pRecord);
        }
        if (connection.pRecord != nullptr) {
            fwrite(buffer, 1, static_cast<size_t>(nRead), connection.pRecord);
            fflush(connection.pRecord);
        }
        connection.receipt.Add(buffer, static_cast<size_t>(nRead));
        if (!m_options.bQuiet) {
            printf("connection %d <- %zd byte(s)\n", connection.nNumber, nRead);
            PrintDump(buffer, static_cast<size_t>(nRead));
        }
        AnswerStatusRequests(connection, buffer, static_cast<size_t>(nRead));
        if (m_options.nCloseAfter > 0 && connection.nReceived >= static_cast<unsigned long>(m_options.nCloseAfter)) {
            Finish(nIndex, "closed by --close-after");
        }
    }

    void AnswerStatusRequests(Connection& connection, const unsigned char* pData, size_t nSize) {
        for (size_t i = 0; i < nSize; ++i) {
            unsigned char c = pData[i];
            if (connection.nRequestState == 2 && c >= 1 && c <= 4) {
                static const char* const kKinds[] = {"", "printer", "offline", "error", "paper sensor"};
                if (m_options.bSilent) {
                    printf("connection %d: status request DLE EOT %d left unanswered (--silent)\n", connection.nNumber, c);
                } else if (connection.faults.nLateAnswerMs > 0) {
                    connection.lateAnswers.emplace_back(
                        std::chrono::steady_clock::now() + std::chrono::milliseconds(connection.faults.nLateAnswerMs),
                        m_options.pState->answers[c - 1]);
                } else {
                    const unsigned char cStatus = m_options.pState->answers[c - 1];
                    send(connection.hSocket, &cStatus, 1, MSG_NOSIGNAL);
                    printf("connection %d -> status 0x%02x for DLE EOT %d (%s status)\n", connection.nNumber, cStatus,
                           c, kKinds[c]);
                }
                connection.nRequestState = 0;
            } else if (connection.nRequestState == 1 && c == 0x04) {
                connection.nRequestState = 2;
            } else {
                connection.nRequestState = c == 0x10 ? 1 : 0;
            }
        }
    }

    void Finish(size_t nIndex, const char* szReason, bool bReset = false) {
        Connection& connection = m_connections[nIndex];
        if (bReset) {
            linger abort{1, 0};
            setsockopt(connection.hSocket, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        }
        close(connection.hSocket);
        if (connection.pRecord != nullptr) fclose(connection.pRecord);
        printf("connection %d %s after %lu byte(s)\n", connection.nNumber, szReason, connection.nReceived);
        if (!m_options.bQuiet && connection.nReceived > 0) {
            printf("----- what connection %d printed -----\n%s\n--------------------------------------\n",
                   connection.nNumber, connection.receipt.Render().c_str());
        }
        m_connections.erase(m_connections.begin() + static_cast<long>(nIndex));
    }

    // Fault modes: the connection's plan, and its own record file.
    void PlanFaults(Connection& connection) {
        connection.faults = m_options.nChaosSeed >= 0 ? FaultPlan::Draw(m_random) : m_options.faults;
        connection.lastUnasked = std::chrono::steady_clock::now();
        if (connection.faults.Any()) {
            m_bFaultsTimed = true;
            printf("connection %d faults:%s\n", connection.nNumber, connection.faults.Describe().c_str());
        }
        if (!m_options.recordDir.empty()) {
            std::string path = m_options.recordDir + "/connection-" + std::to_string(connection.nNumber) + ".bin";
            connection.pRecord = fopen(path.c_str(), "wb");
            if (connection.pRecord == nullptr) fprintf(stderr, "virtual_printer: cannot write %s\n", path.c_str());
        }
    }

    // The timed faults of one connection: late answers and unasked status that are due,
    // and the end of an idle connection that has had its bytes.
    void PlayFaults(size_t nIndex) {
        Connection& connection = m_connections[nIndex];
        const FaultPlan& plan = connection.faults;
        const auto now = std::chrono::steady_clock::now();
        while (!connection.lateAnswers.empty() && connection.lateAnswers.front().first <= now) {
            send(connection.hSocket, &connection.lateAnswers.front().second, 1, MSG_NOSIGNAL);
            connection.lateAnswers.pop_front();
        }
        if (plan.nUnaskedStatusMs > 0 && now - connection.lastUnasked >= std::chrono::milliseconds(plan.nUnaskedStatusMs)) {
            send(connection.hSocket, &m_options.pState->answers[0], 1, MSG_NOSIGNAL);
            connection.lastUnasked = now;
        }
        const long nEndAfter = plan.nDropAfter >= 0 ? plan.nDropAfter : plan.nResetAfter;
        if (nEndAfter < 0 || connection.nReceived < static_cast<unsigned long>(nEndAfter)) return;
        int nUnread = 0;
        ioctl(connection.hSocket, FIONREAD, &nUnread);
        if (nUnread > 0 || now - connection.lastRead < std::chrono::milliseconds(kQuietMs)) return;
        if (plan.nDropAfter >= 0) {
            Finish(nIndex, "dropped while idle (fault)");
        } else {
            Finish(nIndex, "reset while idle (fault)", true);
        }
    }

    const Options& m_options;
    std::mt19937 m_random;
    bool m_bFaultsTimed = false;  // some connection has faults: poll in short ticks
    int m_hListen = -1;
    FILE* m_pRecord = nullptr;
    std::vector<Connection> m_connections;
    int m_nConnections = 0;
    unsigned long m_nTotal = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) return 2;
    setvbuf(stdout, nullptr, _IOLBF, 0);

    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;  // no SA_RESTART: poll returns at once
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Printer printer(options);
    if (!printer.Start()) return 1;
    printer.Run();
    return 0;
}
