// The technician's tool against the virtual network printer on 127.0.0.1: each state the
// printer can be told to report, a printer that never answers, a job arriving whole, a
// refused connection, and the real program: standard input, the log on standard error, and
// exit codes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TillTool.h"
#include "ToolRun.h"

namespace {

std::string TempFile(const std::string& contents) {
    char szPath[] = "/tmp/tillportcomm-tool-XXXXXX";
    int fd = mkstemp(szPath);
    if (fd >= 0) close(fd);
    std::ofstream(szPath, std::ios::binary) << contents;
    return szPath;
}

std::string FileContents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

const std::string kStatusRequests("\x10\x04\x01\x10\x04\x02\x10\x04\x03\x10\x04\x04", 12);

// The virtual printer on a free loopback port, recording every byte it receives.
class VirtualPrinter {
public:
    explicit VirtualPrinter(const std::vector<std::string>& options) : m_record(TempFile("")) {
        std::vector<std::string> argv = {VIRTUAL_PRINTER, "--port", "0", "--quiet", "--max-seconds", "60",
                                         "--record", m_record};
        argv.insert(argv.end(), options.begin(), options.end());
        m_pProcess.reset(new ChildProcess(argv));
        // "virtual_printer listening on 127.0.0.1 port N" (or "refusing").
        if (m_pProcess->WaitForOutput("\n", 10000)) {
            size_t nAt = m_pProcess->Out().find(" port ");
            if (nAt != std::string::npos) m_nPort = atoi(m_pProcess->Out().c_str() + nAt + 6);
        }
        EXPECT_GT(m_nPort, 0) << "virtual printer did not start: " << m_pProcess->Out() << m_pProcess->Err();
    }
    ~VirtualPrinter() {
        m_pProcess->Stop(5000);
        unlink(m_record.c_str());
    }

    std::string Target() const { return "tcp:127.0.0.1:" + std::to_string(m_nPort); }
    // Everything received, once the printer has stopped.
    std::string Received() {
        EXPECT_EQ(m_pProcess->Stop(5000), 0) << m_pProcess->Err();
        return FileContents(m_record);
    }

private:
    std::string m_record;
    std::unique_ptr<ChildProcess> m_pProcess;
    int m_nPort = 0;
};

struct StateCase {
    const char* szState;
    int nExit;
    const char* szAnswerLine;
    const char* szVerdict;
};

void PrintTo(const StateCase& state, std::ostream* pOut) { *pOut << state.szState; }

class ToolStatusOverTcp : public testing::TestWithParam<StateCase> {};

}  // namespace

TEST_P(ToolStatusOverTcp, DecodesTheStateThePrinterReports) {
    const StateCase& state = GetParam();
    VirtualPrinter printer({"--status", state.szState});
    ToolRun run = RunTool({"status", printer.Target()});
    EXPECT_EQ(run.nExit, state.nExit) << run.out << run.err;
    EXPECT_NE(run.out.find(state.szAnswerLine), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(state.szVerdict), std::string::npos) << run.out;
    EXPECT_EQ(printer.Received(), kStatusRequests);
}

