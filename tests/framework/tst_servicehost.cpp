// The framework under a real private manager daemon: install and uninstall, the
// console start, every control request and the states reported for it, and the
// end of a run.
#include "qtservice.h"
#include "qtservice_p.h"
#include "servicecopy.h"
#include "svcmgrdaemon.h"

#include <QtTest>

namespace {
const QString DefaultName = QStringLiteral("Sarvela Test Service");

struct Handles
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    Handles(const QString &name, DWORD access)
    {
        using namespace QtServiceApi;
        if (!loadServiceApi())
            return;
        manager = pOpenSCManager(nullptr, nullptr, 0);
        if (manager)
            service = pOpenService(manager, name.toStdWString().c_str(), access);
    }
    ~Handles()
    {
        if (service)
            QtServiceApi::pCloseServiceHandle(service);
        if (manager)
            QtServiceApi::pCloseServiceHandle(manager);
    }
};

bool queryStatus(const QString &name, SERVICE_STATUS *status)
{
    Handles h(name, SERVICE_QUERY_STATUS);
    return h.service && QtServiceApi::pQueryServiceStatus(h.service, status);
}

DWORD stateOf(const QString &name)
{
    SERVICE_STATUS status;
    return queryStatus(name, &status) ? status.dwCurrentState : 0;
}

bool waitForState(const QString &name, DWORD state, int timeoutMs = 15000)
{
    QElapsedTimer t;
    t.start();
    do {
        if (stateOf(name) == state)
            return true;
        QThread::msleep(20);
    } while (t.elapsed() < timeoutMs);
    return false;
}

DWORD registeredServiceType(const QString &name)
{
    Handles h(name, SERVICE_QUERY_CONFIG);
    if (!h.service)
        return 0;
    quint64 buffer[1024];
    DWORD needed = 0;
    auto *config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer);
    return QtServiceApi::pQueryServiceConfig(h.service, config, sizeof buffer, &needed)
               ? config->dwServiceType
               : 0;
}
} // namespace

class tst_ServiceHost : public QObject
{
    Q_OBJECT

private slots:
    void installAndUninstall_data();
    void installAndUninstall();
    void registeredAccount_data();
    void registeredAccount();
    void controlRequests();
    void endOfRun_data();
    void endOfRun();
    void slowStopper();
    void consoleStart_data();
    void consoleStart();
    void correctedNameReachesManager_data();
    void correctedNameReachesManager();
    void deletingRunningService();
    void eventLogEntry();
};

#define START_MANAGER(manager)                                                                     \
    SvcMgrDaemon manager;                                                                          \
    {                                                                                              \
        QString error;                                                                             \
        QVERIFY2(manager.start(&error), qPrintable(error));                                        \
    }

void tst_ServiceHost::installAndUninstall_data()
{
    QTest::addColumn<bool>("automatic");
    QTest::addColumn<QString>("description");
    QTest::newRow("manual start with description") << false << "A test description";
    QTest::newRow("automatic start without description") << true << QString();
}

