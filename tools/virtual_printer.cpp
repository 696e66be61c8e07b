// A receipt printer on a loopback TCP port, for trying the library without a printer and
// for tests. It records every byte it receives, shows each piece as hex and text and each
// finished connection as a readable receipt, answers the real-time status request
// DLE EOT n (0x10 0x04 n, n = 1..4) with one status byte, and misbehaves on request.
// It listens on 127.0.0.1 only and ends on SIGTERM, SIGINT or after --max-seconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxConnections = 16;
constexpr int kTickMs = 50;
constexpr int kSlowReceiveBuffer = 2048;
constexpr size_t kSlowReadBytes = 64;
// Every status the printer reports is "all well": the two bits that are always 1 set,
// online, cover closed, paper present, no error.
constexpr unsigned char kStatusByte = 0x12;

volatile sig_atomic_t g_bStop = 0;

void OnStopSignal(int) { g_bStop = 1; }

struct Options {
    int nPort = 9100;
    std::string recordPath;
    double dMaxSeconds = 600;
    bool bRefuse = false;
    bool bSilent = false;
    long nCloseAfter = -1;  // -1: never
    int nSlowReadMs = 0;    // 0: read at full speed
    bool bQuiet = false;
};

void Usage(FILE* out) {
    fprintf(out,
            "usage: virtual_printer [options]\n"
            "  --port N          TCP port on 127.0.0.1 (default 9100; 0 picks a free one)\n"
            "  --record FILE     also write every byte received to FILE\n"
            "  --max-seconds S   stop after S seconds (default 600)\n"
            "  --quiet           no hex dumps or receipts, only connection lines and the summary\n"
            "misbehaviour:\n"
            "  --refuse          hold the port but refuse every connection\n"
            "  --silent          accept and read, but never answer a status request\n"
            "  --close-after N   close each connection once N bytes have arrived\n"
            "  --slow-read MS    small receive buffer; read %zu bytes every MS milliseconds\n",
            kSlowReadBytes);
}

bool ParseNumber(const char* szText, double dMin, double dMax, double* pValue) {
    char* pEnd = nullptr;
    errno = 0;
    double dValue = strtod(szText, &pEnd);
    if (errno != 0 || pEnd == szText || *pEnd != '\0' || dValue < dMin || dValue > dMax) return false;
    *pValue = dValue;
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
};

class Printer {
public:
    explicit Printer(const Options& options) : m_options(options) {}

    ~Printer() {
        for (Connection& connection : m_connections) close(connection.hSocket);
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
            int nReady = poll(waits.data(), waits.size(), kTickMs);
            if (nReady < 0 && errno != EINTR) break;
            if (nReady <= 0) continue;
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
        if (m_connections.size() >= kMaxConnections) {
            printf("connection refused: already %zu open\n", kMaxConnections);
            close(hSocket);
            return;
        }
        Connection connection;
        connection.hSocket = hSocket;
        connection.nNumber = ++m_nConnections;
        connection.lastRead = std::chrono::steady_clock::now();
        printf("connection %d from %s:%d\n", connection.nNumber, inet_ntoa(peer.sin_addr), ntohs(peer.sin_port));
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
                } else {
                    send(connection.hSocket, &kStatusByte, 1, MSG_NOSIGNAL);
                    printf("connection %d -> status 0x%02x for DLE EOT %d (%s status)\n", connection.nNumber, kStatusByte,
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

    void Finish(size_t nIndex, const char* szReason) {
        Connection& connection = m_connections[nIndex];
        close(connection.hSocket);
        printf("connection %d %s after %lu byte(s)\n", connection.nNumber, szReason, connection.nReceived);
        if (!m_options.bQuiet && connection.nReceived > 0) {
            printf("----- what connection %d printed -----\n%s\n--------------------------------------\n",
                   connection.nNumber, connection.receipt.Render().c_str());
        }
        m_connections.erase(m_connections.begin() + static_cast<long>(nIndex));
    }

    const Options& m_options;
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
