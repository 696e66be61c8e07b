// The diagnostic log: line and dump formats, destinations, the enable flag, and the log
// file's size bound.
#include <fcntl.h>
#include <gnu/libc-version.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CLog.h"
#include "EthTestSupport.h"
#include "LogCapture.h"

namespace {

std::string Dump(const std::vector<unsigned char>& bytes, unsigned long offset = 0) {
    char szLine[1024];
    CCLog::FormatDumpLine(szLine, sizeof(szLine), bytes.data(), bytes.size(), offset);
    return szLine;
}

std::vector<unsigned char> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

struct LogOff {
    ~LogOff() {
        m_dwLogType = 0;
        m_bLogDataToo = false;
    }
};

}  // namespace

TEST(LogFormat, LineCarriesTimestampNameAndTextInTheDesignedForm) {
    LogCapture log;
    CCLog::WriteLog("OpenPort", "Wrong hostname");
    std::vector<std::string> raw = log.RawLines();
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_TRUE(std::regex_match(raw[0], std::regex(R"(\[20\d\d/[01]\d/[0-3]\d [0-2]\d:[0-5]\d:[0-6]\d\.\d{3}\]\[OpenPort\]Wrong hostname)")))
        << raw[0];
}

// Dates after January 2038 on every 64-bit build, and on the 32-bit one wherever the running
// C library has 64-bit time calls (glibc 2.34 and later); only older C libraries wrap.
TEST(LogFormat, TimestampsReachPast2038WhereTheCLibraryCan) {
    int nMajor = 0, nMinor = 0;
    ASSERT_EQ(2, sscanf(gnu_get_libc_version(), "%d.%d", &nMajor, &nMinor));
    const bool bLibraryHas64 = sizeof(time_t) >= 8 || nMajor > 2 || nMinor >= 34;
    EXPECT_EQ(bLibraryHas64, CCLog::TimestampsPast2038());
    if (!bLibraryHas64) return;
    const char* szOldZone = getenv("TZ");
    std::string strOldZone = szOldZone != nullptr ? szOldZone : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    char szStamp[64];
    CCLog::FormatTimestamp(szStamp, sizeof(szStamp), 4102444800LL + 3723, 42);  // 2100-01-01 01:02:03 UTC
    if (szOldZone != nullptr) setenv("TZ", strOldZone.c_str(), 1); else unsetenv("TZ");
    tzset();
    EXPECT_STREQ("2100/01/01 01:02:03.042", szStamp);
}

TEST(LogFormat, DumpOfHelloPercentLineFeed) {
    std::string expected = "0000: 48 65 6c 6c 6f 25 0a" + std::string(27, ' ') + "   Hello..";
    EXPECT_EQ(Dump(Bytes("Hello%\n")), expected);
    EXPECT_EQ(expected.size(), 5u + 48u + 3u + 7u);
}

TEST(LogFormat, SixteenBytesMakeOneFullLineAndSeventeenASecond) {
    std::vector<unsigned char> data = Bytes("ABCDEFGHIJKLMNOPQ");
    data.resize(16);
    LogCapture log;
    CCLog::WriteLogData("W", "Buffer to Write:", data.data(), data.size());
    std::vector<std::string> dumps = log.DumpLines();
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(dumps[0], "0000: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50   ABCDEFGHIJKLMNOP");
    EXPECT_EQ(log.RawLines()[1].size(), 82u);

    data.push_back('Q');
    LogCapture log17;
    CCLog::WriteLogData("W", "Buffer to Write:", data.data(), data.size());
    dumps = log17.DumpLines();
    ASSERT_EQ(dumps.size(), 2u);
    EXPECT_EQ(dumps[1], "0010: 51" + std::string(45, ' ') + "   Q");
    EXPECT_EQ(log17.Texts(), std::vector<std::string>{"Buffer to Write:"});
}

TEST(LogFormat, UnprintableBytesAndPercentShowAsDotsAndBlankStaysBlank) {
    std::vector<unsigned char> data = {0x00, 0x1f, 0x20, 0x25, 0x7e, 0x7f, 0x80, 0xff};
    EXPECT_EQ(Dump(data), "0000: 00 1f 20 25 7e 7f 80 ff" + std::string(24, ' ') + "   .. .~...");
}

TEST(LogFormat, OffsetsPastFFFFWidenAndShiftTheRestOfTheLine) {
    std::vector<unsigned char> data(0x10010, 'a');
    data[0x10000] = 'Z';
    std::string line = Dump(data, 0x10000);
    EXPECT_EQ(line, "10000: 5a 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61   Zaaaaaaaaaaaaaaa");
    EXPECT_EQ(Dump(data, 0xfff0).substr(0, 8), "fff0: 61");
}

