// The framework through a small test service: its command line without a manager,
// and its life under a private manager daemon.
#include "qtservice.h"
#include "qtservice_p.h"
#include "svcmgrdaemon.h"
#include "testfiles.h"

#include <QtTest>

namespace {
const QString Name = QStringLiteral("Sarvela Test Service");

// The test service copied into a folder of its own, so that its settings and its
// record of calls belong to one test. The framework loads the manager library from
// the executable's folder, so it goes beside the copy when asked.
class ServiceCopy
{
public:
    explicit ServiceCopy(bool withLibrary = true)
    {
        const QString bin = QStringLiteral(SARVELA_BIN_DIR);
        m_ok = m_dir.isValid() && QFile::copy(bin + "/testservice", program()) &&
               (!withLibrary || QFile::copy(bin + "/libsvcmgr.so", m_dir.filePath("libsvcmgr.so")));
    }
    bool isValid() const { return m_ok; }
    QString program() const { return m_dir.filePath("testservice"); }
    void set(const QString &key, const QVariant &value) const
    {
        QSettings(program() + ".ini", QSettings::IniFormat).setValue(key, value);
    }
    QStringList log() const { return readLines(program() + ".log"); }
    // Runs the program; empty when it ended with exitCode, printed exactly out and
    // its error output starts with errStart (or is empty when errStart is), else what it did.
    QString expect(const QStringList &args, int exitCode, const QByteArray &out = {},
                   const QByteArray &errStart = {}) const
    {
        QProcess p;
        p.start(program(), args);
        if (!p.waitForFinished(30000))
            p.kill();
        p.waitForFinished();
        const int code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        const QByteArray o = p.readAllStandardOutput(), e = p.readAllStandardError();
        if (code == exitCode && o == out && e.startsWith(errStart) &&
            (!errStart.isEmpty() || e.isEmpty()))
            return {};
        return QString("%1: exit %2, out '%3', err '%4'")
            .arg(args.join(' '))
            .arg(code)
            .arg(QString::fromUtf8(o), QString::fromUtf8(e));
    }

private:
    QTemporaryDir m_dir;
    bool m_ok = false;
};

// Sends a control to the service through the manager; control 0 only queries.
bool control(DWORD code, SERVICE_STATUS *status)
{
    using namespace QtServiceApi;
    if (!loadServiceApi())
        return false;
    SC_HANDLE manager = pOpenSCManager(nullptr, nullptr, 0);
    SC_HANDLE service =
        manager ? pOpenService(manager, Name.toStdWString().c_str(), SERVICE_ALL_ACCESS) : nullptr;
    const bool ok = service && (code ? pControlService(service, code, status)
                                     : pQueryServiceStatus(service, status));
    if (service)
        pCloseServiceHandle(service);
    if (manager)
        pCloseServiceHandle(manager);
    return ok;
}

SERVICE_STATUS status()
{
    SERVICE_STATUS s{};
    control(0, &s);
    return s;
}
} // namespace

class TestQtService : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void commandLine_data();
    void commandLine();
    void lifecycle();
    void endOfRun_data();
    void endOfRun();

private:
    QTemporaryDir m_noManager;
};

void TestQtService::init()
{
    // A manager directory with no daemon in it, so that no test reaches a real one.
    QVERIFY(m_noManager.isValid());
    qputenv("SVCMGR_DIR", m_noManager.path().toLocal8Bit());
}

