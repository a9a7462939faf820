// Runs a service under the service control manager: the dispatcher thread, the
// service entry point, the control handler and the hand-over of every request
// into the main thread's event loop, where the service's operations run.
#include "qtservice_p.h"

#include <QAbstractEventDispatcher>
#include <QAbstractNativeEventFilter>
#include <QEvent>
#include <QMutexLocker>

#include <atomic>
#include <vector>

using namespace QtServiceApi;

namespace {
constexpr DWORD StartupCode = 256;
constexpr int StartWaitMs = 20000;
constexpr unsigned long ThreadWaitMs = 1000;

// The events that carry a control request into the main thread: QEvent::User plus
// the control code, the user controls 128-255 and the start included.
enum ControlEvent : int {
    StopEvent = QEvent::User + SERVICE_CONTROL_STOP,
    PauseEvent = QEvent::User + SERVICE_CONTROL_PAUSE,
    ContinueEvent = QEvent::User + SERVICE_CONTROL_CONTINUE,
    FirstCommandEvent = QEvent::User + 128,
    LastCommandEvent = QEvent::User + 255,
    StartEvent = QEvent::User + int(StartupCode),
};
} // namespace

class QtServiceControllerHandler;

class QtServiceHostData
{
public:
    explicit QtServiceHostData(QtServiceBaseData *base);
    ~QtServiceHostData();

    void setCurrentState(DWORD state);
    void setAcceptedControls(DWORD controls);
    void resendStatus();
    void reportStopped(DWORD exitCode);

    QtServiceBaseData *base;
    SERVICE_STATUS status;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    QStringList serviceArguments;
    QWaitCondition condition;
    QMutex mutex;
    QSemaphore startSemaphore{0};
    QSemaphore startSemaphore2{0};
    QtServiceControllerHandler *controllerHandler = nullptr;
    // Under the mutex: requests posted and handled so far, and whether the event
    // loop has ended, after which nothing posted will ever be handled.
    quint64 posted = 0;
    quint64 handled = 0;
    bool loopEnded = false;

private:
    void send();

    // Orders the reports of the dispatcher thread and the main thread, so that
    // SERVICE_STOPPED is the last status the manager hears of.
    QMutex reportMutex;
    bool stoppedReported = false;
};

static std::atomic<QtServiceHostData *> g_host{nullptr};

QtServiceHostData::QtServiceHostData(QtServiceBaseData *base) : base(base)
{
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwControlsAccepted = acceptedControls(base->flags);
    status.dwWin32ExitCode = 0;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    g_host = this;
}

QtServiceHostData::~QtServiceHostData()
{
    g_host = nullptr;
}

void QtServiceHostData::send()
{
    pSetServiceStatus(statusHandle, &status);
}

void QtServiceHostData::setCurrentState(DWORD state)
{
    if (!QtServiceApi::available())
        return;
    QMutexLocker locker(&reportMutex);
    if (stoppedReported)
        return;
    status.dwCurrentState = state;
    send();
}

void QtServiceHostData::setAcceptedControls(DWORD controls)
{
    if (!QtServiceApi::available())
        return;
    QMutexLocker locker(&reportMutex);
    if (stoppedReported)
        return;
    status.dwControlsAccepted = controls;
    send();
}

void QtServiceHostData::resendStatus()
{
    if (!QtServiceApi::available())
        return;
    QMutexLocker locker(&reportMutex);
    if (stoppedReported || status.dwCurrentState == SERVICE_STOPPED)
        return;
    send();
}

void QtServiceHostData::reportStopped(DWORD exitCode)
{
    QMutexLocker locker(&reportMutex);
    status.dwWin32ExitCode = exitCode;
    if (!QtServiceApi::available())
        return;
    status.dwCurrentState = SERVICE_STOPPED;
    send();
    stoppedReported = true;
}

DWORD acceptedControls(int flags)
{
    DWORD controls = 0;
    if (flags & QtServiceBase::Suspendable)
        controls |= SERVICE_ACCEPT_PAUSE_CONTINUE;
    if (!(flags & QtServiceBase::NotStoppable))
        controls |= SERVICE_ACCEPT_STOP;
    if (flags & QtServiceBase::StopOnShutdown)
        controls |= SERVICE_ACCEPT_SHUTDOWN;
    return controls;
}

