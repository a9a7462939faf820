// The stand-in service manager through a private daemon: the last-error codes
// of its calls, running services, and the daemon's own restarts and crashes,
// one daemon per directory, misbehaving clients.
#include "svcmgrcalls.h"
#include "svcmgrdaemon.h"

#include <QProcess>
#include <QtTest>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool processAlive(qint64 pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
}

QByteArray run(const QStringList &command)
{
    QProcess p;
    p.start(command.first(), command.mid(1));
    p.waitForFinished(30000);
    return p.exitCode() == 0 ? p.readAllStandardOutput().trimmed() : QByteArray();
}

} // namespace

class TestSvcMgr : public QObject
{
    Q_OBJECT

    SvcMgrDaemon m_daemon;
    QTemporaryDir m_files;
    const QString m_log = m_files.filePath("echo.log");

    bool startAndWait(const QString &name, const QStringList &args = {})
    {
        QFile::remove(m_log);
        return startService(name, QStringList{"log=" + m_log} + args) == 0 &&
               waitForState(name, SERVICE_RUNNING);
    }
    // True once the process whose pid the service logged has ended.
    bool loggedProcessGone()
    {
        const QStringList pid = readLines(m_log).filter(QRegularExpression("^pid "));
        return !pid.isEmpty() &&
               waitUntil([&] { return !processAlive(pid[0].mid(4).toLongLong()); });
    }

private slots:
    void initTestCase()
    {
        m_daemon.setEnvironment("SVCMGR_START_TIMEOUT_MS", "2000");
        QString error;
        QVERIFY2(m_daemon.start(&error), qPrintable(error));
        QCOMPARE(createService("api-stopped"), DWORD(0));
        QCOMPARE(createService("api-disabled", "/bin/true", SERVICE_DISABLED), DWORD(0));
        QCOMPARE(createService("api-missing", "\"/nonexistent/a b\""), DWORD(0));
        QCOMPARE(createService("api-true", "/bin/true"), DWORD(0));
    }