void TestQtService::commandLine_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("library");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // %1 is the program
    QTest::addColumn<QByteArray>("errStart");
    QTest::addColumn<QString>("logged"); // the start() line; empty: nothing ran

    const QString usage =
        "\n%1 -[i|u|e|s|v|h]\n"
        "\t-i(nstall) [account] [password]\t: Install the service, optionally using given "
        "account and password\n"
        "\t-u(ninstall)\t: Uninstall the service.\n"
        "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
        "\t-t(erminate)\t: Stop the service.\n"
        "\t-c(ommand) num\t: Send command code num to the service.\n"
        "\t-v(ersion)\t: Print version and status information.\n"
        "\t-h(elp)   \t: Show this help\n"
        "\tNo arguments\t: Start the service.\n";
    const QString version = "The service\n\t%2\n\t%1\n\nis not installed and not running\n\n";
    const QByteArray noInstall = "The service Sarvela Test Service could not be installed\n";
    const QByteArray noStart = "The service Sarvela Test Service could not start\n";
    const QString n300(300, 'n');
    auto row = [](const char *case_, const QStringList &args, int exitCode, const QString &out = {},
                  const QByteArray &err = {}, const QString &name = Name, bool library = true,
                  const QString &logged = {}) {
        QTest::newRow(case_) << name << library << args << exitCode << out << err << logged;
    };
    row("-h", {"-h"}, 0, usage);
    row("-help", {"-help"}, 0, usage);
    row("-i without daemon", {"-i"}, 255, {}, noInstall);
    row("-install with account, no library", {"-install", "someone", "secret"}, 255, {}, noInstall,
        Name, false);
    row("-u not installed", {"-u"}, 0, {}, "The service Sarvela Test Service is not installed\n");
    const QByteArray noManager = "The service manager could not be reached: The RPC server is "
                                 "unavailable.\n";
    row("-t warns, exit 0", {"-t"}, 0, {}, "The service could not be stopped.");
    row("-p without a manager: a line on stderr, exit 0", {"-p"}, 0, {}, noManager);
    row("-c without a manager: a line on stderr, exit 0", {"-c", "1"}, 0, {}, noManager);
    row("-c out of range silent", {"-c", "200"}, 0);
    row("no option, no manager", {}, 252, {}, noStart);
    row("--install is no option", {"--install"}, 252, {}, noStart);
    row("-v without a manager: stdout as ever, a line on stderr", {"-v"}, 0,
        version.arg("%1", Name), noManager);
    row("300-character name cut to 255", {"-v"}, 0, version.arg("%1", n300.left(255)),
        "QtService: 'name' is longer than 255 characters.", n300);
    row("backslash ends the name", {"-v"}, 0, version.arg("%1", "a"),
        "QtService: 'name' contains backslashes '\\'.", "a\\b");
    row("-e keeps other arguments whole", {"-e", "a b", "quit", "5"}, 5, {}, {}, Name, false,
        "start 0 %1 a b quit 5");
    row("-exec", {"-exec", "quit", "0"}, 0, {}, {}, Name, false, "start 0 %1 quit 0");
}

void TestQtService::commandLine()
{
    QFETCH(QString, name);
    QFETCH(bool, library);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QByteArray, errStart);
    QFETCH(QString, logged);

    ServiceCopy service(library);
    QVERIFY(service.isValid());
    service.set("name", name);
    QCOMPARE(
        service.expect(args, exitCode, out.replace("%1", service.program()).toUtf8(), errStart),
        QString());
    QCOMPARE(service.log(), logged.isEmpty()
                                ? QStringList()
                                : QStringList{logged.replace("%1", service.program())});
}

