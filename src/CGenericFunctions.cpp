#include "CGenericFunctions.h"

#include <sys/time.h>

#include <cctype>

namespace GenericFunctions {

void ToUpper(char* szText) {
    if (szText == nullptr) return;
    for (unsigned char* p = reinterpret_cast<unsigned char*>(szText); *p != 0; ++p) {
        *p = static_cast<unsigned char>(toupper(*p));
    }
}

uint32_t GetTickCount() {
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return 0;
    // Truncating each term first keeps the arithmetic in 32 bits on every build.
    return static_cast<uint32_t>(tv.tv_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
}

}  // namespace GenericFunctions
