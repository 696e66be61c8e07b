// Test-only JNI library: lets JVM tests set up emulated USB printers inside the JVM's own
// process, where the library under test looks for them. Native side of
// orvik.services.posprinterPortComm.UsbTestbed (java/test); the printers are the C++ tests'
// own (UsbPrinterBed). What the bed throws reaches Java as IllegalStateException. Not part
// of the product.
#include <jni.h>

#include <vector>

#include "TestbedGuard.h"
#include "UsbPrinterBed.h"

namespace {

UsbPrinterBed* Bed(jlong handle) { return reinterpret_cast<UsbPrinterBed*>(handle); }

}  // namespace

#define TESTBED_METHOD(name) Java_orvik_services_posprinterPortComm_UsbTestbed_##name

extern "C" {

JNIEXPORT jlong JNICALL TESTBED_METHOD(create)(JNIEnv* env, jclass) {
    return Guarded(env, jlong{0}, [] { return reinterpret_cast<jlong>(new UsbPrinterBed()); });
}

JNIEXPORT void JNICALL TESTBED_METHOD(destroy)(JNIEnv*, jclass, jlong bed) { delete Bed(bed); }

JNIEXPORT jint JNICALL TESTBED_METHOD(add)(JNIEnv* env, jclass, jlong bed, jint product, jstring serial) {
    UsbPrinterBed::Printer printer;
    printer.product = static_cast<uint16_t>(product);
    const char* chars = env->GetStringUTFChars(serial, nullptr);
    if (chars == nullptr) return -1;
    printer.serial = chars;
    env->ReleaseStringUTFChars(serial, chars);
    return Guarded(env, jint{-1}, [&] { return static_cast<jint>(Bed(bed)->Add(printer)); });
}

JNIEXPORT void JNICALL TESTBED_METHOD(unplug)(JNIEnv* env, jclass, jlong bed, jint index) {
    Guarded(env, false, [&] {
        Bed(bed)->Unplug(index);
        return true;
    });
}

JNIEXPORT void JNICALL TESTBED_METHOD(plugBack)(JNIEnv* env, jclass, jlong bed, jint index) {
    Guarded(env, false, [&] {
        Bed(bed)->PlugBack(index);
        return true;
    });
}

JNIEXPORT void JNICALL TESTBED_METHOD(setClaimFails)(JNIEnv* env, jclass, jlong bed, jint index, jboolean fail) {
    Guarded(env, false, [&] {
        Bed(bed)->SetClaimFails(index, fail == JNI_TRUE);
        return true;
    });
}

JNIEXPORT void JNICALL TESTBED_METHOD(failNextTransfer)(JNIEnv* env, jclass, jlong bed, jint index) {
    Guarded(env, false, [&] {
        Bed(bed)->QueueOutcome(index, UsbPrinterBed::Outcome::Error);
        return true;
    });
}

JNIEXPORT void JNICALL TESTBED_METHOD(queueAnswer)(JNIEnv* env, jclass, jlong bed, jint index, jbyteArray bytes) {
    std::vector<uint8_t> answer(static_cast<size_t>(env->GetArrayLength(bytes)));
    env->GetByteArrayRegion(bytes, 0, static_cast<jsize>(answer.size()), reinterpret_cast<jbyte*>(answer.data()));
    Guarded(env, false, [&] {
        Bed(bed)->QueueAnswer(index, answer);
        return true;
    });
}

JNIEXPORT jintArray JNICALL TESTBED_METHOD(outLengths)(JNIEnv* env, jclass, jlong bed, jint index) {
    std::vector<jint> lengths;
    if (!Guarded(env, false, [&] {
            for (size_t length : Bed(bed)->OutLengths(index)) lengths.push_back(static_cast<jint>(length));
            return true;
        })) {
        return nullptr;
    }
    jintArray result = env->NewIntArray(static_cast<jsize>(lengths.size()));
    if (result != nullptr) env->SetIntArrayRegion(result, 0, static_cast<jsize>(lengths.size()), lengths.data());
    return result;
}

JNIEXPORT jbyteArray JNICALL TESTBED_METHOD(received)(JNIEnv* env, jclass, jlong bed, jint index) {
    std::vector<uint8_t> accepted;
    if (!Guarded(env, false, [&] {
            accepted = Bed(bed)->Accepted(index);
            return true;
        })) {
        return nullptr;
    }
    jbyteArray result = env->NewByteArray(static_cast<jsize>(accepted.size()));
    if (result != nullptr) {
        env->SetByteArrayRegion(result, 0, static_cast<jsize>(accepted.size()),
                                reinterpret_cast<const jbyte*>(accepted.data()));
    }
    return result;
}

JNIEXPORT jint JNICALL TESTBED_METHOD(claims)(JNIEnv* env, jclass, jlong bed, jint index) {
    return Guarded(env, jint{-1}, [&] { return static_cast<jint>(Bed(bed)->GetCounts(index).claims); });
}

JNIEXPORT jint JNICALL TESTBED_METHOD(releases)(JNIEnv* env, jclass, jlong bed, jint index) {
    return Guarded(env, jint{-1}, [&] { return static_cast<jint>(Bed(bed)->GetCounts(index).releases); });
}

JNIEXPORT jint JNICALL TESTBED_METHOD(attaches)(JNIEnv* env, jclass, jlong bed, jint index) {
    return Guarded(env, jint{-1}, [&] { return static_cast<jint>(Bed(bed)->GetCounts(index).attaches); });
}

}  // extern "C"
