// What the thread guards cost a status round trip (not a test): a loopback printer answers
// each 3-byte request with one byte; the round trip runs through WriteToDevice and
// ReadFromDevice as Java calls them. Samples alternate between the plain round trip (its two
// calls take the port's guard once each) and the same round trip with the guard taken twice
// more, so the difference is what the guards add, measured under the same conditions.
// Short samples, finely alternated, keep the machine's drift out of the difference. Prints
// medians; arguments: round trips per sample (default 300), samples (default 60).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "FakeJni.h"
#include "LoopbackPeer.h"
#include "orvik_services_posprinterPortComm_CommonComPort.h"
#include "tillportcomm.h"
#include "Native.h"

namespace {

using Clock = std::chrono::steady_clock;

// Answers every 3 bytes received with 0x12 until the connection ends.
class StatusPrinter {
public:
    StatusPrinter() {
        m_hListen = BindLoopback(&m_nPort);
        if (listen(m_hListen, 1) != 0) {
            perror("guard_benchmark: loopback listener");
            exit(1);
        }
        m_thread = std::thread([this] { Serve(); });
    }
    ~StatusPrinter() {
        shutdown(m_hListen, SHUT_RDWR);
        close(m_hListen);
        m_thread.join();
    }
    int Port() const { return m_nPort; }

private:
    void Serve() {
        int hConnection = accept(m_hListen, nullptr, nullptr);
        if (hConnection < 0) return;
        int nNoDelay = 1;
        setsockopt(hConnection, IPPROTO_TCP, TCP_NODELAY, &nNoDelay, sizeof(nNoDelay));
        unsigned char request[3];
        size_t nHave = 0;
        for (;;) {
            ssize_t n = recv(hConnection, request + nHave, sizeof(request) - nHave, 0);
            if (n <= 0) break;
            nHave += static_cast<size_t>(n);
            if (nHave < sizeof(request)) continue;
            nHave = 0;
            unsigned char status = 0x12;
            if (send(hConnection, &status, 1, MSG_NOSIGNAL) != 1) break;
        }
        close(hConnection);
    }

    int m_hListen = -1;
    int m_nPort = 0;
    std::thread m_thread;
};


double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int nRoundTrips = argc > 1 ? atoi(argv[1]) : 300;
    const int nSamples = argc > 2 ? atoi(argv[2]) : 60;
    if (nRoundTrips < 1 || nSamples < 1) {
        fprintf(stderr, "usage: guard_benchmark [roundtrips] [samples]\n");
        return 2;
    }
    StatusPrinter printer;
    FakeJni fake;
    jint nId = NATIVE(OpenETHERNETDevice)(fake.env(), nullptr, fake.NewString("127.0.0.1"), printer.Port());
    if (fake.ExceptionPending()) {
        fprintf(stderr, "guard_benchmark: open failed: %s\n", fake.PendingMessage().c_str());
        return 1;
    }
    jbyteArray request = fake.NewByteArray({0x10, 0x04, 0x01});

    auto sample = [&](int nExtraGuards) {
        Clock::time_point start = Clock::now();
        for (int i = 0; i < nRoundTrips; ++i) {
            for (int k = 0; k < nExtraGuards; ++k) tillport::PortLease lease("GuardBenchmark", nId);
            if (NATIVE(WriteToDevice)(fake.env(), nullptr, nId, request) != 3 ||
                NATIVE(ReadFromDevice)(fake.env(), nullptr, nId, 1) == nullptr) {
                fprintf(stderr, "guard_benchmark: round trip failed: %s\n", fake.PendingMessage().c_str());
                exit(1);
            }
        }
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / nRoundTrips;
    };

    sample(0);  // warm up
    std::vector<double> plain, doubled;
    for (int s = 0; s < nSamples; ++s) {
        plain.push_back(sample(0));
        doubled.push_back(sample(2));
    }
    // The guard alone, uncontended, as each call takes it.
    Clock::time_point start = Clock::now();
    constexpr int kGuardLoops = 1000000;
    for (int i = 0; i < kGuardLoops; ++i) tillport::PortLease lease("GuardBenchmark", nId);
    double dGuardUs = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kGuardLoops;

    double dPlain = Median(plain), dDoubled = Median(doubled);
    double dAdded = dDoubled - dPlain;
    printf("status round trip (write 3 bytes, read 1), median of %d samples of %d:\n", nSamples, nRoundTrips);
    printf("  with the guards (each call takes its port's guard once): %.2f us\n", dPlain);
    printf("  with the guards taken twice more per round trip:         %.2f us\n", dDoubled);
    printf("  guards of one round trip, from the difference:           %.3f us (%.2f%%)\n", dAdded,
           100.0 * dAdded / dPlain);
    printf("  one guard alone, uncontended:                            %.3f us (x2 = %.2f%% of the round trip)\n",
           dGuardUs, 100.0 * 2 * dGuardUs / dPlain);
    NATIVE(CloseDevice)(fake.env(), nullptr, nId);
    return 0;
}