// Receives the control requests as events in the main thread.
class QtServiceControllerHandler : public QObject
{
    Q_OBJECT
public:
    explicit QtServiceControllerHandler(QtServiceHostData *host) : host(host) {}

protected:
    void customEvent(QEvent *e) override;

private:
    QtServiceHostData *host;
};

void QtServiceControllerHandler::customEvent(QEvent *e)
{
    QtServiceBaseData *d = host->base;
    const int type = int(e->type());
    if (type == StopEvent) {
        d->callStop();
        QCoreApplication::quit();
    } else if (type == PauseEvent) {
        d->callPause();
    } else if (type == ContinueEvent) {
        d->callResume();
    } else if (type >= FirstCommandEvent && type <= LastCommandEvent) {
        d->callProcessCommand(type - FirstCommandEvent);
    } else if (type == StartEvent) {
        d->callStart();
    }
    QMutexLocker locker(&host->mutex);
    ++host->handled;
    host->condition.wakeAll();
}

// Keeps a user's log-off from ending the service's application.
class QtServiceAppEventFilter : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override;
};

bool QtServiceAppEventFilter::nativeEventFilter(const QByteArray &, void *message, long *result)
{
#ifdef Q_OS_WIN
    const MSG *msg = static_cast<const MSG *>(message);
    if (msg->message == WM_ENDSESSION && (msg->lParam & ENDSESSION_LOGOFF)) {
        *result = 1;
        return true;
    }
#else
    Q_UNUSED(message)
    Q_UNUSED(result)
#endif
    return false;
}

Q_GLOBAL_STATIC(QtServiceAppEventFilter, qtServiceAppEventFilter)

static void QTSVC_CALL controlHandler(DWORD code)
{
    QtServiceHostData *host = g_host;
    if (!host)
        return;

    host->mutex.lock();
    int eventType = 0;
    DWORD after = 0;
    switch (code) {
    case StartupCode:
        host->setCurrentState(SERVICE_START_PENDING);
        eventType = StartEvent;
        after = SERVICE_RUNNING;
        break;
    case SERVICE_CONTROL_STOP:
        host->setCurrentState(SERVICE_STOP_PENDING);
        eventType = StopEvent;
        break;
    case SERVICE_CONTROL_PAUSE:
        host->setCurrentState(SERVICE_PAUSE_PENDING);
        eventType = PauseEvent;
        after = SERVICE_PAUSED;
        break;
    case SERVICE_CONTROL_CONTINUE:
        host->setCurrentState(SERVICE_CONTINUE_PENDING);
        eventType = ContinueEvent;
        after = SERVICE_RUNNING;
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        eventType = StopEvent;
        break;
    default:
        if (code >= 128 && code <= 255)
            eventType = FirstCommandEvent + int(code - 128);
        break;
    }
    if (eventType != 0 && host->controllerHandler && !host->loopEnded) {
        // Posted under the mutex, which the wait releases: the wake-up cannot be lost.
        // Each request waits for its own event, not for whichever was handled first.
        const quint64 request = ++host->posted;
        QCoreApplication::postEvent(host->controllerHandler, new QEvent(QEvent::Type(eventType)),
                                    0);
        while (host->handled < request && !host->loopEnded)
            host->condition.wait(&host->mutex);
        if (after != 0)
            host->setCurrentState(after);
    }
    host->mutex.unlock();

    host->resendStatus();
}

static void QTSVC_CALL serviceEntry(DWORD argc, LPWSTR *argv)
{
    QtServiceHostData *host = g_host;
    if (!host || !QtServiceBase::instance())
        return;

    for (DWORD i = 0; i < argc; ++i)
        host->serviceArguments.append(fromWide(argv[i]));

    host->startSemaphore.release();
    host->startSemaphore2.acquire();

    const std::wstring name = toWide(host->base->controller.serviceName());
    host->statusHandle = pRegisterServiceCtrlHandler(name.c_str(), controlHandler);
    if (!host->statusHandle)
        return;
    controlHandler(StartupCode);
}

// Blocks in the manager's dispatcher for the whole life of the service.
class HandlerThread : public QThread
{
public:
    explicit HandlerThread(QtServiceHostData *host) : host(host) {}

