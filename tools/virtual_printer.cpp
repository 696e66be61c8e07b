// A receipt printer on a loopback TCP port, for trying the library without a printer and
// for tests: the command line, the output and the main loop around the printer's engine
// (tools/printer/PrinterEngine.h), which records every byte, answers the real-time status
// request DLE EOT n and misbehaves on request. This program shows each piece received as
// hex and text and each finished connection as a readable receipt, and with --commands
// sends bytes on request from standard input. It listens on 127.0.0.1 only and ends on
// SIGTERM, SIGINT, after --max-seconds, or at the end of its commands.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "PrinterEngine.h"

namespace {

// The longest command line, and the most bytes one send carries.
constexpr size_t kMaxCommandLine = 16384;
constexpr size_t kMaxSendBytes = 4096;

volatile sig_atomic_t g_bStop = 0;

void OnStopSignal(int) { g_bStop = 1; }

struct Options {
    printer::PrinterSettings printer;
    double dMaxSeconds = 600;
    bool bQuiet = false;
    bool bCommands = false;
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
            "  --commands        read commands from standard input, one a line; its end stops\n"
            "                    the printer:\n"
            "                      send HEX [MS]  send the bytes HEX (two hex digits each, at most\n"
            "                                     %zu bytes) to the newest open connection, MS\n"
            "                                     milliseconds from now (default 0)\n"
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
            kMaxSendBytes, printer::kSlowReadBytes, printer::PrinterSettings().nMaxConnections);
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
bool ParseFaultOption(const std::string& option, const char* szValue, printer::PrinterSettings* pPrinter) {
    double dValue = 0;
    if (szValue == nullptr) return false;
    if (option == "--record-dir") {
        pPrinter->recordDir = szValue;
        return true;
    }
    if (option == "--drop-after" && ParseNumber(szValue, 0, 1e12, &dValue)) {
        pPrinter->faults.nDropAfter = static_cast<long>(dValue);
    } else if (option == "--reset-after" && ParseNumber(szValue, 0, 1e12, &dValue)) {
        pPrinter->faults.nResetAfter = static_cast<long>(dValue);
    } else if (option == "--unasked-status" && ParseNumber(szValue, 1, 3600000, &dValue)) {
        pPrinter->faults.nUnaskedStatusMs = static_cast<int>(dValue);
    } else if (option == "--late-answer" && ParseNumber(szValue, 1, 3600000, &dValue)) {
        pPrinter->faults.nLateAnswerMs = static_cast<int>(dValue);
    } else if (option == "--chaos" && ParseNumber(szValue, 0, 2147483647, &dValue)) {
        pPrinter->nChaosSeed = static_cast<long>(dValue);
    } else if (option == "--max-connections" && ParseNumber(szValue, 1, 1000, &dValue)) {
        pPrinter->nMaxConnections = static_cast<size_t>(dValue);
    } else {
        return false;
    }
    return true;
}

bool ParseOptions(int argc, char** argv, Options* pOptions) {
    printer::PrinterSettings& printer = pOptions->printer;
    printer.nPort = 9100;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        bool bHasValue = i + 1 < argc;
        double dValue = 0;
        if (option == "--help" || option == "-h") {
            Usage(stdout);
            exit(0);
        } else if (option == "--refuse") {
            printer.bRefuse = true;
        } else if (option == "--silent") {
            printer.bAnswerStatus = false;
        } else if (option == "--quiet") {
            pOptions->bQuiet = true;
        } else if (option == "--commands") {
            pOptions->bCommands = true;
        } else if (option == "--status" && bHasValue && printer::FindReportedState(argv[i + 1]) != nullptr) {
            printer.pState = printer::FindReportedState(argv[++i]);
        } else if (option == "--record" && bHasValue) {
            printer.recordPath = argv[++i];
        } else if (option == "--port" && bHasValue && ParseNumber(argv[i + 1], 0, 65535, &dValue)) {
            printer.nPort = static_cast<int>(dValue);
            ++i;
        } else if (option == "--max-seconds" && bHasValue && ParseNumber(argv[i + 1], 0.1, 86400, &dValue)) {
            pOptions->dMaxSeconds = dValue;
            ++i;
        } else if (option == "--close-after" && bHasValue && ParseNumber(argv[i + 1], 0, 1e12, &dValue)) {
            printer.nCloseAfter = static_cast<long>(dValue);
            ++i;
        } else if (option == "--slow-read" && bHasValue && ParseNumber(argv[i + 1], 1, 60000, &dValue)) {
            printer.nSlowReadMs = static_cast<int>(dValue);
            printer.nReceiveBuffer = printer::kSlowReceiveBuffer;
            ++i;
        } else if (ParseFaultOption(option, bHasValue ? argv[i + 1] : nullptr, &printer)) {
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

// What the printer does, as lines on standard output: every connection and status answer,
// and unless quiet each piece received as a hex dump and each finished connection as a
// receipt.
class Console : public printer::PrinterEvents {
public:
    explicit Console(bool bQuiet) : m_bQuiet(bQuiet) {}

    void Accepted(int nConnection, const char* szPeer, int nPeerPort) override {
        printf("connection %d from %s:%d\n", nConnection, szPeer, nPeerPort);
    }
    void TurnedAway(size_t nOpen) override { printf("connection refused: already %zu open\n", nOpen); }
    void FaultsPlanned(int nConnection, const printer::FaultPlan& plan) override {
        printf("connection %d faults:%s\n", nConnection, plan.Describe().c_str());
    }
    void Received(int nConnection, const uint8_t* pData, size_t nSize) override {
        if (m_bQuiet) return;
        m_receipts[nConnection].Add(pData, nSize);
        printf("connection %d <- %zu byte(s)\n", nConnection, nSize);
        PrintDump(pData, nSize);
    }
    void StatusAnswered(int nConnection, int nRequest, uint8_t cStatus) override {
        static const char* const kKinds[] = {"", "printer", "offline", "error", "paper sensor"};
        printf("connection %d -> status 0x%02x for DLE EOT %d (%s status)\n", nConnection, cStatus, nRequest,
               kKinds[nRequest]);
    }
    void StatusUnanswered(int nConnection, int nRequest) override {
        printf("connection %d: status request DLE EOT %d left unanswered (--silent)\n", nConnection, nRequest);
    }
    void ReplySent(int nConnection, size_t nSize) override {
        printf("connection %d -> %zu byte(s) sent\n", nConnection, nSize);
    }
    void Ended(int nConnection, printer::EndReason reason, unsigned long nReceived) override {
        printf("connection %d %s after %lu byte(s)\n", nConnection, Why(reason), nReceived);
        auto receipt = m_receipts.find(nConnection);
        if (receipt == m_receipts.end()) return;
        printf("----- what connection %d printed -----\n%s\n--------------------------------------\n", nConnection,
               receipt->second.Render().c_str());
        m_receipts.erase(receipt);
    }
    void Problem(const std::string& text) override { fprintf(stderr, "virtual_printer: %s\n", text.c_str()); }

private:
    static const char* Why(printer::EndReason reason) {
        switch (reason) {
            case printer::EndReason::ClientClosed: return "closed by the client";
            case printer::EndReason::ReceiveFailed: return "receive failed";
            case printer::EndReason::ClosedAtOnce: return "closed by --close-after 0";
            case printer::EndReason::ClosedAfter: return "closed by --close-after";
            case printer::EndReason::Dropped: return "dropped while idle (fault)";
            case printer::EndReason::Reset: return "reset while idle (fault)";
            case printer::EndReason::ResetAtAccept: return "reset after its accept";
            case printer::EndReason::Stopped: break;
        }
        return "printer stopped";
    }

    const bool m_bQuiet;
    std::map<int, ReceiptText> m_receipts;  // of the open connections that received bytes
};

// The commands of --commands, one a line on standard input.
class Commands {
public:
    // Takes what standard input has and runs the lines it completes; false once it has ended.
    bool ReadFrom(int hInput, printer::PrinterEngine& engine) {
        char buffer[4096];
        ssize_t nRead = read(hInput, buffer, sizeof(buffer));
        if (nRead < 0) return errno == EINTR || errno == EAGAIN;
        if (nRead == 0) return false;
        m_pending.append(buffer, static_cast<size_t>(nRead));
        size_t nEnd;
        while ((nEnd = m_pending.find('\n')) != std::string::npos) {
            Run(m_pending.substr(0, nEnd), engine);
            m_pending.erase(0, nEnd + 1);
        }
        if (m_pending.size() > kMaxCommandLine) {
            fprintf(stderr, "virtual_printer: command line longer than %zu characters dropped\n", kMaxCommandLine);
            m_pending.clear();
        }
        return true;
    }

private:
    // send HEX [MS]
    static void Run(const std::string& line, printer::PrinterEngine& engine) {
        std::istringstream words(line);
        std::string command, hex, delay, extra;
        words >> command >> hex >> delay >> extra;
        if (command.empty()) return;
        std::vector<uint8_t> bytes;
        double dDelayMs = 0;
        if (command != "send" || hex.empty() || !printer::ParseHexBytes(hex, kMaxSendBytes, &bytes) ||
            !extra.empty() || (!delay.empty() && !ParseNumber(delay.c_str(), 0, 3600000, &dDelayMs))) {
            fprintf(stderr, "virtual_printer: bad command \"%s\" (send HEX [MS])\n", line.c_str());
        } else if (!engine.Send(std::move(bytes), static_cast<unsigned>(dDelayMs))) {
            fprintf(stderr, "virtual_printer: send: no connection open\n");
        }
    }

    std::string m_pending;
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

    Console console(options.bQuiet);
    printer::PrinterEngine engine(options.printer, &console);
    if (!engine.Start()) {
        fprintf(stderr, "virtual_printer: %s: %s\n", engine.FailedStep().c_str(), strerror(errno));
        return 1;
    }
    printf("virtual_printer %s on 127.0.0.1 port %d\n", options.printer.bRefuse ? "refusing" : "listening",
           engine.Port());

    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(static_cast<long>(options.dMaxSeconds * 1000));
    Commands commands;
    while (!g_bStop && std::chrono::steady_clock::now() < deadline) {
        if (engine.Turn(options.bCommands ? STDIN_FILENO : -1) && !commands.ReadFrom(STDIN_FILENO, engine)) break;
    }
    double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    engine.Stop();
    printf("virtual_printer stopped after %.1f s: %d connection(s), %lu byte(s) received\n", dSeconds,
           engine.Connections(), engine.TotalReceived());
    return 0;
}
