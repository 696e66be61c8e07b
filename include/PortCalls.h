#ifndef TILLPORTCOMM_PORTCALLS_H
#define TILLPORTCOMM_PORTCALLS_H

#include <cstddef>

#include "ComPort.h"

// What a caller asks of a port beyond a single operation, written once for the native
// methods and the technician's tool: a job written whole, and an answer collected within
// the receive timeout. The caller holds the port for the whole call.
namespace PortCalls {

// A job given to one Write: whole when the port reports every byte written; otherwise
// nSent is what left the port before the failure (the port's text says why).
struct Job {
    bool bWhole;
    unsigned long nSent;
};
Job WriteJob(CComPort& port, unsigned char* pData, unsigned long nLength);

// An answer collected into pAnswer (nCapacity bytes): nTotal bytes came; bFailed when a
// pass failed before the answer had begun (or, in a single pass, at all): the port's
// m_strLastError says why, and the bytes are none. bEnded: the port said that no more were
// coming after some had come (its text says why).
struct Answer {
    unsigned long nTotal = 0;
    bool bFailed = false;
    bool bEnded = false;
};

// Passes of the port's Read, each asking for up to nRequest bytes (and never more than
// the room left), until nWanted bytes have come, the answer ends, or the receive timeout
// (counted from the start, one deadline for the whole) has passed, so the collection keeps
// to the timeout. A pass that brings nothing without failing is followed by a short pause.
// A close that has begun ends it with what came. With szLogName, each pass logs "Partial
// Read N Bytes" and an end "Answer Ended(TEXT)" under that name.
Answer CollectAnswer(CComPort& port, unsigned char* pAnswer, size_t nCapacity, unsigned long nRequest,
                     unsigned long nWanted, const char* szLogName);

// One pass of up to nRequest bytes, made unless the receive timeout has passed at once (0:
// a pass only within its first millisecond), logged as CollectAnswer logs it.
Answer ReadOnce(CComPort& port, unsigned char* pAnswer, unsigned long nRequest, const char* szLogName);

}  // namespace PortCalls

#endif