TEST(LogFormat, DumpLineIsCutToTheBufferGiven) {
    std::vector<unsigned char> data(16, 'x');
    char szSmall[12];
    std::memset(szSmall, '#', sizeof(szSmall));
    int n = CCLog::FormatDumpLine(szSmall, 8, data.data(), data.size(), 0);
    EXPECT_EQ(n, 7);
    EXPECT_STREQ(szSmall, "0000: 7");
    EXPECT_EQ(szSmall[8], '#');
}

TEST(LogFormat, LongTextsAreCutNotOverrun) {
    LogCapture log;
    std::string big(10000, 'x');
    CCLog::WriteLog("N", big.c_str());
    CCLog::WriteLogP("N", "%s", big.c_str());
    std::vector<std::string> raw = log.RawLines();
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw[0].size(), 4095u);
    EXPECT_EQ(raw[1].size(), 4095u);
}

TEST(LogFormat, PercentInCallerTextIsNeverAFormat) {
    LogCapture log;
    CCLog::WriteLog("N", "%s%n%x");
    CCLog::WriteLogP("N", "Host:%s", "%s%n");
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"%s%n%x", "Host:%s%n"}));
}

TEST(LogSwitch, EnableRulesAndDestinations) {
    LogOff off;
    CCLog::SetLogEnable(1, false);
    EXPECT_EQ(m_dwLogType, 1u);
    EXPECT_FALSE(m_bLogDataToo);
    CCLog::SetLogEnable(0, true);  // destination 0 keeps the flag as it was
    EXPECT_FALSE(m_bLogDataToo);
    CCLog::SetLogEnable(1, true);
    EXPECT_TRUE(m_bLogDataToo);
    CCLog::SetLogEnable(0, false);
    EXPECT_EQ(m_dwLogType, 0u);
    EXPECT_TRUE(m_bLogDataToo);
}

TEST(LogSwitch, StandardOutputGetsOneLinePerCall) {
    LogOff off;
    CCLog::SetLogEnable(1, true);
    testing::internal::CaptureStdout();
    CCLog::WriteLog("Name", "one");
    CCLog::WriteLogP("Name", "two %d", 2);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(out, std::regex(R"(\[[^\]]+\]\[Name\]one\n\[[^\]]+\]\[Name\]two 2\n)"))) << out;
}

TEST(LogSwitch, OffOrDisabledOrUnknownDestinationWritesNothing) {
    LogOff off;
    for (auto setting : {std::pair<unsigned long, bool>{1, false}, {0, true}, {3, true}}) {
        m_dwLogType = 0;
        m_bLogDataToo = false;
        CCLog::SetLogEnable(setting.first, setting.second);
        testing::internal::CaptureStdout();
        CCLog::WriteLog("Name", "text");
        unsigned char data[3] = {1, 2, 3};
        CCLog::WriteLogData("Name", "data", data, 3);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << setting.first;
    }
}

TEST(LogFile, AppendsLinesKeepsTheFileOpenAndClosesWhenSwitchedAway) {
    LogOff off;
    std::string path = "/tmp/tillportcomm-logfile-" + std::to_string(getpid());
    {
        std::ofstream seed(path);
        seed << "earlier\n";
    }
    setenv("TILLPORTCOMM_LOG_FILE", path.c_str(), 1);
    CCLog::SetLogEnable(2, true);
    CCLog::WriteLog("A", "first");
    FILE* pFile = m_TextFile;
    ASSERT_NE(pFile, nullptr);
    CCLog::WriteLog("A", "second");
    EXPECT_EQ(m_TextFile, pFile);  // kept open between lines
    CCLog::SetLogEnable(1, false);
    EXPECT_EQ(m_TextFile, nullptr);
    unsetenv("TILLPORTCOMM_LOG_FILE");

    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier");
    EXPECT_NE(lines[1].find("[A]first"), std::string::npos);
    EXPECT_NE(lines[2].find("[A]second"), std::string::npos);
    unlink(path.c_str());
}

