// Internals of the service framework, shared by its source files only.
#pragma once

#include "qtservice.h"

#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QThread>
#include <QWaitCondition>

#include <string>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#define QTSVC_CALL WINAPI
#else
#include "svcmgr_api.h"
#define QTSVC_CALL
#endif

// The service control manager's entry points, resolved by name at run time so
// that neither program has a link-time dependency on the manager.
namespace QtServiceApi {
typedef SC_HANDLE(QTSVC_CALL *PtrOpenSCManagerW)(LPCWSTR, LPCWSTR, DWORD);
typedef SC_HANDLE(QTSVC_CALL *PtrOpenServiceW)(SC_HANDLE, LPCWSTR, DWORD);
typedef BOOL(QTSVC_CALL *PtrCloseServiceHandle)(SC_HANDLE);
typedef SC_HANDLE(QTSVC_CALL *PtrCreateServiceW)(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD,
                                                 DWORD, LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR,
                                                 LPCWSTR);
typedef BOOL(QTSVC_CALL *PtrDeleteService)(SC_HANDLE);
typedef BOOL(QTSVC_CALL *PtrChangeServiceConfig2W)(SC_HANDLE, DWORD, LPVOID);
typedef BOOL(QTSVC_CALL *PtrQueryServiceConfigW)(SC_HANDLE, LPQUERY_SERVICE_CONFIGW, DWORD,
                                                 LPDWORD);
typedef BOOL(QTSVC_CALL *PtrQueryServiceConfig2W)(SC_HANDLE, DWORD, LPBYTE, DWORD, LPDWORD);
typedef BOOL(QTSVC_CALL *PtrQueryServiceStatus)(SC_HANDLE, LPSERVICE_STATUS);
typedef BOOL(QTSVC_CALL *PtrStartServiceW)(SC_HANDLE, DWORD, LPCWSTR *);
typedef BOOL(QTSVC_CALL *PtrControlService)(SC_HANDLE, DWORD, LPSERVICE_STATUS);
typedef BOOL(QTSVC_CALL *PtrStartServiceCtrlDispatcherW)(const SERVICE_TABLE_ENTRYW *);
typedef SERVICE_STATUS_HANDLE(QTSVC_CALL *PtrRegisterServiceCtrlHandlerW)(LPCWSTR,
                                                                          LPHANDLER_FUNCTION);
typedef BOOL(QTSVC_CALL *PtrSetServiceStatus)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
typedef HANDLE(QTSVC_CALL *PtrRegisterEventSourceW)(LPCWSTR, LPCWSTR);
typedef BOOL(QTSVC_CALL *PtrReportEventW)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR *,
                                          LPVOID);
typedef BOOL(QTSVC_CALL *PtrDeregisterEventSource)(HANDLE);
typedef DWORD(QTSVC_CALL *PtrGetLastError)();

extern PtrOpenSCManagerW pOpenSCManager;
extern PtrOpenServiceW pOpenService;
extern PtrCloseServiceHandle pCloseServiceHandle;
extern PtrCreateServiceW pCreateService;
extern PtrDeleteService pDeleteService;
extern PtrChangeServiceConfig2W pChangeServiceConfig2;
extern PtrQueryServiceConfigW pQueryServiceConfig;
extern PtrQueryServiceConfig2W pQueryServiceConfig2;
extern PtrQueryServiceStatus pQueryServiceStatus;
extern PtrStartServiceW pStartService;
extern PtrControlService pControlService;
extern PtrStartServiceCtrlDispatcherW pStartServiceCtrlDispatcher;
extern PtrRegisterServiceCtrlHandlerW pRegisterServiceCtrlHandler;
extern PtrSetServiceStatus pSetServiceStatus;
extern PtrRegisterEventSourceW pRegisterEventSource;
extern PtrReportEventW pReportEvent;
extern PtrDeregisterEventSource pDeregisterEventSource;

// True once OpenSCManagerW has resolved; until then every call tries again.
bool available();
} // namespace QtServiceApi

bool loadServiceApi();

// The calling thread's last error of the service API, and its text.
DWORD serviceApiLastError();
void setServiceApiLastError(DWORD code);
QString serviceApiErrorText(DWORD code);
// A Qt warning carrying text and the description of the last error.
void systemErrorWarning(const char *text);

// Wide strings as the manager's entry points take them. A name holding U+0000
// ends there for every call, which is what the backslash replacement relies on.
inline std::wstring toWide(const QString &s)
{
    return s.toStdWString();
}
inline QString fromWide(const wchar_t *s)
{
    return s ? QString::fromWCharArray(s) : QString();
}

class QtServiceHostData;

class QtServiceControllerData
{
public:
    QString serviceName;
    QtServiceController *owner = nullptr;
};

class QtServiceBaseData
{
public:
    QtServiceBaseData(QtServiceBase *owner, const QString &name);

    QtServiceBase *owner;
    QString description;
    int startupType = QtServiceController::ManualStart;
    int flags = 0;
    QStringList arguments;
    QtServiceController controller;
    QtServiceHostData *host = nullptr;

    static QString executablePath();
    int runAsApplication(const QStringList &args);
    bool installSelf(const QString &account, const QString &password);
    bool startAsService();

    // The owner's protected operations, for the framework's own classes.
    void callStart() { owner->start(); }
    void callStop() { owner->stop(); }
    void callPause() { owner->pause(); }
    void callResume() { owner->resume(); }
    void callProcessCommand(int code) { owner->processCommand(code); }
    void callCreateApplication(int &argc, char **argv) { owner->createApplication(argc, argv); }
    // Creates the application from the arguments in the local 8-bit encoding. The
    // application keeps pointers into argvData, which must outlive it.
    QCoreApplication *createApplicationFrom(const QStringList &args, QList<QByteArray> &argvData,
                                            std::vector<char *> &argv, int &argc);
    int callExecuteApplication() { return owner->executeApplication(); }

    // Host side: the accepted controls follow the flags while the service runs.
    void flagsChanged();
    void createHostData();
    void destroyHostData();
};

class QtServiceStarter : public QObject
{
    Q_OBJECT
public:
    explicit QtServiceStarter(QtServiceBaseData *data) : d(data) {}

public slots:
    void slotStart() { d->callStart(); }

private:
    QtServiceBaseData *d;
};

DWORD acceptedControls(int flags);
