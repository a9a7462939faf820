// Service framework: a program that runs as a service under the service control
// manager, and a controller with which any program installs, queries and controls one.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

class QtServiceControllerData;

class QtServiceController
{
public:
    enum StartupType { AutomaticStart = 0, ManualStart = 1 };

    explicit QtServiceController(const QString &name);
    virtual ~QtServiceController();

    bool isInstalled() const;
    bool isRunning() const;

    QString serviceName() const;
    QString serviceDescription() const;
    StartupType startupType() const;
    QString serviceFilePath() const;

    static bool install(const QString &serviceFilePath, const QString &account = QString(),
                        const QString &password = QString());
    bool uninstall();

    bool start(const QStringList &arguments);
    bool start();
    bool stop();
    bool pause();
    bool resume();
    bool sendCommand(int code);

    // Why the calling thread's last call of this controller failed, as the
    // service manager put it: its error code (0 for none) and text. install()
    // runs the service program and leaves it unset.
    struct Error
    {
        uint code = 0;
        QString text;
        // The manager could not be reached at all (not running, or its library missing):
        // then nothing is known about the service, not even whether it is installed.
        bool managerUnreachable() const;
    };
    static Error lastError();

    // Whether the calling user may register services: the manager grants them the right to
    // create one. False also when the manager cannot be reached; lastError() says why.
    static bool mayInstall();

private:
    Q_DISABLE_COPY(QtServiceController)
    QtServiceControllerData *d_ptr;
};

class QtServiceBaseData;

class QtServiceBase
{
public:
    enum MessageType { Success = 0, Error = 1, Warning = 2, Information = 3 };

    enum ServiceFlag { Suspendable = 0x01, NotStoppable = 0x02, StopOnShutdown = 0x04 };
    Q_DECLARE_FLAGS(ServiceFlags, ServiceFlag)

    typedef QtServiceController::StartupType StartupType;
    static constexpr StartupType AutomaticStart = QtServiceController::AutomaticStart;
    static constexpr StartupType ManualStart = QtServiceController::ManualStart;

    QtServiceBase(int argc, char **argv, const QString &name);
    virtual ~QtServiceBase();

    QString serviceName() const;

    QString serviceDescription() const;
    void setServiceDescription(const QString &description);

    StartupType startupType() const;
    void setStartupType(StartupType startupType);

    ServiceFlags serviceFlags() const;
    void setServiceFlags(ServiceFlags flags);

    int exec();

    void logMessage(const QString &message, MessageType type = Success, int id = 0,
                    uint category = 0, const QByteArray &data = QByteArray());

    static QtServiceBase *instance();

protected:
    virtual void start() = 0;
    virtual void stop();
    virtual void pause();
    virtual void resume();
    virtual void processCommand(int code);

    virtual void createApplication(int &argc, char **argv) = 0;
    virtual int executeApplication() = 0;

private:
    friend class QtServiceBaseData;
    friend class QtServiceStarter;
    friend class QtServiceControllerHandler;
    friend class QtServiceController;
    Q_DISABLE_COPY(QtServiceBase)
    QtServiceBaseData *d_ptr;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(QtServiceBase::ServiceFlags)

template <typename Application> class QtService : public QtServiceBase
{
public:
    QtService(int argc, char **argv, const QString &name)
        : QtServiceBase(argc, argv, name), app(nullptr)
    {
    }
    ~QtService() override {}

protected:
    Application *application() const { return app; }

    void createApplication(int &argc, char **argv) override { app = new Application(argc, argv); }

    int executeApplication() override { return Application::exec(); }

private:
    Application *app;
};