TEST(LogFile, UnopenableFileDropsTheLineAndIsTriedAgain) {
    LogOff off;
    std::string dir = "/tmp/tillportcomm-logdir-" + std::to_string(getpid());
    std::string path = dir + "/log";
    setenv("TILLPORTCOMM_LOG_FILE", path.c_str(), 1);
    CCLog::SetLogEnable(2, true);
    CCLog::WriteLog("A", "dropped");
    EXPECT_EQ(m_TextFile, nullptr);
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    CCLog::WriteLog("A", "kept");
    CCLog::SetLogEnable(0, false);
    CCLog::SetLogEnable(1, false);
    unsetenv("TILLPORTCOMM_LOG_FILE");
    std::ifstream in(path);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_NE(line.find("[A]kept"), std::string::npos);
    EXPECT_FALSE(std::getline(in, line));
    unlink(path.c_str());
    rmdir(dir.c_str());
}

namespace {

// TILLPORTCOMM_LOG_MAX_BYTES for one scenario (null: unset, the default bound); the log
// reads it when it opens its file.
struct MaxBytes {
    explicit MaxBytes(const char* szValue) {
        if (szValue != nullptr) setenv("TILLPORTCOMM_LOG_MAX_BYTES", szValue, 1);
    }
    ~MaxBytes() { unsetenv("TILLPORTCOMM_LOG_MAX_BYTES"); }
};

long long FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The dump line as the snprintf-built format has always read: "%04lx:", " %02x" or three
// blanks per position, three blanks, then the bytes shown as text.
std::string ReferenceDumpLine(const std::vector<uint8_t>& data, unsigned long offset) {
    char sz[32];
    snprintf(sz, sizeof(sz), "%04lx:", offset);
    std::string line = sz;
    for (unsigned long i = 0; i < 16; ++i) {
        snprintf(sz, sizeof(sz), " %02x", offset + i < data.size() ? data[offset + i] : 0);
        line += offset + i < data.size() ? sz : "   ";
    }
    line += "   ";
    for (unsigned long i = 0; i < 16 && offset + i < data.size(); ++i) {
        unsigned char c = data[offset + i];
        line += c >= 0x20 && isprint(c) && c != '%' ? static_cast<char>(c) : '.';
    }
    return line;
}

void WriteNumbered(int nFrom, int nTo) {
    for (int i = nFrom; i < nTo; ++i) CCLog::WriteLogP("Rotate", "line %03d", i);  // 42 bytes each
}

// The numbers of lines "line NNN", in order; -1 for any other line.
std::vector<int> LineNumbers(const std::vector<std::string>& lines) {
    std::vector<int> numbers;
    static const std::regex kNumbered(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}\]\[Rotate\]line (\d{3}))");
    for (const std::string& line : lines) {
        std::smatch match;
        numbers.push_back(std::regex_match(line, match, kNumbered) ? std::stoi(match[1]) : -1);
    }
    return numbers;
}

std::vector<int> Range(int nFrom, int nTo) {
    std::vector<int> numbers;
    for (int i = nFrom; i < nTo; ++i) numbers.push_back(i);
    return numbers;
}

}  // namespace

TEST(LogFile, LongDumpReachesTheFileWholeAndInTheUnchangedFormat) {
    // Past offset 0xffff and over several output blocks, ending in a short line.
    std::vector<uint8_t> data = ethtest::Pattern(70007);
    LogCapture log;
    CCLog::WriteLogData("W", "Buffer to Write:", data.data(), data.size());
    std::vector<std::string> raw = log.RawLines();
    ASSERT_EQ(raw.size(), 1 + (data.size() + 15) / 16);
    EXPECT_NE(raw[0].find("][W]Buffer to Write:"), std::string::npos);
    for (unsigned long offset = 0, line = 1; offset < data.size(); offset += 16, ++line) {
        ASSERT_EQ(raw[line], std::string(10, '\t') + ReferenceDumpLine(data, offset)) << "offset " << offset;
    }
}

TEST(LogRotation, LineThatWouldPassTheBoundStartsANewFileAndTheOldOneReplacesDotOne) {
    MaxBytes bound("1000");
    LogCapture log;
    WriteNumbered(0, 60);
    // Lines 0-22 went first, then 23-45 replaced them as .1, and 46-59 are the file.
    EXPECT_EQ(LineNumbers(log.RotatedLines()), Range(23, 46));
    EXPECT_EQ(LineNumbers(log.RawLines()), Range(46, 60));
    EXPECT_LE(FileSize(log.Path() + ".1"), 1000);
}

