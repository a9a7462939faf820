#include "server.h"

#include "config.h"
#include "wire.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

using svcwire::Reader;
using svcwire::Writer;

namespace {

void putStatus(Writer &w, const SERVICE_STATUS &s)
{
    w.u32(s.dwServiceType).u32(s.dwCurrentState).u32(s.dwControlsAccepted);
    w.u32(s.dwWin32ExitCode).u32(s.dwServiceSpecificExitCode).u32(s.dwCheckPoint);
    w.u32(s.dwWaitHint);
}

// More failure actions than anyone sets are no request of ours.
constexpr uint32_t MaxFailureActions = 1024;

// Decodes and runs one request. False when the request is malformed. *ping tells
// a request that did nothing, which keeps no connection alive.
bool handle(Manager &m, Session &s, Reader &r, Writer *answer, bool *ping)
{
    uint32_t op = 0, id = 0;
    if (!r.u32(&op))
        return false;
    *ping = op == svcwire::OpPing;
    DWORD error = ERROR_SUCCESS;
    Writer payload;
    switch (op) {
    case svcwire::OpOpenManager: {
        uint32_t wanted = 0, newId = 0;
        if (!r.u32(&wanted))
            return false;
        error = m.openManager(s, wanted, &newId);
        payload.u32(newId);
        break;
    }
    case svcwire::OpOpenService: {
        std::string name;
        uint32_t wanted = 0, newId = 0;
        if (!r.u32(&id) || !r.str(&name) || !r.u32(&wanted))
            return false;
        error = m.openService(s, id, name, wanted, &newId);
        payload.u32(newId);
        break;
    }
    case svcwire::OpClose:
        if (!r.u32(&id))
            return false;
        error = m.closeHandle(s, id);
        break;
    case svcwire::OpCreate: {
        ServiceRecord rec;
        bool hasName = false, hasDisplay = false, hasPath = false, hasAccount = false;
        uint32_t wanted = 0, hasPassword = 0, newId = 0;
        if (!r.u32(&id) || !r.optStr(&hasName, &rec.name) ||
            !r.optStr(&hasDisplay, &rec.displayName) || !r.u32(&wanted) ||
            !r.u32(&rec.serviceType) || !r.u32(&rec.startType) || !r.u32(&rec.errorControl) ||
            !r.optStr(&hasPath, &rec.binaryPath) || !r.optStr(&hasAccount, &rec.account) ||
            !r.u32(&hasPassword))
            return false;
        rec.hasPassword = hasPassword != 0;
        error = m.createService(s, id, rec, hasName, hasPath, wanted, &newId);
        payload.u32(newId);
        break;
    }
    case svcwire::OpDelete:
        if (!r.u32(&id))
            return false;
        error = m.deleteService(s, id);
        break;
    case svcwire::OpChangeConfig: {
        ConfigChange c;
        uint32_t hasTag = 0, hasPassword = 0, passwordGiven = 0;
        if (!r.u32(&id) || !r.u32(&c.serviceType) || !r.u32(&c.startType) ||
            !r.u32(&c.errorControl) || !r.optStr(&c.hasPath, &c.path) || !r.u32(&hasTag) ||
            !r.optStr(&c.hasAccount, &c.account) || !r.u32(&hasPassword) ||
            !r.u32(&passwordGiven) || !r.optStr(&c.hasDisplayName, &c.displayName))
            return false;
        c.hasTag = hasTag != 0;
        c.hasPassword = hasPassword != 0;
        c.passwordGiven = passwordGiven != 0;
        error = m.changeConfig(s, id, c);
        break;
    }
    case svcwire::OpChangeFailureActions: {
        FailureActionsChange c;
        uint32_t hasActions = 0, count = 0;
        if (!r.u32(&id) || !r.u32(&c.resetPeriod) ||
            !r.optStr(&c.hasRebootMessage, &c.rebootMessage) ||
            !r.optStr(&c.hasCommand, &c.command) || !r.u32(&hasActions) || !r.u32(&count) ||
            count > MaxFailureActions)
            return false;
        c.hasActions = hasActions != 0;
        c.actions.resize(count);
        for (RecoveryAction &a : c.actions)
            if (!r.u32(&a.type) || !r.u32(&a.delayMs))
                return false;
        error = m.changeFailureActions(s, id, c);
        break;
    }
    case svcwire::OpChangeDescription: {
        bool present = false;
        std::string text;
        if (!r.u32(&id) || !r.optStr(&present, &text))
            return false;
        error = m.changeDescription(s, id, present, text);
        break;
    }
    case svcwire::OpQueryConfig:
    case svcwire::OpQueryDescription:
    case svcwire::OpQueryFailureActions: {
        if (!r.u32(&id))
            return false;
        ServiceRecord rec;
        error = m.queryConfig(s, id, &rec);
        if (error != ERROR_SUCCESS)
            break;
        if (op == svcwire::OpQueryDescription) {
            payload.optStr(rec.hasDescription, rec.description);
        } else if (op == svcwire::OpQueryFailureActions) {
            payload.u32(rec.resetPeriod);
            payload.optStr(!rec.rebootMessage.empty(), rec.rebootMessage);
            payload.optStr(!rec.failureCommand.empty(), rec.failureCommand);
            payload.u32(uint32_t(rec.failureActions.size()));
            for (const RecoveryAction &a : rec.failureActions)
                payload.u32(a.type).u32(a.delayMs);
        } else {
            payload.u32(rec.serviceType).u32(rec.startType).u32(rec.errorControl);
            payload.str(rec.binaryPath).str("").u32(0).str("").str(rec.account);
            payload.str(rec.displayName);
        }
        break;
    }
    case svcwire::OpQueryStatus: {
        SERVICE_STATUS status{};
        if (!r.u32(&id))
            return false;
        error = m.queryStatus(s, id, &status);
        putStatus(payload, status);
        break;
    }
    case svcwire::OpStart: {
        uint32_t count = 0;
        if (!r.u32(&id) || !r.u32(&count) || count > 4096)
            return false;
        std::vector<std::string> args(count);
        for (std::string &a : args)
            if (!r.str(&a))
                return false;
        error = m.startService(s, id, args);
        break;
    }
    case svcwire::OpControl: {
        uint32_t control = 0;
        if (!r.u32(&id) || !r.u32(&control))
            return false;
        SERVICE_STATUS status{};
        bool filled = false;
        error = m.controlService(s, id, control, &status, &filled);
        payload.u32(filled ? 1 : 0);
        if (filled)
            putStatus(payload, status);
        break;
    }
    case svcwire::OpReportEvent: {
        EventRecord e;
        uint32_t count = 0;
        if (!r.str(&e.source) || !r.u32(&e.type) || !r.u32(&e.category) || !r.u32(&e.id) ||
            !r.u32(&e.dataLength) || !r.u32(&count) || count > 4096)
            return false;
        e.strings.resize(count);
        for (std::string &str : e.strings)
            if (!r.str(&str))
                return false;
        error = m.reportEvent(s, std::move(e));
        break;
    }
    case svcwire::OpSetGroupAccess: {
        std::string group;
        uint32_t access = 0;
        if (!r.u32(&id) || !r.str(&group) || !r.u32(&access))
            return false;
        error = m.setGroupAccess(s, id, group, access);
        break;
    }
    case svcwire::OpQueryGroupAccess: {
        std::map<std::string, uint32_t> groups;
        if (!r.u32(&id))
            return false;
        error = m.queryGroupAccess(s, id, &groups);
        payload.u32(uint32_t(groups.size()));
        for (const auto &g : groups)
            payload.str(g.first).u32(g.second);
        break;
    }
    case svcwire::OpPing:
        break;
    default:
        return false;
    }
    if (!r.atEnd())
        return false;
    answer->u32(error == ERROR_SUCCESS ? 1 : 0).u32(error).raw(payload.data());
    return true;
}

// Waits for the next whole request, until the deadline for an unprivileged
// client; such a client may have only its share of bytes on the way.
bool readRequest(int fd, const Session &session, ClientLimits &limits, Clock::time_point deadline,
                 std::string *frame)
{
    const Peer &peer = session.peer;
    size_t reserved = 0;
    auto admit = [&](uint32_t length) {
        if (peer.privileged())
            return true;
        if (!limits.reserve(peer.uid(), length))
            return false;
        reserved = length;
        return true;
    };
    svcwire::FrameReader reader;
    svcwire::FrameReader::Result result;
    while ((result = reader.read(fd, frame, admit)) == svcwire::FrameReader::Again) {
        int timeoutMs = -1;
        if (!peer.privileged()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                break;
            timeoutMs = int(left.count());
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) < 0 && errno != EINTR)
            break;
    }
    if (reserved)
        limits.release(peer.uid(), reserved);
    return result == svcwire::FrameReader::Frame;
}

} // namespace