    void errorCodes_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("name");
        QTest::addColumn<uint>("access");
        QTest::addColumn<uint>("arg");
        QTest::addColumn<uint>("error");
        auto row = [](const char *c, const char *call, QString name, uint access, uint arg,
                      uint error) { QTest::newRow(c) << call << name << access << arg << error; };
        const uint all = SERVICE_ALL_ACCESS, query = SERVICE_QUERY_STATUS;
        row("remote machine", "manager", "\\\\far-away", 1, 0, 1722);
        row("another database", "manager", "ServicesFailed", 1, 0, 1065);
        row("active database, other case", "manager", "servicesactive", 1, 0, 0);
        row("open with a null manager", "open-null", "api-stopped", query, 0, 6);
        row("open a name with a slash", "open", "api/stopped", query, 0, 123);
        row("create an existing name", "create", "API-STOPPED", 0, 0x10, 1073);
        row("create with a bad name", "create", "a\\b", 0, 0x10, 123);
        row("create a driver", "create", "api-driver", 0, 0x1, 87);
        row("start without the start right", "start", "api-true", query, 0, 5);
        row("start a disabled service", "start", "api-disabled", all, 0, 1058);
        row("start a missing executable", "start", "api-missing", all, 0, 2);
        row("start one that ends before connecting", "start", "api-true", all, 0, 1067);
        row("stop without the stop right", "control", "api-stopped", query, 1, 5);
        row("stop a stopped service", "control", "api-stopped", all, 1, 1062);
        row("shutdown is the system's control", "control", "api-stopped", all, 5, 87);
        row("config without the config right", "config", "api-stopped", query, 0, 5);
        row("config into a too small buffer", "config", "api-stopped", all, 0, 122);
    }

    void errorCodes()
    {
        QFETCH(QString, call);
        QFETCH(QString, name);
        QFETCH(uint, access);
        QFETCH(uint, arg);
        QFETCH(uint, error);
        const std::wstring n = name.toStdWString();
        ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
        ScHandle service{openService(name, access)};
        SERVICE_STATUS status{};
        DWORD needed = 0;
        bool ok = false;
        if (call == "manager") // a name with backslashes is a machine's, else a database's
            ok = ScHandle{OpenSCManagerW(name.startsWith('\\') ? n.c_str() : nullptr,
                                         name.startsWith('\\') ? nullptr : n.c_str(), access)}
                     .h;
        else if (call.startsWith("open"))
            ok = ScHandle{OpenServiceW(call == "open" ? manager.h : nullptr, n.c_str(), access)}.h;
        else if (call == "create")
            ok = ScHandle{CreateServiceW(manager.h, n.c_str(), nullptr, SERVICE_ALL_ACCESS, arg,
                                         SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"/bin/true",
                                         nullptr, nullptr, nullptr, nullptr, nullptr)}
                     .h;
        else if (call == "start")
            ok = StartServiceW(service.h, 0, nullptr);
        else if (call == "control")
            ok = ControlService(service.h, arg, &status);
        else if (call == "config")
            ok = QueryServiceConfigW(service.h, nullptr, 0, &needed);
        QCOMPARE(ok ? 0 : GetLastError(), DWORD(error));
        // A refused start leaves the reason in the service's status.
        if (call == "start" && (error == 2 || error == 1067))
            QCOMPARE(queryStatus(name).dwWin32ExitCode, DWORD(error));
        if (error == ERROR_INSUFFICIENT_BUFFER)
            QVERIFY(needed > sizeof(QUERY_SERVICE_CONFIGW));
        if (error == ERROR_SERVICE_NOT_ACTIVE)
            QCOMPARE(status.dwCurrentState, DWORD(SERVICE_STOPPED));
        // Every code has its text, cut to fit a short buffer.
        wchar_t text[256];
        QCOMPARE(SvcFormatErrorW(error, text, 4), DWORD(3));
        QVERIFY(error != 5 || (SvcFormatErrorW(error, text, 256) &&
                               QString::fromWCharArray(text) == "Access is denied."));
    }

    void dispatcherOutsideManager()
    {
        QCOMPARE(run({SARVELA_BIN_DIR "/echoservice"}),
                 QByteArray("dispatcher-failed 1063 register 0 1060"));
    }

    void startControlsAndCrash()
    {
        QCOMPARE(createService("Svc-Echo"), DWORD(0));
        QVERIFY(startAndWait("svc-echo", {"two words", "exit=7"}));
        QVERIFY(readLines(m_log).contains("args Svc-Echo log=" + m_log + " two words exit=7"));
        QCOMPARE(startService("svc-echo"), DWORD(ERROR_SERVICE_ALREADY_RUNNING));

        // The answer carries the status as the handler left it.
        SERVICE_STATUS s{};
        QCOMPARE(controlService("svc-echo", SERVICE_CONTROL_STOP, &s), DWORD(0));
        QCOMPARE(s.dwCurrentState, DWORD(SERVICE_STOPPED));
        QCOMPARE(s.dwWin32ExitCode, DWORD(7));
        QCOMPARE(readLines(m_log).filter("control "), QStringList{"control 1"});
        QVERIFY(loggedProcessGone());

        // A process that dies without reporting SERVICE_STOPPED.
        QVERIFY(startAndWait("svc-echo"));
        QCOMPARE(controlService("svc-echo", 200), DWORD(0));
        QVERIFY(waitForState("svc-echo", SERVICE_STOPPED));
        s = queryStatus("svc-echo");
        QCOMPARE(s.dwWin32ExitCode, DWORD(ERROR_PROCESS_ABORTED));
        QCOMPARE(s.dwControlsAccepted + s.dwServiceSpecificExitCode + s.dwCheckPoint + s.dwWaitHint,
                 DWORD(0));
        QVERIFY(m_daemon.eventLog().contains("The Svc-Echo service terminated unexpectedly."));
    }

    void neverConnects()
    {
        QFile f(m_files.filePath("silent.sh"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\necho pid $$ > '" + QFile::encodeName(m_log) + "'\nexec sleep 60\n");
        f.close();
        QVERIFY(f.setPermissions(f.permissions() | QFile::ExeOwner | QFile::ExeOther));
        QCOMPARE(createService("svc-silent", f.fileName()), DWORD(0));
        QCOMPARE(startService("svc-silent"), DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));
        SERVICE_STATUS s = queryStatus("svc-silent");
        QCOMPARE(s.dwCurrentState, DWORD(SERVICE_STOPPED));
        QCOMPARE(s.dwWin32ExitCode, DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));
        QVERIFY(loggedProcessGone());
    }

    void pathWithBlanks_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("registered"); // %1: a folder holding "my" and "my service"
        QTest::newRow("unquoted: the whole path, never up to the blank") << "svc-unquoted"
                                                                         << "%1/my service";
        QTest::newRow("quoted, with words after it: up to the closing quote")
            << "svc-quoted"
            << "\"%1/my service\" --option";
    }

    void pathWithBlanks()
    {
        QFETCH(QString, name);
        QFETCH(QString, registered);
        // "my" is what a path cut at its blank would run instead of "my service".
        QTemporaryDir dir;
        const QString decoyRan = dir.filePath("decoy-ran");
        QFile decoy(dir.filePath("my"));
        QVERIFY(decoy.open(QIODevice::WriteOnly));
        decoy.write("#!/bin/sh\ntouch '" + QFile::encodeName(decoyRan) + "'\n");
        decoy.close();
        QVERIFY(decoy.setPermissions(decoy.permissions() | QFile::ExeOwner));
        QVERIFY(QFile::copy(SARVELA_BIN_DIR "/echoservice", dir.filePath("my service")));

        QCOMPARE(createService(name, registered.arg(dir.path())), DWORD(0));
        QVERIFY(startAndWait(name));
        QVERIFY(readLines(m_log).contains("args " + name + " log=" + m_log));
        QCOMPARE(controlService(name, SERVICE_CONTROL_STOP), DWORD(0));
        QVERIFY(!QFile::exists(decoyRan));
    }

    void deleteRunningService()
    {
        QCOMPARE(createService("svc-doomed"), DWORD(0));
        QVERIFY(startAndWait("svc-doomed"));
        SC_HANDLE held = openService("svc-doomed", SERVICE_QUERY_STATUS | DELETE);
        QVERIFY(DeleteService(held));
        QVERIFY(!DeleteService(held));
        QCOMPARE(GetLastError(), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
        // Marked: it keeps running and answers controls, but cannot be started or re-created.
        QCOMPARE(controlService("svc-doomed", SERVICE_CONTROL_INTERROGATE), DWORD(0));
        QCOMPARE(startService("svc-doomed"), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
        QCOMPARE(createService("svc-doomed"), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
        QCOMPARE(controlService("svc-doomed", SERVICE_CONTROL_STOP), DWORD(0));
        // Stopped, but a handle is still open: still there until it is closed.
        QVERIFY(ScHandle{openService("svc-doomed", SERVICE_QUERY_STATUS)}.h);
        QVERIFY(CloseServiceHandle(held));
        QVERIFY(!ScHandle{openService("svc-doomed", SERVICE_QUERY_STATUS)}.h);
        QCOMPARE(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
    }

    void garbageOnSocket_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("hangUp"); // the client leaves right after sending
        auto u32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char *>(&v), 4); };
        QTest::newRow("text instead of frames") << QByteArray("GET / HTTP/1.0\r\n\r\n") << false;
        QTest::newRow("frame larger than allowed") << u32(64u << 20) + "x" << false;
        QTest::newRow("unknown request") << u32(4) + u32(999) << false;
        QTest::newRow("string past its frame")
            << u32(15) + u32(2) + u32(1) + u32(99) + "abc" << false;
        QTest::newRow("half a frame, then gone") << u32(100) + "partial" << true;
    }

    void garbageOnSocket()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, hangUp);
        // A well-behaved client holds a handle across the whole episode.
        ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
        QVERIFY(manager.h);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        qstrncpy(addr.sun_path, QFile::encodeName(m_daemon.socketPath()), sizeof addr.sun_path);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        QCOMPARE(::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL),
                 ssize_t(bytes.size()));
        pollfd p{fd, POLLIN, 0};
        char buf[256];
        // Dropped, not answered.
        QVERIFY(hangUp || (::poll(&p, 1, 10000) == 1 && ::recv(fd, buf, sizeof buf, 0) <= 0));
        ::close(fd);
        QVERIFY(ScHandle{OpenServiceW(manager.h, L"api-stopped", SERVICE_QUERY_STATUS)}.h);
    }

    void secondDaemonRefused()
    {
        QProcess second;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SVCMGR_DIR", m_daemon.dir());
        second.setProcessEnvironment(env);
        second.start(SARVELA_BIN_DIR "/svcmgrd", QStringList());
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardError().contains("another svcmgrd already serves"));
        QVERIFY(m_daemon.isRunning() && ScHandle{OpenSCManagerW(nullptr, nullptr, 0)}.h);
    }

    void crashLeavesStaleSocket()
    {
        QCOMPARE(createService("svc-orphan"), DWORD(0));
        QVERIFY(startAndWait("svc-orphan"));
        m_daemon.stop(true);
        QVERIFY(QFile::exists(m_daemon.socketPath()));
        QVERIFY(!ScHandle{OpenSCManagerW(nullptr, nullptr, 0)}.h);
        QCOMPARE(GetLastError(), DWORD(RPC_S_SERVER_UNAVAILABLE));
        QVERIFY(loggedProcessGone()); // a service does not outlive its manager's channel
        QString error;
        QVERIFY2(m_daemon.start(&error), qPrintable(error));
        QCOMPARE(queryStatus("svc-orphan").dwCurrentState, DWORD(SERVICE_STOPPED));
    }

    void readsDatabaseWithoutGroups()
    {
        // A database written before groups could be given rights on a service.
        SvcMgrDaemon older;
        QFile db(older.dir() + "/services.db");
        QVERIFY(db.open(QIODevice::WriteOnly));
        db.write("svcmgr-services 1\nsvc-older\tOlder\t/bin/true\t16\t3\t1\tLocalSystem\t0\t1\t"
                 "kept\\tas it was\t0\n");
        db.close();
        QString error;
        QVERIFY2(older.start(&error), qPrintable(error + older.daemonLog()));
        ScHandle service{openService("svc-older", SERVICE_ALL_ACCESS)};
        QVERIFY(service.h);
        alignas(8) char buffer[512];
        DWORD needed = 0, count = 1;
        QVERIFY(QueryServiceConfig2W(service.h, SERVICE_CONFIG_DESCRIPTION,
                                     reinterpret_cast<LPBYTE>(buffer), sizeof buffer, &needed));
        QCOMPARE(QString::fromWCharArray(
                     reinterpret_cast<LPSERVICE_DESCRIPTIONW>(buffer)->lpDescription),
                 "kept\tas it was");
        QVERIFY(QueryServiceGroupAccessW(service.h,
                                         reinterpret_cast<LPSERVICE_GROUP_ACCESSW>(buffer),
                                         sizeof buffer, &needed, &count));
        QCOMPARE(count, DWORD(0));
        // The next save writes the current format, which the next start reads.
        SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(L"changed")};
        QVERIFY(ChangeServiceConfig2W(service.h, SERVICE_CONFIG_DESCRIPTION, &description));
        older.stop();
        QVERIFY(db.open(QIODevice::ReadOnly));
        QVERIFY(db.readLine().startsWith("svcmgr-services 3"));
        db.close();
        QVERIFY2(older.start(&error), qPrintable(error + older.daemonLog()));
        QVERIFY(ScHandle{openService("svc-older", SERVICE_QUERY_STATUS)}.h);
        older.stop();
        qputenv("SVCMGR_DIR", QFile::encodeName(m_daemon.dir())); // back to this test's daemon
    }

    void restartKeepsDatabase()
    {
        QCOMPARE(createService("svc-auto", echoPath, SERVICE_AUTO_START), DWORD(0));
        QCOMPARE(createService("svc-manual"), DWORD(0));
        QCOMPARE(createService("svc-marked", "/bin/true"), DWORD(0));
        ScHandle marked{openService("svc-marked", DELETE)};
        QVERIFY(DeleteService(marked.h)); // stays while the handle is open
        QVERIFY(startAndWait("svc-manual"));

        m_daemon.stop();
        QVERIFY(loggedProcessGone()); // the daemon takes its services with it
        QString error;
        QVERIFY2(m_daemon.start(&error), qPrintable(error));
        QVERIFY(waitForState("svc-auto", SERVICE_RUNNING));
        SERVICE_STATUS s = queryStatus("svc-manual");
        QCOMPARE(s.dwCurrentState, DWORD(SERVICE_STOPPED));
        QCOMPARE(s.dwWin32ExitCode, DWORD(ERROR_SERVICE_NEVER_STARTED));
        QVERIFY(startAndWait("svc-manual")); // its program is still known
        // Marked for deletion and not running: gone with the restart.
        QVERIFY(!ScHandle{openService("svc-marked", SERVICE_QUERY_STATUS)}.h);
        QCOMPARE(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
    }
};

QTEST_GUILESS_MAIN(TestSvcMgr)
#include "tst_svcmgr.moc"
