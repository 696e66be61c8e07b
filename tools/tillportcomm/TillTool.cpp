#include "TillTool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>

#include "CLog.h"
#include "PrinterPort.h"
#include "StatusBytes.h"
#include "Survey.h"

#ifndef TILLPORTCOMM_VERSION
#error "TILLPORTCOMM_VERSION must name the library's version"
#endif

namespace tilltool {

namespace {

constexpr const char* kLogName = "tillportcomm";
constexpr unsigned long kDefaultTimeoutMs = 1000;
constexpr unsigned long kMaxTimeoutMs = 600000;
constexpr size_t kMaxJobBytes = 64u << 20;

void Usage(std::ostream& out) {
    out << "usage: tillportcomm [options] list\n"
           "       tillportcomm [options] status TARGET\n"
           "       tillportcomm [options] print TARGET [FILE|-]\n"
           "\n"
           "Checks a till's receipt printer through the same ports the till's printer service uses.\n"
           "  list            USB printers of vendor 0C3B and serial lines COM1..COM9, and whether this\n"
           "                  user may open them (no serial line is opened to list it)\n"
           "  status TARGET   asks the printer for its four status bytes (DLE EOT 1..4) and explains them\n"
           "  print TARGET    prints FILE, or standard input with -, as one job; with neither, a short\n"
           "                  test receipt (text, then a cut); tells bytes sent and time taken\n"
           "\n"
           "TARGET:\n"
           "  usb:PPPP[:ADDRESS]         product ID PPPP (4 hex digits) of vendor 0C3B; ADDRESS picks one of\n"
           "                             several printers by the last digit of its serial number (see list)\n"
           "  serial:PORT[:BAUD[:FLOW]]  PORT COM1..COM9 or /dev/ttyS0../dev/ttyS8; BAUD 1200..115200\n"
           "                             (default 9600); FLOW none, rtscts or xonxoff (default none)\n"
           "  tcp:HOST[:PORT]            IPv4 address or host name; PORT default 9100\n"
           "\n"
           "options:\n"
           "  --timeout MS   wait up to MS milliseconds for each answer and each write (default 1000)\n"
           "  --log          the library's log, with hex dumps of every byte, on standard error\n"
           "  --help         this text\n"
           "  --version      the library version\n"
           "\n"
           "exit status: 0 ok, 1 the printer reports a problem or does not answer, 2 bad usage,\n"
           "3 the printer cannot be opened (not there, no permission, held by another program)\n";
}

int UsageError(std::ostream& err, const std::string& message) {
    err << "tillportcomm: " << message << "\nRun 'tillportcomm --help' for the commands and targets.\n";
    return kExitUsage;
}

struct CommandLine {
    bool bHelp = false;
    bool bVersion = false;
    bool bLog = false;
    unsigned long nTimeoutMs = kDefaultTimeoutMs;
    std::vector<std::string> words;  // the command and its operands
};

bool ParseTimeout(const std::string& text, unsigned long* pTimeoutMs) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long nValue = std::strtoul(text.c_str(), nullptr, 10);
    if (nValue < 1 || nValue > kMaxTimeoutMs) return false;
    *pTimeoutMs = nValue;
    return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* pLine, std::string* pError) {
    bool bOperandsOnly = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (bOperandsOnly || arg.empty() || arg[0] != '-' || arg == "-") {
            pLine->words.push_back(arg);
        } else if (arg == "--") {
            bOperandsOnly = true;
        } else if (arg == "--help" || arg == "-h") {
            pLine->bHelp = true;
        } else if (arg == "--version" || arg == "-V") {
            pLine->bVersion = true;
        } else if (arg == "--log") {
            pLine->bLog = true;
        } else if (arg == "--timeout" || arg.compare(0, 10, "--timeout=") == 0) {
            std::string value;
            if (arg == "--timeout") {
                if (i + 1 >= args.size()) {
                    *pError = "--timeout needs a number of milliseconds";
                    return false;
                }
                value = args[++i];
            } else {
                value = arg.substr(10);
            }
            if (!ParseTimeout(value, &pLine->nTimeoutMs)) {
                *pError = "bad timeout \"" + value + "\": give 1.." + std::to_string(kMaxTimeoutMs) + " milliseconds";
                return false;
            }
        } else {
            *pError = "unknown option \"" + arg + "\"";
            return false;
        }
    }
    return true;
}