void serveClient(Manager &manager, ClientLimits &limits, int fd, std::unique_ptr<Session> session,
                 ClientLimits::Pool pool)
{
    const bool bounded = !session->peer.privileged();
    if (bounded) {
        // An answer that the client does not take counts as idling too.
        const int ms = svcconfig::idleTimeoutMs();
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    // Idle time counts from the last request that did something, so pings keep
    // nothing open; and whatever it sends, an unprivileged connection ends at
    // its lifetime, so nobody holds a share of the connections for good.
    const auto idle = std::chrono::milliseconds(svcconfig::idleTimeoutMs());
    const auto end = Clock::now() + std::chrono::milliseconds(svcconfig::connectionLifetimeMs());
    auto lastWork = Clock::now();
    std::string frame;
    while (readRequest(fd, *session, limits, std::min(lastWork + idle, end), &frame)) {
        Reader request(frame);
        Writer answer;
        bool ping = false;
        if (!handle(manager, *session, request, &answer, &ping))
            break; // not our protocol: drop this client, nobody else
        if (!svcwire::sendFrame(fd, answer.data()))
            break;
        if (!ping)
            lastWork = Clock::now();
        if (bounded && Clock::now() >= end)
            break;
    }
    manager.closeSession(*session);
    ::close(fd);
    if (bounded)
        limits.leave(session->peer.uid(), pool);
}
