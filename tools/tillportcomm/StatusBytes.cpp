#include "StatusBytes.h"

#include <vector>

namespace tilltool {

namespace {

constexpr unsigned char kFixedMask = 0x93;
constexpr unsigned char kFixedBits = 0x12;

bool Bit(unsigned char b, int nBit) { return ((b >> nBit) & 1) != 0; }

void Add(std::string* pWords, const char* szPart) {
    if (!pWords->empty()) *pWords += ", ";
    *pWords += szPart;
}

// Each problem once, with what to do about it.
struct Findings {
    std::vector<std::string> problems;
    std::vector<std::string> actions;
    void Note(const char* szProblem, const char* szAction) {
        problems.push_back(szProblem);
        for (const std::string& action : actions) {
            if (action == szAction) return;
        }
        actions.push_back(szAction);
    }
};

std::string JoinWith(const std::vector<std::string>& parts, const char* szSeparator) {
    std::string text;
    for (const std::string& part : parts) {
        if (!text.empty()) text += szSeparator;
        text += part;
    }
    return text;
}

}  // namespace

const char* StatusKind(int n) {
    static const char* const kKinds[] = {"printer status", "offline cause", "error cause", "paper sensor"};
    return n >= 1 && n <= 4 ? kKinds[n - 1] : "unknown";
}

bool IsStatusByte(unsigned char b) { return (b & kFixedMask) == kFixedBits; }

std::string DescribeStatusByte(int n, unsigned char b) {
    if (!IsStatusByte(b)) return "not a status answer (its fixed bits differ)";
    std::string words;
    switch (n) {
    case 1:
        Add(&words, Bit(b, 3) ? "offline" : "online");
        // Bit 5 is reserved on some printers; it is worth a word only when set.
        if (Bit(b, 5)) Add(&words, "waiting to go back online");
        Add(&words, Bit(b, 6) ? "paper feed button pressed" : "paper feed button not pressed");
        Add(&words, Bit(b, 2) ? "drawer pin 3 high" : "drawer pin 3 low");
        break;
    case 2:
        Add(&words, Bit(b, 2) ? "cover open" : "cover closed");
        Add(&words, Bit(b, 3) ? "paper being fed by the feed button" : "no paper fed by the button");
        Add(&words, Bit(b, 5) ? "printing stopped at paper end" : "no paper-end stop");
        Add(&words, Bit(b, 6) ? "error" : "no error");
        break;
    case 3:
        if (Bit(b, 2)) Add(&words, "mechanical error");
        if (Bit(b, 3)) Add(&words, "cutter error");
        if (Bit(b, 5)) Add(&words, "unrecoverable error");
        if (Bit(b, 6)) Add(&words, "recoverable error (e.g. print head too hot)");
        if (words.empty()) words = "no error";
        break;
    case 4:
        Add(&words, (b & 0x0c) != 0 ? "paper near end" : "paper adequate");
        Add(&words, (b & 0x60) != 0 ? "paper out" : "paper present");
        break;
    default:
        words = "unknown request";
    }
    return words;
}

StatusVerdict JudgeStatus(const StatusBytes& bytes) {
    for (unsigned char b : bytes) {
        if (!IsStatusByte(b)) {
            return {false,
                    "NOT READY: the answers are no status bytes. Is this the receipt printer? On a serial line, "
                    "check the baud rate."};
        }
    }
    const unsigned char cPrinter = bytes[0], cOffline = bytes[1], cError = bytes[2], cPaper = bytes[3];
    Findings found;
    if (Bit(cOffline, 2)) found.Note("cover open", "Close the cover.");
    if (Bit(cOffline, 5) || (cPaper & 0x60) != 0) found.Note("paper out", "Load a new paper roll.");
    if (Bit(cError, 3)) found.Note("cutter error", "Clear jammed paper at the cutter, then switch the printer off and on.");
    if (Bit(cError, 2)) found.Note("mechanical error", "Look for jammed paper, then switch the printer off and on.");
    if (Bit(cError, 5)) {
        found.Note("unrecoverable error", "Switch the printer off and on; if the error stays, the printer needs service.");
    }
    if (Bit(cError, 6)) found.Note("recoverable error", "Wait a minute: the printer goes on by itself (e.g. once its head has cooled).");
    if (Bit(cOffline, 6) && (cError & 0x6c) == 0) found.Note("error", "Switch the printer off and on.");
    if (Bit(cOffline, 3) || Bit(cPrinter, 6)) found.Note("paper feed button in use", "Release the paper feed button.");

    const bool bOffline = Bit(cPrinter, 3);
    if (!bOffline && found.problems.empty()) {
        if ((cPaper & 0x0c) != 0) return {true, "READY, but the paper is near its end: have a new roll at hand."};
        return {true, "READY: online, cover closed, paper present, no error."};
    }
    std::vector<std::string> problems = found.problems;
    if (bOffline) {
        problems.insert(problems.begin(), "offline");
        if (found.problems.empty()) found.actions.push_back("Check the printer's lights, then switch it off and on.");
    }
    return {false, "NOT READY: " + JoinWith(problems, ", ") + ". " + JoinWith(found.actions, " ")};
}

}  // namespace tilltool
