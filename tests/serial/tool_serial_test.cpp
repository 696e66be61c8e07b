// The technician's tool on emulated serial lines: list names the lines without opening
// them, a status over a line, and lines that are missing or are no serial port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ComPortRs232.h"
#include "SerialLine.h"
#include "ToolRun.h"

namespace {

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << "no \"" << (part) << "\" in:\n" << (text)

// The device behind the testbed's /dev/ttyS<index>.
std::string DeviceBehind(int index) {
    const char* szRoot = getenv("UMOCKDEV_DIR");
    std::string node = std::string(szRoot != nullptr ? szRoot : "") + "/dev/ttyS" + std::to_string(index);
    char szReal[PATH_MAX];
    return realpath(node.c_str(), szReal) != nullptr ? szReal : node;
}

// Waits (bounded) until the line is open at the library's end: until then the printer's end
// reports a hang-up.
bool AwaitOpened(int hPrinterEnd, int nTimeoutMs) {
    for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 10) {
        pollfd wait = {hPrinterEnd, POLLIN, 0};
        int nReady = poll(&wait, 1, 10);
        if (nReady == 0 || (nReady > 0 && (wait.revents & POLLHUP) == 0)) return true;
        if (nReady > 0) usleep(10000);
    }
    return false;
}

bool OpenSeen(int hWatch) {
    char events[4096];
    return read(hWatch, events, sizeof(events)) > 0;
}

}  // namespace

TEST(ToolSerial, ListShowsTheLinesWithoutOpeningThem) {
    SerialLine lines;
    ASSERT_GE(lines.AddLine(2), 0);
    const int nMissing = lines.MissingIndex();
    ASSERT_GE(nMissing, 0);
    // Every open of the line's device, by anyone, is an event on this watch.
    int hWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(hWatch, 0);
    const std::string device = DeviceBehind(2);
    ASSERT_GE(inotify_add_watch(hWatch, device.c_str(), IN_OPEN), 0) << device;

    ToolRun run = RunTool({"list"});
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_HAS(run.out, "  serial:COM3  /dev/ttyS2  this user may open it: yes\n");
    EXPECT_HAS(run.out, "  serial:COM" + std::to_string(nMissing + 1) + "  /dev/ttyS" + std::to_string(nMissing) +
                            "  not present\n");
    EXPECT_FALSE(OpenSeen(hWatch)) << "list opened the line";

    // The watch does see an open.
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(OpenSeen(hWatch));
    close(hWatch);
}

TEST(ToolSerial, StatusOverTheLineDecodesACoverOpen) {
    SerialLine lines;
    const int hPrinterEnd = lines.AddLine(3);
    ASSERT_GE(hPrinterEnd, 0);
    const unsigned char answers[] = {0x1a, 0x16, 0x12, 0x12};
    std::vector<std::vector<unsigned char>> requests;
    std::thread printer([&] {
        if (!AwaitOpened(hPrinterEnd, 5000)) return;
        for (unsigned char answer : answers) {
            std::vector<unsigned char> request = lines.Receive(3, 3, 3000);
            if (request.size() != 3) return;
            requests.push_back(request);
            lines.Send(3, {answer});
        }
    });
    ToolRun run = RunTool({"status", "serial:com4:19200:rtscts"});
    printer.join();

    EXPECT_EQ(run.nExit, tilltool::kExitPrinter) << run.err;
    EXPECT_HAS(run.out, "DLE EOT 2  offline cause   0x16  cover open, ");
    EXPECT_HAS(run.out, "NOT READY: offline, cover open. Close the cover.\n");
    ASSERT_EQ(requests.size(), 4u);
    for (unsigned char n = 1; n <= 4; ++n) EXPECT_EQ(requests[n - 1], (std::vector<unsigned char>{0x10, 0x04, n}));
    // The target's rate and flow control reached the line.
    struct termios settings = lines.Settings(3);
    EXPECT_EQ(settings.c_cflag & CBAUD, static_cast<tcflag_t>(B19200));
    EXPECT_NE(settings.c_cflag & CRTSCTS, 0u);
}

TEST(ToolSerial, MissingLineOrNoSerialPortExitsThree) {
    SerialLine lines;
    const int nMissing = lines.MissingIndex();
    ASSERT_GE(nMissing, 0);
    ToolRun missing = RunTool({"status", "serial:COM" + std::to_string(nMissing + 1)});
    EXPECT_EQ(missing.nExit, tilltool::kExitCannotOpen);
    EXPECT_HAS(missing.err, "there is no /dev/ttyS" + std::to_string(nMissing) + " (COM" + std::to_string(nMissing + 1) +
                                ") on this till: 'tillportcomm list' shows its serial lines.");

    const int nPlain = nMissing == 7 ? 6 : 7;
    lines.AddNonTerminal(nPlain);
    ToolRun plain = RunTool({"print", "serial:/dev/ttyS" + std::to_string(nPlain)});
    EXPECT_EQ(plain.nExit, tilltool::kExitCannotOpen);
    EXPECT_HAS(plain.err, "cannot set up /dev/ttyS" + std::to_string(nPlain) +
                              " as a serial line (Open RS232 Device Error): is it a serial port?");
}

TEST(ToolSerial, LineHeldByTheServiceInAnotherProcessExitsThreeAndSaysSo) {
    SerialLine lines;
    ASSERT_GE(lines.AddLine(4), 0);
    // The till's printer service, in this process, holds the line the real program asks for.
    CComPortRs232 service;
    char szName[] = "COM5";
    ASSERT_TRUE(service.Init(szName, 9600, 0));
    ASSERT_TRUE(service.Open()) << service.m_strLastError;
    ChildProcess tool({TILLPORTCOMM_TOOL, "status", "serial:COM5"});
    ASSERT_TRUE(tool.Started());
    EXPECT_EQ(tool.Wait(30000), tilltool::kExitCannotOpen) << tool.Err();
    EXPECT_HAS(tool.Err(), "/dev/ttyS4 (COM5) is held by another program. Is the till's printer service running?");
    service.Close();
}
