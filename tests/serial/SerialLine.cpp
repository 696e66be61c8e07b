#include "SerialLine.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "TtyPassThrough.h"

namespace {

std::mutex g_recordLock;
int g_nWatchedFd = -1;
std::vector<size_t> g_writes;
std::string g_watchedPath;
std::vector<int> g_openFlags;

}  // namespace

SerialLine::SerialLine() : m_pTestbed(umockdev_testbed_new()), m_pPassThrough(umockdev_ioctl_base_new()) {
    g_signal_connect(m_pPassThrough, "handle-ioctl", G_CALLBACK(TtyPassThrough), nullptr);
}

SerialLine::~SerialLine() {
    for (const auto& line : m_ends) umockdev_testbed_detach_ioctl(m_pTestbed, TtyDevicePath(line.first).c_str(), nullptr);
    g_object_unref(m_pPassThrough);
    g_object_unref(m_pTestbed);
}

int SerialLine::AddLine(int index) {
    std::string name = "ttyS" + std::to_string(index);
    std::string record = "P: /devices/platform/serial8250/tty/" + name + "\nN: " + name +
                         "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + name + "\n\n";
    GError* pError = nullptr;
    if (!umockdev_testbed_add_from_string(m_pTestbed, record.c_str(), &pError)) {
        ADD_FAILURE() << "adding " << name << ": " << pError->message;
        g_error_free(pError);
        return -1;
    }
    if (!umockdev_testbed_attach_ioctl(m_pTestbed, TtyDevicePath(index).c_str(), m_pPassThrough, &pError)) {
        ADD_FAILURE() << "ioctl handler for " << name << ": " << pError->message;
        g_error_free(pError);
    }
    int fd = umockdev_testbed_get_dev_fd(m_pTestbed, TtyDevicePath(index).c_str());
    EXPECT_GE(fd, 0) << name;
    m_ends[index] = fd;
    return fd;
}

void SerialLine::AddNonTerminal(int index) {
    gchar* szRoot = umockdev_testbed_get_root_dir(m_pTestbed);
    std::string dir = std::string(szRoot) + "/dev";
    g_free(szRoot);
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/ttyS" + std::to_string(index);
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    close(fd);
}

int SerialLine::MissingIndex() const {
    for (int index = 8; index >= 0; --index) {
        struct stat info;
        if (m_ends.count(index) == 0 && stat(TtyDevicePath(index).c_str(), &info) != 0) return index;
    }
    return -1;
}

int SerialLine::End(int index) {
    auto found = m_ends.find(index);
    return found == m_ends.end() ? -1 : found->second;
}

void SerialLine::Send(int index, const std::vector<unsigned char>& bytes) {
    size_t nDone = 0;
    while (nDone < bytes.size()) {
        ssize_t n = write(End(index), bytes.data() + nDone, bytes.size() - nDone);
        ASSERT_GT(n, 0) << "printer's end of ttyS" << index;
        nDone += static_cast<size_t>(n);
    }
}

std::vector<unsigned char> SerialLine::Receive(int index, size_t nCount, int nTimeoutMs) {
    std::vector<unsigned char> received;
    unsigned char buffer[4096];
    while (received.size() < nCount) {
        pollfd wait = {End(index), POLLIN, 0};
        if (poll(&wait, 1, nTimeoutMs) <= 0) break;
        ssize_t n = read(End(index), buffer, sizeof(buffer));
        if (n <= 0) break;
        received.insert(received.end(), buffer, buffer + n);
    }
    return received;
}

struct termios SerialLine::Settings(int index) {
    struct termios settings = {};
    EXPECT_EQ(tcgetattr(End(index), &settings), 0);
    return settings;
}

void SerialLine::Apply(int index, const struct termios& settings) {
    EXPECT_EQ(tcsetattr(End(index), TCSANOW, &settings), 0);
}

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
