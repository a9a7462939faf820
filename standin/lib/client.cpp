// Controller side of the stand-in: every call is one request and one answer
// on a UNIX socket to svcmgrd. Handles are objects of this library that name
// the daemon's handle on the connection opened with the manager handle.
#include "config.h"
#include "svcmgr_api.h"
#include "wire.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#define SVCAPI __attribute__((visibility("default")))

using svcwire::Reader;
using svcwire::Writer;

namespace {

// One connection to the daemon; requests on it are serialised.
struct Connection
{
    int fd = -1;
    bool broken = false;
    std::mutex mutex;
    ~Connection()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

enum class Kind { Manager, Service, EventSource };

struct Object
{
    Kind kind;
    std::shared_ptr<Connection> conn;
    uint32_t id = 0;
    std::string source; // event sources only
};

std::mutex g_objectsMutex;
std::set<Object *> g_objects;

std::shared_ptr<Connection> connectDaemon()
{
    std::string path = svcconfig::socketPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return nullptr;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return nullptr;
    }
    // The daemon bounds its own waits; this only guards against a hung daemon.
    int waitMs = std::max(svcconfig::startTimeoutMs(), svcconfig::controlTimeoutMs()) + 60000;
    timeval tv{waitMs / 1000, (waitMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    auto conn = std::make_shared<Connection>();
    conn->fd = fd;
    return conn;
}

// Sends a request and reads the answer's result and error code. On success
// the reader is left at the answer's payload; a failure sets the last error.
bool call(Connection &conn, const Writer &request, Reader *answer)
{
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(conn.mutex);
        if (conn.broken || !svcwire::sendFrame(conn.fd, request.data()) ||
            !svcwire::recvFrame(conn.fd, &reply)) {
            // A late answer must never be taken for the next request's.
            conn.broken = true;
            ::shutdown(conn.fd, SHUT_RDWR);
            SetLastError(RPC_S_SERVER_UNAVAILABLE);
            return false;
        }
    }
    *answer = Reader(reply);
    uint32_t ok = 0, error = 0;
    if (!answer->u32(&ok) || !answer->u32(&error)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return false;
    }
    // Like the system's calls, a success leaves the last error as it was.
    if (!ok)
        SetLastError(error);
    return ok != 0;
}

Object *addObject(Kind kind, std::shared_ptr<Connection> conn, uint32_t id)
{
    auto *obj = new Object{kind, std::move(conn), id, {}};
    std::lock_guard<std::mutex> lock(g_objectsMutex);
    g_objects.insert(obj);
    return obj;
}

// Pointers the caller must give; a null one is the caller's error, as with the system's calls.
bool given(std::initializer_list<const void *> pointers)
{
    for (const void *p : pointers) {
        if (!p) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return false;
        }
    }
    return true;
}

// Copies what a call needs out of a live handle of the given kind.
bool lookup(const void *handle, Kind kind, Object *out)
{
    std::lock_guard<std::mutex> lock(g_objectsMutex);
    auto it = g_objects.find(static_cast<Object *>(const_cast<void *>(handle)));
    if (it == g_objects.end() || (*it)->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *out = **it;
    return true;
}

bool isLocalMachine(LPCWSTR machine)
{
    std::string name = svcwire::toUtf8(machine);
    while (!name.empty() && name[0] == '\\')
        name.erase(0, 1);
    if (name.empty() || svcwire::foldName(name) == "localhost" || name == ".")
        return true;
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return svcwire::foldName(name) == svcwire::foldName(host);
}

bool readStatus(Reader &r, LPSERVICE_STATUS status)
{
    uint32_t f[7];
    for (uint32_t &v : f)
        if (!r.u32(&v))
            return false;
    status->dwServiceType = f[0];
    status->dwCurrentState = f[1];
    status->dwControlsAccepted = f[2];
    status->dwWin32ExitCode = f[3];
    status->dwServiceSpecificExitCode = f[4];
    status->dwCheckPoint = f[5];
    status->dwWaitHint = f[6];
    return true;
}

// Copies a string behind the record and returns where it went.
LPWSTR placeString(char *&cursor, const std::wstring &s, size_t extraNuls = 0)
{
    auto *dst = reinterpret_cast<LPWSTR>(cursor);
    std::wmemcpy(dst, s.c_str(), s.size());
    for (size_t i = 0; i <= extraNuls; ++i)
        dst[s.size() + i] = L'\0';
    cursor += (s.size() + 1 + extraNuls) * sizeof(WCHAR);
    return dst;
}

size_t wideBytes(const std::wstring &s, size_t extraNuls = 0)
{
    return (s.size() + 1 + extraNuls) * sizeof(WCHAR);
}

// More failure actions than anyone sets; the daemon takes no more either.
constexpr DWORD MaxFailureActions = 1024;

// The record, then its actions, then its strings, all in the caller's buffer.
BOOL queryFailureActions(const Object &svc, LPBYTE buffer, DWORD size, LPDWORD needed)
{
    Reader answer{{}};
    if (!call(*svc.conn, Writer().u32(svcwire::OpQueryFailureActions).u32(svc.id), &answer))
        return false;
    uint32_t resetPeriod = 0, count = 0;
    bool hasReboot = false, hasCommand = false;
    std::string reboot, command;
    bool ok = answer.u32(&resetPeriod) && answer.optStr(&hasReboot, &reboot) &&
              answer.optStr(&hasCommand, &command) && answer.u32(&count) &&
              count <= MaxFailureActions;
    std::vector<SC_ACTION> actions(ok ? count : 0);
    for (SC_ACTION &a : actions) {
        uint32_t type = 0;
        ok = ok && answer.u32(&type) && answer.u32(&a.Delay);
        a.Type = SC_ACTION_TYPE(type);
    }
    if (!ok) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return false;
    }
    const std::wstring wReboot = svcwire::fromUtf8(reboot), wCommand = svcwire::fromUtf8(command);
    const size_t total = sizeof(SERVICE_FAILURE_ACTIONSW) + actions.size() * sizeof(SC_ACTION) +
                         (hasReboot ? wideBytes(wReboot) : 0) +
                         (hasCommand ? wideBytes(wCommand) : 0);
    if (!buffer || size < total) {
        *needed = DWORD(total);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    auto *fa = reinterpret_cast<LPSERVICE_FAILURE_ACTIONSW>(buffer);
    auto *array = reinterpret_cast<SC_ACTION *>(buffer + sizeof(SERVICE_FAILURE_ACTIONSW));
    std::copy(actions.begin(), actions.end(), array);
    char *cursor = reinterpret_cast<char *>(array + actions.size());
    fa->dwResetPeriod = resetPeriod;
    fa->cActions = DWORD(actions.size());
    fa->lpsaActions = actions.empty() ? nullptr : array;
    fa->lpRebootMsg = hasReboot ? placeString(cursor, wReboot) : nullptr;
    fa->lpCommand = hasCommand ? placeString(cursor, wCommand) : nullptr;
    return true;
}

} // namespace

extern "C" {

SVCAPI SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                DWORD dwDesiredAccess)
{
    if (lpMachineName && !isLocalMachine(lpMachineName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (lpDatabaseName && *lpDatabaseName &&
        svcwire::foldName(svcwire::toUtf8(lpDatabaseName)) != "servicesactive") {
        SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
        return nullptr;
    }
    std::shared_ptr<Connection> conn = connectDaemon();
    if (!conn) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    Reader answer{{}};
    uint32_t id = 0;
    if (!call(*conn, Writer().u32(svcwire::OpOpenManager).u32(dwDesiredAccess), &answer) ||
        !answer.u32(&id))
        return nullptr;
    return reinterpret_cast<SC_HANDLE>(addObject(Kind::Manager, conn, id));
}

SVCAPI SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess)
{
    Object mgr;
    if (!lookup(hSCManager, Kind::Manager, &mgr))
        return nullptr;
    if (!given({lpServiceName}))
        return nullptr;
    Writer req;
    req.u32(svcwire::OpOpenService).u32(mgr.id).str(svcwire::toUtf8(lpServiceName));
    req.u32(dwDesiredAccess);
    Reader answer{{}};
    uint32_t id = 0;
    if (!call(*mgr.conn, req, &answer) || !answer.u32(&id))
        return nullptr;
    return reinterpret_cast<SC_HANDLE>(addObject(Kind::Service, mgr.conn, id));
}

SVCAPI BOOL CloseServiceHandle(SC_HANDLE hSCObject)
{
    Object *obj = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_objectsMutex);
        auto it = g_objects.find(reinterpret_cast<Object *>(hSCObject));
        if (it == g_objects.end() || (*it)->kind == Kind::EventSource) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        obj = *it;
        g_objects.erase(it);
    }
    std::unique_ptr<Object> owned(obj);
    const DWORD before = GetLastError();
    Reader answer{{}};
    if (!call(*obj->conn, Writer().u32(svcwire::OpClose).u32(obj->id), &answer)) {
        // The handle is gone on our side either way; a lost daemon has dropped it too.
        if (GetLastError() != RPC_S_SERVER_UNAVAILABLE)
            return false;
        SetLastError(before);
    }
    return true;
}

