#ifndef TILLPORTCOMM_CLOG_H
#define TILLPORTCOMM_CLOG_H

#include <cstdio>

// The library's switchable trace: timestamped lines naming the operation that wrote them,
// and hex dumps of the data. Destination 0 is off, 1 standard output, 2 the log file named
// by TILLPORTCOMM_LOG_FILE (default "tillportcomm.log"); any other destination formats and
// drops. Nothing is written while the enable flag is false. The log never fails its caller.
// What a call logged has left the process when it returns: written to the file with
// write(2), or written and flushed on standard output. A call's output leaves in one write
// for a line, in blocks of 256 KiB for a dump.
// The log file is kept below TILLPORTCOMM_LOG_MAX_BYTES (default 8 MiB, 0 for no bound):
// a line that would take a regular file past it first moves the file to <name>.1 and starts
// a new one, so lines are never split between files. A new file is created with mode 0640:
// the dumps hold whole receipts. Devices, pipes and files reached
// through a symbolic link (/dev/stderr) are never moved.
// Safe from any thread: a line, and a line with its whole dump, never interleave with
// another thread's output, and switching the log while others write is safe.
extern unsigned long m_dwLogType;
extern bool m_bLogDataToo;
extern FILE* m_TextFile;
extern char m_strFileName[200];

class CCLog {
public:
    // Stores the destination; when it is not 0 also stores the flag. Moving away from
    // destination 2 closes the log file.
    static void SetLogEnable(unsigned long dwLogType, bool bEnable);
    // One line "[Y/MM/DD hh:mm:ss.mmm][name]text". Reads no clock while the log is off.
    static void WriteLog(const char* szName, const char* szText);
    // Formats szFormat (a constant of the library, never caller data) into 4096 bytes,
    // cutting longer texts, then writes it as WriteLog does.
    static void WriteLogP(const char* szName, const char* szFormat, ...) __attribute__((format(printf, 2, 3)));
    // One line with the text, then a hex dump of nSize bytes, 16 to a line.
    static void WriteLogData(const char* szName, const char* szText, const unsigned char* pData, unsigned long nSize);
    // The output steps: one line (with a line break added) to standard output or the log
    // file, opening and closing the file. The operations above do their output with the
    // log's lock held; a direct caller must make sure no other thread is logging.
    static void WriteToVideo(const char* szText);
    static void WriteToFile(const char* szText);
    static void OpenLogFile();
    static void CloseLogFile();

    // Closes the log file, for the library's unload; the destination and flag stay.
    static void End();

    // Formats the dump line for the bytes at nOffset (up to 16) into szLine, without the
    // leading tabs. Returns the length written (cut to nLineSize - 1).
    static int FormatDumpLine(char* szLine, size_t nLineSize, const unsigned char* pData, unsigned long nSize,
                              unsigned long nOffset);

    // The timestamp of a log line, "Y/MM/DD hh:mm:ss.mmm", for nSeconds since 1970 in local
    // time; returns the length snprintf gave. Whether timestamps reach past January 2038:
    // always with a 64-bit time_t, with a 32-bit one where the running C library has the
    // 64-bit time calls (glibc 2.34 and later).
    static int FormatTimestamp(char* szOut, size_t nSize, long long nSeconds, long nMilliseconds);
    static bool TimestampsPast2038();

private:
    static bool Enabled();
};

#endif
