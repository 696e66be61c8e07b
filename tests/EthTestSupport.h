#ifndef TILLPORTCOMM_TESTS_ETHTESTSUPPORT_H
#define TILLPORTCOMM_TESTS_ETHTESTSUPPORT_H

// Helpers of the TCP tests. Closing a port through Close() costs its 2 s pause, so tests
// that are not about closing give the socket back directly.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ComPortEth.h"
#include "tillportcomm.h"

namespace ethtest {

// A transport object whose socket is closed without the pause when the test ends.
struct QuickPort {
    std::unique_ptr<CComPortEth> port{new CComPortEth()};
    ~QuickPort() {
        if (port->m_hSocket >= 0) close(port->m_hSocket);
        port->m_hSocket = -1;
    }
    CComPortEth* operator->() { return port.get(); }
};

// Connects a fresh port to 127.0.0.1:nPort with the given timeouts.
inline bool Connect(QuickPort& quick, int nPort, int nTimeoutTX = 1000, int nTimeoutRX = 1000) {
    char szHost[] = "127.0.0.1";
    quick->SetTimeoutTX(nTimeoutTX);
    quick->SetTimeoutRX(nTimeoutRX);
    return quick->Init(szHost, nPort) && quick->Open();
}

// Empties a slot of the port table without the pause of Close().
inline void DropSlot(jint nId) {
    auto* pPort = static_cast<CComPortEth*>(m_pComPortPointers[nId]);
    if (pPort == nullptr) return;
    if (pPort->m_hSocket >= 0) close(pPort->m_hSocket);
    pPort->m_hSocket = -1;
    tillport::ReleasePort(pPort);
    m_pComPortPointers[nId] = nullptr;
}

inline int FreeSlots() {
    int nFree = 0;
    for (CComPort* pPort : m_pComPortPointers) nFree += pPort == nullptr;
    return nFree;
}

// Pseudo-random bytes, so a lost, doubled or reordered stretch shows in a comparison.
inline std::vector<uint8_t> Pattern(size_t nSize) {
    std::vector<uint8_t> bytes(nSize);
    uint32_t nState = 0x12345678u;
    for (uint8_t& byte : bytes) {
        nState = nState * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(nState >> 24);
    }
    return bytes;
}

class Stopwatch {
public:
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    }

private:
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

}  // namespace ethtest

#endif