void TestQtService::lifecycle()
{
    SvcMgrDaemon manager;
    QString error;
    QVERIFY2(manager.start(&error), qPrintable(error));
    ServiceCopy service;
    QVERIFY(service.isValid());
    const QByteArray the = "The service Sarvela Test Service ";
    QCOMPARE(service.expect({"-u"}, 0, {}, the + "is not installed\n"), QString());
    QCOMPARE(service.expect({}, 252, {}, the + "could not start\n"), QString());
    QCOMPARE(service.expect({"-i"}, 0,
                            the + "has been installed under: " + service.program().toUtf8() + '\n'),
             QString());
    QCOMPARE(service.expect({"-install"}, 0, {}, the + "is already installed\n"), QString());

    // A console start asks the manager and returns at once; an unrecognised first
    // argument is passed on to start(), which runs while the state is START_PENDING.
    QCOMPARE(service.expect({"-I", "x"}, 0), QString());
    QTRY_COMPARE_WITH_TIMEOUT(status().dwCurrentState, DWORD(SERVICE_RUNNING), 15000);
    QCOMPARE(service.expect({"-p"}, 0), QString());
    QCOMPARE(status().dwCurrentState, DWORD(SERVICE_PAUSED));
    QCOMPARE(service.expect({"-r"}, 0), QString());
    QCOMPARE(status().dwCurrentState, DWORD(SERVICE_RUNNING));
    QCOMPARE(service.expect({"-c", "72"}, 0), QString()); // user control 200
    SERVICE_STATUS s;
    QVERIFY(!control(100, &s)); // below the user range
    QVERIFY(!control(300, &s)); // above it
    QCOMPARE(service.expect({"-v"}, 0,
                            "The service\n\t" + Name.toUtf8() + "\n\t" +
                                service.program().toUtf8() + "\n\nis installed and running\n\n"),
             QString());
    QCOMPARE(service.expect({"-t"}, 0), QString());
    // Refused by the manager, or not sent to a stopped service: said on stderr, exit 0.
    QCOMPARE(service.expect({"-p"}, 0, {},
                            the + "could not be paused: The service has not been "
                                  "started.\n"),
             QString());
    QCOMPARE(service.expect({"-c", "5"}, 0, {},
                            the + "could not be sent command 5: The service "
                                  "is not running.\n"),
             QString());
    s = status();
    QCOMPARE(s.dwCurrentState, DWORD(SERVICE_STOPPED));
    QCOMPARE(s.dwWin32ExitCode, DWORD(0));
    // Each call ran once, in the pending state of its request.
    QCOMPARE(service.log(), (QStringList{"start 2 Sarvela Test Service -I x", "pause 6", "resume 5",
                                         "command 72 4", "stop 3"}));
    QCOMPARE(service.expect({"-u"}, 0, the + "has been uninstalled.\n"), QString());
}

void TestQtService::endOfRun_data()
{
    QTest::addColumn<int>("stopDelayMs");
    QTest::addColumn<QStringList>("startArgs");
    QTest::addColumn<QStringList>("request");
    QTest::addColumn<QByteArray>("requestErr");
    QTest::addColumn<uint>("exitCode");
    QTest::newRow("service quits itself with 42")
        << 0 << QStringList{"quit", "42"} << QStringList{} << QByteArray() << 42u;
    QTest::newRow("crash") << 0 << QStringList{} << QStringList{"-c", "99"} << QByteArray()
                           << 1067u;
    QTest::newRow("-t gives up on a slow stopper")
        << 4000 << QStringList{} << QStringList{"-t"}
        << QByteArray("The service could not be stopped.") << 0u;
}

void TestQtService::endOfRun()
{
    QFETCH(int, stopDelayMs);
    QFETCH(QStringList, startArgs);
    QFETCH(QStringList, request);
    QFETCH(QByteArray, requestErr);
    QFETCH(uint, exitCode);
    SvcMgrDaemon manager;
    QString error;
    QVERIFY2(manager.start(&error), qPrintable(error));
    ServiceCopy service;
    QVERIFY(service.isValid());
    service.set("stopDelayMs", stopDelayMs);
    QVERIFY(QtServiceController::install(service.program())); // runs it with -i
    QtServiceController controller(Name);
    QVERIFY(controller.start(startArgs));
    QTRY_VERIFY_WITH_TIMEOUT(!service.log().isEmpty(), 15000);
    if (!request.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(status().dwCurrentState, DWORD(SERVICE_RUNNING), 15000);
        QElapsedTimer t;
        t.start();
        QCOMPARE(service.expect(request, 0, {}, requestErr), QString());
        if (!requestErr.isEmpty()) {
            // -t gave up after its ten polls, before the service had stopped.
            QCOMPARE(status().dwCurrentState, DWORD(SERVICE_STOP_PENDING));
            QVERIFY2(t.elapsed() >= 1900, qPrintable(QString::number(t.elapsed())));
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(status().dwCurrentState, DWORD(SERVICE_STOPPED), 15000);
    QThread::msleep(300); // nothing may overwrite the final report
    const SERVICE_STATUS s = status();
    QCOMPARE(s.dwCurrentState, DWORD(SERVICE_STOPPED));
    QCOMPARE(uint(s.dwWin32ExitCode), exitCode);
    QVERIFY(!controller.isRunning());
}

QTEST_GUILESS_MAIN(TestQtService)
#include "tst_qtservice.moc"
