#ifndef TILLPORTCOMM_TOOLS_TILLTOOL_H
#define TILLPORTCOMM_TOOLS_TILLTOOL_H

#include <istream>
#include <ostream>
#include <string>
#include <vector>

// The technician's command-line tool: list, status and print on the printer ports of the
// library, without a JVM. main() only hands its arguments and streams to RunTillTool, so
// tests run the same code in-process.
namespace tilltool {

enum ExitCode {
    kExitOk = 0,
    kExitPrinter = 1,     // the printer reports a problem, does not answer or takes no data
    kExitUsage = 2,       // bad command line, target or file
    kExitCannotOpen = 3,  // the printer or line is not there or this user may not open it
};

// Runs one command. args are the arguments after the program name; in is read by
// "print TARGET -". With --log, the library's log goes to the process's standard error
// (file descriptor 2), whatever err is.
int RunTillTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

// The version of the library the tool is built from.
const char* ToolVersion();

}  // namespace tilltool

#endif
