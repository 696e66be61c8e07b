#include "ConnectionDrain.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "CLog.h"
#include "SystemCalls.h"

namespace ConnectionDrain {

namespace {

using SystemCalls::Deadline;
using SystemCalls::ZeroTimeout;

// How often the send queue of a connection is looked at: nothing wakes a poll when it
// empties.
constexpr int kCheckEveryMs = 50;

struct Connection {
    int hSocket;
    Deadline limit;
    bool bPeerClosed;
    unsigned long nDropped;
};

struct Drain {
    std::mutex lock;
    std::vector<Connection> connections;  // guarded by lock
    SystemCalls::WakeEvent wake;          // new connections, or the end
    bool bStop = false;                   // guarded by lock
    bool bStarted = false;                // the thread runs (until EndAll); guarded by lock
    pthread_t thread{};
};
SystemCalls::NeverDestroyed<Drain> g_drain;

int BytesNotSent(int hSocket) { return std::max(SystemCalls::BytesToSend(hSocket), 0); }

// Reads what has arrived and drops it; false once the connection is over (the printer's
// end of stream, a reset, any failure). The end of stream is told by *pbPeerClosed.
bool DropWhatArrived(Connection& connection) {
    unsigned char buffer[4096];
    for (;;) {
        ssize_t nRead = SystemCalls::Receive(connection.hSocket, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (nRead > 0) {
            connection.nDropped += static_cast<unsigned long>(nRead);
            continue;
        }
        if (nRead == 0) {
            connection.bPeerClosed = true;
            return true;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

void Finish(Connection& connection, const char* szWhy) {
    const int nLeft = BytesNotSent(connection.hSocket);
    SystemCalls::Close(&connection.hSocket);
    if (nLeft > 0) {
        CCLog::WriteLogP("Close", "Connection closed %s with %d byte(s) the printer had not taken", szWhy, nLeft);
    }
    if (connection.nDropped > 0) {
        CCLog::WriteLogP("Close", "%lu unread byte(s) from the printer dropped", connection.nDropped);
    }
}

// One round: waits for the printers' bytes (or the next look at the send queues; with no
// connection, for one to come), then closes the connections that are done. False once the
// drain is to end.
bool DrainRound() {
    Drain& drain = g_drain.get();
    std::vector<pollfd> waits;
    int nWaitMs = kCheckEveryMs;
    {
        std::lock_guard<std::mutex> lock(drain.lock);
        if (drain.bStop) return false;
        if (drain.connections.empty()) nWaitMs = -1;
        waits.push_back(pollfd{drain.wake.Fd(), POLLIN, 0});
        for (const Connection& connection : drain.connections) {
            // A printer that has closed its end keeps the socket readable: only its send
            // queue is looked at then.
            waits.push_back(pollfd{connection.bPeerClosed ? -1 : connection.hSocket, POLLIN | POLLRDHUP, 0});
            nWaitMs = std::min(nWaitMs, connection.limit.RemainingMs());
        }
    }
    const Deadline wait = nWaitMs < 0 ? Deadline(0, ZeroTimeout::NoLimit) : Deadline(static_cast<unsigned long>(nWaitMs), ZeroTimeout::NoWait);
    if (SystemCalls::WaitForAny(waits.data(), waits.size(), wait) < 0) return true;
    if (waits[0].revents != 0) drain.wake.Clear();

    std::lock_guard<std::mutex> lock(drain.lock);
    std::vector<Connection>& connections = drain.connections;
    // Connections handed over during the wait sit after those that were watched.
    for (size_t i = 0; i < connections.size();) {
        Connection& connection = connections[i];
        const bool bAlive = connection.bPeerClosed || DropWhatArrived(connection);
        const char* szWhy = nullptr;
        if (!bAlive) {
            szWhy = "by the printer";
        } else if (connection.bPeerClosed && BytesNotSent(connection.hSocket) == 0) {
            szWhy = "";
        } else if (connection.limit.Passed()) {
            szWhy = "at the drain's limit";
        }
        if (szWhy == nullptr) {
            ++i;
            continue;
        }
        Finish(connection, szWhy);
        connections.erase(connections.begin() + static_cast<long>(i));
    }
    return true;
}

void* RunDrain(void*) {
    while (DrainRound()) {
    }
    return nullptr;
}

}  // namespace

bool HandOver(int hSocket) {
    Drain& drain = g_drain.get();
    std::lock_guard<std::mutex> lock(drain.lock);
    if (drain.bStop || !drain.wake.Create()) return false;
    drain.connections.reserve(drain.connections.size() + 1);
    // Started with the first connection, the thread then waits for the next ones; it ends
    // only with EndAll, which joins it.
    if (!drain.bStarted) {
        if (!SystemCalls::StartThread(&drain.thread, RunDrain, nullptr)) return false;
        drain.bStarted = true;
    }
    drain.connections.push_back(Connection{hSocket, Deadline(kLimitMs, ZeroTimeout::NoWait), false, 0});
    drain.wake.Signal();
    return true;
}

void EndAll() {
    Drain& drain = g_drain.get();
    bool bJoin;
    pthread_t thread;
    {
        std::lock_guard<std::mutex> lock(drain.lock);
        drain.bStop = true;
        drain.wake.Signal();
        bJoin = drain.bStarted;
        thread = drain.thread;
        drain.bStarted = false;
    }
    if (bJoin) SystemCalls::JoinThread(thread);
    std::lock_guard<std::mutex> lock(drain.lock);
    for (Connection& connection : drain.connections) Finish(connection, "at unload");
    drain.connections.clear();
    drain.bStop = false;
}

size_t Count() {
    Drain& drain = g_drain.get();
    std::lock_guard<std::mutex> lock(drain.lock);
    return drain.connections.size();
}

}  // namespace ConnectionDrain
