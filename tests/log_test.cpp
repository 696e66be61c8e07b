// The diagnostic log: line and dump formats, destinations and the enable flag.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "CLog.h"
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
