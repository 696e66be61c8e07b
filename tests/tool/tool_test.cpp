// The technician's tool where no device is needed: its command line and exit code for bad
// usage, its version, the judgement of status bytes, and how it explains a device node this
// user may not open.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "FakeJni.h"
#include "LogCapture.h"
#include "StatusBytes.h"
#include "Survey.h"
#include "TillTool.h"
#include "ToolRun.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"

TEST(ToolCommandLine, BadUsageExitsTwoAndSaysWhatToGive) {
    struct Case {
        std::vector<std::string> args;
        const char* szSays;
    };
    // None of these reaches a device or the network: the checks come first.
    const Case cases[] = {
        {{}, "no command: give list, status TARGET or print TARGET"},
        {{"frobnicate"}, "unknown command \"frobnicate\""},
        {{"status"}, "status needs a TARGET"},
        {{"list", "usb:0A1F"}, "list takes no operands"},
        {{"--timeout", "0", "list"}, "bad timeout \"0\": give 1..600000 milliseconds"},
        {{"--colour", "list"}, "unknown option \"--colour\""},
        {{"status", "printer1"}, "give usb:PPPP[:ADDRESS], serial:PORT[:BAUD[:FLOW]] or tcp:HOST[:PORT]"},
        {{"status", "usb:A1F"}, "product ID as 4 hexadecimal digits"},
        {{"status", "usb:0A1F:x"}, "bad USB address \"x\""},
        {{"status", "serial:COM0"}, "(Init COM Port error): the line is COM1..COM9 or /dev/ttyS0../dev/ttyS8"},
        {{"status", "serial:COM1:600"}, "(Error invalid Baudrate): the baud rate is 1200, 2400"},
        {{"status", "serial:COM1:9600:cts"}, "give none, rtscts or xonxoff"},
        {{"status", "tcp:127.0.0.1:70000"}, "bad TCP port \"70000\": give 1..65535"},
        {{"status", "tcp:fe80::1"}, "IPv6 is not supported"},
        {{"print", "tcp:127.0.0.1", "/no/such/file"}, "cannot read /no/such/file: No such file or directory"},
        {{"print", "tcp:127.0.0.1", "-"}, "nothing to print: standard input is empty"},
    };
    for (const Case& c : cases) {
        std::string command;
        for (const std::string& arg : c.args) command += arg + " ";
        ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.nExit, tilltool::kExitUsage) << command;
        EXPECT_NE(run.err.find(c.szSays), std::string::npos) << command << "\n" << run.err;
        EXPECT_NE(run.err.find("Run 'tillportcomm --help'"), std::string::npos) << command;
        EXPECT_EQ(run.out, "") << command;
    }
}

TEST(ToolCommandLine, HelpAndVersionExitZeroAndTheVersionIsTheLibrarys) {
    ToolRun help = RunTool({"status", "--help"});
    EXPECT_EQ(help.nExit, 0);
    for (const char* szForm : {"usb:PPPP[:ADDRESS]", "serial:PORT[:BAUD[:FLOW]]", "tcp:HOST[:PORT]", "--timeout MS",
                               "--log", "exit status: 0 ok, 1"}) {
        EXPECT_NE(help.out.find(szForm), std::string::npos) << szForm;
    }

    // The library names its version when the log is switched on.
    LogCapture log;
    FakeJni fake;
    Java_orvik_services_posprinterPortComm_CommonComPort_SetLogType(fake.env(), nullptr, 2, JNI_TRUE);
    std::string libraryVersion;
    for (const std::string& text : log.Texts()) {
        size_t nAt = text.find("SO Version: ");
        if (nAt != std::string::npos) libraryVersion = text.substr(nAt + 12);
    }
    ASSERT_FALSE(libraryVersion.empty());
    ToolRun version = RunTool({"--version"});
    EXPECT_EQ(version.nExit, 0);
    EXPECT_EQ(version.out, "tillportcomm " + libraryVersion + "\n");
}

TEST(ToolStatusBytes, JudgementNamesTheProblemAndWhatToDo) {
    struct Case {
        tilltool::StatusBytes bytes;
        bool bReady;
        const char* szText;
    };
    const Case cases[] = {
        {{0x12, 0x12, 0x12, 0x12}, true, "READY: online, cover closed, paper present, no error."},
        {{0x12, 0x12, 0x12, 0x1e}, true, "READY, but the paper is near its end"},
        {{0x1a, 0x32, 0x12, 0x7e}, false, "NOT READY: offline, paper out. Load a new paper roll."},
        {{0x1a, 0x16, 0x12, 0x72}, false, "NOT READY: offline, cover open, paper out. Close the cover. Load a new"},
        {{0x1a, 0x52, 0x1a, 0x12}, false, "NOT READY: offline, cutter error. Clear jammed paper at the cutter"},
        {{0x1a, 0x12, 0x12, 0x12}, false, "NOT READY: offline. Check the printer's lights"},
        {{0x12, 0x12, 0x00, 0x12}, false, "NOT READY: the answers are no status bytes"},
    };
    for (const Case& c : cases) {
        tilltool::StatusVerdict verdict = tilltool::JudgeStatus(c.bytes);
        EXPECT_EQ(verdict.bReady, c.bReady) << c.szText;
        EXPECT_EQ(verdict.text.compare(0, strlen(c.szText), c.szText), 0) << verdict.text;
    }
    EXPECT_EQ(tilltool::DescribeStatusByte(1, 0x5e),
              "offline, paper feed button pressed, drawer pin 3 high");
    EXPECT_EQ(tilltool::DescribeStatusByte(4, 0x93), "not a status answer (its fixed bits differ)");
}

TEST(ToolNodeAccess, ExplainsWhyThisUserMayNotOpenANode) {
    tilltool::NodeFacts lpNode;
    lpNode.path = "/dev/bus/usb/001/004";
    lpNode.owner = 0;
    lpNode.group = 7;
    lpNode.mode = 020660;
    lpNode.ownerName = "root";
    lpNode.groupName = "lp";
    tilltool::UserFacts clerk;
    clerk.uid = 1000;
    clerk.name = "clerk";
    clerk.sessionGroups = {1000, 20};
    clerk.accountGroups = {1000, 20};

    EXPECT_EQ(tilltool::ExplainNoAccess(lpNode, clerk, "Permission denied", tilltool::kUsbGrantHint),
              "only group lp may (root:lp, mode 0660): add user clerk to group lp (usermod -aG lp clerk), then log "
              "in again");

    tilltool::UserFacts addedLater = clerk;
    addedLater.accountGroups.push_back(7);
    EXPECT_EQ(tilltool::ExplainNoAccess(lpNode, addedLater, "Permission denied", tilltool::kUsbGrantHint),
              "user clerk was added to group lp after logging in: log out and in again (root:lp, mode 0660)");

    tilltool::NodeFacts rootOnly = lpNode;
    rootOnly.group = 0;
    rootOnly.groupName = "root";
    rootOnly.mode = 020600;
    EXPECT_EQ(tilltool::ExplainNoAccess(rootOnly, clerk, "Permission denied", tilltool::kUsbGrantHint),
              std::string("only root may (root:root, mode 0600): ") + tilltool::kUsbGrantHint);

    // The mode allows it, so something else refuses: say what.
    tilltool::UserFacts member = clerk;
    member.sessionGroups.push_back(7);
    EXPECT_EQ(tilltool::ExplainNoAccess(lpNode, member, "Read-only file system", tilltool::kUsbGrantHint),
              "the system refuses it: Read-only file system (root:lp, mode 0660)");
}
