// A receipt printer on a character device, for the tests on the kernel's own drivers in the
// emulated ARM machines: the device side of a USB printer gadget (/dev/g_printerN of the
// kernel's printer function) or the far end of a serial line (the virtio console port that
// qemu joins to the machine's 16550 UART). It records every byte it receives and answers the
// real-time status requests DLE EOT n as the virtual network printer does (the engine's
// StatusRequests). On commands from standard input, one a line, it sends bytes in one write
// (on a gadget: one transfer, so a packet as long as the bytes), stops and resumes reading,
// and unplugs or replugs a gadget by powering its hub port off and on; it answers each
// command with one line on standard output. The device stays open for the whole run (closing
// a gadget's node at the wrong moment is what a printer program must not do); the program
// ends on SIGTERM, SIGINT or after --max-seconds.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PrinterEngine.h"

namespace {

constexpr size_t kMaxCommandLine = 16384;
constexpr size_t kMaxSendBytes = 4096;
// A gadget's node opens only once the host has configured the gadget: tries, this far apart.
constexpr int kOpenTries = 200;
constexpr int kOpenRetryMs = 50;
// While the device reports a hang-up (an unplugged gadget), it is looked at this often.
constexpr int kOfflineRetryMs = 20;

volatile sig_atomic_t g_bStop = 0;

void OnStopSignal(int) { g_bStop = 1; }

struct Options {
    std::string device;
    std::string record;
    std::string portDisable;  // the hub port's "disable" attribute in sysfs
    const printer::ReportedState* pState = nullptr;
    double dMaxSeconds = 3600;
};

void Usage(FILE* out) {
    fprintf(out,
            "usage: device_printer --device PATH [options]\n"
            "  --device PATH        the printer's character device (/dev/g_printer0, /dev/vport1p2)\n"
            "  --record FILE        write every byte received to FILE\n"
            "  --status STATE       what DLE EOT 1..4 report: ok (default), near-end, paper-out,\n"
            "                       cover-open or offline\n"
            "  --port-disable FILE  the gadget's hub port attribute that unplug and replug switch\n"
            "  --max-seconds S      stop after S seconds (default 3600)\n"
            "commands on standard input, each answered by a line \"ok ...\" or \"error ...\":\n"
            "  send HEX   write the bytes (at most %zu) to the device in one write\n"
            "  pause      stop reading: the device keeps what its buffers hold, the host waits\n"
            "  resume     read again\n"
            "  unplug     power the hub port off (the host sees the printer go)\n"
            "  replug     power it on again (the host finds the printer anew)\n",
            kMaxSendBytes);
}

bool ParseOptions(int argc, char** argv, Options* pOptions) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* szValue = i + 1 < argc ? argv[i + 1] : nullptr;
        if (option == "--help" || option == "-h") {
            Usage(stdout);
            exit(0);
        }
        if (szValue == nullptr) {
            fprintf(stderr, "device_printer: %s needs a value\n", option.c_str());
            return false;
        }
        ++i;
        if (option == "--device") {
            pOptions->device = szValue;
        } else if (option == "--record") {
            pOptions->record = szValue;
        } else if (option == "--port-disable") {
            pOptions->portDisable = szValue;
        } else if (option == "--status" && printer::FindReportedState(szValue) != nullptr) {
            pOptions->pState = printer::FindReportedState(szValue);
        } else if (option == "--max-seconds" && atof(szValue) > 0) {
            pOptions->dMaxSeconds = atof(szValue);
        } else {
            fprintf(stderr, "device_printer: bad option %s %s\n", option.c_str(), szValue);
            return false;
        }
    }
    if (pOptions->device.empty()) {
        Usage(stderr);
        return false;
    }
    return true;
}

// Writes all of the bytes to a regular file; false on a failure.
bool WriteAll(int hFile, const uint8_t* pData, size_t nSize) {
    while (nSize > 0) {
        ssize_t nWritten = write(hFile, pData, nSize);
        if (nWritten < 0 && errno == EINTR) continue;
        if (nWritten <= 0) return false;
        pData += nWritten;
        nSize -= static_cast<size_t>(nWritten);
    }
    return true;
}

class DevicePrinter {
public:
    explicit DevicePrinter(const Options& options) : m_options(options), m_requests(options.pState) {}
    ~DevicePrinter() {
        if (m_hDevice >= 0) close(m_hDevice);
        if (m_hRecord >= 0) close(m_hRecord);
    }

    bool Start() {
        if (!m_options.record.empty()) {
            m_hRecord = open(m_options.record.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (m_hRecord < 0) return Fail("cannot write " + m_options.record);
        }
        for (int nTry = 0; nTry < kOpenTries && !g_bStop; ++nTry) {
            m_hDevice = open(m_options.device.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (m_hDevice >= 0 || errno != ENODEV) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(kOpenRetryMs));
        }
        if (m_hDevice < 0) return Fail("cannot open " + m_options.device);
        return true;
    }

    // One turn: waits up to nWaitMs for a command, bytes from the host or room to send.
    void Turn(int nWaitMs) {
        const bool bWatchDevice = !m_bOffline && (!m_bPaused || !m_pending.empty());
        short nEvents = static_cast<short>((m_bPaused ? 0 : POLLIN) | (m_pending.empty() ? 0 : POLLOUT));
        pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {bWatchDevice ? m_hDevice : -1, nEvents, 0}};
        m_bOffline = false;
        if (poll(waits, 2, bWatchDevice ? nWaitMs : std::min(nWaitMs, kOfflineRetryMs)) <= 0) return;
        if (waits[0].revents != 0) ReadCommands();
        const short nReady = waits[1].revents;
        // A gadget the host has not configured (unplugged) reports a hang-up until it is back.
        if (nReady & (POLLERR | POLLHUP | POLLNVAL)) m_bOffline = true;
        if ((nReady & POLLIN) && !m_bPaused) Receive();
        if (nReady & POLLOUT) SendPending();
    }

