#include "PrinterEngine.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace printer {

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// While something timed is pending, turns are this short.
constexpr int kTimedTickMs = 5;
// A connection counts as idle once nothing has arrived for this long.
constexpr int kQuietMs = 20;

// Consistent with each other: a printer with its cover open or out of paper is offline,
// and so on.
constexpr ReportedState kReportedStates[] = {
    {"ok", {kStatusByte, kStatusByte, kStatusByte, kStatusByte}},
    {"near-end", {0x12, 0x12, 0x12, 0x1e}},    // paper near-end sensor, still online
    {"paper-out", {0x1a, 0x32, 0x12, 0x7e}},   // offline, stopped at paper end, both sensors
    {"cover-open", {0x1a, 0x16, 0x12, 0x12}},  // offline, cover open
    {"offline", {0x1a, 0x52, 0x52, 0x12}},     // offline for an error that clears by itself
};

PrinterEvents& NoEvents() {
    static PrinterEvents none;
    return none;
}

void SendBytes(int hSocket, const uint8_t* pData, size_t nSize) { send(hSocket, pData, nSize, MSG_NOSIGNAL); }

}  // namespace

const ReportedState* FindReportedState(const std::string& name) {
    for (const ReportedState& state : kReportedStates) {
        if (name == state.szName) return &state;
    }
    return nullptr;
}

StatusRequests::StatusRequests(const ReportedState* pState)
    : m_pState(pState != nullptr ? pState : &kReportedStates[0]) {}

bool ParseHexBytes(const std::string& hex, size_t nMaxBytes, std::vector<uint8_t>* pBytes) {
    if (hex.size() % 2 != 0 || hex.size() / 2 > nMaxBytes) return false;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int nHigh = digit(hex[i]);
        const int nLow = digit(hex[i + 1]);
        if (nHigh < 0 || nLow < 0) return false;
        bytes.push_back(static_cast<uint8_t>(nHigh * 16 + nLow));
    }
    pBytes->insert(pBytes->end(), bytes.begin(), bytes.end());
    return true;
}

bool FaultPlan::Any() const { return nDropAfter >= 0 || nResetAfter >= 0 || nUnaskedStatusMs > 0 || nLateAnswerMs > 0; }

std::string FaultPlan::Describe() const {
    std::string text;
    if (nDropAfter >= 0) text += " drop-after " + std::to_string(nDropAfter);
    if (nResetAfter >= 0) text += " reset-after " + std::to_string(nResetAfter);
    if (nUnaskedStatusMs > 0) text += " unasked-status " + std::to_string(nUnaskedStatusMs) + "ms";
    if (nLateAnswerMs > 0) text += " late-answer " + std::to_string(nLateAnswerMs) + "ms";
    return text.empty() ? " none" : text;
}

FaultPlan FaultPlan::Draw(std::mt19937& random) {
    auto chance = [&random](int nOneIn) { return std::uniform_int_distribution<int>(1, nOneIn)(random) == 1; };
    auto between = [&random](long nLow, long nHigh) { return std::uniform_int_distribution<long>(nLow, nHigh)(random); };
    FaultPlan plan;
    int nEnd = std::uniform_int_distribution<int>(0, 5)(random);
    if (nEnd <= 1) plan.nDropAfter = between(0, 20000);
    if (nEnd == 2) plan.nResetAfter = between(0, 20000);
    if (chance(3)) plan.nUnaskedStatusMs = static_cast<int>(between(100, 1000));
    if (chance(3)) plan.nLateAnswerMs = static_cast<int>(between(50, 600));
    return plan;
}

bool LoopbackAddress(const char* szAddress, int nPort, sockaddr_in* pAddress) {
    *pAddress = sockaddr_in{};
    pAddress->sin_family = AF_INET;
    pAddress->sin_port = htons(static_cast<uint16_t>(nPort));
    return inet_pton(AF_INET, szAddress, &pAddress->sin_addr) == 1 && (ntohl(pAddress->sin_addr.s_addr) >> 24) == 127;
}