    std::atomic<bool> success{true};
    std::atomic<bool> console{false};

protected:
    void run() override;

private:
    QtServiceHostData *host;
};

void HandlerThread::run()
{
    std::wstring name = toWide(host->base->controller.serviceName());
    SERVICE_TABLE_ENTRYW table[2];
    table[0].lpServiceName = &name[0];
    table[0].lpServiceProc = serviceEntry;
    table[1].lpServiceName = nullptr;
    table[1].lpServiceProc = nullptr;

    success = pStartServiceCtrlDispatcher(table) != 0;
    if (!success) {
        const DWORD error = serviceApiLastError();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            console = true;
        } else {
            host->base->owner->logMessage(
                QStringLiteral("The Service failed to start [%1]").arg(serviceApiErrorText(error)),
                QtServiceBase::Error);
        }
        // serviceEntry will not run, so nothing else lets the main thread go on.
        host->startSemaphore.release();
    }
}

void QtServiceBaseData::createHostData()
{
    host = new QtServiceHostData(this);
}

void QtServiceBaseData::destroyHostData()
{
    delete host;
    host = nullptr;
}

void QtServiceBaseData::flagsChanged()
{
    if (host)
        host->setAcceptedControls(acceptedControls(flags));
}

bool QtServiceBaseData::startAsService()
{
    createHostData();
    if (!loadServiceApi()) {
        destroyHostData();
        return false;
    }

    HandlerThread *thread = new HandlerThread(host);
    thread->start(QThread::InheritPriority);

    // On time-out the dispatcher may still call in later; the record and the
    // thread are left to the process's end.
    if (!host->startSemaphore.tryAcquire(1, StartWaitMs))
        return false;

    if (!thread->success) {
        const bool console = thread->console;
        thread->wait();
        delete thread;
        destroyHostData();
        // Started from a console: ask the manager to start the installed service.
        return console ? controller.start(arguments.mid(1)) : false;
    }

    // The application keeps pointers into these until it is deleted below.
    QList<QByteArray> argvData;
    std::vector<char *> argv;
    int argc = 0;
    QCoreApplication *app = createApplicationFrom(host->serviceArguments, argvData, argv, argc);
    if (!app)
        return false;

    QAbstractEventDispatcher::instance()->installNativeEventFilter(qtServiceAppEventFilter());
    host->controllerHandler = new QtServiceControllerHandler(host);
    host->startSemaphore2.release();

    const int exitCode = callExecuteApplication();
    {
        // A request that arrived too late to be handled must not wait for ever.
        QMutexLocker locker(&host->mutex);
        host->loopEnded = true;
        host->condition.wakeAll();
    }
    host->reportStopped(DWORD(exitCode));

    if (thread->isRunning())
        thread->wait(ThreadWaitMs);
    {
        QMutexLocker locker(&host->mutex);
        delete host->controllerHandler;
        host->controllerHandler = nullptr;
    }
    if (thread->isFinished())
        delete thread;

    delete app;
    destroyHostData();
    return true;
}

void QtServiceBase::logMessage(const QString &message, MessageType type, int id, uint category,
                               const QByteArray &data)
{
    if (!loadServiceApi())
        return;

    WORD eventType;
    switch (type) {
    case Error:
        eventType = EVENTLOG_ERROR_TYPE;
        break;
    case Warning:
        eventType = EVENTLOG_WARNING_TYPE;
        break;
    case Information:
        eventType = EVENTLOG_INFORMATION_TYPE;
        break;
    default:
        eventType = EVENTLOG_SUCCESS;
        break;
    }

    const std::wstring source = toWide(serviceName());
    HANDLE handle = pRegisterEventSource(nullptr, source.c_str());
    if (!handle)
        return;
    const std::wstring text = toWide(message);
    LPCWSTR strings[1] = {text.c_str()};
    QByteArray raw = data;
    pReportEvent(handle, eventType, WORD(category), DWORD(id), nullptr, 1, DWORD(raw.size()),
                 strings, raw.isEmpty() ? nullptr : raw.data());
    pDeregisterEventSource(handle);
}

#include "qtservicehost.moc"