void tst_ServiceHost::installAndUninstall()
{
    QFETCH(bool, automatic);
    QFETCH(QString, description);
    START_MANAGER(manager);
    ServiceCopy service;
    QVERIFY(service.isValid());
    service.configure({{"automatic", automatic}, {"description", description}});

    ServiceCopy::Result r = service.run({"-i"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, "The service Sarvela Test Service has been installed under: " +
                        service.program().toLatin1() + "\n");
    QCOMPARE(r.err, QByteArray());

    QtServiceController controller(DefaultName);
    QVERIFY(controller.isInstalled());
    QVERIFY(!controller.isRunning());
    // Quoted, so that a path with blanks cannot name another program.
    QCOMPARE(controller.serviceFilePath(), '"' + service.program() + '"');
    QCOMPARE(controller.serviceDescription(), description);
    QCOMPARE(controller.startupType(),
             automatic ? QtServiceController::AutomaticStart : QtServiceController::ManualStart);

    r = service.run({"-install"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray());
    QCOMPARE(r.err, QByteArray("The service Sarvela Test Service is already installed\n"));

    r = service.run({"-v"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.endsWith("\n\nis installed and not running\n\n"));

    r = service.run({"-u"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray("The service Sarvela Test Service has been uninstalled.\n"));
    QVERIFY(!controller.isInstalled());
    QCOMPARE(controller.serviceFilePath(), QString());

    r = service.run({"-uninstall"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QByteArray("The service Sarvela Test Service is not installed\n"));

    // The static install runs the program with -i and reads its exit code.
    QVERIFY(QtServiceController::install(service.program()));
    QVERIFY(controller.isInstalled());
    QVERIFY(QtServiceController::install(service.program())); // already installed is fine
    QVERIFY(!QtServiceController::install(service.dir() + "/missing"));
}

void tst_ServiceHost::registeredAccount_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<uint>("serviceType");
    QTest::newRow("no account: local system, interactive") << QStringList{"-i"} << 0x110u;
    QTest::newRow("empty account and password") << QStringList{"-i", "", ""} << 0x110u;
    QTest::newRow("any prefix before LocalSystem keeps local system")
        << QStringList{"-i", "SOMEWHERE\\LocalSystem", "ignored"} << 0x110u;
}

void tst_ServiceHost::registeredAccount()
{
    QFETCH(QStringList, args);
    QFETCH(uint, serviceType);
    START_MANAGER(manager);
    ServiceCopy service;
    QVERIFY(service.isValid());
    const ServiceCopy::Result r = service.run(args);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(uint(registeredServiceType(DefaultName)), serviceType);
}

void tst_ServiceHost::controlRequests()
{
    START_MANAGER(manager);
    ServiceCopy service;
    QVERIFY(service.isValid());
    QCOMPARE(service.run({"-i"}).exitCode, 0);

    // Started from a console: the program asks the manager and returns at once.
    ServiceCopy::Result r = service.run({"hello"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QByteArray());
    QVERIFY(service.waitForLog("start "));
    // start() runs while the manager still says START_PENDING; the arguments are the
    // manager's, with the service name first.
    QCOMPARE(service.log().value(0), QStringLiteral("start 2 Sarvela Test Service hello"));
    QVERIFY(waitForState(DefaultName, SERVICE_RUNNING));
    QtServiceController controller(DefaultName);
    QVERIFY(controller.isRunning());

    QCOMPARE(service.run({"-p"}).exitCode, 0);
    QCOMPARE(stateOf(DefaultName), DWORD(SERVICE_PAUSED));
    QCOMPARE(service.run({"-r"}).exitCode, 0);
    QCOMPARE(stateOf(DefaultName), DWORD(SERVICE_RUNNING));
    QCOMPARE(service.run({"-c", "72"}).exitCode, 0);
    QCOMPARE(service.run({"-c", "200"}).exitCode, 0); // refused before the manager
    QVERIFY(!controller.sendCommand(128));
    QVERIFY(!controller.sendCommand(-1));
    QVERIFY(controller.sendCommand(0));

    // Codes outside the user range never reach the service.
    {
        Handles h(DefaultName, SERVICE_ALL_ACCESS);
        SERVICE_STATUS status;
        QVERIFY(!QtServiceApi::pControlService(h.service, 100, &status));
        QVERIFY(!QtServiceApi::pControlService(h.service, 300, &status));
        QVERIFY(QtServiceApi::pControlService(h.service, SERVICE_CONTROL_INTERROGATE, &status));
        QCOMPARE(status.dwCurrentState, DWORD(SERVICE_RUNNING));
        QCOMPARE(status.dwControlsAccepted,
                 DWORD(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE));
    }

    // Changing the flags while running changes the accepted controls at once.
    QVERIFY(controller.sendCommand(5));
    {
        Handles h(DefaultName, SERVICE_ALL_ACCESS);
        SERVICE_STATUS status;
        QVERIFY(QtServiceApi::pControlService(h.service, SERVICE_CONTROL_INTERROGATE, &status));
        QCOMPARE(status.dwControlsAccepted, DWORD(SERVICE_ACCEPT_STOP));
    }
    QVERIFY(!controller.pause());

    r = service.run({"-t"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QByteArray());
    SERVICE_STATUS status;
    QVERIFY(queryStatus(DefaultName, &status));
    QCOMPARE(status.dwCurrentState, DWORD(SERVICE_STOPPED));
    QCOMPARE(status.dwWin32ExitCode, DWORD(0));

    // Each operation ran once, in the pending state of its request.
    const QStringList expected = {"start 2 Sarvela Test Service hello",
                                  "pause 6",
                                  "resume 5",
                                  "command 72 4",
                                  "command 0 4",
                                  "command 5 4",
                                  "stop 3"};
    QCOMPARE(service.log(), expected);
}

void tst_ServiceHost::endOfRun_data()
{
    QTest::addColumn<QStringList>("startArgs");
    QTest::addColumn<QStringList>("request");
    QTest::addColumn<uint>("exitCode");
    QTest::newRow("stop request") << QStringList{} << QStringList{"-t"} << 0u;
    QTest::newRow("service quits itself with 42")
        << QStringList{"quit", "42"} << QStringList{} << 42u;
    QTest::newRow("crash") << QStringList{} << QStringList{"-c", "99"} << 1067u;
}

void tst_ServiceHost::endOfRun()
{
    QFETCH(QStringList, startArgs);
    QFETCH(QStringList, request);
    QFETCH(uint, exitCode);
    START_MANAGER(manager);
    ServiceCopy service;
    QVERIFY(service.isValid());
    QCOMPARE(service.run({"-i"}).exitCode, 0);
    QtServiceController controller(DefaultName);
    QVERIFY(controller.start(startArgs));
    QVERIFY(service.waitForLog("start "));
    if (!request.isEmpty()) {
        QVERIFY(waitForState(DefaultName, SERVICE_RUNNING));
        service.run(request);
    }
    QVERIFY(waitForState(DefaultName, SERVICE_STOPPED));
    // Nothing may overwrite the final report once the run has ended.
    QThread::msleep(300);
    SERVICE_STATUS status;
    QVERIFY(queryStatus(DefaultName, &status));
    QCOMPARE(status.dwCurrentState, DWORD(SERVICE_STOPPED));
    QCOMPARE(uint(status.dwWin32ExitCode), exitCode);
    QVERIFY(!controller.isRunning());
}

void tst_ServiceHost::slowStopper()
{
    START_MANAGER(manager);
    ServiceCopy service;
    QVERIFY(service.isValid());
    service.configure({{"stopDelayMs", 4000}});
    QCOMPARE(service.run({"-i"}).exitCode, 0);
    QVERIFY(QtServiceController(DefaultName).start());
    QVERIFY(waitForState(DefaultName, SERVICE_RUNNING));

    QElapsedTimer t;
    t.start();
    const ServiceCopy::Result r = service.run({"-t"});
    const qint64 elapsed = t.elapsed();
    // The controller gives up after its ten polls, before the service has stopped.
    QCOMPARE(stateOf(DefaultName), DWORD(SERVICE_STOP_PENDING));
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.startsWith("The service could not be stopped."), r.err.constData());
    QVERIFY2(elapsed >= 1900, qPrintable(QString::number(elapsed)));
    QVERIFY(waitForState(DefaultName, SERVICE_STOPPED));
}

void tst_ServiceHost::consoleStart_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("startLine");
    QTest::newRow("installed, no argument")
        << true << QStringList{} << 0 << "start 2 Sarvela Test Service";
    QTest::newRow("unrecognised option becomes first start argument")
        << true << QStringList{"-I", "x"} << 0 << "start 2 Sarvela Test Service -I x";
    QTest::newRow("not installed") << false << QStringList{} << 252 << QString();
}

void tst_ServiceHost::consoleStart()
{
    QFETCH(bool, installed);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, startLine);
    START_MANAGER(manager);
    ServiceCopy service;
    QVERIFY(service.isValid());
    if (installed)
        QCOMPARE(service.run({"-i"}).exitCode, 0);

    const ServiceCopy::Result r = service.run(args);
    QCOMPARE(r.exitCode, exitCode);
    if (!installed) {
        QCOMPARE(r.err, QByteArray("The service Sarvela Test Service could not start\n"));
        QCOMPARE(service.log(), QStringList());
        return;
    }
    QVERIFY(service.waitForLog("start "));
    QCOMPARE(service.log(), QStringList{startLine});
    QVERIFY(waitForState(DefaultName, SERVICE_RUNNING));
    QVERIFY(QtServiceController(DefaultName).stop());
}

void tst_ServiceHost::correctedNameReachesManager_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("registered");
    QTest::newRow("backslash") << "a\\b"
                               << "a";
    QTest::newRow("300 characters")
        << QString(300, QLatin1Char('n')) << QString(255, QLatin1Char('n'));
}

void tst_ServiceHost::correctedNameReachesManager()
{
    QFETCH(QString, name);
    QFETCH(QString, registered);
    START_MANAGER(manager);
    ServiceCopy service;
    QVERIFY(service.isValid());
    service.configure({{"name", name}});
    const ServiceCopy::Result r = service.run({"-i"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.startsWith("The service " + registered.toLatin1() + " has been installed"));
    QtServiceController controller(registered);
    QVERIFY(controller.isInstalled());
    QVERIFY(controller.start());
    QVERIFY(waitForState(registered, SERVICE_RUNNING));
    QVERIFY(controller.stop());
    QCOMPARE(service.run({"-u"}).exitCode, 0);
    QVERIFY(!controller.isInstalled());
}

void tst_ServiceHost::deletingRunningService()
{
    START_MANAGER(manager);
    ServiceCopy service;
    QVERIFY(service.isValid());
    QCOMPARE(service.run({"-i"}).exitCode, 0);
    QtServiceController controller(DefaultName);
    QVERIFY(controller.start());
    QVERIFY(waitForState(DefaultName, SERVICE_RUNNING));

    const ServiceCopy::Result r = service.run({"-u"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray("The service Sarvela Test Service has been uninstalled.\n"));
    // A service marked for deletion keeps running until it is stopped.
    QVERIFY(controller.isRunning());
    QVERIFY(controller.stop());
    QTRY_VERIFY_WITH_TIMEOUT(!controller.isInstalled(), 10000);
}

void tst_ServiceHost::eventLogEntry()
{
    START_MANAGER(manager);
    ServiceCopy service;
    QVERIFY(service.isValid());
    // logMessage needs no service run: it works in the -e mode too.
    QCOMPARE(service.run({"-e", "log", "quit", "0"}).exitCode, 0);
    QFile events(manager.dir() + "/events.log");
    QVERIFY(events.open(QIODevice::ReadOnly));
    const QByteArray text = events.readAll();
    QVERIFY2(text.contains("Sarvela Test Service") && text.contains("test entry"),
             text.constData());
}

QTEST_GUILESS_MAIN(tst_ServiceHost)
#include "tst_servicehost.moc"