SVCAPI SC_HANDLE CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                                LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                                LPCWSTR lpServiceStartName, LPCWSTR lpPassword)
{
    (void)lpLoadOrderGroup;
    (void)lpDependencies;
    Object mgr;
    if (!lookup(hSCManager, Kind::Manager, &mgr))
        return nullptr;
    if (lpdwTagId) {
        // Tags belong to driver load-order groups, which we do not have.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Writer req;
    req.u32(svcwire::OpCreate).u32(mgr.id);
    req.optStr(lpServiceName != nullptr, svcwire::toUtf8(lpServiceName));
    req.optStr(lpDisplayName != nullptr, svcwire::toUtf8(lpDisplayName));
    req.u32(dwDesiredAccess).u32(dwServiceType).u32(dwStartType).u32(dwErrorControl);
    req.optStr(lpBinaryPathName != nullptr, svcwire::toUtf8(lpBinaryPathName));
    req.optStr(lpServiceStartName != nullptr, svcwire::toUtf8(lpServiceStartName));
    // The password is only recorded as present: the manager switches to the account
    // as root, without one.
    req.u32(lpPassword && *lpPassword ? 1 : 0);
    Reader answer{{}};
    uint32_t id = 0;
    if (!call(*mgr.conn, req, &answer) || !answer.u32(&id))
        return nullptr;
    return reinterpret_cast<SC_HANDLE>(addObject(Kind::Service, mgr.conn, id));
}

SVCAPI BOOL DeleteService(SC_HANDLE hService)
{
    Object svc;
    if (!lookup(hService, Kind::Service, &svc))
        return false;
    Reader answer{{}};
    return call(*svc.conn, Writer().u32(svcwire::OpDelete).u32(svc.id), &answer);
}

SVCAPI BOOL ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType,
                                 DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                                 LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                 LPCWSTR lpDependencies, LPCWSTR lpServiceStartName,
                                 LPCWSTR lpPassword, LPCWSTR lpDisplayName)
{
    // Load-order groups and dependencies are not kept, as with CreateServiceW.
    (void)lpLoadOrderGroup;
    (void)lpDependencies;
    Object svc;
    if (!lookup(hService, Kind::Service, &svc))
        return false;
    Writer req;
    req.u32(svcwire::OpChangeConfig).u32(svc.id);
    req.u32(dwServiceType).u32(dwStartType).u32(dwErrorControl);
    req.optStr(lpBinaryPathName != nullptr, svcwire::toUtf8(lpBinaryPathName));
    req.u32(lpdwTagId ? 1 : 0);
    req.optStr(lpServiceStartName != nullptr, svcwire::toUtf8(lpServiceStartName));
    // The password is only recorded as present, as with CreateServiceW.
    req.u32(lpPassword ? 1 : 0).u32(lpPassword && *lpPassword ? 1 : 0);
    req.optStr(lpDisplayName != nullptr, svcwire::toUtf8(lpDisplayName));
    Reader answer{{}};
    return call(*svc.conn, req, &answer);
}

