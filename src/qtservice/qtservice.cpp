// The service base: name checks, the command line, and running as a plain application.
#include "qtservice_p.h"

#include <QByteArray>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <vector>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {
QtServiceBase *g_instance = nullptr;

// Every platform call and printed message sees the name end at the first NUL.
QByteArray latin1Name(const QString &name)
{
    return name.toLatin1();
}

const char usageText[] =
    "\n%s -[i|u|e|s|v|h]\n"
    "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account "
    "and password\n"
    "\t-u(ninstall)\t: Uninstall the service.\n"
    "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
    "\t-t(erminate)\t: Stop the service.\n"
    "\t-c(ommand) num\t: Send command code num to the service.\n"
    "\t-v(ersion)\t: Print version and status information.\n"
    "\t-h(elp)   \t: Show this help\n"
    "\tNo arguments\t: Start the service.\n";

constexpr uint ServiceDoesNotExist = 1060; // an answer, not a failure, for -v

// One line on standard error when the manager could not be reached or refused a request;
// standard output and the exit codes stay as they are, since scripts read them.
void tellManagerError(const QtServiceController::Error &error, const QByteArray &failed)
{
    if (error.managerUnreachable()) {
        fprintf(stderr, "The service manager could not be reached: %s\n",
                error.text.toLatin1().constData());
        return;
    }
    // A command that the controller did not send because the service is not running.
    const QByteArray reason =
        error.code ? error.text.toLatin1() : QByteArrayLiteral("The service is not running.");
    fprintf(stderr, "%s: %s\n", failed.constData(), reason.constData());
}
} // namespace

QtServiceBaseData::QtServiceBaseData(QtServiceBase *owner, const QString &name)
    : owner(owner), controller(name)
{
}

QString QtServiceBaseData::executablePath()
{
#ifdef Q_OS_WIN
    wchar_t path[260];
    const DWORD len = GetModuleFileNameW(nullptr, path, 260);
    return QString::fromWCharArray(path, int(len));
#else
    char path[4096];
    const ssize_t len = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (len <= 0)
        return QString();
    return QString::fromLocal8Bit(path, int(len));
#endif
}

QCoreApplication *QtServiceBaseData::createApplicationFrom(const QStringList &args,
                                                           QList<QByteArray> &argvData,
                                                           std::vector<char *> &argv, int &argc)
{
    for (const QString &arg : args)
        argvData.append(arg.toLocal8Bit());
    for (QByteArray &bytes : argvData)
        argv.push_back(bytes.data());
    argv.push_back(nullptr);
    argc = argvData.size();
    callCreateApplication(argc, argv.data());
    return QCoreApplication::instance();
}

int QtServiceBaseData::runAsApplication(const QStringList &args)
{
    QList<QByteArray> argvData;
    std::vector<char *> argv;
    int argc = 0;
    QCoreApplication *app = createApplicationFrom(args, argvData, argv, argc);
    if (!app)
        return -1;

    QtServiceStarter starter(this);
    QTimer::singleShot(0, &starter, &QtServiceStarter::slotStart);
    const int result = callExecuteApplication();
    delete app;
    return result;
}

QtServiceBase::QtServiceBase(int argc, char **argv, const QString &name)
{
    g_instance = this;

    QString nm = name;
    if (nm.length() > 255) {
        qWarning("QtService: 'name' is longer than 255 characters.");
        nm.truncate(255);
    }
    if (nm.contains(QLatin1Char('\\'))) {
        qWarning("QtService: 'name' contains backslashes '\\'.");
        nm.replace(QLatin1Char('\\'), QChar(0));
    }

    d_ptr = new QtServiceBaseData(this, nm);
    for (int i = 0; i < argc; ++i)
        d_ptr->arguments.append(argv[i] ? QString::fromLocal8Bit(argv[i]) : QString());
}

QtServiceBase::~QtServiceBase()
{
    delete d_ptr;
    g_instance = nullptr;
}

QString QtServiceBase::serviceName() const
{
    return d_ptr->controller.serviceName();
}

QString QtServiceBase::serviceDescription() const
{
    return d_ptr->description;
}

void QtServiceBase::setServiceDescription(const QString &description)
{
    d_ptr->description = description;
}

QtServiceBase::StartupType QtServiceBase::startupType() const
{
    return StartupType(d_ptr->startupType);
}

void QtServiceBase::setStartupType(StartupType type)
{
    d_ptr->startupType = type;
}

