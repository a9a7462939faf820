// Installs, queries and controls one service through the service control manager.
// Every call opens its handles, does its work and closes them again.
#include "qtservice_p.h"

#include <QProcess>
#include <QThread>

#include <vector>

using namespace QtServiceApi;

namespace {
// One handle of the manager's, closed when it goes out of scope. Closing keeps the
// last error of the real work, which callers report.
class ScHandle
{
public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : m_handle(handle) {}
    ~ScHandle()
    {
        if (!m_handle)
            return;
        const DWORD error = serviceApiLastError();
        pCloseServiceHandle(m_handle);
        setServiceApiLastError(error);
    }
    SC_HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    Q_DISABLE_COPY(ScHandle)
    SC_HANDLE m_handle;
};

// Scoped manager and service handles; the service handle is closed first.
class ServiceHandles
{
public:
    ServiceHandles(const QString &name, DWORD managerAccess, DWORD serviceAccess)
        : m_manager(openManager(managerAccess)),
          m_service(m_manager ? pOpenService(m_manager.get(), toWide(name).c_str(), serviceAccess)
                              : nullptr)
    {
    }
    // Every call starts clean, so that a failure of its own without a manager error is
    // never reported with an older call's.
    static SC_HANDLE openManager(DWORD access)
    {
        if (!loadServiceApi())
            return nullptr;
        setServiceApiLastError(0);
        return pOpenSCManager(nullptr, nullptr, access);
    }
    SC_HANDLE service() const { return m_service.get(); }

private:
    Q_DISABLE_COPY(ServiceHandles)
    // Declared in this order so that the service handle is closed first.
    ScHandle m_manager;
    ScHandle m_service;
};

constexpr DWORD ConfigBufferSize = 8192;
constexpr DWORD DescriptionBufferSize = 8096;

bool queryConfig(const QString &name, std::vector<quint64> *buffer)
{
    ServiceHandles h(name, 0, SERVICE_QUERY_CONFIG);
    if (!h.service())
        return false;
    buffer->assign(ConfigBufferSize / sizeof(quint64), 0);
    DWORD needed = 0;
    return pQueryServiceConfig(h.service(),
                               reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer->data()),
                               ConfigBufferSize, &needed);
}

bool control(const QString &name, DWORD access, DWORD code)
{
    ServiceHandles h(name, SC_MANAGER_CONNECT, access);
    if (!h.service())
        return false;
    SERVICE_STATUS status;
    return pControlService(h.service(), code, &status);
}
} // namespace

QtServiceController::QtServiceController(const QString &name) : d_ptr(new QtServiceControllerData)
{
    d_ptr->serviceName = name;
    d_ptr->owner = this;
}

QtServiceController::~QtServiceController()
{
    delete d_ptr;
}

QString QtServiceController::serviceName() const
{
    return d_ptr->serviceName;
}

bool QtServiceController::isInstalled() const
{
    ServiceHandles h(d_ptr->serviceName, 0, SERVICE_QUERY_CONFIG);
    return h.service() != nullptr;
}

bool QtServiceController::isRunning() const
{
    ServiceHandles h(d_ptr->serviceName, 0, SERVICE_QUERY_STATUS);
    if (!h.service())
        return false;
    SERVICE_STATUS status;
    if (!pQueryServiceStatus(h.service(), &status))
        return false;
    return status.dwCurrentState != SERVICE_STOPPED;
}

QString QtServiceController::serviceFilePath() const
{
    std::vector<quint64> buffer;
    if (!queryConfig(d_ptr->serviceName, &buffer))
        return QString();
    return fromWide(reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data())->lpBinaryPathName);
}

QString QtServiceController::serviceDescription() const
{
    ServiceHandles h(d_ptr->serviceName, 0, SERVICE_QUERY_CONFIG);
    if (!h.service())
        return QString();
    std::vector<quint64> buffer(DescriptionBufferSize / sizeof(quint64), 0);
    DWORD needed = 0;
    if (!pQueryServiceConfig2(h.service(), SERVICE_CONFIG_DESCRIPTION,
                              reinterpret_cast<LPBYTE>(buffer.data()), DescriptionBufferSize,
                              &needed))
        return QString();
    return fromWide(reinterpret_cast<LPSERVICE_DESCRIPTIONW>(buffer.data())->lpDescription);
}

QtServiceController::StartupType QtServiceController::startupType() const
{
    std::vector<quint64> buffer;
    if (!queryConfig(d_ptr->serviceName, &buffer))
        return ManualStart;
    const DWORD type = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data())->dwStartType;
    return type == SERVICE_DEMAND_START ? ManualStart : AutomaticStart;
}

bool QtServiceController::install(const QString &serviceFilePath, const QString &account,
                                  const QString &password)
{
    const QStringList arguments = {QStringLiteral("-i"), account, password};
    return QProcess::execute(serviceFilePath, arguments) == 0;
}

