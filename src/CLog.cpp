#include "CLog.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "SystemCalls.h"

unsigned long m_dwLogType = 0;
bool m_bLogDataToo = false;
FILE* m_TextFile = nullptr;
char m_strFileName[200] = {0};

namespace {

constexpr size_t kLineSize = 4096;
constexpr unsigned long kBytesPerDumpLine = 16;
// The most hex digits an offset can take: offsets past 0xffff widen the offset field.
constexpr int kMaxOffsetDigits = 2 * sizeof(unsigned long);
// A dump line without its tabs and line break: offset, colon, hex column, separator, text.
constexpr size_t kMaxDumpText = kMaxOffsetDigits + 1 + 3 * kBytesPerDumpLine + 3 + kBytesPerDumpLine;
constexpr char kTabs[] = "\t\t\t\t\t\t\t\t\t\t";
constexpr size_t kTabCount = sizeof(kTabs) - 1;
// Output is gathered and handed to the destination in blocks of this size (and whatever is
// left at the end of a call).
constexpr size_t kBlockSize = 256 * 1024;
constexpr unsigned long long kDefaultMaxBytes = 8ULL << 20;
// The log holds every byte sent and received, receipts included: a new file is readable by
// its owner and group only.
constexpr mode_t kLogFileMode = 0640;

// Serializes output and every change of destination, flag and file: a line, and all lines
// of one call's dump, reach the destination whole and together whatever other threads log.
// Taken only for output and switching; nothing is called into the JVM while it is held.
std::mutex g_logLock;

// The destination and flag are read before the lock, so the log costs nothing while off;
// reads and writes are atomic so a switch from another thread is seen cleanly.
unsigned long LogType() { return __atomic_load_n(&m_dwLogType, __ATOMIC_RELAXED); }
bool LogFlag() { return __atomic_load_n(&m_bLogDataToo, __ATOMIC_RELAXED); }

// What the log knows of the open log file. Guarded by g_logLock.
struct LogFileState {
    unsigned long long nMaxBytes = 0;  // the size bound; 0 for none
    unsigned long long nBytes = 0;     // the file's size: what it held when opened plus what was written
    bool bRegular = false;             // only a regular file, named directly, is ever renamed
    unsigned long long nRetryAt = 0;   // after a failed rotation, the size at which to try again
    bool bFailureLogged = false;       // a failed rotation has been reported since the last success
    bool bHeld = false;                // this call holds the file's shared lock (HoldCurrentFile)
};
LogFileState g_file;

// Opens the named log file for appending, close-on-exec, creating it with kLogFileMode; the
// stream only carries the descriptor (every piece goes out with write(2)). Null on failure.
FILE* OpenForAppending(const char* szName) { return SystemCalls::OpenAppending(szName, kLogFileMode); }

// One call's output on its way to the destination. Guarded by g_logLock.
char g_block[kBlockSize];
size_t g_nBlockUsed = 0;

// The file named by TILLPORTCOMM_LOG_FILE, or tillportcomm.log in the working directory;
// a name that does not fit m_strFileName is cut.
void ChooseLogFileName() {
    const char* szName = getenv("TILLPORTCOMM_LOG_FILE");
    if (szName == nullptr || szName[0] == '\0') szName = "tillportcomm.log";
    snprintf(m_strFileName, sizeof(m_strFileName), "%s", szName);
}

// TILLPORTCOMM_LOG_MAX_BYTES as a decimal byte count (0: no bound); unset or not a plain
// decimal number: 8 MiB.
unsigned long long ChooseMaxBytes() {
    const char* szValue = getenv("TILLPORTCOMM_LOG_MAX_BYTES");
    if (szValue == nullptr || szValue[0] < '0' || szValue[0] > '9') return kDefaultMaxBytes;
    char* pEnd = nullptr;
    errno = 0;
    unsigned long long nValue = strtoull(szValue, &pEnd, 10);
    if (errno != 0 || *pEnd != '\0') return kDefaultMaxBytes;
    return nValue;
}

// Returns the length of the line, cut to nSize - 1.
size_t FormatLine(char* szLine, size_t nSize, const char* szName, const char* szText) {
    long nMilliseconds = 0;
    const int64_t nSeconds = SystemCalls::WallClockNow(&nMilliseconds);
    char szStamp[64];
    CCLog::FormatTimestamp(szStamp, sizeof(szStamp), nSeconds, nMilliseconds);
    int n = snprintf(szLine, nSize, "[%s][%s]%s", szStamp, szName != nullptr ? szName : "",
                     szText != nullptr ? szText : "");
    if (n < 0) {
        szLine[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < nSize ? static_cast<size_t>(n) : nSize - 1;
}

// How the dump shows each byte value: " %02x" in the hex column, and in the text column the
// byte itself when it is printable (isprint in the current locale, not below 0x20) and not
// '%', otherwise '.'.
struct DumpGlyphs {
    DumpGlyphs() {
        static const char kHex[] = "0123456789abcdef";
        for (int c = 0; c < 256; ++c) {
            szHex[c][0] = ' ';
            szHex[c][1] = kHex[c >> 4];
            szHex[c][2] = kHex[c & 0xf];
            szHex[c][3] = ' ';
            cText[c] = c >= 0x20 && isprint(c) && c != '%' ? static_cast<char>(c) : '.';
        }
    }
    char szHex[256][4];  // the fourth byte lets a whole entry be copied in one store
    char cText[256];
};

int OffsetDigits(unsigned long nOffset) {
    int nDigits = 4;
    while (nDigits < kMaxOffsetDigits && (nOffset >> (4 * nDigits)) != 0) ++nDigits;
    return nDigits;
}

unsigned long BytesOnLine(unsigned long nSize, unsigned long nOffset) {
    if (nOffset >= nSize) return 0;
    return nSize - nOffset < kBytesPerDumpLine ? nSize - nOffset : kBytesPerDumpLine;
}

// One dump line, as a length and a writer, for the nCount (up to 16) bytes at pBytes that
// sit at nOffset of the data: "%04lx:", " %02x" per byte and three blanks per missing byte,
// three blanks, then the bytes as text.
class DumpLine {
public:
    DumpLine(const unsigned char* pBytes, unsigned long nCount, unsigned long nOffset)
        : m_pBytes(pBytes), m_nCount(nCount), m_nOffset(nOffset), m_nDigits(OffsetDigits(nOffset)) {}

    size_t Length() const { return static_cast<size_t>(m_nDigits) + 1 + 3 * kBytesPerDumpLine + 3 + m_nCount; }

    // Writes Length() bytes to pOut.
    void Put(char* pOut, const DumpGlyphs& glyphs) const {
        static const char kHex[] = "0123456789abcdef";
        // Locals, so the stores below need not be taken as changing them.
        const unsigned char* const pBytes = m_pBytes;
        const unsigned long nCount = m_nCount;
        const unsigned long nOffset = m_nOffset;
        char* p = pOut;
        for (int i = m_nDigits - 1; i >= 0; --i) *p++ = kHex[(nOffset >> (4 * i)) & 0xf];
        *p++ = ':';
        if (nCount == kBytesPerDumpLine) {
            // Full lines, nearly all of a long dump, in loops of fixed length.
            for (unsigned long i = 0; i < kBytesPerDumpLine; ++i) memcpy(p + 3 * i, glyphs.szHex[pBytes[i]], 4);
            p += 3 * kBytesPerDumpLine;
            memset(p, ' ', 3);
            p += 3;
            for (unsigned long i = 0; i < kBytesPerDumpLine; ++i) p[i] = glyphs.cText[pBytes[i]];
            return;
        }
        for (unsigned long i = 0; i < nCount; ++i) memcpy(p + 3 * i, glyphs.szHex[pBytes[i]], 4);
        p += 3 * nCount;
        size_t nBlanks = 3 * (kBytesPerDumpLine - nCount) + 3;
        memset(p, ' ', nBlanks);
        p += nBlanks;
        for (unsigned long i = 0; i < nCount; ++i) p[i] = glyphs.cText[pBytes[i]];
    }

private:
    const unsigned char* m_pBytes;
    unsigned long m_nCount;
    unsigned long m_nOffset;
    int m_nDigits;
};

int LogFd() { return m_TextFile != nullptr ? fileno(m_TextFile) : -1; }

// Hands the bytes to the kernel, resuming after a signal or a partial write; a failure drops
// the rest. The file's size grows by what was written.
void WriteAll(int fd, const char* pData, size_t nLength) {
    while (nLength > 0) {
        ssize_t n = SystemCalls::Write(fd, pData, nLength);
        if (n <= 0) return;
        g_file.nBytes += static_cast<unsigned long long>(n);
        pData += n;
        nLength -= static_cast<size_t>(n);
    }
}

// Starts the size count of a freshly opened log file: a file opened for appending counts
// what it already holds. A device or pipe is never rotated, nor a file reached through a
// symbolic link (such as /dev/stderr): renaming would move the link, not the file.
void StartFileState() {
    g_file = LogFileState();
    g_file.nMaxBytes = ChooseMaxBytes();
    SystemCalls::FileInfo open, named;
    if (SystemCalls::StatDescriptor(LogFd(), &open) && open.bRegular && SystemCalls::StatPath(m_strFileName, &named) &&
        named.bRegular) {
        g_file.bRegular = true;
        g_file.nBytes = open.nSize;
    }
}

// Says once, in the log itself, that the file could not be rotated and where the log goes
// on, and holds off the next attempt until another bound's worth has been written.
void RotationFailed(const char* szWhat, int nError, const char* szWhere) {
    g_file.nRetryAt = g_file.nBytes + g_file.nMaxBytes;
    if (g_file.bFailureLogged) return;
    g_file.bFailureLogged = true;
    char szReason[128];
    const char* szError = SystemCalls::ErrorText(nError, szReason, sizeof(szReason));
    char szText[kLineSize];
    snprintf(szText, sizeof(szText), "Log file not rotated (%s: %s); logging continues in %s", szWhat, szError,
             szWhere);
    char szLine[kLineSize + 1];
    size_t n = FormatLine(szLine, kLineSize, "RotateLogFile", szText);
    szLine[n++] = '\n';
    WriteAll(LogFd(), szLine, n);
}

// Holds the log file for one call's lines and makes sure it is the file its name leads to.
// Several processes may log into one file: a shared lock (flock) keeps others from
// rotating it while this call writes, and a file that another process has rotated away
// (or someone removed) is left for the file the name leads to now, so no line goes into a
// file that is about to be deleted. The size is the file's real one, whoever wrote it.
void HoldCurrentFile() {
    for (int nTry = 0; nTry < 3 && g_file.bRegular; ++nTry) {
        g_file.bHeld = SystemCalls::LockFile(LogFd(), SystemCalls::LockKind::Shared);
        SystemCalls::FileInfo open, named;
        if (!SystemCalls::StatDescriptor(LogFd(), &open)) return;
        if (SystemCalls::StatPath(m_strFileName, &named) && named.SameFile(open)) {
            g_file.nBytes = open.nSize;
            return;
        }
        FILE* pNew = OpenForAppending(m_strFileName);
        if (pNew == nullptr) return;              // the lines go on into the open file
        SystemCalls::CloseStream(&m_TextFile);  // and with it its lock
        m_TextFile = pNew;
        StartFileState();
    }
}

void ReleaseCurrentFile() {
    if (g_file.bHeld && m_TextFile != nullptr) SystemCalls::LockFile(LogFd(), SystemCalls::LockKind::Unlock);
    g_file.bHeld = false;
}

// Moves the full log file to <name>.1 (replacing an older one) and starts a new, empty file
// under the name. When the name no longer leads to the open file (removed or moved away by
// someone else), there is nothing to rename: a new file is started under the name. On any
// failure logging goes on into the file that is open. Another process rotating the same file
// waits for the exclusive lock; whichever comes second finds the name leading to the new
// file and writes there.
void RotateLogFile() {
    using SystemCalls::LockKind;
    if (g_file.bHeld) SystemCalls::LockFile(LogFd(), LockKind::Exclusive);
    SystemCalls::FileInfo open, named;
    if (!SystemCalls::StatDescriptor(LogFd(), &open)) return;
    const bool bNameIsOpenFile = SystemCalls::StatPath(m_strFileName, &named) && named.SameFile(open);
    if (!bNameIsOpenFile && g_file.bHeld) {
        HoldCurrentFile();  // rotated meanwhile by another process
        return;
    }
    char szOld[sizeof(m_strFileName) + 2];
    snprintf(szOld, sizeof(szOld), "%s.1", m_strFileName);
    if (bNameIsOpenFile) {
        // The older copy goes first: renaming onto an existing file makes the file system
        // write the renamed file out at once, which would cost this call several milliseconds.
        SystemCalls::Unlink(szOld);
        if (SystemCalls::Rename(m_strFileName, szOld) != 0) {
            RotationFailed("rename to .1", errno, m_strFileName);
            if (g_file.bHeld) SystemCalls::LockFile(LogFd(), LockKind::Shared);
            return;
        }
    }
    FILE* pNew = OpenForAppending(m_strFileName);
    if (pNew == nullptr) {
        RotationFailed("new file", errno, bNameIsOpenFile ? szOld : m_strFileName);
        if (g_file.bHeld) SystemCalls::LockFile(LogFd(), LockKind::Shared);
        return;
    }
    const bool bHeld = g_file.bHeld;
    SystemCalls::CloseStream(&m_TextFile);
    m_TextFile = pNew;
    StartFileState();
    if (bHeld) g_file.bHeld = SystemCalls::LockFile(LogFd(), LockKind::Shared);
}

// Collects one call's lines in g_block and hands them to the destination in blocks; the
// last piece leaves when the object goes. Used with g_logLock held.
class LogOutput {
public:
    explicit LogOutput(unsigned long dwLogType) : m_dwLogType(dwLogType) {
        if (m_dwLogType == 2 && m_TextFile == nullptr) CCLog::OpenLogFile();
        if (m_dwLogType == 2 && m_TextFile != nullptr) HoldCurrentFile();
        SetFastLimit();
    }
    ~LogOutput() {
        Flush();
        if (m_dwLogType == 2) ReleaseCurrentFile();
    }
    LogOutput(const LogOutput&) = delete;
    LogOutput& operator=(const LogOutput&) = delete;

    // False when the lines go nowhere: an unknown destination, or a file that cannot be
    // opened (the line is dropped; the next call tries again).
    bool Active() const { return m_dwLogType == 1 || (m_dwLogType == 2 && m_TextFile != nullptr); }

    // Room for one whole line of nLength bytes, its line break included. A line that would
    // take the file past its bound goes to a fresh file, so no line is ever split.
    char* Reserve(size_t nLength) {
        if (g_nBlockUsed + nLength > m_nFastLimit) MakeRoom(nLength);
        return g_block + g_nBlockUsed;
    }
    void Commit(size_t nLength) { g_nBlockUsed += nLength; }

    void Line(const char* szLine, size_t nLength) {
        if (nLength > kLineSize) nLength = kLineSize;
        char* p = Reserve(nLength + 1);
        memcpy(p, szLine, nLength);
        p[nLength] = '\n';
        Commit(nLength + 1);
    }

    // Hands what is gathered to the destination: written to the file's descriptor, or
    // written and flushed on standard output, so nothing is left in a user-space buffer.
    void Flush() {
        if (g_nBlockUsed == 0) return;
        if (m_dwLogType == 2 && m_TextFile != nullptr) {
            WriteAll(LogFd(), g_block, g_nBlockUsed);
        } else if (m_dwLogType == 1) {
            SystemCalls::WriteStandardOutput(g_block, g_nBlockUsed);
        }
        g_nBlockUsed = 0;
    }

private:
    void MakeRoom(size_t nLength) {
        if (m_dwLogType == 2 && PassesBound(nLength)) {
            Flush();
            RotateLogFile();
        }
        if (g_nBlockUsed + nLength > sizeof(g_block)) Flush();
        SetFastLimit();
    }

    bool Bounded() const {
        return m_dwLogType == 2 && m_TextFile != nullptr && g_file.bRegular && g_file.nMaxBytes != 0;
    }

    bool PassesBound(size_t nLength) const {
        if (!Bounded()) return false;
        unsigned long long nAfter = g_file.nBytes + g_nBlockUsed;
        // An empty file takes any line, so a line longer than the bound still gets written.
        return nAfter > 0 && nAfter + nLength > g_file.nMaxBytes && nAfter >= g_file.nRetryAt;
    }

    // The fill of g_block up to which lines need no check: the block's end, or the bound.
    void SetFastLimit() {
        m_nFastLimit = sizeof(g_block);
        if (!Bounded()) return;
        unsigned long long nRoom = g_file.nMaxBytes > g_file.nBytes ? g_file.nMaxBytes - g_file.nBytes : 0;
        if (nRoom < m_nFastLimit) m_nFastLimit = static_cast<size_t>(nRoom);
    }

    size_t m_nFastLimit = 0;
    unsigned long m_dwLogType;
};

}  // namespace

void CCLog::SetLogEnable(unsigned long dwLogType, bool bEnable) {
    std::lock_guard<std::mutex> lock(g_logLock);
    if (LogType() == 2 && dwLogType != 2) CloseLogFile();
    __atomic_store_n(&m_dwLogType, dwLogType, __ATOMIC_RELAXED);
    if (dwLogType != 0) __atomic_store_n(&m_bLogDataToo, bEnable, __ATOMIC_RELAXED);
}

bool CCLog::Enabled() { return LogType() != 0 && LogFlag(); }

int CCLog::FormatTimestamp(char* szOut, size_t nSize, long long nSeconds, long nMilliseconds) {
    struct tm tmLocal;
    SystemCalls::LocalTime(static_cast<int64_t>(nSeconds), &tmLocal);
    int n = snprintf(szOut, nSize, "%d/%02d/%02d %02d:%02d:%02d.%03ld", tmLocal.tm_year + 1900, tmLocal.tm_mon + 1,
                     tmLocal.tm_mday, tmLocal.tm_hour, tmLocal.tm_min, tmLocal.tm_sec, nMilliseconds);
    return n < 0 ? 0 : n;
}

bool CCLog::TimestampsPast2038() { return SystemCalls::WallClockPast2038(); }

void CCLog::WriteLog(const char* szName, const char* szText) {
    if (!Enabled()) return;
    char szLine[kLineSize];
    size_t nLength = FormatLine(szLine, sizeof(szLine), szName, szText);
    std::lock_guard<std::mutex> lock(g_logLock);
    LogOutput output(LogType());
    if (output.Active()) output.Line(szLine, nLength);
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
    char szText[kMaxDumpText];
    unsigned long nCount = BytesOnLine(nSize, nOffset);
    DumpLine line(nCount > 0 ? pData + nOffset : pData, nCount, nOffset);
    size_t nLength = line.Length();
    line.Put(szText, DumpGlyphs());
    if (nLength > nLineSize - 1) nLength = nLineSize - 1;
    memcpy(szLine, szText, nLength);
    szLine[nLength] = '\0';
    return static_cast<int>(nLength);
}

void CCLog::WriteLogData(const char* szName, const char* szText, const unsigned char* pData, unsigned long nSize) {
    if (!Enabled()) return;
    char szHeader[kLineSize];
    size_t nHeader = FormatLine(szHeader, sizeof(szHeader), szName, szText);
    // The line and its dump leave under one hold of the lock, so they stay together.
    std::lock_guard<std::mutex> lock(g_logLock);
    LogOutput output(LogType());
    if (!output.Active()) return;
    output.Line(szHeader, nHeader);
    if (pData == nullptr) return;
    const DumpGlyphs glyphs;
    // Dump lines carry no timestamp: ten tabs set them off under the line they belong to.
    for (unsigned long nOffset = 0; nOffset < nSize; nOffset += kBytesPerDumpLine) {
        DumpLine line(pData + nOffset, BytesOnLine(nSize, nOffset), nOffset);
        size_t nLength = kTabCount + line.Length() + 1;
        char* p = output.Reserve(nLength);
        memcpy(p, kTabs, kTabCount);
        line.Put(p + kTabCount, glyphs);
        p[nLength - 1] = '\n';
        output.Commit(nLength);
        if (nSize - nOffset <= kBytesPerDumpLine) break;  // no wrap of nOffset near the top
    }
}

void CCLog::WriteToVideo(const char* szText) {
    LogOutput output(1);
    output.Line(szText, strlen(szText));
}

void CCLog::WriteToFile(const char* szText) {
    LogOutput output(2);
    if (output.Active()) output.Line(szText, strlen(szText));
}

// Opened for appending and never buffered by stdio: every piece goes to the descriptor
// with write(2). Close-on-exec, so a program the JVM starts does not hold the file; a new
// file is readable by its owner and group only (mode 0640, less what the umask takes).
void CCLog::OpenLogFile() {
    if (m_TextFile != nullptr) return;
    ChooseLogFileName();
    m_TextFile = OpenForAppending(m_strFileName);
    if (m_TextFile != nullptr) StartFileState();
}

void CCLog::End() {
    std::lock_guard<std::mutex> lock(g_logLock);
    CloseLogFile();
}

void CCLog::CloseLogFile() {
    SystemCalls::CloseStream(&m_TextFile);
}
