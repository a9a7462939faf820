// The service API calls of the stand-in's tests, made in the test as root or, through the
// test client (svcmgrclient), as another user. A call is written as the client's arguments:
//   [access=RIGHTS] OP ARGS...   RIGHTS: those of the service handle instead of what OP needs
//   open-manager RIGHTS [MACHINE|-] [DATABASE]   open-null NAME (on no manager handle)
//   query-status NAME   create NAME PATH [START_TYPE [TYPE [ACCOUNT]]]   delete NAME
//   start NAME [ARG...]   control NAME CODE
//   change NAME [TYPE [START [ERROR [PATH [ACCOUNT [DISPLAY [tag]]]]]]] (with "-" not given,
//   '' empty)   config NAME (asks for the size only)   config2 NAME LEVEL (the same)
//   report SOURCE TEXT [COUNT] (the result is the last report's)
// and answers "result=R error=E", with " state=S exit=X" when the service could be asked (for
// a control, as its answer carried them).
#pragma once

#include "svcmgr_api.h"
#include "testfiles.h"

#include <QMap>

#include <string>
#include <vector>

const QString echoPath = QStringLiteral("\"" SARVELA_BIN_DIR "/echoservice\"");

// A handle that is closed when it goes out of scope.
struct ScHandle
{
    SC_HANDLE h;
    ~ScHandle()
    {
        if (h)
            CloseServiceHandle(h);
    }
};

inline SC_HANDLE openService(const QString &name, DWORD access)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, name.toStdWString().c_str(), access);
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    SetLastError(error);
    return service;
}

inline QByteArray svcCall(QStringList a)
{
    const DWORD forced = a.value(0).startsWith("access=") ? a.takeFirst().mid(7).toUInt(nullptr, 0) : 0;
    const QString op = a.value(0);
    std::vector<std::wstring> w;
    for (const QString &s : a)
        w.push_back(s == "''" ? std::wstring() : s.toStdWString());
    auto arg = [&](int i) { return a.size() > i && a[i] != "-" ? w[size_t(i)].c_str() : nullptr; };
    auto number = [&](int i, DWORD none) { return a.size() > i && a[i] != "-" ? a[i].toUInt() : none; };
    if (op == "report") {
        HANDLE source = RegisterEventSourceW(nullptr, arg(1));
        LPCWSTR strings[] = {arg(2)};
        bool ok = source != nullptr;
        for (DWORD i = 0; source && i < number(3, 1); ++i)
            ok = ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
        const DWORD error = ok ? 0 : GetLastError();
        DeregisterEventSource(source);
        return QString("result=%1 error=%2").arg(ok).arg(error).toUtf8();
    }
    const DWORD managerAccess = op == "open-manager"   ? a.value(1).toUInt(nullptr, 0)
                                : op == "create"       ? SC_MANAGER_CREATE_SERVICE
                                : op == "query-status" ? 0
                                                       : SC_MANAGER_CONNECT;
    const DWORD access = forced           ? forced
                         : op == "delete" ? DELETE
                         : op == "start"  ? SERVICE_START
                         : op == "change" ? SERVICE_CHANGE_CONFIG
                         // The right the service framework asks for to send the control.
                         : op == "control" && a.value(2) == "1" ? SERVICE_STOP | SERVICE_QUERY_STATUS
                         : op == "control" && a.value(2).toUInt() - 2 < 2 ? SERVICE_PAUSE_CONTINUE
                         : op == "control" && a.value(2) == "4"           ? SERVICE_INTERROGATE
                         : op == "control"                                ? SERVICE_USER_DEFINED_CONTROL
                         : op.startsWith("config")                        ? SERVICE_QUERY_CONFIG
                                                                          : SERVICE_QUERY_STATUS;
    const bool managerOnly = op == "open-manager";
    ScHandle manager{
        OpenSCManagerW(managerOnly ? arg(2) : nullptr, managerOnly ? arg(3) : nullptr, managerAccess)};
    ScHandle service{!manager.h || managerOnly ? nullptr
                     : op == "create"
                         ? CreateServiceW(manager.h, arg(1), nullptr, SERVICE_ALL_ACCESS,
                                          number(4, SERVICE_WIN32_OWN_PROCESS), number(3, 3),
                                          SERVICE_ERROR_NORMAL, arg(2), nullptr, nullptr, nullptr, arg(5),
                                          nullptr)
                         : OpenServiceW(op == "open-null" ? nullptr : manager.h, arg(1), access)};
    bool ok = manager.h && (managerOnly || service.h);
    SERVICE_STATUS status{};
    DWORD needed = 0, tag = 0, same = SERVICE_NO_CHANGE;
    std::vector<LPCWSTR> args;
    for (int i = 2; i < a.size(); ++i)
        args.push_back(w[size_t(i)].c_str());
    ok = ok && (op == "delete"    ? DeleteService(service.h)
                : op == "start"   ? StartServiceW(service.h, DWORD(args.size()), args.data())
                : op == "control" ? ControlService(service.h, number(2, 0), &status)
                : op == "change"
                    ? ChangeServiceConfigW(service.h, number(2, same), number(3, same), number(4, same),
                                           arg(5), nullptr, a.value(8) == "tag" ? &tag : nullptr, nullptr,
                                           arg(6), nullptr, arg(7))
                : op == "config"  ? QueryServiceConfigW(service.h, nullptr, 0, &needed)
                : op == "config2" ? QueryServiceConfig2W(service.h, number(2, 0), nullptr, 0, &needed)
                                  : true);
    QString answer = QString("result=%1 error=%2").arg(ok).arg(ok ? 0 : GetLastError());
    ScHandle asked{op == "control" ? nullptr : OpenServiceW(manager.h, arg(1), SERVICE_QUERY_STATUS)};
    if (op == "control" || (asked.h && QueryServiceStatus(asked.h, &status)))
        answer += QString(" state=%1 exit=%2").arg(status.dwCurrentState).arg(status.dwWin32ExitCode);
    return answer.toUtf8();
}

