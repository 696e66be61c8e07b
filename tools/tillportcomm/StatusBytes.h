#ifndef TILLPORTCOMM_TOOLS_STATUSBYTES_H
#define TILLPORTCOMM_TOOLS_STATUSBYTES_H

#include <array>
#include <string>

namespace tilltool {

// The real-time status request DLE EOT n (n = 1..4) and the one byte a receipt printer
// answers to it: 1 printer status, 2 offline cause, 3 error cause, 4 paper sensor. Bits 1
// and 4 of every answer are 1 and bits 0 and 7 are 0.
using StatusBytes = std::array<unsigned char, 4>;

// "printer status", "offline cause", "error cause", "paper sensor" for n = 1..4.
const char* StatusKind(int n);
// True when the fixed bits of b are those of a status answer.
bool IsStatusByte(unsigned char b);
// The meaning of the answer to DLE EOT n in words, e.g. "offline, paper feed button not
// pressed, drawer pin 3 low".
std::string DescribeStatusByte(int n, unsigned char b);

struct StatusVerdict {
    bool bReady;       // online, cover closed, paper present, no error
    std::string text;  // one line: READY / NOT READY, the causes and what to do
};
// What the four answers together say.
StatusVerdict JudgeStatus(const StatusBytes& bytes);

}  // namespace tilltool

#endif