    bool InputEnded() const { return m_bInputEnded; }
    unsigned long Received() const { return m_nReceived; }

private:
    bool Fail(const std::string& what) {
        fprintf(stderr, "device_printer: %s: %s\n", what.c_str(), strerror(errno));
        return false;
    }

    void Receive() {
        uint8_t buffer[65536];
        ssize_t nRead = read(m_hDevice, buffer, sizeof(buffer));
        if (nRead <= 0) {
            if (nRead < 0 && errno == ENODEV) m_bOffline = true;
            return;
        }
        const size_t nSize = static_cast<size_t>(nRead);
        m_nReceived += nSize;
        if (m_hRecord >= 0 && !WriteAll(m_hRecord, buffer, nSize)) Fail("record");
        m_requests.Scan(buffer, nSize, [this](int, uint8_t cStatus) { m_pending.push_back({{cStatus}, false}); });
        SendPending();
    }

    // Writes what waits to go out, each piece in one write, as long as the device takes it.
    void SendPending() {
        while (!m_pending.empty()) {
            Piece& piece = m_pending.front();
            ssize_t nWritten = write(m_hDevice, piece.bytes.data(), piece.bytes.size());
            if (nWritten < 0) {
                if (errno == ENODEV) m_bOffline = true;
                if (errno != EAGAIN && errno != EINTR && errno != ENODEV) {
                    // Only a commanded send gets an answer line: one line for each command.
                    printf(piece.bCommanded ? "error send: %s\n" : "status answer lost: %s\n", strerror(errno));
                    m_pending.pop_front();
                    continue;
                }
                return;
            }
            piece.bytes.erase(piece.bytes.begin(), piece.bytes.begin() + nWritten);
            if (!piece.bytes.empty()) return;
            if (piece.bCommanded) printf("ok send %zu\n", piece.nSize);
            m_pending.pop_front();
        }
    }

    void ReadCommands() {
        char buffer[4096];
        ssize_t nRead = read(STDIN_FILENO, buffer, sizeof(buffer));
        if (nRead == 0) m_bInputEnded = true;
        if (nRead <= 0) return;
        m_line.append(buffer, static_cast<size_t>(nRead));
        size_t nEnd;
        while ((nEnd = m_line.find('\n')) != std::string::npos) {
            Run(m_line.substr(0, nEnd));
            m_line.erase(0, nEnd + 1);
        }
        if (m_line.size() > kMaxCommandLine) {
            printf("error command longer than %zu characters\n", kMaxCommandLine);
            m_line.clear();
        }
    }

    void Run(const std::string& line) {
        std::istringstream words(line);
        std::string command, argument, extra;
        words >> command >> argument >> extra;
        if (command.empty()) return;
        std::vector<uint8_t> bytes;
        if (command == "send" && !argument.empty() && extra.empty() &&
            printer::ParseHexBytes(argument, kMaxSendBytes, &bytes)) {
            const size_t nSize = bytes.size();
            m_pending.push_back({std::move(bytes), true, nSize});
            SendPending();
        } else if ((command == "pause" || command == "resume") && argument.empty()) {
            m_bPaused = command == "pause";
            printf("ok %s\n", command.c_str());
        } else if ((command == "unplug" || command == "replug") && argument.empty()) {
            SwitchPort(command);
        } else {
            printf("error bad command \"%s\"\n", line.c_str());
        }
    }

    // The hub port's power: "1" in its disable attribute takes the printer off the bus, "0"
    // brings it back, and the host enumerates it anew.
    void SwitchPort(const std::string& command) {
        const char* szValue = command == "unplug" ? "1\n" : "0\n";
        int hPort = m_options.portDisable.empty() ? -1 : open(m_options.portDisable.c_str(), O_WRONLY | O_CLOEXEC);
        bool bDone = hPort >= 0 && write(hPort, szValue, 2) == 2;
        const int nError = errno;
        if (hPort >= 0) close(hPort);
        if (bDone) {
            printf("ok %s\n", command.c_str());
        } else {
            printf("error %s: %s\n", command.c_str(),
                   m_options.portDisable.empty() ? "no --port-disable" : strerror(nError));
        }
    }

    struct Piece {
        std::vector<uint8_t> bytes;
        bool bCommanded;  // by "send", which is answered once the bytes are out
        size_t nSize = 0;
    };

    const Options& m_options;
    printer::StatusRequests m_requests;
    int m_hDevice = -1;
    int m_hRecord = -1;
    bool m_bPaused = false;
    bool m_bOffline = false;
    bool m_bInputEnded = false;
    unsigned long m_nReceived = 0;
    std::deque<Piece> m_pending;
    std::string m_line;
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

    DevicePrinter printer(options);
    if (!printer.Start()) return 1;
    printf("device_printer ready on %s\n", options.device.c_str());

    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(static_cast<long>(options.dMaxSeconds * 1000));
    while (!g_bStop && !printer.InputEnded() && std::chrono::steady_clock::now() < deadline) printer.Turn(200);
    printf("device_printer stopped: %lu byte(s) received\n", printer.Received());
    return 0;
}
