// What the static libstdc++ of this machine's compiler takes from the C library it was
// built against, for programs linked against an older one. Linked only into the
// deliverables built against the floor release (cmake/floor.cmake); hidden, so the C
// library's own definitions, where it has them, are untouched.
#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

extern "C" {

// glibc 2.32 and later tell libstdc++ here whether the process is still single-threaded,
// so reference counts may skip their atomic operations. 0 claims nothing: every count is
// updated atomically, which is right whatever the threads.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

// glibc 2.36's random source, which libstdc++ offers as one of std::random_device's
// sources. Random bytes from the kernel; like glibc's own, it ends the process rather than
// return anything but randomness.
__attribute__((visibility("hidden"))) uint32_t arc4random(void) {
    uint32_t nValue = 0;
    unsigned char* pNext = reinterpret_cast<unsigned char*>(&nValue);
    size_t nLeft = sizeof(nValue);
    while (nLeft > 0) {
        ssize_t nGot = getrandom(pNext, nLeft, 0);
        if (nGot > 0) {
            pNext += nGot;
            nLeft -= static_cast<size_t>(nGot);
        } else if (nGot == 0 || errno != EINTR) {
            abort();
        }
    }
    return nValue;
}

}  // extern "C"
