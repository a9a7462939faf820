// Running services under a private daemon: start hand-over, controls and the
// statuses they leave, crashes, time-outs, deletion of a running service.
#include "standinkit.h"
#include "svcmgrdaemon.h"

#include <QtTest>

#include <sys/stat.h>
#include <thread>

class TestSvcMgrServices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startHandsOverArguments();
    void controlsRoundTrip();
    void controlStates_data();
    void controlStates();
    void crashBecomes1067();
    void stopThenExitIsNoCrash();
    void neverConnects();
    void hungHandlerTimesOut();
    void lingeringProcessIsKilled();
    void deleteRunningService();
    void pathWithBlanks_data();
    void pathWithBlanks();

private:
    SvcMgrDaemon m_daemon;
    QScopedPointer<QTemporaryDir> m_files;
    QStringList m_created;

    QString logPath() const { return m_files->filePath("echo.log"); }
    DWORD create(const QString &name, const QString &path = quoted(echoServicePath()))
    {
        m_created << name;
        return createService(name, path);
    }
    QStringList controlLines() const
    {
        QStringList out;
        for (const QString &line : readLines(logPath()))
            if (line.startsWith("control "))
                out << line;
        return out;
    }
};

void TestSvcMgrServices::initTestCase()
{
    m_daemon.setEnvironment("ECHO_MARK", "from-the-daemon");
    QString error;
    QVERIFY2(m_daemon.start(&error), qPrintable(error));
}

void TestSvcMgrServices::init()
{
    m_files.reset(new QTemporaryDir);
    QVERIFY(m_files->isValid());
}

void TestSvcMgrServices::cleanup()
{
    // Whatever state a failed test left, the next one finds no services.
    m_daemon.killServices();
    for (const QString &name : m_created) {
        waitUntil([&] {
            const DWORD state = queryStatus(name).dwCurrentState; // 0: already gone
            return state == SERVICE_STOPPED || state == 0;
        });
        deleteService(name);
        waitUntil([&] { return !ScHandle(openService(name, 0)); });
    }
    m_created.clear();
}

void TestSvcMgrServices::startHandsOverArguments()
{
    QCOMPARE(create("Svc-Echo"), DWORD(0));
    QCOMPARE(startService("svc-echo", {"log=" + logPath(), "two words"}), DWORD(0));
    // StartServiceW returned after the entry thread existed, so its first lines follow at once.
    QVERIFY(waitForLine(logPath(), "second-dispatcher 0 1056"));
    const QStringList lines = readLines(logPath());
    QVERIFY2(lines.contains("args Svc-Echo log=" + logPath() + " two words"),
             qPrintable(lines.join('\n')));
    QVERIFY(lines.contains("cwd /"));
    QVERIFY(lines.contains("env-mark -"));    // a clean environment
    QVERIFY(lines.contains("channel-env 0")); // not handed on to what the service starts
    QVERIFY(waitForState("svc-echo", SERVICE_RUNNING));
    QCOMPARE(startService("svc-echo"), DWORD(ERROR_SERVICE_ALREADY_RUNNING));
}