SVCAPI BOOL ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo)
{
    Object svc;
    if (!lookup(hService, Kind::Service, &svc))
        return false;
    if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION &&
        dwInfoLevel != SERVICE_CONFIG_FAILURE_ACTIONS) {
        SetLastError(ERROR_INVALID_LEVEL);
        return false;
    }
    if (!given({lpInfo}))
        return false;
    Writer req;
    if (dwInfoLevel == SERVICE_CONFIG_DESCRIPTION) {
        LPCWSTR text = static_cast<LPSERVICE_DESCRIPTIONW>(lpInfo)->lpDescription;
        req.u32(svcwire::OpChangeDescription).u32(svc.id);
        req.optStr(text != nullptr, svcwire::toUtf8(text));
    } else {
        const auto *fa = static_cast<const SERVICE_FAILURE_ACTIONSW *>(lpInfo);
        // Without an array the actions (and the reset period) stay as they are.
        const DWORD count = fa->lpsaActions ? fa->cActions : 0;
        if (count > MaxFailureActions) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        req.u32(svcwire::OpChangeFailureActions).u32(svc.id).u32(fa->dwResetPeriod);
        req.optStr(fa->lpRebootMsg != nullptr, svcwire::toUtf8(fa->lpRebootMsg));
        req.optStr(fa->lpCommand != nullptr, svcwire::toUtf8(fa->lpCommand));
        req.u32(fa->lpsaActions ? 1 : 0).u32(count);
        for (DWORD i = 0; i < count; ++i)
            req.u32(DWORD(fa->lpsaActions[i].Type)).u32(fa->lpsaActions[i].Delay);
    }
    Reader answer{{}};
    return call(*svc.conn, req, &answer);
}

