// Test-only JNI library behind orvik.services.posprinterPortComm.SerialTestbed: emulated
// serial lines in the JVM's own process, where the preload library of umockdev-wrapper
// sends the tillportcomm library's /dev/ttySn to them. Failures raise
// java.lang.IllegalStateException.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "../TtyPassThrough.h"
#include "orvik_services_posprinterPortComm_SerialTestbed.h"

namespace {

struct Testbed {
    UMockdevTestbed* pTestbed;
    UMockdevIoctlBase* pPassThrough;
    std::map<int, int> ends;  // line index -> printer's end
};

void Fail(JNIEnv* env, const std::string& message) {
    jclass cls = env->FindClass("java/lang/IllegalStateException");
    if (cls != nullptr) env->ThrowNew(cls, message.c_str());
}

Testbed* From(jlong handle) { return reinterpret_cast<Testbed*>(handle); }

int End(JNIEnv* env, jlong handle, int index) {
    auto found = From(handle)->ends.find(index);
    if (found != From(handle)->ends.end()) return found->second;
    Fail(env, "no emulated line ttyS" + std::to_string(index));
    return -1;
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_orvik_services_posprinterPortComm_SerialTestbed_create(JNIEnv*, jclass) {
    auto* pBed = new Testbed{umockdev_testbed_new(), umockdev_ioctl_base_new(), {}};
    g_signal_connect(pBed->pPassThrough, "handle-ioctl", G_CALLBACK(TtyPassThrough), nullptr);
    return reinterpret_cast<jlong>(pBed);
}

JNIEXPORT void JNICALL Java_orvik_services_posprinterPortComm_SerialTestbed_addLine(JNIEnv* env, jclass, jlong handle,
                                                                                   jint index) {
    Testbed* pBed = From(handle);
    std::string name = "ttyS" + std::to_string(index);
    std::string record = "P: /devices/platform/serial8250/tty/" + name + "\nN: " + name +
                         "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + name + "\n\n";
    GError* pError = nullptr;
    if (!umockdev_testbed_add_from_string(pBed->pTestbed, record.c_str(), &pError) ||
        !umockdev_testbed_attach_ioctl(pBed->pTestbed, TtyDevicePath(index).c_str(), pBed->pPassThrough, &pError)) {
        Fail(env, "adding " + name + ": " + (pError != nullptr ? pError->message : "?"));
        if (pError != nullptr) g_error_free(pError);
        return;
    }
    int fd = umockdev_testbed_get_dev_fd(pBed->pTestbed, TtyDevicePath(index).c_str());
    if (fd < 0) {
        Fail(env, "no printer's end for " + name);
        return;
    }
    pBed->ends[index] = fd;
}

JNIEXPORT jint JNICALL Java_orvik_services_posprinterPortComm_SerialTestbed_missingIndex(JNIEnv*, jclass,
                                                                                        jlong handle) {
    for (int index = 8; index >= 0; --index) {
        struct stat info;
        if (From(handle)->ends.count(index) == 0 && stat(TtyDevicePath(index).c_str(), &info) != 0) return index;
    }
    return -1;
}

JNIEXPORT void JNICALL Java_orvik_services_posprinterPortComm_SerialTestbed_send(JNIEnv* env, jclass, jlong handle,
                                                                                jint index, jbyteArray data) {
    int fd = End(env, handle, index);
    if (fd < 0) return;
    jsize nLength = env->GetArrayLength(data);
    std::vector<jbyte> bytes(static_cast<size_t>(nLength));
    env->GetByteArrayRegion(data, 0, nLength, bytes.data());
    size_t nDone = 0;
    while (nDone < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + nDone, bytes.size() - nDone);
        if (n <= 0) {
            Fail(env, "writing at the printer's end failed");
            return;
        }
        nDone += static_cast<size_t>(n);
    }
}

JNIEXPORT jbyteArray JNICALL Java_orvik_services_posprinterPortComm_SerialTestbed_receive(JNIEnv* env, jclass,
                                                                                         jlong handle, jint index,
                                                                                         jint count, jint timeoutMs) {
    int fd = End(env, handle, index);
    if (fd < 0) return nullptr;
    std::vector<jbyte> received;
    jbyte buffer[4096];
    while (received.size() < static_cast<size_t>(count)) {
        pollfd wait = {fd, POLLIN, 0};
        if (poll(&wait, 1, timeoutMs) <= 0) break;
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0) break;
        received.insert(received.end(), buffer, buffer + n);
    }
    jbyteArray result = env->NewByteArray(static_cast<jsize>(received.size()));
    if (result != nullptr) env->SetByteArrayRegion(result, 0, static_cast<jsize>(received.size()), received.data());
    return result;
}

JNIEXPORT jintArray JNICALL Java_orvik_services_posprinterPortComm_SerialTestbed_settings(JNIEnv* env, jclass,
                                                                                         jlong handle, jint index) {
    int fd = End(env, handle, index);
    if (fd < 0) return nullptr;
    struct termios settings = {};
    if (tcgetattr(fd, &settings) != 0) {
        Fail(env, "tcgetattr on the line failed");
        return nullptr;
    }
    const jint values[] = {static_cast<jint>(settings.c_iflag), static_cast<jint>(settings.c_oflag),
                           static_cast<jint>(settings.c_cflag), static_cast<jint>(settings.c_lflag)};
    jintArray result = env->NewIntArray(4);
    if (result != nullptr) env->SetIntArrayRegion(result, 0, 4, values);
    return result;
}

JNIEXPORT void JNICALL Java_orvik_services_posprinterPortComm_SerialTestbed_destroy(JNIEnv*, jclass, jlong handle) {
    Testbed* pBed = From(handle);
    for (const auto& line : pBed->ends) {
        umockdev_testbed_detach_ioctl(pBed->pTestbed, TtyDevicePath(line.first).c_str(), nullptr);
    }
    g_object_unref(pBed->pPassThrough);
    g_object_unref(pBed->pTestbed);
    delete pBed;
}

}  // extern "C"