void TestSvcMgrServices::controlsRoundTrip()
{
    QCOMPARE(create("svc-round"), DWORD(0));
    QCOMPARE(startService("svc-round", {"log=" + logPath(), "exit=7"}), DWORD(0));
    QVERIFY(waitForState("svc-round", SERVICE_RUNNING));
    const qint64 pid = loggedPid(logPath());
    QVERIFY(processAlive(pid));

    // Each answer carries the status as the handler left it.
    SERVICE_STATUS s{};
    QCOMPARE(controlService("svc-round", SERVICE_CONTROL_PAUSE, &s), DWORD(0));
    QCOMPARE(s.dwCurrentState, DWORD(SERVICE_PAUSED));
    QCOMPARE(controlService("svc-round", 200 - 72, &s), DWORD(0)); // user control 128
    QCOMPARE(s.dwCurrentState, DWORD(SERVICE_PAUSED));
    QCOMPARE(controlService("svc-round", SERVICE_CONTROL_CONTINUE, &s), DWORD(0));
    QCOMPARE(s.dwCurrentState, DWORD(SERVICE_RUNNING));
    QCOMPARE(controlService("svc-round", SERVICE_CONTROL_INTERROGATE, &s), DWORD(0));
    QCOMPARE(controlService("svc-round", 255, &s), DWORD(0));
    QCOMPARE(controlService("svc-round", SERVICE_CONTROL_STOP, &s), DWORD(0));
    QCOMPARE(s.dwCurrentState, DWORD(SERVICE_STOPPED));
    QCOMPARE(s.dwWin32ExitCode, DWORD(7));

    // Delivered in order, each on the thread that called the dispatcher.
    QCOMPARE(controlLines(),
             (QStringList{"control 2 dispatcher-thread 1", "control 128 dispatcher-thread 1",
                          "control 3 dispatcher-thread 1", "control 4 dispatcher-thread 1",
                          "control 255 dispatcher-thread 1", "control 1 dispatcher-thread 1"}));
    // The dispatcher returns once SERVICE_STOPPED is reported, and the process ends.
    QVERIFY(waitForLine(logPath(), "dispatcher-returned"));
    QVERIFY(waitUntil([&] { return !processAlive(pid); }));
    QCOMPARE(queryStatus("svc-round").dwWin32ExitCode, DWORD(7));
    QCOMPARE(startService("svc-round", {"log=" + logPath()}), DWORD(0));
}

void TestSvcMgrServices::controlStates_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<uint>("before"); // a control sent first, 0 for none
    QTest::addColumn<uint>("control");
    QTest::addColumn<uint>("error");
    QTest::addColumn<uint>("state"); // in the answer's status
    QTest::newRow("pause when only stop is accepted")
        << QStringList{"nopause"} << 0u << 2u << 1052u << 4u;
    QTest::newRow("continue when only stop is accepted")
        << QStringList{"nopause"} << 0u << 3u << 1052u << 4u;
    QTest::newRow("stop while start pending") << QStringList{"pending"} << 0u << 1u << 0u << 1u;
    QTest::newRow("pause while start pending") << QStringList{"pending"} << 0u << 2u << 1061u << 2u;
    QTest::newRow("interrogate while start pending")
        << QStringList{"pending"} << 0u << 4u << 1061u << 2u;
    QTest::newRow("user control while start pending is not delivered")
        << QStringList{"pending"} << 0u << 200u << 1061u << 2u;
    QTest::newRow("stop while stop pending")
        << QStringList{"slowstop=4000"} << 1u << 1u << 1061u << 3u;
    QTest::newRow("user control while paused") << QStringList{} << 2u << 130u << 0u << 7u;
}

void TestSvcMgrServices::controlStates()
{
    QFETCH(QStringList, args);
    QFETCH(uint, before);
    QFETCH(uint, control);
    QFETCH(uint, error);
    QFETCH(uint, state);
    QCOMPARE(create("svc-states"), DWORD(0));
    QCOMPARE(startService("svc-states", QStringList{"log=" + logPath()} + args), DWORD(0));
    // Settled once the service itself has reported (it then accepts stop).
    const DWORD settled = args.contains("pending") ? SERVICE_START_PENDING : SERVICE_RUNNING;
    QVERIFY(waitUntil([&] {
        SERVICE_STATUS now = queryStatus("svc-states");
        return now.dwCurrentState == settled && now.dwControlsAccepted != 0;
    }));
    if (before)
        QCOMPARE(controlService("svc-states", before), DWORD(0));
    SERVICE_STATUS s{};
    QCOMPARE(controlService("svc-states", control, &s), DWORD(error));
    QCOMPARE(s.dwCurrentState, DWORD(state));
    if (error)
        QVERIFY(!controlLines().contains("control " + QString::number(control) +
                                         " dispatcher-thread 1") ||
                before == control);
}