bool QtServiceController::uninstall()
{
    ServiceHandles h(d_ptr->serviceName, SC_MANAGER_ALL_ACCESS, DELETE);
    if (!h.service())
        return false;
    return pDeleteService(h.service());
}

bool QtServiceController::start(const QStringList &arguments)
{
    ServiceHandles h(d_ptr->serviceName, SC_MANAGER_CONNECT, SERVICE_START);
    if (!h.service())
        return false;
    std::vector<std::wstring> wide;
    for (const QString &arg : arguments)
        wide.push_back(toWide(arg));
    std::vector<LPCWSTR> argv;
    for (const std::wstring &arg : wide)
        argv.push_back(arg.c_str());
    return pStartService(h.service(), DWORD(argv.size()), argv.empty() ? nullptr : argv.data());
}

bool QtServiceController::start()
{
    return start(QStringList());
}

bool QtServiceController::stop()
{
    ServiceHandles h(d_ptr->serviceName, SC_MANAGER_CONNECT, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!h.service())
        return false;
    SERVICE_STATUS status;
    if (!pControlService(h.service(), SERVICE_CONTROL_STOP, &status)) {
        systemErrorWarning("stopping");
        return false;
    }
    if (status.dwCurrentState == SERVICE_STOPPED)
        return true;
    // The service keeps stopping on its own after we give up; only the answer is false.
    for (int i = 0; i < 10; ++i) {
        QThread::msleep(200);
        if (!pQueryServiceStatus(h.service(), &status))
            return false;
        if (status.dwCurrentState == SERVICE_STOPPED)
            return true;
    }
    setServiceApiLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return false;
}

bool QtServiceController::pause()
{
    return control(d_ptr->serviceName, SERVICE_PAUSE_CONTINUE, SERVICE_CONTROL_PAUSE);
}

bool QtServiceController::resume()
{
    return control(d_ptr->serviceName, SERVICE_PAUSE_CONTINUE, SERVICE_CONTROL_CONTINUE);
}

bool QtServiceController::sendCommand(int code)
{
    if (!loadServiceApi())
        return false;
    if (uint(code) > 127)
        return false;
    if (!isRunning())
        return false;
    return control(d_ptr->serviceName, SERVICE_USER_DEFINED_CONTROL, DWORD(code) + 128);
}

namespace {
constexpr uint ModuleNotFound = 126;     // ERROR_MOD_NOT_FOUND
constexpr uint ServerUnavailable = 1722; // RPC_S_SERVER_UNAVAILABLE
} // namespace

QtServiceController::Error QtServiceController::lastError()
{
    if (!QtServiceApi::available())
        return {ModuleNotFound,
                QStringLiteral("The service manager's library could not be loaded.")};
    const DWORD code = serviceApiLastError();
    return {uint(code), code ? serviceApiErrorText(code) : QString()};
}

bool QtServiceController::Error::managerUnreachable() const
{
    return code == ServerUnavailable || code == ModuleNotFound;
}

bool QtServiceController::mayInstall()
{
    const ScHandle manager(ServiceHandles::openManager(SC_MANAGER_CREATE_SERVICE));
    return bool(manager);
}

bool QtServiceBaseData::installSelf(const QString &account, const QString &password)
{
    if (!loadServiceApi())
        return false;
    const ScHandle manager(pOpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return false;

    const DWORD startType = startupType == QtServiceController::AutomaticStart
                                ? SERVICE_AUTO_START
                                : SERVICE_DEMAND_START;
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    std::wstring wAccount;
    std::wstring wPassword;
    bool useAccount = false;
    bool usePassword = false;
    if (!account.isEmpty()) {
        QString act = account;
        if (!act.contains(QLatin1Char('\\')))
            act.prepend(QLatin1String(".\\"));
        if (!act.endsWith(QLatin1String("\\LocalSystem"))) {
            wAccount = toWide(act);
            useAccount = true;
            serviceType = SERVICE_WIN32_OWN_PROCESS;
            if (!password.isEmpty()) {
                wPassword = toWide(password);
                usePassword = true;
            }
        }
    }

    // Quoted, so that a path with blanks cannot be resolved to another program.
    const std::wstring path = toWide(QLatin1Char('"') + executablePath() + QLatin1Char('"'));
    const std::wstring name = toWide(controller.serviceName());
    const ScHandle service(pCreateService(
        manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, serviceType, startType,
        SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr,
        useAccount ? wAccount.c_str() : nullptr, usePassword ? wPassword.c_str() : nullptr));
    if (!service)
        return false;
    if (!description.isEmpty()) {
        std::wstring wDescription = toWide(description);
        SERVICE_DESCRIPTIONW info;
        info.lpDescription = &wDescription[0];
        pChangeServiceConfig2(service.get(), SERVICE_CONFIG_DESCRIPTION, &info);
    }
    return true;
}