TEST(LogRotation, DumpLongerThanTheBoundGoesOnInTheNewFileAtALineBoundary) {
    MaxBytes bound("2000");
    LogCapture log;
    std::vector<uint8_t> data = ethtest::Pattern(1000);  // a line, then 63 dump lines of 83 bytes
    CCLog::WriteLogData("W", "Buffer to Write:", data.data(), data.size());
    // The first file took the line and 23 dump lines, .1 the next 24, the file the last 16.
    std::vector<std::string> lines = log.RotatedLines(), current = log.RawLines();
    ASSERT_EQ(lines.size(), 24u);
    ASSERT_EQ(current.size(), 16u);
    lines.insert(lines.end(), current.begin(), current.end());
    for (unsigned long i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], std::string(10, '\t') + ReferenceDumpLine(data, (23 + i) * 16));
    }
}

TEST(LogRotation, WhatTheFileHeldCountsAndABoundOfZeroIsNone) {
    for (const char* szBound : {"0", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(szBound != nullptr ? szBound : "default");
        LogCapture log;
        MaxBytes bound(szBound);
        const long long nHeld = 9LL << 20;  // past the default bound of 8 MiB
        ASSERT_EQ(truncate(log.Path().c_str(), nHeld), 0);
        CCLog::WriteLog("A", "line");
        const long long nLine = 25 + 3 + 4 + 1;  // "[Y/MM/DD hh:mm:ss.mmm]", "[A]", "line", line break
        EXPECT_EQ(FileSize(log.Path() + ".1"), szBound != nullptr ? -1 : nHeld);
        EXPECT_EQ(FileSize(log.Path()), szBound != nullptr ? nHeld + nLine : nLine);
    }
}

TEST(LogRotation, FileRemovedWhileOpenIsStartedAgainUnderItsNameAtTheNextLine) {
    MaxBytes bound("300");
    LogCapture log;
    WriteNumbered(0, 3);
    ASSERT_EQ(unlink(log.Path().c_str()), 0);
    WriteNumbered(3, 10);  // line 7 would pass the bound of the first file
    EXPECT_EQ(LineNumbers(log.RawLines()), Range(3, 10));
    EXPECT_EQ(FileSize(log.Path() + ".1"), -1);
}

TEST(LogRotation, TwoProcessesSharingTheFileLoseNoLineToARotationOfTheOther) {
    // Each process rotates by the file's real size and follows a rotation the other made, so
    // no line goes into a file that the other's next rotation deletes. The processes take
    // turns, the second logging three times as much as the first, so it rotates more often
    // than the first would.
    MaxBytes bound("8000");
    LogCapture log;
    constexpr int kTurns = 100;
    const int kPerTurn[2] = {10, 30};
    int toSecond[2], toFirst[2];
    ASSERT_EQ(pipe(toSecond), 0);
    ASSERT_EQ(pipe(toFirst), 0);
    pid_t children[2];
    for (int nChild = 0; nChild < 2; ++nChild) {
        children[nChild] = fork();
        ASSERT_GE(children[nChild], 0);
        if (children[nChild] == 0) {
            const int hWait = nChild == 0 ? toFirst[0] : toSecond[0];
            const int hPass = nChild == 0 ? toSecond[1] : toFirst[1];
            const char* szName = nChild == 0 ? "One" : "Two";
            char c = 0;
            int nLine = 0;
            for (int nTurn = 0; nTurn < kTurns; ++nTurn) {
                if ((nChild == 1 || nTurn > 0) && read(hWait, &c, 1) != 1) _exit(2);
                for (int i = 0; i < kPerTurn[nChild]; ++i) CCLog::WriteLogP(szName, "line %05d", nLine++);
                if (write(hPass, &c, 1) != 1) _exit(3);
            }
            _exit(0);
        }
    }
    for (int h : {toSecond[0], toSecond[1], toFirst[0], toFirst[1]}) close(h);
    for (pid_t child : children) {
        int nStatus = -1;
        ASSERT_EQ(waitpid(child, &nStatus, 0), child);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
    }

    std::vector<std::string> lines = log.RotatedLines(), current = log.RawLines();
    EXPECT_LE(FileSize(log.Path() + ".1"), 8000 + 200);
    EXPECT_LE(FileSize(log.Path()), 8000 + 200);
    lines.insert(lines.end(), current.begin(), current.end());
    static const std::regex kLine(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}\]\[(One|Two)\]line (\d{5}))");
    std::vector<int> kept[2];
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, kLine)) << "not a whole line: " << line;
        kept[match[1] == "One" ? 0 : 1].push_back(std::stoi(match[2]));
    }
    // The turns give every line its place in one order: what the two files keep is the
    // newest lines of both processes, without a gap.
    std::vector<int> places;
    for (int nChild = 0; nChild < 2; ++nChild) {
        for (int nLine : kept[nChild]) {
            const int nTurn = nLine / kPerTurn[nChild], nInTurn = nLine % kPerTurn[nChild];
            places.push_back(nTurn * (kPerTurn[0] + kPerTurn[1]) + (nChild == 0 ? 0 : kPerTurn[0]) + nInTurn);
        }
    }
    std::sort(places.begin(), places.end());
    ASSERT_FALSE(places.empty());
    EXPECT_EQ(places, Range(places.front(), kTurns * (kPerTurn[0] + kPerTurn[1])));
}