int BindLoopback(const char* szAddress, int* pnPort, int nReceiveBuffer) {
    sockaddr_in address{};
    if (!LoopbackAddress(szAddress, *pnPort, &address)) {
        errno = EINVAL;
        return -1;
    }
    int hSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (hSocket < 0) return -1;
    // A chosen port can be taken again at once after a restart; one the system picks is new.
    int nYes = 1;
    if (*pnPort != 0) setsockopt(hSocket, SOL_SOCKET, SO_REUSEADDR, &nYes, sizeof(nYes));
    if (nReceiveBuffer > 0) setsockopt(hSocket, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof(nReceiveBuffer));
    socklen_t nLength = sizeof(address);
    if (bind(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(hSocket, reinterpret_cast<sockaddr*>(&address), &nLength) != 0) {
        int nError = errno;
        close(hSocket);
        errno = nError;
        return -1;
    }
    *pnPort = ntohs(address.sin_port);
    return hSocket;
}

PrinterEngine::PrinterEngine(PrinterSettings settings, PrinterEvents* pEvents)
    : m_settings(std::move(settings)),
      m_pEvents(pEvents != nullptr ? pEvents : &NoEvents()),
      m_state(m_settings.pState != nullptr ? *m_settings.pState : kReportedStates[0]),
      m_random(static_cast<std::mt19937::result_type>(std::max(m_settings.nChaosSeed, 0L))),
      m_bPaused(m_settings.bStartPaused) {}

PrinterEngine::~PrinterEngine() {
    for (Connection& connection : m_connections) {
        close(connection.hSocket);
        if (connection.pRecord != nullptr) fclose(connection.pRecord);
    }
    if (m_hListen >= 0) close(m_hListen);
    if (m_pRecord != nullptr) fclose(m_pRecord);
}

bool PrinterEngine::Fail(const std::string& step) {
    const int nError = errno;
    m_failedStep = step;
    errno = nError;
    return false;
}

bool PrinterEngine::Start() {
    if (!m_settings.recordPath.empty()) {
        m_pRecord = fopen(m_settings.recordPath.c_str(), "wbe");
        if (m_pRecord == nullptr) return Fail("cannot write " + m_settings.recordPath);
    }
    m_nPort = m_settings.nPort;
    m_hListen = BindLoopback(m_settings.address.c_str(), &m_nPort, m_settings.nReceiveBuffer);
    if (m_hListen < 0) return Fail("bind");
    // A bound socket that never listens makes every connect fail with a refusal.
    if (!m_settings.bRefuse && listen(m_hListen, m_settings.nBacklog) != 0) return Fail("listen");
    return true;
}

bool PrinterEngine::ReadDue(const Connection& connection) const {
    return m_settings.nSlowReadMs <= 0 || Clock::now() - connection.lastRead >= Milliseconds(m_settings.nSlowReadMs);
}

bool PrinterEngine::Timed(const Connection& connection) const {
    return connection.faults.Any() || !connection.replies.empty() || m_settings.bResetAfterAccept ||
           m_settings.nSlowReadMs > 0;
}

bool PrinterEngine::Turn(int hExtra) {
    const bool bFull = m_connections.size() >= m_settings.nMaxConnections;
    const bool bAccepting = !m_settings.bRefuse && !(bFull && m_settings.bQueueWhenFull);
    // A paused or resetting printer does not look at its connections at all; a slow reader
    // does, but for their errors only until its next read is due.
    const bool bIgnoring = m_bPaused || m_settings.bResetAfterAccept;
    int nTickMs = m_settings.nTickMs;
    std::vector<pollfd> waits;
    waits.push_back({bAccepting ? m_hListen : -1, POLLIN, 0});
    for (const Connection& connection : m_connections) {
        if (Timed(connection) || bIgnoring) nTickMs = std::min(nTickMs, kTimedTickMs);
        waits.push_back({bIgnoring ? -1 : connection.hSocket, static_cast<short>(ReadDue(connection) ? POLLIN : 0), 0});
    }
    waits.push_back({hExtra, POLLIN, 0});
    const size_t nOpen = m_connections.size();
    int nReady = poll(waits.data(), waits.size(), nTickMs);
    if (nReady > 0) {
        if (waits[0].revents & POLLIN) Accept();
        // Back to front, so ending one does not move those not yet looked at; a connection
        // accepted in this turn comes after them all.
        for (size_t i = nOpen; i-- > 0;) {
            if (waits[i + 1].revents != 0) Receive(i);
        }
    }
    for (size_t i = m_connections.size(); i-- > 0;) PlayTimed(i);
    return nReady > 0 && (waits.back().revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void PrinterEngine::Accept() {
    sockaddr_in peer{};
    socklen_t nLength = sizeof(peer);
    int hSocket = accept4(m_hListen, reinterpret_cast<sockaddr*>(&peer), &nLength, SOCK_CLOEXEC);
    if (hSocket < 0) return;
    if (m_connections.size() >= m_settings.nMaxConnections) {
        close(hSocket);
        m_pEvents->TurnedAway(m_connections.size());
        return;
    }
    Connection connection;
    connection.hSocket = hSocket;
    connection.nNumber = ++m_nConnections;
    connection.accepted = connection.lastRead = connection.lastUnasked = connection.lastReply = Clock::now();
    connection.faults = m_settings.nChaosSeed >= 0 ? FaultPlan::Draw(m_random) : m_settings.faults;
    connection.requests = StatusRequests(&m_state);
    if (connection.nNumber == 1) {
        for (const Reply& reply : m_settings.firstReplies) connection.replies.push_back({reply, connection.accepted});
    }
    char szPeer[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, szPeer, sizeof(szPeer));
    m_pEvents->Accepted(connection.nNumber, szPeer, ntohs(peer.sin_port));
    if (connection.faults.Any()) m_pEvents->FaultsPlanned(connection.nNumber, connection.faults);
    if (!m_settings.recordDir.empty()) {
        std::string path = m_settings.recordDir + "/connection-" + std::to_string(connection.nNumber) + ".bin";
        connection.pRecord = fopen(path.c_str(), "wbe");
        if (connection.pRecord == nullptr) m_pEvents->Problem("cannot write " + path);
    }
    m_connections.push_back(std::move(connection));
    if (m_settings.nCloseAfter == 0) Finish(m_connections.size() - 1, EndReason::ClosedAtOnce);
}

void PrinterEngine::Receive(size_t nIndex) {
    Connection& connection = m_connections[nIndex];
    uint8_t buffer[4096];
    size_t nWant = m_settings.nSlowReadMs > 0 ? kSlowReadBytes : sizeof(buffer);
    if (m_settings.nCloseAfter > 0) {
        // size_t is unsigned int on 32-bit ARM, the byte count unsigned long everywhere.
        nWant = static_cast<size_t>(
            std::min<unsigned long>(nWant, static_cast<unsigned long>(m_settings.nCloseAfter) - connection.nReceived));
    }
    ssize_t nRead = recv(connection.hSocket, buffer, nWant, 0);
    if (nRead <= 0) {
        Finish(nIndex, nRead == 0 ? EndReason::ClientClosed : EndReason::ReceiveFailed);
        return;
    }
    const size_t nSize = static_cast<size_t>(nRead);
    connection.lastRead = Clock::now();
    connection.nReceived += nSize;
    m_nTotal += nSize;
    for (FILE* pRecord : {m_pRecord, connection.pRecord}) {
        if (pRecord == nullptr) continue;
        fwrite(buffer, 1, nSize, pRecord);
        fflush(pRecord);
    }
    m_pEvents->Received(connection.nNumber, buffer, nSize);
    AnswerStatusRequests(connection, buffer, nSize);
    if (m_settings.nCloseAfter > 0 && connection.nReceived >= static_cast<unsigned long>(m_settings.nCloseAfter)) {
        Finish(nIndex, EndReason::ClosedAfter);
    }
}

void PrinterEngine::AnswerStatusRequests(Connection& connection, const uint8_t* pData, size_t nSize) {
    connection.requests.Scan(pData, nSize, [&](int nRequest, uint8_t cStatus) {
        if (!m_settings.bAnswerStatus) {
            m_pEvents->StatusUnanswered(connection.nNumber, nRequest);
        } else if (connection.faults.nLateAnswerMs > 0) {
            connection.lateAnswers.emplace_back(Clock::now() + Milliseconds(connection.faults.nLateAnswerMs), cStatus);
        } else {
            SendBytes(connection.hSocket, &cStatus, 1);
            m_pEvents->StatusAnswered(connection.nNumber, nRequest, cStatus);
        }
    });
}

bool PrinterEngine::Send(std::vector<uint8_t> bytes, unsigned nDelayMs) {
    if (m_connections.empty()) return false;
    Reply reply;
    reply.bytes = std::move(bytes);
    reply.delayMs = nDelayMs;
    m_connections.back().replies.push_back({std::move(reply), Clock::now()});
    return true;
}

void PrinterEngine::PlayReply(Connection& connection, Clock::time_point now) {
    if (connection.replies.empty()) return;
    const PendingReply& pending = connection.replies.front();
    const Reply& reply = pending.reply;
    const Clock::time_point from = std::max(connection.lastReply, pending.queued);
    bool bDue = connection.nReceived >= reply.afterReceived && now - from >= Milliseconds(reply.delayMs);
    // A gate that never opens must not hold the printer for ever.
    if (bDue && reply.gate && !reply.gate()) bDue = now - from >= Milliseconds(kGateLimitMs);
    if (!bDue) return;
    SendBytes(connection.hSocket, reply.bytes.data(), reply.bytes.size());
    m_pEvents->ReplySent(connection.nNumber, reply.bytes.size());
    connection.lastReply = now;
    connection.replies.pop_front();
}

void PrinterEngine::PlayTimed(size_t nIndex) {
    Connection& connection = m_connections[nIndex];
    const FaultPlan& plan = connection.faults;
    const auto now = Clock::now();
    PlayReply(connection, now);
    while (!connection.lateAnswers.empty() && connection.lateAnswers.front().first <= now) {
        SendBytes(connection.hSocket, &connection.lateAnswers.front().second, 1);
        connection.lateAnswers.pop_front();
    }
    if (plan.nUnaskedStatusMs > 0 && now - connection.lastUnasked >= Milliseconds(plan.nUnaskedStatusMs)) {
        SendBytes(connection.hSocket, &m_state.answers[0], 1);
        connection.lastUnasked = now;
    }
    // A moment first, so the client has seen its connect complete: a reset that comes
    // before the client looks fails the connect itself on a busy machine.
    if (m_settings.bResetAfterAccept) {
        if (now - connection.accepted >= Milliseconds(kResetDelayMs)) Finish(nIndex, EndReason::ResetAtAccept);
        return;
    }
    const long nEndAfter = plan.nDropAfter >= 0 ? plan.nDropAfter : plan.nResetAfter;
    if (nEndAfter < 0 || connection.nReceived < static_cast<unsigned long>(nEndAfter)) return;
    int nUnread = 0;
    ioctl(connection.hSocket, FIONREAD, &nUnread);
    if (nUnread > 0 || now - connection.lastRead < Milliseconds(kQuietMs)) return;
    Finish(nIndex, plan.nDropAfter >= 0 ? EndReason::Dropped : EndReason::Reset);
}

void PrinterEngine::Finish(size_t nIndex, EndReason reason) {
    Connection& connection = m_connections[nIndex];
    if (reason == EndReason::Reset || reason == EndReason::ResetAtAccept) {
        linger abort{1, 0};
        setsockopt(connection.hSocket, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    }
    close(connection.hSocket);
    if (connection.pRecord != nullptr) fclose(connection.pRecord);
    m_pEvents->Ended(connection.nNumber, reason, connection.nReceived);
    m_connections.erase(m_connections.begin() + static_cast<long>(nIndex));
}

void PrinterEngine::Stop() {
    while (!m_connections.empty()) Finish(m_connections.size() - 1, EndReason::Stopped);
}

}  // namespace printer
