#include "CGenericFunctions.h"

#include <cctype>

#include "SystemCalls.h"

namespace GenericFunctions {

void ToUpper(char* szText) {
    if (szText == nullptr) return;
    for (unsigned char* p = reinterpret_cast<unsigned char*>(szText); *p != 0; ++p) {
        *p = static_cast<unsigned char>(toupper(*p));
    }
}

uint32_t GetTickCount() { return SystemCalls::MonotonicTicks(); }

void PauseMicroseconds(unsigned long nMicroseconds) { SystemCalls::Sleep(nMicroseconds); }

}  // namespace GenericFunctions