SVCAPI BOOL QueryServiceConfigW(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGW lpServiceConfig,
                                DWORD cbBufSize, LPDWORD pcbBytesNeeded)
{
    Object svc;
    if (!lookup(hService, Kind::Service, &svc))
        return false;
    if (!given({pcbBytesNeeded}))
        return false;
    Reader answer{{}};
    if (!call(*svc.conn, Writer().u32(svcwire::OpQueryConfig).u32(svc.id), &answer))
        return false;
    uint32_t type = 0, start = 0, errorControl = 0, tag = 0;
    std::string path, group, deps, account, display;
    if (!answer.u32(&type) || !answer.u32(&start) || !answer.u32(&errorControl) ||
        !answer.str(&path) || !answer.str(&group) || !answer.u32(&tag) || !answer.str(&deps) ||
        !answer.str(&account) || !answer.str(&display)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return false;
    }
    std::wstring wPath = svcwire::fromUtf8(path), wGroup = svcwire::fromUtf8(group),
                 wDeps = svcwire::fromUtf8(deps), wAccount = svcwire::fromUtf8(account),
                 wDisplay = svcwire::fromUtf8(display);
    size_t needed = sizeof(QUERY_SERVICE_CONFIGW) + wideBytes(wPath) + wideBytes(wGroup) +
                    wideBytes(wDeps, 1) + wideBytes(wAccount) + wideBytes(wDisplay);
    if (!lpServiceConfig || cbBufSize < needed) {
        *pcbBytesNeeded = DWORD(needed);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    char *cursor = reinterpret_cast<char *>(lpServiceConfig) + sizeof(QUERY_SERVICE_CONFIGW);
    lpServiceConfig->dwServiceType = type;
    lpServiceConfig->dwStartType = start;
    lpServiceConfig->dwErrorControl = errorControl;
    lpServiceConfig->dwTagId = tag;
    lpServiceConfig->lpBinaryPathName = placeString(cursor, wPath);
    lpServiceConfig->lpLoadOrderGroup = placeString(cursor, wGroup);
    lpServiceConfig->lpDependencies = placeString(cursor, wDeps, 1);
    lpServiceConfig->lpServiceStartName = placeString(cursor, wAccount);
    lpServiceConfig->lpDisplayName = placeString(cursor, wDisplay);
    return true;
}

SVCAPI BOOL QueryServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE lpBuffer,
                                 DWORD cbBufSize, LPDWORD pcbBytesNeeded)
{
    Object svc;
    if (!lookup(hService, Kind::Service, &svc))
        return false;
    if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION &&
        dwInfoLevel != SERVICE_CONFIG_FAILURE_ACTIONS) {
        SetLastError(ERROR_INVALID_LEVEL);
        return false;
    }
    if (!given({pcbBytesNeeded}))
        return false;
    if (dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS)
        return queryFailureActions(svc, lpBuffer, cbBufSize, pcbBytesNeeded);
    Reader answer{{}};
    if (!call(*svc.conn, Writer().u32(svcwire::OpQueryDescription).u32(svc.id), &answer))
        return false;
    bool present = false;
    std::string text;
    if (!answer.optStr(&present, &text)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return false;
    }
    std::wstring wText = svcwire::fromUtf8(text);
    size_t needed = sizeof(SERVICE_DESCRIPTIONW) + (present ? wideBytes(wText) : 0);
    if (!lpBuffer || cbBufSize < needed) {
        *pcbBytesNeeded = DWORD(needed);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    auto *desc = reinterpret_cast<LPSERVICE_DESCRIPTIONW>(lpBuffer);
    char *cursor = reinterpret_cast<char *>(lpBuffer) + sizeof(SERVICE_DESCRIPTIONW);
    desc->lpDescription = present ? placeString(cursor, wText) : nullptr;
    return true;
}