QtServiceBase::ServiceFlags QtServiceBase::serviceFlags() const
{
    return ServiceFlags(d_ptr->flags);
}

void QtServiceBase::setServiceFlags(ServiceFlags flags)
{
    if (d_ptr->flags == int(flags))
        return;
    d_ptr->flags = int(flags);
    if (d_ptr->host)
        d_ptr->flagsChanged();
}

QtServiceBase *QtServiceBase::instance()
{
    return g_instance;
}

void QtServiceBase::stop() {}
void QtServiceBase::pause() {}
void QtServiceBase::resume() {}
void QtServiceBase::processCommand(int) {}

int QtServiceBase::exec()
{
    const QStringList &args = d_ptr->arguments;
    const QByteArray name = latin1Name(serviceName());
    const QString option = args.size() > 1 ? args.at(1) : QString();
    auto is = [&option](const char *shortForm, const char *longForm) {
        return option == QLatin1String(shortForm) || option == QLatin1String(longForm);
    };

    if (args.size() > 1) {
        if (is("-i", "-install")) {
            if (d_ptr->controller.isInstalled()) {
                fprintf(stderr, "The service %s is already installed\n", name.constData());
                return 0;
            }
            const QString account = args.size() > 2 ? args.at(2) : QString();
            const QString password = args.size() > 3 ? args.at(3) : QString();
            if (d_ptr->installSelf(account, password)) {
                fprintf(stdout, "The service %s has been installed under: %s\n", name.constData(),
                        QtServiceBaseData::executablePath().toLatin1().constData());
                return 0;
            }
            fprintf(stderr, "The service %s could not be installed\n", name.constData());
            return -1;
        }
        if (is("-u", "-uninstall")) {
            if (!d_ptr->controller.isInstalled()) {
                fprintf(stderr, "The service %s is not installed\n", name.constData());
                return 0;
            }
            if (!d_ptr->controller.uninstall()) {
                fprintf(stderr, "The service %s could not be uninstalled\n", name.constData());
                return -1;
            }
            fprintf(stdout, "The service %s has been uninstalled.\n", name.constData());
            return 0;
        }
        if (is("-v", "-version")) {
            fprintf(stdout, "The service\n\t%s\n\t%s\n\n", name.constData(),
                    args.at(0).toLatin1().constData());
            const bool installed = d_ptr->controller.isInstalled();
            QtServiceController::Error error = QtServiceController::lastError();
            fprintf(stdout, "is %s", installed ? "installed" : "not installed");
            const bool running = d_ptr->controller.isRunning();
            if (installed)
                error = QtServiceController::lastError();
            fprintf(stdout, " and %s\n\n", running ? "running" : "not running");
            if (!running && error.code != 0 && error.code != ServiceDoesNotExist)
                tellManagerError(error, "The service " + name + " could not be queried");
            return 0;
        }
        if (is("-e", "-exec")) {
            QStringList appArgs = args;
            appArgs.removeAt(1);
            const int result = d_ptr->runAsApplication(appArgs);
            if (result == -1)
                systemErrorWarning("The service could not be executed.");
            return result;
        }
        if (is("-t", "-terminate")) {
            if (!d_ptr->controller.stop())
                systemErrorWarning("The service could not be stopped.");
            return 0;
        }
        if (is("-p", "-pause")) {
            if (!d_ptr->controller.pause())
                tellManagerError(QtServiceController::lastError(),
                                 "The service " + name + " could not be paused");
            return 0;
        }
        if (is("-r", "-resume")) {
            if (!d_ptr->controller.resume())
                tellManagerError(QtServiceController::lastError(),
                                 "The service " + name + " could not be resumed");
            return 0;
        }
        if (is("-c", "-command")) {
            const int code = args.size() > 2 ? args.at(2).toInt(nullptr, 10) : 0;
            // A code out of range is refused before the manager is asked, silently.
            if (!d_ptr->controller.sendCommand(code) && uint(code) <= 127)
                tellManagerError(QtServiceController::lastError(),
                                 "The service " + name + " could not be sent command " +
                                     QByteArray::number(code));
            return 0;
        }
        if (is("-h", "-help")) {
            fprintf(stdout, usageText, args.at(0).toLatin1().constData());
            return 0;
        }
    }

    if (!d_ptr->startAsService()) {
        fprintf(stderr, "The service %s could not start\n", name.constData());
        return -4;
    }
    return 0;
}
