// What the serial test programs share besides the emulated line (SerialLine.h): the
// library's write() and open() calls recorded, the open descriptors counted, and a byte
// pattern. Not linked into the JVM's serial testbed, which must not stand in front of the
// system library's calls.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <mutex>

#include "SerialLine.h"

namespace {

std::mutex g_recordLock;
int g_nWatchedFd = -1;
std::vector<size_t> g_writes;
std::string g_watchedPath;
std::vector<int> g_openFlags;

}  // namespace

int CountOpenDescriptors() {
    // The testbed's worker thread opens and closes sockets and event descriptors of its own
    // at its own pace; only files, devices and pipes count.
    int nCount = 0;
    DIR* pDir = opendir("/proc/self/fd");
    if (pDir == nullptr) return -1;
    while (dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.' || atoi(pEntry->d_name) == dirfd(pDir)) continue;
        char szTarget[512] = {};
        std::string link = std::string("/proc/self/fd/") + pEntry->d_name;
        if (readlink(link.c_str(), szTarget, sizeof(szTarget) - 1) < 0) continue;
        std::string target = szTarget;
        if (target.rfind("socket:", 0) == 0 || target.rfind("anon_inode:", 0) == 0) continue;
        ++nCount;
    }
    closedir(pDir);
    return nCount;
}

void RecordWritesOn(int fd) {
    std::lock_guard<std::mutex> lock(g_recordLock);
    g_nWatchedFd = fd;
    g_writes.clear();
}

std::vector<size_t> RecordedWrites() {
    std::lock_guard<std::mutex> lock(g_recordLock);
    return g_writes;
}

void RecordOpensOf(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_recordLock);
    g_watchedPath = path;
    g_openFlags.clear();
}

std::vector<int> RecordedOpenFlags() {
    std::lock_guard<std::mutex> lock(g_recordLock);
    return g_openFlags;
}

std::vector<unsigned char> Pattern(size_t nCount) {
    std::vector<unsigned char> bytes(nCount);
    for (size_t i = 0; i < nCount; ++i) bytes[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0xff);
    return bytes;
}

// The library's objects are linked into this program, so their write() calls bind here;
// the call goes on to the next write() (the preload library's, then the system's).
extern "C" ssize_t write(int fd, const void* pData, size_t nCount) {
    using WriteFn = ssize_t (*)(int, const void*, size_t);
    static WriteFn pNext = reinterpret_cast<WriteFn>(dlsym(RTLD_NEXT, "write"));
    {
        std::lock_guard<std::mutex> lock(g_recordLock);
        if (fd == g_nWatchedFd && fd >= 0) g_writes.push_back(nCount);
    }
    return pNext(fd, pData, nCount);
}

// The same for open(), which takes a mode only when it may create the file.
extern "C" int open(const char* szPath, int nFlags, ...) {
    using OpenFn = int (*)(const char*, int, ...);
    static OpenFn pNext = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open"));
    mode_t nMode = 0;
    if ((nFlags & O_CREAT) != 0 || (nFlags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, nFlags);
        nMode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    {
        std::lock_guard<std::mutex> lock(g_recordLock);
        if (!g_watchedPath.empty() && g_watchedPath == szPath) g_openFlags.push_back(nFlags);
    }
    return pNext(szPath, nFlags, nMode);
}
