#include "CGenericFunctions.h"

#include <cctype>
#include <cerrno>
#include <ctime>

namespace GenericFunctions {

void ToUpper(char* szText) {
    if (szText == nullptr) return;
    for (unsigned char* p = reinterpret_cast<unsigned char*>(szText); *p != 0; ++p) {
        *p = static_cast<unsigned char>(toupper(*p));
    }
}

uint32_t GetTickCount() {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    // Truncating each term first keeps the arithmetic in 32 bits on every build.
    return static_cast<uint32_t>(now.tv_sec) * 1000u + static_cast<uint32_t>(now.tv_nsec / 1000000);
}

void PauseMicroseconds(unsigned long nMicroseconds) {
    timespec remaining{static_cast<time_t>(nMicroseconds / 1000000), static_cast<long>(nMicroseconds % 1000000) * 1000};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace GenericFunctions