void TestSvcMgrServices::crashBecomes1067()
{
    QCOMPARE(create("svc-crash"), DWORD(0));
    QCOMPARE(startService("svc-crash", {"log=" + logPath()}), DWORD(0));
    QVERIFY(waitForState("svc-crash", SERVICE_RUNNING));
    SERVICE_STATUS s{};
    QCOMPARE(controlService("svc-crash", 200, &s), DWORD(0)); // the handler kills its process
    QVERIFY(waitForState("svc-crash", SERVICE_STOPPED));
    s = queryStatus("svc-crash");
    QCOMPARE(s.dwWin32ExitCode, DWORD(ERROR_PROCESS_ABORTED));
    QCOMPARE(s.dwControlsAccepted, DWORD(0));
    QCOMPARE(s.dwServiceSpecificExitCode, DWORD(0));
    QCOMPARE(s.dwCheckPoint, DWORD(0));
    QCOMPARE(s.dwWaitHint, DWORD(0));
    QVERIFY(m_daemon.eventLog().contains("The svc-crash service terminated unexpectedly."));
    QCOMPARE(startService("svc-crash", {"log=" + logPath()}), DWORD(0));
}

void TestSvcMgrServices::stopThenExitIsNoCrash()
{
    // The process is gone before the manager may have read its last report;
    // the report still counts, whichever the manager notices first.
    QCOMPARE(create("svc-quick"), DWORD(0));
    for (int round = 0; round < 15; ++round) {
        QCOMPARE(startService("svc-quick", {"log=" + logPath(), "quickexit", "exit=9"}), DWORD(0));
        QVERIFY(waitForState("svc-quick", SERVICE_RUNNING));
        controlService("svc-quick", SERVICE_CONTROL_STOP);
        QVERIFY(waitUntil([&] { return !processAlive(loggedPid(logPath())); }));
        QVERIFY(waitForState("svc-quick", SERVICE_STOPPED));
        QCOMPARE(queryStatus("svc-quick").dwWin32ExitCode, DWORD(9));
        QFile::remove(logPath());
    }
}

void TestSvcMgrServices::neverConnects()
{
    SvcMgrDaemon daemon; // its own, with a short start time-out
    daemon.setTimeouts(1500, 5000, 1000);
    QString error;
    QVERIFY2(daemon.start(&error), qPrintable(error));
    const QString script = m_files->filePath("silent.sh");
    const QString pidFile = m_files->filePath("silent.pid");
    QFile f(script);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(("#!/bin/sh\necho $$ > '" + pidFile + "'\nexec sleep 60\n").toUtf8());
    f.close();
    QVERIFY(
        f.setPermissions(f.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther));

    QCOMPARE(createService("svc-silent", quoted(script)), DWORD(0));
    QCOMPARE(startService("svc-silent"), DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));
    SERVICE_STATUS s = queryStatus("svc-silent");
    QCOMPARE(s.dwCurrentState, DWORD(SERVICE_STOPPED));
    QCOMPARE(s.dwWin32ExitCode, DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));
    // The script started and was killed at the time-out.
    const QStringList pid = readLines(pidFile);
    QCOMPARE(pid.size(), 1);
    QVERIFY(waitUntil([&] { return !processAlive(pid.first().toLongLong()); }));
}

void TestSvcMgrServices::hungHandlerTimesOut()
{
    SvcMgrDaemon daemon;
    daemon.setTimeouts(5000, 1500, 1000);
    QString error;
    QVERIFY2(daemon.start(&error), qPrintable(error));
    QCOMPARE(createService("svc-hung", quoted(echoServicePath())), DWORD(0));
    QCOMPARE(startService("svc-hung", {"log=" + logPath()}), DWORD(0));
    QVERIFY(waitForState("svc-hung", SERVICE_RUNNING));

    // While one client waits for the hung handler, others are served.
    DWORD hungResult = 0;
    std::thread hung([&] { hungResult = controlService("svc-hung", 201); });
    QVERIFY(waitForLine(logPath(), "control 201 dispatcher-thread 1"));
    QCOMPARE(queryStatus("svc-hung").dwCurrentState, DWORD(SERVICE_RUNNING));
    hung.join();
    QCOMPARE(hungResult, DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));
}