SVCAPI BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    Object svc;
    if (!lookup(hService, Kind::Service, &svc))
        return false;
    if (!given({lpServiceStatus}))
        return false;
    Reader answer{{}};
    if (!call(*svc.conn, Writer().u32(svcwire::OpQueryStatus).u32(svc.id), &answer))
        return false;
    if (!readStatus(answer, lpServiceStatus)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return false;
    }
    return true;
}

SVCAPI BOOL StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR *lpServiceArgVectors)
{
    Object svc;
    if (!lookup(hService, Kind::Service, &svc))
        return false;
    if (dwNumServiceArgs > 0 && !lpServiceArgVectors) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    Writer req;
    req.u32(svcwire::OpStart).u32(svc.id).u32(dwNumServiceArgs);
    for (DWORD i = 0; i < dwNumServiceArgs; ++i) {
        if (!lpServiceArgVectors[i]) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        req.str(svcwire::toUtf8(lpServiceArgVectors[i]));
    }
    Reader answer{{}};
    return call(*svc.conn, req, &answer);
}

SVCAPI BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    Object svc;
    if (!lookup(hService, Kind::Service, &svc))
        return false;
    if (!given({lpServiceStatus}))
        return false;
    Reader answer{{}};
    bool ok = call(*svc.conn, Writer().u32(svcwire::OpControl).u32(svc.id).u32(dwControl), &answer);
    DWORD error = GetLastError();
    uint32_t hasStatus = 0;
    SERVICE_STATUS status{};
    if (answer.u32(&hasStatus) && hasStatus && readStatus(answer, &status))
        *lpServiceStatus = status;
    SetLastError(error);
    return ok;
}

