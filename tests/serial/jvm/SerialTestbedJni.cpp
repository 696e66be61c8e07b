// Test-only JNI library behind orvik.services.posprinterPortComm.SerialTestbed: the C++
// tests' emulated serial lines (tests/serial/SerialLine.h) in the JVM's own process, where
// the preload library of umockdev-wrapper sends the tillportcomm library's /dev/ttySn to
// them. What SerialLine throws reaches Java as java.lang.IllegalStateException.
#include <vector>

#include "SerialLine.h"
#include "TestbedGuard.h"
#include "orvik_services_posprinterPortComm_SerialTestbed.h"

namespace {

SerialLine* Line(jlong handle) { return reinterpret_cast<SerialLine*>(handle); }

}  // namespace

#define TESTBED_METHOD(name) Java_orvik_services_posprinterPortComm_SerialTestbed_##name

extern "C" {

JNIEXPORT jlong JNICALL TESTBED_METHOD(create)(JNIEnv* env, jclass) {
    return Guarded(env, jlong{0}, [] { return reinterpret_cast<jlong>(new SerialLine()); });
}

JNIEXPORT void JNICALL TESTBED_METHOD(destroy)(JNIEnv*, jclass, jlong handle) { delete Line(handle); }

JNIEXPORT void JNICALL TESTBED_METHOD(addLine)(JNIEnv* env, jclass, jlong handle, jint index) {
    Guarded(env, 0, [&] { return Line(handle)->AddLine(index); });
}

JNIEXPORT jint JNICALL TESTBED_METHOD(missingIndex)(JNIEnv*, jclass, jlong handle) {
    return Line(handle)->MissingIndex();
}

JNIEXPORT void JNICALL TESTBED_METHOD(send)(JNIEnv* env, jclass, jlong handle, jint index, jbyteArray data) {
    std::vector<unsigned char> bytes(static_cast<size_t>(env->GetArrayLength(data)));
    env->GetByteArrayRegion(data, 0, static_cast<jsize>(bytes.size()), reinterpret_cast<jbyte*>(bytes.data()));
    Guarded(env, false, [&] {
        Line(handle)->Send(index, bytes);
        return true;
    });
}

JNIEXPORT jbyteArray JNICALL TESTBED_METHOD(receive)(JNIEnv* env, jclass, jlong handle, jint index, jint count,
                                                     jint timeoutMs) {
    std::vector<unsigned char> received;
    if (!Guarded(env, false, [&] {
            received = Line(handle)->Receive(index, static_cast<size_t>(count), timeoutMs);
            return true;
        }))
        return nullptr;
    jbyteArray result = env->NewByteArray(static_cast<jsize>(received.size()));
    if (result != nullptr) {
        env->SetByteArrayRegion(result, 0, static_cast<jsize>(received.size()),
                                reinterpret_cast<const jbyte*>(received.data()));
    }
    return result;
}

JNIEXPORT jintArray JNICALL TESTBED_METHOD(settings)(JNIEnv* env, jclass, jlong handle, jint index) {
    struct termios settings = {};
    if (!Guarded(env, false, [&] {
            settings = Line(handle)->Settings(index);
            return true;
        }))
        return nullptr;
    const jint values[] = {static_cast<jint>(settings.c_iflag), static_cast<jint>(settings.c_oflag),
                           static_cast<jint>(settings.c_cflag), static_cast<jint>(settings.c_lflag)};
    jintArray result = env->NewIntArray(4);
    if (result != nullptr) env->SetIntArrayRegion(result, 0, 4, values);
    return result;
}

}  // extern "C"
