// Binds the service control manager's entry points at run time: advapi32 on
// Windows, our stand-in library beside the executable elsewhere.
#include "qtservice_p.h"

#include <QFileInfo>
#include <QLibrary>
#include <QMutex>
#include <QMutexLocker>

#include <atomic>

namespace QtServiceApi {
PtrOpenSCManagerW pOpenSCManager = nullptr;
PtrOpenServiceW pOpenService = nullptr;
PtrCloseServiceHandle pCloseServiceHandle = nullptr;
PtrCreateServiceW pCreateService = nullptr;
PtrDeleteService pDeleteService = nullptr;
PtrChangeServiceConfig2W pChangeServiceConfig2 = nullptr;
PtrQueryServiceConfigW pQueryServiceConfig = nullptr;
PtrQueryServiceConfig2W pQueryServiceConfig2 = nullptr;
PtrQueryServiceStatus pQueryServiceStatus = nullptr;
PtrStartServiceW pStartService = nullptr;
PtrControlService pControlService = nullptr;
PtrStartServiceCtrlDispatcherW pStartServiceCtrlDispatcher = nullptr;
PtrRegisterServiceCtrlHandlerW pRegisterServiceCtrlHandler = nullptr;
PtrSetServiceStatus pSetServiceStatus = nullptr;
PtrRegisterEventSourceW pRegisterEventSource = nullptr;
PtrReportEventW pReportEvent = nullptr;
PtrDeregisterEventSource pDeregisterEventSource = nullptr;

namespace {
// Published last, so a reader that sees it set also sees every other pointer.
std::atomic<bool> g_available{false};
#ifndef Q_OS_WIN
typedef DWORD (*PtrSvcFormatErrorW)(DWORD, LPWSTR, DWORD);
typedef void (*PtrSetLastError)(DWORD);
PtrGetLastError pGetLastError = nullptr;
PtrSetLastError pSetLastError = nullptr;
PtrSvcFormatErrorW pFormatError = nullptr;
#endif
} // namespace

bool available()
{
    return g_available.load(std::memory_order_acquire);
}
} // namespace QtServiceApi

using namespace QtServiceApi;

#ifndef Q_OS_WIN
// The library sits beside the executable; that directory is known before any
// application object exists.
static QString standInLibraryPath()
{
    const QString exe = QtServiceBaseData::executablePath();
    return QFileInfo(exe).absolutePath() + QLatin1Char('/') + QLatin1String(SVCMGR_LIBRARY_FILE);
}
#endif

bool loadServiceApi()
{
    if (available())
        return true;

    static QMutex mutex;
    QMutexLocker locker(&mutex);
    if (available())
        return true;

#ifdef Q_OS_WIN
    QLibrary lib(QLatin1String("advapi32"));
#else
    QLibrary lib(standInLibraryPath());
#endif
    // QLibrary unloads nothing when its object goes away; the library stays for the process.
    auto resolve = [&lib](const char *symbol) { return lib.resolve(symbol); };

    pRegisterServiceCtrlHandler =
        reinterpret_cast<PtrRegisterServiceCtrlHandlerW>(resolve("RegisterServiceCtrlHandlerW"));
    pSetServiceStatus = reinterpret_cast<PtrSetServiceStatus>(resolve("SetServiceStatus"));
    pChangeServiceConfig2 =
        reinterpret_cast<PtrChangeServiceConfig2W>(resolve("ChangeServiceConfig2W"));
    pCloseServiceHandle = reinterpret_cast<PtrCloseServiceHandle>(resolve("CloseServiceHandle"));
    pCreateService = reinterpret_cast<PtrCreateServiceW>(resolve("CreateServiceW"));
    pDeleteService = reinterpret_cast<PtrDeleteService>(resolve("DeleteService"));
    pOpenService = reinterpret_cast<PtrOpenServiceW>(resolve("OpenServiceW"));
    pQueryServiceStatus = reinterpret_cast<PtrQueryServiceStatus>(resolve("QueryServiceStatus"));
    pStartServiceCtrlDispatcher =
        reinterpret_cast<PtrStartServiceCtrlDispatcherW>(resolve("StartServiceCtrlDispatcherW"));
    pStartService = reinterpret_cast<PtrStartServiceW>(resolve("StartServiceW"));
    pControlService = reinterpret_cast<PtrControlService>(resolve("ControlService"));
    pDeregisterEventSource =
        reinterpret_cast<PtrDeregisterEventSource>(resolve("DeregisterEventSource"));
    pReportEvent = reinterpret_cast<PtrReportEventW>(resolve("ReportEventW"));
    pRegisterEventSource =
        reinterpret_cast<PtrRegisterEventSourceW>(resolve("RegisterEventSourceW"));
    pQueryServiceConfig = reinterpret_cast<PtrQueryServiceConfigW>(resolve("QueryServiceConfigW"));
    pQueryServiceConfig2 =
        reinterpret_cast<PtrQueryServiceConfig2W>(resolve("QueryServiceConfig2W"));
#ifndef Q_OS_WIN
    pGetLastError = reinterpret_cast<PtrGetLastError>(resolve("GetLastError"));
    pFormatError = reinterpret_cast<PtrSvcFormatErrorW>(resolve("SvcFormatErrorW"));
    pSetLastError = reinterpret_cast<PtrSetLastError>(resolve("SetLastError"));
#endif
    pOpenSCManager = reinterpret_cast<PtrOpenSCManagerW>(resolve("OpenSCManagerW"));

    const bool ok = pOpenSCManager != nullptr;
    g_available.store(ok, std::memory_order_release);
    return ok;
}

DWORD serviceApiLastError()
{
#ifdef Q_OS_WIN
    return GetLastError();
#else
    return pGetLastError ? pGetLastError() : 0;
#endif
}

void setServiceApiLastError(DWORD code)
{
#ifdef Q_OS_WIN
    SetLastError(code);
#else
    if (pSetLastError)
        pSetLastError(code);
#endif
}

QString serviceApiErrorText(DWORD code)
{
#ifdef Q_OS_WIN
    wchar_t *buffer = nullptr;
    const DWORD len = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    QString text = QString::fromWCharArray(buffer, int(len)).trimmed();
    LocalFree(buffer);
    return text;
#else
    if (pFormatError) {
        wchar_t buffer[512];
        const DWORD len = pFormatError(code, buffer, 512);
        if (len > 0)
            return QString::fromWCharArray(buffer, int(len));
    }
    return QStringLiteral("Unknown error %1").arg(code);
#endif
}

void systemErrorWarning(const char *text)
{
    const QString reason = serviceApiErrorText(serviceApiLastError());
    qWarning("%s (%s)", text, qUtf8Printable(reason));
}