// The library's log on standard error: its file destination pointed at standard error's
// descriptor, with no size bound (so it never tries to rotate standard error). The environment and the log are
// put back when the command ends, which also closes, and so flushes, the log's stream.
class LogToStandardError {
public:
    explicit LogToStandardError(bool bOn) : m_bOn(bOn) {
        if (!m_bOn) return;
        Save("TILLPORTCOMM_LOG_FILE", &m_file);
        Save("TILLPORTCOMM_LOG_MAX_BYTES", &m_maxBytes);
        // /proc/self/fd/2 is there wherever /proc is; /dev/stderr, a link to it, only where
        // udev or systemd made it (not in a bare initramfs).
        setenv("TILLPORTCOMM_LOG_FILE", access("/proc/self/fd/2", F_OK) == 0 ? "/proc/self/fd/2" : "/dev/stderr", 1);
        setenv("TILLPORTCOMM_LOG_MAX_BYTES", "0", 1);
        // The log opens standard error anew, appending. When standard error is a file, descriptor
        // 2 must append too, or the tool's own messages would overwrite log lines.
        struct stat info;
        int nFlags = fcntl(STDERR_FILENO, F_GETFL);
        if (nFlags >= 0 && (nFlags & O_APPEND) == 0 && fstat(STDERR_FILENO, &info) == 0 && S_ISREG(info.st_mode)) {
            fcntl(STDERR_FILENO, F_SETFL, nFlags | O_APPEND);
        }
        CCLog::SetLogEnable(0, false);  // a log stream opened earlier must not take these lines
        CCLog::SetLogEnable(2, true);
        CCLog::WriteLogP(kLogName, "tillportcomm %s", ToolVersion());
    }
    ~LogToStandardError() {
        if (!m_bOn) return;
        CCLog::SetLogEnable(0, false);
        Restore("TILLPORTCOMM_LOG_FILE", m_file);
        Restore("TILLPORTCOMM_LOG_MAX_BYTES", m_maxBytes);
    }
    LogToStandardError(const LogToStandardError&) = delete;
    LogToStandardError& operator=(const LogToStandardError&) = delete;

private:
    struct Saved {
        bool bSet = false;
        std::string value;
    };
    static void Save(const char* szName, Saved* pSaved) {
        const char* szValue = getenv(szName);
        pSaved->bSet = szValue != nullptr;
        if (szValue != nullptr) pSaved->value = szValue;
    }
    static void Restore(const char* szName, const Saved& saved) {
        if (saved.bSet) {
            setenv(szName, saved.value.c_str(), 1);
        } else {
            unsetenv(szName);
        }
    }

    bool m_bOn;
    Saved m_file, m_maxBytes;
};

const char* NoAnswerAdvice(const Target& target) {
    switch (target.kind) {
    case Target::Kind::Serial:
        return "Is the printer switched on and its cable plugged in? Do the baud rate and flow control match the "
               "printer's settings?";
    case Target::Kind::Usb:
        return "Is the printer switched on? Unplug it and plug it in again.";
    case Target::Kind::Tcp:
        break;
    }
    return "Is the printer switched on, and is this its raw printing port (usually 9100)?";
}

int RunStatus(const Target& target, unsigned long nTimeoutMs, std::ostream& out, std::ostream& err) {
    int nExitCode = kExitOk;
    std::unique_ptr<PrinterPort> port = PrinterPort::Open(target, nTimeoutMs, err, &nExitCode);
    if (!port) return nExitCode;
    out << "Printer " << target.text << ", waiting up to " << nTimeoutMs << " ms for each answer:\n";
    // Bytes that came before the requests are no answers to them.
    port->DiscardInput();
    StatusBytes bytes{};
    for (int n = 1; n <= 4; ++n) {
        char szLabel[48];
        snprintf(szLabel, sizeof(szLabel), "  DLE EOT %d  %-16s", n, StatusKind(n));
        unsigned char request[] = {0x10, 0x04, static_cast<unsigned char>(n)};
        size_t nSent = 0;
        size_t nExtra = 0;
        std::string why;
        if (!port->Send(request, sizeof(request), &nSent, &why)) {
            out << szLabel << "request not sent\n";
            err << "tillportcomm: the printer took no status request (" << why << "). " << NoAnswerAdvice(target)
                << "\n";
            return kExitPrinter;
        }
        int nAnswer = port->ReceiveByte(&why, &nExtra);
        if (nAnswer < 0) {
            out << szLabel << "no answer within " << nTimeoutMs << " ms\n";
            err << "tillportcomm: the printer gave no answer within " << nTimeoutMs << " ms (" << why << "). "
                << NoAnswerAdvice(target) << "\n";
            return kExitPrinter;
        }
        bytes[n - 1] = static_cast<unsigned char>(nAnswer);
        char szByte[16];
        snprintf(szByte, sizeof(szByte), "0x%02x", nAnswer);
        out << szLabel << szByte << "  " << DescribeStatusByte(n, bytes[n - 1]);
        if (nExtra > 0) out << " (and " << nExtra << " more bytes)";
        out << "\n";
    }
    char szRaw[32];
    snprintf(szRaw, sizeof(szRaw), "%02x %02x %02x %02x", bytes[0], bytes[1], bytes[2], bytes[3]);
    out << "  raw status bytes: " << szRaw << "\n";
    StatusVerdict verdict = JudgeStatus(bytes);
    out << verdict.text << "\n";
    return verdict.bReady ? kExitOk : kExitPrinter;
}

