// Small helpers for the stand-in's tests: one call to the service API each,
// answering with the last-error code, and bounded waits for what a service does.
#pragma once

#include "svcmgr_api.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QThread>

#include <csignal>
#include <string>
#include <vector>

// A handle that is closed when it goes out of scope.
class ScHandle
{
public:
    explicit ScHandle(SC_HANDLE h = nullptr) : m_h(h) {}
    ~ScHandle()
    {
        if (m_h)
            CloseServiceHandle(m_h);
    }
    ScHandle(const ScHandle &) = delete;
    ScHandle &operator=(const ScHandle &) = delete;
    SC_HANDLE get() const { return m_h; }
    SC_HANDLE release()
    {
        SC_HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }
    explicit operator bool() const { return m_h != nullptr; }

private:
    SC_HANDLE m_h;
};

inline std::wstring wide(const QString &s)
{
    return s.toStdWString();
}

inline QString echoServicePath()
{
    return QStringLiteral(SARVELA_BIN_DIR "/echoservice");
}

inline QString quoted(const QString &path)
{
    return '"' + path + '"';
}

inline QString errorText(DWORD code)
{
    wchar_t buf[512];
    SvcFormatErrorW(code, buf, 512);
    return QString::number(code) + " " + QString::fromWCharArray(buf);
}

inline SC_HANDLE openService(const QString &name, DWORD access)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return nullptr;
    SC_HANDLE service = OpenServiceW(manager, wide(name).c_str(), access);
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    SetLastError(error);
    return service;
}

// Each returns the last-error code of the call, 0 on success.
inline DWORD createService(const QString &name, const QString &path,
                           DWORD startType = SERVICE_DEMAND_START,
                           DWORD type = SERVICE_WIN32_OWN_PROCESS)
{
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return GetLastError();
    ScHandle service(CreateServiceW(manager.get(), wide(name).c_str(), nullptr, SERVICE_ALL_ACCESS,
                                    type, startType, SERVICE_ERROR_NORMAL, wide(path).c_str(),
                                    nullptr, nullptr, nullptr, nullptr, nullptr));
    return service ? ERROR_SUCCESS : GetLastError();
}

inline DWORD startService(const QString &name, const QStringList &args = {})
{
    ScHandle service(openService(name, SERVICE_START));
    if (!service)
        return GetLastError();
    std::vector<std::wstring> wideArgs;
    for (const QString &a : args)
        wideArgs.push_back(wide(a));
    std::vector<LPCWSTR> argv;
    for (const std::wstring &a : wideArgs)
        argv.push_back(a.c_str());
    return StartServiceW(service.get(), DWORD(argv.size()), argv.data()) ? ERROR_SUCCESS
                                                                         : GetLastError();
}

inline DWORD controlService(const QString &name, DWORD code, SERVICE_STATUS *status = nullptr)
{
    ScHandle service(openService(name, SERVICE_ALL_ACCESS));
    if (!service)
        return GetLastError();
    SERVICE_STATUS s{};
    BOOL ok = ControlService(service.get(), code, &s);
    DWORD error = GetLastError();
    if (status)
        *status = s;
    return ok ? ERROR_SUCCESS : error;
}

inline SERVICE_STATUS queryStatus(const QString &name)
{
    SERVICE_STATUS s{};
    ScHandle service(openService(name, SERVICE_QUERY_STATUS));
    if (!service || !QueryServiceStatus(service.get(), &s))
        s.dwCurrentState = 0;
    return s;
}

inline DWORD deleteService(const QString &name)
{
    ScHandle service(openService(name, DELETE));
    if (!service)
        return GetLastError();
    return DeleteService(service.get()) ? ERROR_SUCCESS : GetLastError();
}

// Bounded waits: they give up after a generous limit instead of asserting a time.
template <typename Pred> bool waitUntil(Pred pred, int limitMs = 10000)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > limitMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

inline bool waitForState(const QString &name, DWORD state, int limitMs = 10000)
{
    return waitUntil([&] { return queryStatus(name).dwCurrentState == state; }, limitMs);
}

inline QStringList readLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

inline bool waitForLine(const QString &path, const QString &line, int limitMs = 10000)
{
    return waitUntil([&] { return readLines(path).contains(line); }, limitMs);
}

// The pid an echo service wrote to its log ("pid N"), 0 when none yet.
inline qint64 loggedPid(const QString &logPath)
{
    for (const QString &line : readLines(logPath))
        if (line.startsWith("pid "))
            return line.mid(4).toLongLong();
    return 0;
}

inline bool processAlive(qint64 pid)
{
    QFile stat("/proc/" + QString::number(pid) + "/stat");
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && text.size() > close + 2 && text.at(close + 2) != 'Z';
}
