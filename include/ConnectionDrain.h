#ifndef TILLPORTCOMM_CONNECTIONDRAIN_H
#define TILLPORTCOMM_CONNECTIONDRAIN_H

#include <cstddef>

// Printer connections whose close had to return before the printer had taken every byte
// sent and closed its end. Closing such a socket would make the kernel answer the printer's
// next bytes (a late status answer, say) with a reset and throw away what it still holds of
// jobs already reported written. So they are kept on a thread of the library's own, which
// reads and drops what the printer sends until the kernel has sent every byte (SIOCOUTQ
// reads 0) and the printer has closed its end, or kLimitMs have passed, and only then closes
// them. The thread starts with the first such connection and then waits in poll for the
// next; EndAll ends it.
namespace ConnectionDrain {

constexpr unsigned long kLimitMs = 60000;

// Takes over a connected socket whose sending side is shut down already. False when the
// drain's thread cannot run: the socket is then still the caller's.
bool HandOver(int hSocket);

// Closes every connection still drained and ends the thread; for the library's unload.
void EndAll();

// Connections being drained now.
size_t Count();

}  // namespace ConnectionDrain

#endif
