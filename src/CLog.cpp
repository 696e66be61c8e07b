#include "CLog.h"

#include <sys/time.h>

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

unsigned long m_dwLogType = 0;
bool m_bLogDataToo = false;
FILE* m_TextFile = nullptr;
char m_strFileName[200] = {0};

namespace {

constexpr size_t kLineSize = 4096;
constexpr size_t kDumpLineSize = 1024;
constexpr unsigned long kBytesPerDumpLine = 16;

// Serializes output and every change of destination, flag and file: a line, and all lines
// of one call's dump, reach the destination whole and together whatever other threads log.
// Taken only for output and switching; nothing is called into the JVM while it is held.
std::mutex g_logLock;

// The destination and flag are read before the lock, so the log costs nothing while off;
// reads and writes are atomic so a switch from another thread is seen cleanly.
unsigned long LogType() { return __atomic_load_n(&m_dwLogType, __ATOMIC_RELAXED); }
bool LogFlag() { return __atomic_load_n(&m_bLogDataToo, __ATOMIC_RELAXED); }

// The file named by TILLPORTCOMM_LOG_FILE, or tillportcomm.log in the working directory;
// a name that does not fit m_strFileName is cut.
void ChooseLogFileName() {
    const char* szName = getenv("TILLPORTCOMM_LOG_FILE");
    if (szName == nullptr || szName[0] == '\0') szName = "tillportcomm.log";
    snprintf(m_strFileName, sizeof(m_strFileName), "%s", szName);
}

void FormatLine(char* szLine, size_t nSize, const char* szName, const char* szText) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmLocal;
    time_t nSeconds = tv.tv_sec;
    localtime_r(&nSeconds, &tmLocal);
    snprintf(szLine, nSize, "[%d/%02d/%02d %02d:%02d:%02d.%03ld][%s]%s", tmLocal.tm_year + 1900, tmLocal.tm_mon + 1,
             tmLocal.tm_mday, tmLocal.tm_hour, tmLocal.tm_min, tmLocal.tm_sec, static_cast<long>(tv.tv_usec / 1000),
             szName != nullptr ? szName : "", szText != nullptr ? szText : "");
}

}  // namespace

void CCLog::SetLogEnable(unsigned long dwLogType, bool bEnable) {
    std::lock_guard<std::mutex> lock(g_logLock);
    if (LogType() == 2 && dwLogType != 2) CloseLogFile();
    __atomic_store_n(&m_dwLogType, dwLogType, __ATOMIC_RELAXED);
    if (dwLogType != 0) __atomic_store_n(&m_bLogDataToo, bEnable, __ATOMIC_RELAXED);
}

bool CCLog::Enabled() { return LogType() != 0 && LogFlag(); }

// Called with g_logLock held.
void CCLog::Output(const char* szLine) {
    unsigned long dwLogType = LogType();
    if (dwLogType == 2) {
        WriteToFile(szLine);
    } else if (dwLogType == 1) {
        WriteToVideo(szLine);
    }
}

void CCLog::WriteLog(const char* szName, const char* szText) {
    if (!Enabled()) return;
    char szLine[kLineSize];
    FormatLine(szLine, sizeof(szLine), szName, szText);
    std::lock_guard<std::mutex> lock(g_logLock);
    Output(szLine);
}

void CCLog::WriteLogP(const char* szName, const char* szFormat, ...) {
    char szText[kLineSize];
    va_list args;
    va_start(args, szFormat);
    vsnprintf(szText, sizeof(szText), szFormat, args);
    va_end(args);
    WriteLog(szName, szText);
}

int CCLog::FormatDumpLine(char* szLine, size_t nLineSize, const unsigned char* pData, unsigned long nSize,
                          unsigned long nOffset) {
    if (nLineSize == 0) return 0;
    szLine[0] = '\0';
    size_t nUsed = 0;
    // Appends with snprintf and stops growing once the buffer is full.
    auto append = [&](const char* szFormat, auto... args) {
        if (nUsed >= nLineSize - 1) return;
        int n = snprintf(szLine + nUsed, nLineSize - nUsed, szFormat, args...);
        if (n > 0) nUsed += static_cast<size_t>(n) < nLineSize - nUsed ? static_cast<size_t>(n) : nLineSize - 1 - nUsed;
    };
    // Offsets past 0xffff take the digits they need; the columns after them move right.
    append("%04lx:", nOffset);
    for (unsigned long i = 0; i < kBytesPerDumpLine; ++i) {
        if (nOffset + i < nSize) {
            append(" %02x", static_cast<unsigned>(pData[nOffset + i]));
        } else {
            append("%s", "   ");
        }
    }
    append("%s", "   ");
    for (unsigned long i = 0; i < kBytesPerDumpLine && nOffset + i < nSize; ++i) {
        unsigned char c = pData[nOffset + i];
        bool bShown = c >= 0x20 && isprint(c) && c != '%';
        append("%c", bShown ? static_cast<int>(c) : '.');
    }
    return static_cast<int>(nUsed);
}

void CCLog::WriteLogData(const char* szName, const char* szText, const unsigned char* pData, unsigned long nSize) {
    if (!Enabled()) return;
    char szHeader[kLineSize];
    FormatLine(szHeader, sizeof(szHeader), szName, szText);
    // The line and its dump leave under one hold of the lock, so they stay together.
    std::lock_guard<std::mutex> lock(g_logLock);
    Output(szHeader);
    if (pData == nullptr) return;
    // Dump lines carry no timestamp: ten tabs set them off under the line they belong to.
    static const char kTabs[] = "\t\t\t\t\t\t\t\t\t\t";
    char szLine[kDumpLineSize];
    memcpy(szLine, kTabs, sizeof(kTabs) - 1);
    for (unsigned long nOffset = 0; nOffset < nSize; nOffset += kBytesPerDumpLine) {
        FormatDumpLine(szLine + sizeof(kTabs) - 1, sizeof(szLine) - (sizeof(kTabs) - 1), pData, nSize, nOffset);
        Output(szLine);
        if (nSize - nOffset <= kBytesPerDumpLine) break;  // no wrap of nOffset near the top
    }
}

// Flushed line by line: when standard output is a pipe the lines would otherwise sit in
// the buffer, appear out of order with the JVM's own output, and vanish if the JVM dies.
void CCLog::WriteToVideo(const char* szText) {
    puts(szText);
    fflush(stdout);
}

// Each line ends with a line break and is flushed, so a crash loses nothing already
// logged. A file that cannot be opened drops the line; the next line tries again.
void CCLog::WriteToFile(const char* szText) {
    if (m_TextFile == nullptr) OpenLogFile();
    if (m_TextFile == nullptr) return;
    fputs(szText, m_TextFile);
    fputc('\n', m_TextFile);
    fflush(m_TextFile);
}

void CCLog::OpenLogFile() {
    if (m_TextFile != nullptr) return;
    ChooseLogFileName();
    m_TextFile = fopen(m_strFileName, "a");
}

void CCLog::CloseLogFile() {
    // The stream is gone after fclose whatever it reports, so it is forgotten either way.
    if (m_TextFile != nullptr) fclose(m_TextFile);
    m_TextFile = nullptr;
}