SVCAPI HANDLE RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName)
{
    if (lpUNCServerName && !isLocalMachine(lpUNCServerName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (!lpSourceName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Without a daemon the records still reach syslog (see ReportEventW).
    Object *obj = addObject(Kind::EventSource, connectDaemon(), 0);
    obj->source = svcwire::toUtf8(lpSourceName);
    return obj;
}

SVCAPI BOOL ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                         PSID lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCWSTR *lpStrings,
                         LPVOID lpRawData)
{
    (void)lpUserSid;
    (void)lpRawData; // only its length is recorded
    Object src;
    if (!lookup(hEventLog, Kind::EventSource, &src))
        return false;
    if (wNumStrings > 0 && !lpStrings) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::vector<std::string> strings;
    for (WORD i = 0; i < wNumStrings; ++i)
        strings.push_back(svcwire::toUtf8(lpStrings[i]));
    if (src.conn) {
        Writer req;
        req.u32(svcwire::OpReportEvent).str(src.source).u32(wType).u32(wCategory);
        req.u32(dwEventID).u32(dwDataSize).u32(uint32_t(strings.size()));
        for (const std::string &s : strings)
            req.str(s);
        Reader answer{{}};
        if (call(*src.conn, req, &answer))
            return true;
        if (GetLastError() != RPC_S_SERVER_UNAVAILABLE)
            return false;
    }
    // No daemon to keep the record: the system log still gets it.
    std::string text;
    for (const std::string &s : strings)
        text += (text.empty() ? "" : " ") + s;
    int priority = wType == EVENTLOG_ERROR_TYPE     ? LOG_ERR
                   : wType == EVENTLOG_WARNING_TYPE ? LOG_WARNING
                                                    : LOG_INFO;
    ::syslog(LOG_DAEMON | priority, "%s: %s (event %u)", src.source.c_str(), text.c_str(),
             unsigned(dwEventID));
    return true;
}

SVCAPI BOOL DeregisterEventSource(HANDLE hEventLog)
{
    std::lock_guard<std::mutex> lock(g_objectsMutex);
    auto it = g_objects.find(static_cast<Object *>(hEventLog));
    if (it == g_objects.end() || (*it)->kind != Kind::EventSource) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    delete *it;
    g_objects.erase(it);
    return true;
}

SVCAPI BOOL SetServiceGroupAccessW(SC_HANDLE hService, LPCWSTR lpGroupName, DWORD dwAccess)
{
    Object svc;
    if (!lookup(hService, Kind::Service, &svc))
        return false;
    if (!given({lpGroupName}))
        return false;
    Writer req;
    req.u32(svcwire::OpSetGroupAccess).u32(svc.id).str(svcwire::toUtf8(lpGroupName));
    req.u32(dwAccess);
    Reader answer{{}};
    return call(*svc.conn, req, &answer);
}

SVCAPI BOOL QueryServiceGroupAccessW(SC_HANDLE hService, LPSERVICE_GROUP_ACCESSW lpGroups,
                                     DWORD cbBufSize, LPDWORD pcbBytesNeeded, LPDWORD lpGroupCount)
{
    Object svc;
    if (!lookup(hService, Kind::Service, &svc))
        return false;
    if (!given({pcbBytesNeeded, lpGroupCount}))
        return false;
    Reader answer{{}};
    if (!call(*svc.conn, Writer().u32(svcwire::OpQueryGroupAccess).u32(svc.id), &answer))
        return false;
    uint32_t count = 0;
    bool ok = answer.u32(&count) && count <= 4096;
    std::vector<std::pair<std::wstring, DWORD>> groups(ok ? count : 0);
    size_t needed = groups.size() * sizeof(SERVICE_GROUP_ACCESSW);
    for (auto &g : groups) {
        std::string name;
        ok = ok && answer.str(&name) && answer.u32(&g.second);
        g.first = svcwire::fromUtf8(name);
        needed += wideBytes(g.first);
    }
    if (!ok) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return false;
    }
    if (!lpGroups || cbBufSize < needed) {
        *pcbBytesNeeded = DWORD(needed);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    char *cursor = reinterpret_cast<char *>(lpGroups + groups.size());
    for (size_t i = 0; i < groups.size(); ++i) {
        lpGroups[i].lpGroupName = placeString(cursor, groups[i].first);
        lpGroups[i].dwAccess = groups[i].second;
    }
    *lpGroupCount = DWORD(groups.size());
    return true;
}

} // extern "C"