// Initialise, a heading, what was asked for and when, a few lines of characters, feed, cut.
std::vector<unsigned char> TestReceipt(const Target& target) {
    char szNow[32] = "";
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) strftime(szNow, sizeof(szNow), "%Y-%m-%d %H:%M:%S", &local);
    std::string printable = target.text;
    for (char& c : printable) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
    }
    std::vector<unsigned char> job = {0x1b, '@', 0x1b, 'a', 1, 0x1b, 'E', 1};
    auto text = [&job](const std::string& line) { job.insert(job.end(), line.begin(), line.end()); };
    text("TILLPORTCOMM TEST PAGE\n");
    job.insert(job.end(), {0x1b, 'E', 0, 0x1b, 'a', 0});
    text("printer: " + printable + "\n");
    text("printed: " + std::string(szNow) + "\n");
    text(std::string("tool:    tillportcomm ") + ToolVersion() + "\n\n");
    text("0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ\n");
    text("abcdefghijklmnopqrstuvwxyz .,:;!?()+-*/=\n\n");
    text("If you can read this, the printer\nprints what the till sends.\n");
    job.insert(job.end(), {0x1b, 'd', 4, 0x1d, 'V', 66, 0});
    return job;
}

bool ReadJob(const std::string& source, std::istream& in, std::vector<unsigned char>* pJob, std::string* pError) {
    std::ifstream file;
    std::istream* pStream = &in;
    const std::string name = source == "-" ? "standard input" : source;
    if (source != "-") {
        file.open(source, std::ios::binary);
        if (!file) {
            *pError = "cannot read " + source + ": " + strerror(errno);
            return false;
        }
        pStream = &file;
    }
    char buffer[65536];
    while (pStream->read(buffer, sizeof(buffer)) || pStream->gcount() > 0) {
        pJob->insert(pJob->end(), buffer, buffer + pStream->gcount());
        if (pJob->size() > kMaxJobBytes) {
            *pError = name + " holds more than " + std::to_string(kMaxJobBytes >> 20) + " MiB: that is no receipt";
            return false;
        }
    }
    if (pStream->bad()) {
        *pError = "cannot read " + name;
        return false;
    }
    if (pJob->empty()) {
        *pError = "nothing to print: " + name + " is empty";
        return false;
    }
    return true;
}

int RunPrint(const Target& target, std::vector<unsigned char>& job, unsigned long nTimeoutMs, std::ostream& out,
             std::ostream& err) {
    int nExitCode = kExitOk;
    std::unique_ptr<PrinterPort> port = PrinterPort::Open(target, nTimeoutMs, err, &nExitCode);
    if (!port) return nExitCode;
    const auto start = std::chrono::steady_clock::now();
    size_t nSent = 0;
    std::string why;
    const bool bSent = port->Send(job.data(), job.size(), &nSent, &why);
    const double dMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!bSent) {
        err << "tillportcomm: " << nSent << " of " << job.size() << " bytes went out to " << target.text << " ("
            << why << "). 'tillportcomm status " << target.text << "' tells whether the printer is ready.\n";
        return kExitPrinter;
    }
    char szTime[32];
    snprintf(szTime, sizeof(szTime), "%.1f ms", dMs);
    out << "Sent " << job.size() << " bytes to " << target.text << " in " << szTime;
    if (target.kind == Target::Kind::Tcp) out << "; the close then waits (up to 2 s) until the printer has taken it all";
    out << ".\n";
    return kExitOk;
}

}  // namespace

const char* ToolVersion() { return TILLPORTCOMM_VERSION; }

int RunTillTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    CommandLine line;
    std::string error;
    if (!ParseCommandLine(args, &line, &error)) return UsageError(err, error);
    if (line.bHelp) {
        Usage(out);
        return kExitOk;
    }
    if (line.bVersion) {
        out << "tillportcomm " << ToolVersion() << "\n";
        return kExitOk;
    }
    if (line.words.empty()) return UsageError(err, "no command: give list, status TARGET or print TARGET [FILE|-]");

    const std::string& command = line.words[0];
    if (command == "list") {
        if (line.words.size() > 1) return UsageError(err, "list takes no operands");
        LogToStandardError log(line.bLog);
        WriteList(out);
        return kExitOk;
    }
    const size_t nMaxWords = command == "status" ? 2 : command == "print" ? 3 : 0;
    if (nMaxWords == 0) return UsageError(err, "unknown command \"" + command + "\": give list, status or print");
    if (line.words.size() < 2) return UsageError(err, command + " needs a TARGET");
    if (line.words.size() > nMaxWords) return UsageError(err, "too many operands for " + command);
    Target target;
    if (!ParseTarget(line.words[1], &target, &error)) return UsageError(err, error);

    std::vector<unsigned char> job;
    if (command == "print") {
        if (line.words.size() == 3) {
            if (!ReadJob(line.words[2], in, &job, &error)) return UsageError(err, error);
        } else {
            job = TestReceipt(target);
        }
    }
    LogToStandardError log(line.bLog);
    if (command == "status") return RunStatus(target, line.nTimeoutMs, out, err);
    return RunPrint(target, job, line.nTimeoutMs, out, err);
}

}  // namespace tilltool
