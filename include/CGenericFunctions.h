#ifndef TILLPORTCOMM_CGENERICFUNCTIONS_H
#define TILLPORTCOMM_CGENERICFUNCTIONS_H

#include <cstdint>

namespace GenericFunctions {

// Upper-cases a NUL-terminated string in place, byte by byte (each byte read as unsigned).
// A null pointer is ignored.
void ToUpper(char* szText);

// Milliseconds of the monotonic clock as seconds * 1000 + nanoseconds / 1000000, computed
// in 32 bits so it wraps modulo 2^32 on every build; 0 when the clock cannot be read. A
// step of the wall clock (time set at boot) does not move it. Elapsed time is the
// difference of two readings taken modulo 2^32.
uint32_t GetTickCount();

// Milliseconds elapsed from nStart to nNow on the wrapping 32-bit count.
inline uint32_t ElapsedTicks(uint32_t nStart, uint32_t nNow) { return nNow - nStart; }

// Sleeps the whole time, also when signals cut the sleep short.
void PauseMicroseconds(unsigned long nMicroseconds);

}  // namespace GenericFunctions

#endif