INSTANTIATE_TEST_SUITE_P(
    States, ToolStatusOverTcp,
    testing::Values(StateCase{"paper-out", 1, "0x7e  paper near end, paper out",
                              "raw status bytes: 1a 32 12 7e\nNOT READY: offline, paper out. Load a new paper roll."},
                    StateCase{"near-end", 0, "0x1e  paper near end, paper present",
                              "READY, but the paper is near its end: have a new roll at hand."},
                    StateCase{"cover-open", 1, "0x16  cover open, no paper fed by the button",
                              "NOT READY: offline, cover open. Close the cover."},
                    StateCase{"offline", 1, "0x1a  offline, paper feed button not pressed, drawer pin 3 low",
                              "NOT READY: offline, recoverable error. Wait a minute"}),
    [](const testing::TestParamInfo<StateCase>& info) {
        std::string name = info.param.szState;
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

TEST(ToolOverTcp, SilentPrinterGivesNoAnswerWithinTheTimeout) {
    VirtualPrinter printer({"--silent"});
    ToolRun run = RunTool({"--timeout", "300", "status", printer.Target()});
    EXPECT_EQ(run.nExit, tilltool::kExitPrinter);
    EXPECT_NE(run.out.find("DLE EOT 1  printer status  no answer within 300 ms"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("the printer gave no answer within 300 ms"), std::string::npos) << run.err;
    // It gives up after the first request rather than waiting four times.
    EXPECT_EQ(printer.Received(), kStatusRequests.substr(0, 3));
}

TEST(ToolOverTcp, PrintedFileArrivesWhole) {
    std::string job(200000, '\0');
    for (size_t i = 0; i < job.size(); ++i) job[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    const std::string path = TempFile(job);
    VirtualPrinter printer({});
    ToolRun run = RunTool({"print", printer.Target(), path});
    unlink(path.c_str());
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_NE(run.out.find("Sent 200000 bytes to " + printer.Target() + " in "), std::string::npos) << run.out;
    std::string received = printer.Received();
    EXPECT_EQ(received.size(), job.size());
    EXPECT_TRUE(received == job) << "the printer received other bytes than the file holds";
}

TEST(ToolOverTcp, RefusedConnectionExitsThreeAndSaysWhatToCheck) {
    VirtualPrinter printer({"--refuse"});
    ToolRun run = RunTool({"print", printer.Target()});
    EXPECT_EQ(run.nExit, tilltool::kExitCannotOpen);
    EXPECT_NE(run.err.find("cannot connect to 127.0.0.1 port "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Is the printer switched on and on the network"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
}

TEST(ToolProgram, PrintsStandardInputAndLogsHexDumpsOnStandardError) {
    VirtualPrinter printer({});
    const std::string input = TempFile("hello till\n");
    ChildProcess tool({TILLPORTCOMM_TOOL, "--log", "print", printer.Target(), "-"}, input);
    unlink(input.c_str());
    ASSERT_TRUE(tool.Started());
    EXPECT_EQ(tool.Wait(20000), 0) << tool.Err();
    EXPECT_NE(tool.Out().find("Sent 11 bytes to " + printer.Target()), std::string::npos) << tool.Out();
    EXPECT_NE(tool.Err().find("][tillportcomm]Write 11 Bytes..."), std::string::npos) << tool.Err();
    EXPECT_NE(tool.Err().find("\t0000: 68 65 6c 6c 6f 20 74 69 6c 6c 0a"), std::string::npos) << tool.Err();
    EXPECT_EQ(printer.Received(), "hello till\n");
}

TEST(ToolProgram, LogLinesAndMessagesShareAStandardErrorFile) {
    // The log opens standard error anew; the tool's own messages go to descriptor 2. Both must
    // append, or the message lands on top of the first log lines.
    VirtualPrinter printer({"--silent"});
    const std::string trace = TempFile("");
    ChildProcess tool({"sh", "-c",
                       std::string("exec \"$0\" --log --timeout 300 status \"$1\" 2>\"$2\""), TILLPORTCOMM_TOOL,
                       printer.Target(), trace});
    EXPECT_EQ(tool.Wait(20000), tilltool::kExitPrinter) << tool.Err();
    const std::string written = FileContents(trace);
    unlink(trace.c_str());
    EXPECT_EQ(written.compare(0, 1, "["), 0) << written;
    EXPECT_NE(written.find("][tillportcomm]tillportcomm "), std::string::npos) << written;
    const size_t nMessage = written.find("tillportcomm: the printer gave no answer within 300 ms");
    EXPECT_NE(nMessage, std::string::npos) << written;
    EXPECT_LT(written.find("\t0000: 10 04 01"), nMessage) << written;
}

TEST(ToolProgram, ExitCodesReachTheShell) {
    ChildProcess usage({TILLPORTCOMM_TOOL, "status", "tcp:127.0.0.1:0"});
    EXPECT_EQ(usage.Wait(10000), tilltool::kExitUsage) << usage.Err();

    VirtualPrinter paperOut({"--status", "paper-out"});
    ChildProcess status({TILLPORTCOMM_TOOL, "status", paperOut.Target()});
    EXPECT_EQ(status.Wait(20000), tilltool::kExitPrinter) << status.Err();
    EXPECT_NE(status.Out().find("paper out"), std::string::npos) << status.Out();
}
