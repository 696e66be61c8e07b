// Test-only JNI library: lets JVM tests set up emulated USB printers inside the JVM's own
// process, where the library under test looks for them. Native side of
// orvik.services.posprinterPortComm.UsbTestbed (java/test). Not part of the product.
#include <jni.h>

#include <exception>
#include <vector>

#include "UsbPrinterBed.h"

namespace {

UsbPrinterBed* Bed(jlong handle) { return reinterpret_cast<UsbPrinterBed*>(handle); }

void Throw(JNIEnv* env, const char* message) {
    jclass cls = env->FindClass("java/lang/IllegalStateException");
    if (cls != nullptr) env->ThrowNew(cls, message);
}

}  // namespace

#define TESTBED_METHOD(name) Java_orvik_services_posprinterPortComm_UsbTestbed_##name

extern "C" {

JNIEXPORT jlong JNICALL TESTBED_METHOD(create)(JNIEnv* env, jclass) {
    try {
        return reinterpret_cast<jlong>(new UsbPrinterBed());
    } catch (const std::exception& e) {
        Throw(env, e.what());
        return 0;
    }
}

JNIEXPORT void JNICALL TESTBED_METHOD(destroy)(JNIEnv*, jclass, jlong bed) { delete Bed(bed); }

JNIEXPORT jint JNICALL TESTBED_METHOD(add)(JNIEnv* env, jclass, jlong bed, jint product, jstring serial) {
    UsbPrinterBed::Printer printer;
    printer.product = static_cast<uint16_t>(product);
    const char* chars = env->GetStringUTFChars(serial, nullptr);
    if (chars == nullptr) return -1;
    printer.serial = chars;
    env->ReleaseStringUTFChars(serial, chars);
    try {
        return Bed(bed)->Add(printer);
    } catch (const std::exception& e) {
        Throw(env, e.what());
        return -1;
    }
}

JNIEXPORT void JNICALL TESTBED_METHOD(unplug)(JNIEnv*, jclass, jlong bed, jint index) { Bed(bed)->Unplug(index); }

JNIEXPORT void JNICALL TESTBED_METHOD(plugBack)(JNIEnv* env, jclass, jlong bed, jint index) {
    try {
        Bed(bed)->PlugBack(index);
    } catch (const std::exception& e) {
        Throw(env, e.what());
    }
}

JNIEXPORT void JNICALL TESTBED_METHOD(setClaimFails)(JNIEnv*, jclass, jlong bed, jint index, jboolean fail) {
    Bed(bed)->SetClaimFails(index, fail == JNI_TRUE);
}

JNIEXPORT void JNICALL TESTBED_METHOD(failNextTransfer)(JNIEnv*, jclass, jlong bed, jint index) {
    Bed(bed)->QueueOutcome(index, UsbPrinterBed::Outcome::Error);
}

JNIEXPORT void JNICALL TESTBED_METHOD(queueAnswer)(JNIEnv* env, jclass, jlong bed, jint index, jbyteArray bytes) {
    std::vector<uint8_t> answer(static_cast<size_t>(env->GetArrayLength(bytes)));
    env->GetByteArrayRegion(bytes, 0, static_cast<jsize>(answer.size()), reinterpret_cast<jbyte*>(answer.data()));
    Bed(bed)->QueueAnswer(index, answer);
}

JNIEXPORT jintArray JNICALL TESTBED_METHOD(outLengths)(JNIEnv* env, jclass, jlong bed, jint index) {
    std::vector<jint> lengths;
    for (size_t length : Bed(bed)->OutLengths(index)) lengths.push_back(static_cast<jint>(length));
    jintArray result = env->NewIntArray(static_cast<jsize>(lengths.size()));
    if (result != nullptr) env->SetIntArrayRegion(result, 0, static_cast<jsize>(lengths.size()), lengths.data());
    return result;
}

JNIEXPORT jbyteArray JNICALL TESTBED_METHOD(received)(JNIEnv* env, jclass, jlong bed, jint index) {
    std::vector<uint8_t> accepted = Bed(bed)->Accepted(index);
    jbyteArray result = env->NewByteArray(static_cast<jsize>(accepted.size()));
    if (result != nullptr) {
        env->SetByteArrayRegion(result, 0, static_cast<jsize>(accepted.size()),
                                reinterpret_cast<const jbyte*>(accepted.data()));
    }
    return result;
}

JNIEXPORT jint JNICALL TESTBED_METHOD(claims)(JNIEnv*, jclass, jlong bed, jint index) {
    return Bed(bed)->GetCounts(index).claims;
}

JNIEXPORT jint JNICALL TESTBED_METHOD(releases)(JNIEnv*, jclass, jlong bed, jint index) {
    return Bed(bed)->GetCounts(index).releases;
}

}  // extern "C"