// The last-error code in an answer of svcCall().
inline DWORD errorOf(const QByteArray &answer)
{
    return answer.mid(answer.indexOf("error=") + 6).split(' ').value(0).toUInt();
}

// A null account is the local system account.
inline DWORD createService(const QString &name, const QString &path = echoPath, DWORD startType = 3,
                           const QString &account = QString(), DWORD type = 0x10)
{
    return errorOf(svcCall(QStringList{"create", name, path, QString::number(startType),
                                       QString::number(type), account.isNull() ? "-" : account}));
}

inline DWORD startService(const QString &name, const QStringList &args = {})
{
    return errorOf(svcCall(QStringList{"start", name} + args));
}

inline DWORD controlService(const QString &name, DWORD code)
{
    return errorOf(svcCall({"control", name, QString::number(code)}));
}

inline SERVICE_STATUS queryStatus(const QString &name)
{
    SERVICE_STATUS s{};
    ScHandle service{openService(name, SERVICE_QUERY_STATUS)};
    QueryServiceStatus(service.h, &s);
    return s;
}

inline bool waitForState(const QString &name, DWORD state)
{
    return waitUntil([&] { return queryStatus(name).dwCurrentState == state; });
}

// Stops the service, then starts it afresh with a log of its own and args, and pauses it, as far
// as state asks.
inline bool bringTo(const QString &name, DWORD state, const QString &log, const QStringList &args = {})
{
    if (queryStatus(name).dwCurrentState != SERVICE_STOPPED &&
        (controlService(name, SERVICE_CONTROL_STOP) || !waitForState(name, SERVICE_STOPPED)))
        return false;
    QFile::remove(log); // whatever user the service runs as makes it anew
    return state == SERVICE_STOPPED ||
           (startService(name, QStringList{"log=" + log} + args) == 0 &&
            waitForState(name, SERVICE_RUNNING) &&
            (state == SERVICE_RUNNING || controlService(name, SERVICE_CONTROL_PAUSE) == 0));
}

// The pid the echo service logged when it started last (the first start with first).
inline qint64 loggedPid(const QString &log, bool first = false)
{
    const QStringList pids = readLines(log).filter(QRegularExpression("^pid "));
    return pids.isEmpty() ? 0 : (first ? pids.first() : pids.last()).mid(4).toLongLong();
}

// Asks with no buffer and with one a byte too small, each of which must be refused with the
// size needed, then with that size; the answer, or nothing when a step went otherwise.
template <typename Query> inline std::vector<quint64> querySized(Query query)
{
    DWORD needed = 0;
    if (query(nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return {};
    std::vector<quint64> buffer(needed / 8 + 1);
    auto *bytes = reinterpret_cast<LPBYTE>(buffer.data());
    const bool tooSmallRefused =
        !needed || (!query(bytes, needed - 1, &needed) && GetLastError() == ERROR_INSUFFICIENT_BUFFER);
    if (!tooSmallRefused || !query(bytes, needed, &needed))
        buffer.clear();
    return buffer; // moved, so that the pointers into it stay good
}

// The rights groups have on a service; "failed" when the query failed.
inline QMap<QString, DWORD> groupAccess(const QString &service)
{
    ScHandle h{openService(service, READ_CONTROL)};
    DWORD count = 0;
    const auto buffer = querySized([&](LPBYTE bytes, DWORD size, DWORD *needed) {
        return QueryServiceGroupAccessW(h.h, reinterpret_cast<LPSERVICE_GROUP_ACCESSW>(bytes), size, needed,
                                        &count);
    });
    QMap<QString, DWORD> found;
    const auto *groups = reinterpret_cast<const SERVICE_GROUP_ACCESSW *>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        found[QString::fromWCharArray(groups[i].lpGroupName)] = groups[i].dwAccess;
    return buffer.empty() ? QMap<QString, DWORD>{{"failed", 0}} : found;
}

// "type start error-control path account display-name", the path of the echo service as "echo".
inline QString config(const QString &name)
{
    ScHandle service{openService(name, SERVICE_QUERY_CONFIG)};
    const auto buffer = querySized([&](LPBYTE bytes, DWORD size, DWORD *needed) {
        return QueryServiceConfigW(service.h, reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(bytes), size, needed);
    });
    if (buffer.empty())
        return "query failed";
    const auto *qc = reinterpret_cast<const QUERY_SERVICE_CONFIGW *>(buffer.data());
    QStringList seen;
    for (DWORD number : {qc->dwServiceType, qc->dwStartType, qc->dwErrorControl})
        seen << QString::number(number);
    for (LPCWSTR text : {qc->lpBinaryPathName, qc->lpServiceStartName, qc->lpDisplayName})
        seen << (QString::fromWCharArray(text) == echoPath ? "echo" : QString::fromWCharArray(text));
    return seen.join(' ');
}

// A raw connection to the manager, or -1.
inline int connectRaw()
{
    const QString dir = qEnvironmentVariable(SVCMGR_DIR_ENV);
    return connectUnix((dir.isEmpty() ? SVCMGR_DEFAULT_DIR : dir) + "/svcmgr.sock");
}

// Runs a shell script as root, for a test's set-up.
inline bool sh(const QString &script)
{
    return QProcess::execute("sh", {"-c", script}) == 0;
}
