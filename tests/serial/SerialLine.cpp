#include "SerialLine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <stdexcept>

#include "TtyPassThrough.h"

namespace {

// Throws the step that failed, with umockdev's reason when it gave one.
[[noreturn]] void Fail(const std::string& step, GError* pError = nullptr) {
    std::string text = step + (pError != nullptr ? std::string(": ") + pError->message : std::string());
    if (pError != nullptr) g_error_free(pError);
    throw std::runtime_error(text);
}

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
    if (!umockdev_testbed_add_from_string(m_pTestbed, record.c_str(), &pError)) Fail("adding " + name, pError);
    if (!umockdev_testbed_attach_ioctl(m_pTestbed, TtyDevicePath(index).c_str(), m_pPassThrough, &pError)) {
        Fail("ioctl handler for " + name, pError);
    }
    int fd = umockdev_testbed_get_dev_fd(m_pTestbed, TtyDevicePath(index).c_str());
    if (fd < 0) Fail("no printer's end for " + name);
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
    if (fd < 0) Fail("creating " + path);
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
    if (found == m_ends.end()) Fail("no emulated line ttyS" + std::to_string(index));
    return found->second;
}

void SerialLine::Send(int index, const std::vector<unsigned char>& bytes) {
    size_t nDone = 0;
    while (nDone < bytes.size()) {
        ssize_t n = write(End(index), bytes.data() + nDone, bytes.size() - nDone);
        if (n <= 0) Fail("writing at the printer's end of ttyS" + std::to_string(index));
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
    if (tcgetattr(End(index), &settings) != 0) Fail("tcgetattr on ttyS" + std::to_string(index));
    return settings;
}

void SerialLine::Apply(int index, const struct termios& settings) {
    if (tcsetattr(End(index), TCSANOW, &settings) != 0) Fail("tcsetattr on ttyS" + std::to_string(index));
}