TEST(LogRotation, FolderThatTakesNoRenameKeepsTheLogInTheCurrentFileAndSaysSoOnce) {
    LogOff off;
    MaxBytes bound("500");
    char szDir[] = "/tmp/tillportcomm-rotation-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    std::string dir = szDir, path = dir + "/log";
    // A folder in place of the .1 file stops the rename even for root; the folder's mode
    // stops it for anyone else.
    ASSERT_EQ(mkdir((path + ".1").c_str(), 0700), 0);
    std::ofstream(path).close();
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    setenv("TILLPORTCOMM_LOG_FILE", path.c_str(), 1);
    CCLog::SetLogEnable(2, true);
    WriteNumbered(0, 40);  // 1680 bytes
    CCLog::SetLogEnable(1, false);
    unsetenv("TILLPORTCOMM_LOG_FILE");
    chmod(dir.c_str(), 0700);

    std::vector<std::string> lines;
    std::istringstream in(FileText(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::vector<int> numbers = LineNumbers(lines);
    auto notice = std::find(numbers.begin(), numbers.end(), -1);
    ASSERT_NE(notice, numbers.end());
    EXPECT_NE(lines[notice - numbers.begin()].find("][RotateLogFile]Log file not rotated"), std::string::npos);
    numbers.erase(notice);
    EXPECT_EQ(numbers, Range(0, 40)) << "lines lost, or said more than once";
    unlink(path.c_str());
    rmdir((path + ".1").c_str());
    rmdir(dir.c_str());
}

TEST(LogRotation, PipeOrFileReachedThroughALinkIsNeverMoved) {
    // As a technician's /dev/stderr: a link to whatever standard error is.
    LogOff off;
    MaxBytes bound("1");
    char szDir[] = "/tmp/tillportcomm-nofile-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    std::string dir = szDir, pipe = dir + "/pipe", link = dir + "/link", target = dir + "/target";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);  // so the log's open does not wait
    ASSERT_GE(reader, 0);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    for (const std::string& path : {pipe, link}) {
        setenv("TILLPORTCOMM_LOG_FILE", path.c_str(), 1);
        CCLog::SetLogEnable(2, true);
        CCLog::WriteLog("A", "one");
        CCLog::WriteLog("A", "two");
        CCLog::SetLogEnable(1, false);
        EXPECT_EQ(FileSize(path + ".1"), -1) << path;
    }
    unsetenv("TILLPORTCOMM_LOG_FILE");

    std::regex kTwoLines(R"(\[[^\]]+\]\[A\]one\n\[[^\]]+\]\[A\]two\n)");
    char buffer[256] = {};
    ssize_t n = read(reader, buffer, sizeof(buffer) - 1);
    close(reader);
    EXPECT_TRUE(std::regex_match(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), kTwoLines));
    EXPECT_TRUE(std::regex_match(FileText(target), kTwoLines));
    struct stat st;
    EXPECT_TRUE(lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << "the link was moved";
    for (const std::string& path : {pipe, link, target}) unlink(path.c_str());
    rmdir(szDir);
}

TEST(LogRotation, NewAndRotatedFilesAreReadableByOwnerAndGroupOnly) {
    // The dumps hold every receipt, customer names and card endings included.
    MaxBytes bound("1000");
    const mode_t previous = umask(022);
    LogCapture log;
    unlink(log.Path().c_str());  // the log creates its file itself
    WriteNumbered(0, 30);        // one rotation, at line 23
    umask(previous);
    struct stat current, rotated;
    ASSERT_EQ(stat(log.Path().c_str(), &current), 0);
    ASSERT_EQ(stat((log.Path() + ".1").c_str(), &rotated), 0);
    EXPECT_EQ(current.st_mode & 07777, 0640u);
    EXPECT_EQ(rotated.st_mode & 07777, 0640u);
}