void TestSvcMgrServices::lingeringProcessIsKilled()
{
    QCOMPARE(create("svc-linger"), DWORD(0));
    QCOMPARE(startService("svc-linger", {"log=" + logPath(), "nostop"}), DWORD(0));
    QVERIFY(waitForState("svc-linger", SERVICE_RUNNING));
    const qint64 first = loggedPid(logPath());
    QCOMPARE(controlService("svc-linger", SERVICE_CONTROL_STOP), DWORD(0));
    QVERIFY(waitForLine(logPath(), "dispatcher-returned"));

    // Stopped is stopped: a new start does not wait for the old process.
    const QString second = m_files->filePath("second.log");
    QCOMPARE(startService("svc-linger", {"log=" + second}), DWORD(0));
    QVERIFY(waitUntil([&] { return loggedPid(second) != 0; }));
    QVERIFY(loggedPid(second) != first);
    // The old one had its grace after SERVICE_STOPPED and was killed.
    QVERIFY(waitUntil([&] { return !processAlive(first); }));
    QVERIFY(waitForState("svc-linger", SERVICE_RUNNING));
}

void TestSvcMgrServices::deleteRunningService()
{
    QCOMPARE(create("svc-doomed"), DWORD(0));
    QCOMPARE(startService("svc-doomed", {"log=" + logPath()}), DWORD(0));
    QVERIFY(waitForState("svc-doomed", SERVICE_RUNNING));
    const qint64 pid = loggedPid(logPath());

    ScHandle held(openService("svc-doomed", SERVICE_QUERY_STATUS));
    QCOMPARE(deleteService("svc-doomed"), DWORD(0));
    // Marked: it keeps running and answers controls, but cannot be started or re-created.
    QCOMPARE(queryStatus("svc-doomed").dwCurrentState, DWORD(SERVICE_RUNNING));
    QCOMPARE(controlService("svc-doomed", SERVICE_CONTROL_INTERROGATE), DWORD(0));
    QCOMPARE(startService("svc-doomed"), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
    QCOMPARE(createService("svc-doomed", "/bin/true"), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));

    QCOMPARE(controlService("svc-doomed", SERVICE_CONTROL_STOP), DWORD(0));
    QVERIFY(waitUntil([&] { return !processAlive(pid); }));
    // Stopped, but a handle is still open: still there.
    SERVICE_STATUS s{};
    QVERIFY(QueryServiceStatus(held.get(), &s));
    QCOMPARE(s.dwCurrentState, DWORD(SERVICE_STOPPED));
    CloseServiceHandle(held.release());
    ScHandle gone(openService("svc-doomed", SERVICE_QUERY_STATUS));
    QVERIFY(!gone);
    QCOMPARE(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
}

void TestSvcMgrServices::pathWithBlanks_data()
{
    QTest::addColumn<bool>("quote");
    QTest::newRow("quoted path with blanks") << true;
    QTest::newRow("unquoted path with blanks") << false;
}

void TestSvcMgrServices::pathWithBlanks()
{
    QFETCH(bool, quote);
    // "<dir>/with" would be the program if the path were split at its blank.
    const QString decoyMark = m_files->filePath("decoy-ran");
    QFile decoy(m_files->filePath("with"));
    QVERIFY(decoy.open(QIODevice::WriteOnly));
    decoy.write(("#!/bin/sh\ntouch '" + decoyMark + "'\n").toUtf8());
    decoy.close();
    QVERIFY(decoy.setPermissions(decoy.permissions() | QFile::ExeOwner));
    QVERIFY(QDir(m_files->path()).mkdir("with blank"));
    const QString program = m_files->filePath("with blank/echo service");
    QVERIFY(QFile::copy(echoServicePath(), program));
    QVERIFY(QFile(program).setPermissions(QFile::ReadOwner | QFile::ExeOwner));

    QCOMPARE(create("svc-blanks", quote ? quoted(program) : program), DWORD(0));
    QCOMPARE(startService("svc-blanks", {"log=" + logPath()}), DWORD(0));
    QVERIFY(waitForState("svc-blanks", SERVICE_RUNNING));
    QVERIFY(!QFile::exists(decoyMark));
}

QTEST_GUILESS_MAIN(TestSvcMgrServices)
#include "tst_svcmgrservices.moc"
