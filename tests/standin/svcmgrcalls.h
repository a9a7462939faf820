// The service API calls that the stand-in's tests make as root, each returning
// the last-error code (0 on success) or the status, with handles closed again.
#pragma once

#include "svcmgr_api.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QThread>

#include <string>
#include <vector>

namespace {

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

SC_HANDLE openService(const QString &name, DWORD access)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, name.toStdWString().c_str(), access);
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    SetLastError(error);
    return service;
}

// A null account is the local system account.
DWORD createService(const QString &name, const QString &path = echoPath, DWORD startType = 3,
                    const QString &account = QString())
{
    ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
    const std::wstring wideAccount = account.toStdWString();
    ScHandle service{CreateServiceW(
        manager.h, name.toStdWString().c_str(), nullptr, SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL, path.toStdWString().c_str(),
        nullptr, nullptr, nullptr, account.isNull() ? nullptr : wideAccount.c_str(), nullptr)};
    return service.h ? 0 : GetLastError();
}

DWORD startService(const QString &name, const QStringList &args = {})
{
    std::vector<std::wstring> wideArgs(size_t(args.size()));
    std::vector<LPCWSTR> argv;
    for (int i = 0; i < args.size(); ++i)
        argv.push_back((wideArgs[size_t(i)] = args[i].toStdWString()).c_str());
    ScHandle service{openService(name, SERVICE_START)};
    return StartServiceW(service.h, DWORD(argv.size()), argv.data()) ? 0 : GetLastError();
}

DWORD controlService(const QString &name, DWORD code, SERVICE_STATUS *status = nullptr)
{
    SERVICE_STATUS s{};
    ScHandle service{openService(name, SERVICE_ALL_ACCESS)};
    return ControlService(service.h, code, status ? status : &s) ? 0 : GetLastError();
}

SERVICE_STATUS queryStatus(const QString &name)
{
    SERVICE_STATUS s{};
    ScHandle service{openService(name, SERVICE_QUERY_STATUS)};
    QueryServiceStatus(service.h, &s);
    return s;
}

// Gives up after a generous limit instead of asserting a time.
template <typename Pred> bool waitUntil(Pred pred)
{
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < 10000)
        QThread::msleep(20);
    return pred();
}

bool waitForState(const QString &name, DWORD state)
{
    return waitUntil([&] { return queryStatus(name).dwCurrentState == state; });
}

} // namespace
