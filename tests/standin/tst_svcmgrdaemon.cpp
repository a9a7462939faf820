// The daemon itself: its database across restarts, auto-start, one daemon per
// directory, stale sockets, clients that misbehave, unprivileged clients,
// and an install that lays out the daemon, the library and the unit.
#include "standinkit.h"
#include "svcmgrdaemon.h"

#include <QProcess>
#include <QtTest>

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A raw connection to the daemon's socket, for bytes no library would send.
class RawClient
{
public:
    explicit RawClient(const QString &socketPath)
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(socketPath);
        std::memcpy(addr.sun_path, p.constData(), size_t(p.size()) + 1);
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~RawClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isConnected() const { return m_fd >= 0; }
    bool send(const QByteArray &bytes)
    {
        return ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) ==
               ssize_t(bytes.size());
    }
    // True when the daemon closed the connection within the limit.
    bool closedByPeer(int limitMs = 10000)
    {
        pollfd p{m_fd, POLLIN, 0};
        char buf[256];
        while (::poll(&p, 1, limitMs) > 0) {
            ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0)
                return true;
        }
        return false;
    }
    void close()
    {
        ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

QByteArray u32(quint32 v)
{
    return QByteArray(reinterpret_cast<const char *>(&v), sizeof v);
}

QByteArray frame(const QByteArray &payload)
{
    return u32(quint32(payload.size())) + payload;
}

bool managerAnswers()
{
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return bool(manager);
}

bool writeScript(const QString &path, const QByteArray &body)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write("#!/bin/sh\n" + body);
    f.close();
    return f.setPermissions(f.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

} // namespace

class TestSvcMgrDaemon : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void restartKeepsDatabase();
    void stopShutsServicesDown();
    void crashLeavesStaleSocket();
    void secondDaemonRefused();
    void garbageOnSocket_data();
    void garbageOnSocket();
    void droppedClientHandlesAreClosed();
    void clientLeavesDuringStart();
    void unprivilegedClient_data();
    void unprivilegedClient();
    void missingDaemon_data();
    void missingDaemon();
    void passedEnvironment();
    void installLayout();

private:
    SvcMgrDaemon m_daemon;
    QTemporaryDir m_files;
    QStringList m_created;
};

void TestSvcMgrDaemon::initTestCase()
{
    m_daemon.setTimeouts(2000, 5000, 1000);
    QString error;
    QVERIFY2(m_daemon.start(&error), qPrintable(error));
}

void TestSvcMgrDaemon::cleanup()
{
    m_daemon.killServices();
    for (const QString &name : m_created) {
        waitUntil([&] {
            const DWORD state = queryStatus(name).dwCurrentState;
            return state == SERVICE_STOPPED || state == 0;
        });
        deleteService(name);
    }
    m_created.clear();
}

void TestSvcMgrDaemon::restartKeepsDatabase()
{
    SvcMgrDaemon daemon;
    QString error;
    QVERIFY2(daemon.start(&error), qPrintable(error));
    // Without start arguments the echo service logs beside its program.
    const QString program = daemon.dir() + "/auto-echo";
    QVERIFY(QFile::copy(echoServicePath(), program));
    QVERIFY(QFile(program).setPermissions(QFile::ReadOwner | QFile::ExeOwner));
    const QString autoLog = program + ".log";

    QCOMPARE(createService("Daemon-Auto", quoted(program), SERVICE_AUTO_START), DWORD(0));
    QCOMPARE(createService("daemon-broken", "/nonexistent/svc", SERVICE_AUTO_START), DWORD(0));
    QCOMPARE(createService("daemon-manual", quoted(echoServicePath())), DWORD(0));
    QCOMPARE(createService("daemon-marked", "/bin/true"), DWORD(0));
    {
        ScHandle manual(openService("daemon-manual", SERVICE_CHANGE_CONFIG));
        SERVICE_DESCRIPTIONW d{const_cast<LPWSTR>(L"Keeps\tits description")};
        QVERIFY(ChangeServiceConfig2W(manual.get(), SERVICE_CONFIG_DESCRIPTION, &d));
    }
    ScHandle marked(openService("daemon-marked", DELETE));
    QVERIFY(DeleteService(marked.get())); // stays while the handle is open
    const QString manualLog = m_files.filePath("manual.log");
    QCOMPARE(startService("daemon-manual", {"log=" + manualLog}), DWORD(0));
    QVERIFY(waitUntil([&] { return loggedPid(manualLog) != 0; }));
    const qint64 manualPid = loggedPid(manualLog);

    // Stopping the daemon takes its services with it.
    daemon.stop();
    QVERIFY(waitUntil([&] { return !processAlive(manualPid); }));
    QVERIFY2(daemon.start(&error), qPrintable(error));

    QVERIFY(waitForState("daemon-auto", SERVICE_RUNNING));
    QVERIFY(readLines(autoLog).contains("args Daemon-Auto"));
    QVERIFY(waitUntil([&] { return daemon.eventLog().contains("daemon-broken"); }));
    QCOMPARE(queryStatus("daemon-broken").dwCurrentState, DWORD(SERVICE_STOPPED));

    SERVICE_STATUS manual = queryStatus("daemon-manual");
    QCOMPARE(manual.dwCurrentState, DWORD(SERVICE_STOPPED));
    QCOMPARE(manual.dwWin32ExitCode, DWORD(ERROR_SERVICE_NEVER_STARTED));
    ScHandle kept(openService("daemon-manual", SERVICE_QUERY_CONFIG));
    alignas(8) BYTE buf[8192];
    DWORD needed = 0;
    QVERIFY(QueryServiceConfig2W(kept.get(), SERVICE_CONFIG_DESCRIPTION, buf, sizeof buf, &needed));
    QCOMPARE(QString::fromWCharArray(reinterpret_cast<LPSERVICE_DESCRIPTIONW>(buf)->lpDescription),
             QString("Keeps\tits description"));
    QVERIFY(QueryServiceConfigW(kept.get(), reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buf),
                                sizeof buf, &needed));
    QCOMPARE(
        QString::fromWCharArray(reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buf)->lpBinaryPathName),
        quoted(echoServicePath()));

    // Marked for deletion and not running: gone with the restart, also from the file.
    ScHandle gone(openService("daemon-marked", SERVICE_QUERY_STATUS));
    QVERIFY(!gone);
    QCOMPARE(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
    QFile db(daemon.databasePath());
    QVERIFY(db.open(QIODevice::ReadOnly));
    QVERIFY(!db.readAll().contains("daemon-marked"));
    QVERIFY(!QFile::exists(daemon.databasePath() + ".tmp"));
}

void TestSvcMgrDaemon::stopShutsServicesDown()
{
    SvcMgrDaemon daemon;
    QString error;
    QVERIFY2(daemon.start(&error), qPrintable(error));
    QCOMPARE(createService("daemon-polite", quoted(echoServicePath())), DWORD(0));
    QCOMPARE(createService("daemon-blunt", quoted(echoServicePath())), DWORD(0));
    const QString polite = m_files.filePath("polite.log");
    const QString blunt = m_files.filePath("blunt.log");
    QCOMPARE(startService("daemon-polite", {"log=" + polite, "shutdown"}), DWORD(0));
    QCOMPARE(startService("daemon-blunt", {"log=" + blunt}), DWORD(0));
    QVERIFY(waitForState("daemon-polite", SERVICE_RUNNING));
    QVERIFY(waitForState("daemon-blunt", SERVICE_RUNNING));
    const qint64 bluntPid = loggedPid(blunt);

    daemon.stop();
    // Only the service that accepts it hears of the shutdown, and it ends on its own.
    QVERIFY(readLines(polite).contains("control 5 dispatcher-thread 1"));
    QVERIFY(readLines(polite).contains("dispatcher-returned"));
    QVERIFY(!readLines(blunt).join('\n').contains("control"));
    QVERIFY(waitUntil([&] { return !processAlive(bluntPid); }));
}

void TestSvcMgrDaemon::crashLeavesStaleSocket()
{
    SvcMgrDaemon daemon;
    QString error;
    QVERIFY2(daemon.start(&error), qPrintable(error));
    QCOMPARE(createService("daemon-orphan", quoted(echoServicePath())), DWORD(0));
    const QString log = m_files.filePath("orphan.log");
    QCOMPARE(startService("daemon-orphan", {"log=" + log}), DWORD(0));
    QVERIFY(waitForState("daemon-orphan", SERVICE_RUNNING));
    const qint64 pid = loggedPid(log);

    daemon.crash();
    QVERIFY(QFile::exists(daemon.socketPath()));
    QVERIFY(!managerAnswers());
    QCOMPARE(GetLastError(), DWORD(RPC_S_SERVER_UNAVAILABLE));
    // A service does not outlive its manager's channel.
    QVERIFY(waitUntil([&] { return !processAlive(pid); }));

    QVERIFY2(daemon.start(&error), qPrintable(error));
    QVERIFY(managerAnswers());
    QCOMPARE(queryStatus("daemon-orphan").dwCurrentState, DWORD(SERVICE_STOPPED));
}

void TestSvcMgrDaemon::secondDaemonRefused()
{
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SVCMGR_DIR", m_daemon.dir());
    second.setProcessEnvironment(env);
    second.start(m_daemon.daemonProgram(), QStringList());
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(second.readAllStandardError().contains("another svcmgrd already serves"));
    QVERIFY(m_daemon.isRunning());
    QVERIFY(managerAnswers());
}

void TestSvcMgrDaemon::garbageOnSocket_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("hangUp"); // the client leaves right after sending
    QTest::newRow("text instead of frames") << QByteArray("GET / HTTP/1.0\r\n\r\n") << false;
    QTest::newRow("empty frame") << u32(0) << false;
    QTest::newRow("frame larger than allowed") << u32(64u << 20) + "x" << false;
    QTest::newRow("unknown request") << frame(u32(999)) << false;
    QTest::newRow("request with trailing bytes") << frame(u32(13) + "junk") << false;
    QTest::newRow("string longer than its frame")
        << frame(u32(2) + u32(1) + u32(1000) + "abc") << false;
    QTest::newRow("half a frame, then gone") << u32(100) + "partial" << true;
    QTest::newRow("open manager, then gone before the answer") << frame(u32(1) + u32(0)) << true;
}

void TestSvcMgrDaemon::garbageOnSocket()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, hangUp);
    // A well-behaved client holds a handle across the whole episode.
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    QVERIFY(manager);

    RawClient bad(m_daemon.socketPath());
    QVERIFY(bad.isConnected());
    QVERIFY(bad.send(bytes));
    if (hangUp)
        bad.close();
    else
        QVERIFY(bad.closedByPeer()); // dropped, not answered

    QVERIFY(m_daemon.isRunning());
    ScHandle service(OpenServiceW(manager.get(), L"daemon-nothing-here", SERVICE_QUERY_STATUS));
    QCOMPARE(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
    QVERIFY(managerAnswers());
}

void TestSvcMgrDaemon::droppedClientHandlesAreClosed()
{
    m_created << "daemon-dropped";
    QCOMPARE(createService("daemon-dropped", "/bin/true"), DWORD(0));
    // The client deletes the service and exits without closing its handle.
    QProcess client;
    client.start(SARVELA_BIN_DIR "/svcmgrclient", {"delete", "daemon-dropped"});
    QVERIFY(client.waitForFinished(30000));
    QCOMPARE(client.readAllStandardOutput().trimmed(), QByteArray("result=1 error=0"));
    QVERIFY(waitUntil([] {
        ScHandle h(openService("daemon-dropped", SERVICE_QUERY_STATUS));
        return !h && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    }));
}

void TestSvcMgrDaemon::clientLeavesDuringStart()
{
    const QString script = m_files.filePath("mute.sh");
    const QString pidFile = m_files.filePath("mute.pid");
    QVERIFY(writeScript(script, "echo $$ > '" + QFile::encodeName(pidFile) + "'\nexec sleep 60\n"));
    m_created << "daemon-mute";
    QCOMPARE(createService("daemon-mute", quoted(script)), DWORD(0));

    QProcess client;
    client.start(SARVELA_BIN_DIR "/svcmgrclient", {"start", "daemon-mute"});
    QVERIFY(waitUntil([&] { return QFile::exists(pidFile); }));
    client.kill(); // gone while the daemon waits for the dispatcher
    client.waitForFinished(5000);
    QVERIFY(managerAnswers());
    QCOMPARE(queryStatus("daemon-mute").dwCurrentState, DWORD(SERVICE_START_PENDING));

    // The start still times out as usual and the process is killed.
    QVERIFY(waitForState("daemon-mute", SERVICE_STOPPED));
    QCOMPARE(queryStatus("daemon-mute").dwWin32ExitCode, DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));
    const QStringList pid = readLines(pidFile);
    QCOMPARE(pid.size(), 1);
    QVERIFY(waitUntil([&] { return !processAlive(pid.first().toLongLong()); }));
}

void TestSvcMgrDaemon::unprivilegedClient_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("answer");
    const QString denied = "result=0 error=5";
    QTest::newRow("open manager for all access")
        << QStringList{"open-manager", "0xF003F"} << denied;
    QTest::newRow("open manager to connect")
        << QStringList{"open-manager", "1"} << "result=1 error=0";
    QTest::newRow("create") << QStringList{"create", "daemon-by-nobody", "/bin/true"} << denied;
    QTest::newRow("start") << QStringList{"start", "daemon-guarded"} << denied;
    QTest::newRow("stop") << QStringList{"control", "daemon-guarded", "1"} << denied;
    QTest::newRow("delete") << QStringList{"delete", "daemon-guarded"} << denied;
    QTest::newRow("open for all access")
        << QStringList{"open-service", "daemon-guarded", "0xF01FF"} << denied;
    QTest::newRow("query status") << QStringList{"query-status", "daemon-guarded"}
                                  << "result=1 error=0 state=4";
    QTest::newRow("query config") << QStringList{"query-config", "daemon-guarded"}
                                  << "result=1 error=0";
}

void TestSvcMgrDaemon::unprivilegedClient()
{
    if (::geteuid() != 0)
        QSKIP("needs root to run a client as another user");
    QFETCH(QStringList, args);
    QFETCH(QString, answer);
    m_created << "daemon-guarded";
    QCOMPARE(createService("daemon-guarded", quoted(echoServicePath())), DWORD(0));
    QCOMPARE(startService("daemon-guarded", {"log=" + m_files.filePath("guarded.log")}), DWORD(0));
    QVERIFY(waitForState("daemon-guarded", SERVICE_RUNNING));

    QString output;
    int exitCode = -1;
    if (!SvcMgrDaemon::runAs("nobody", "/bin/test", {"-x", SARVELA_BIN_DIR "/svcmgrclient"},
                             &output, &exitCode) ||
        exitCode != 0)
        QSKIP("the build folder is out of reach for the user nobody");
    QVERIFY2(
        SvcMgrDaemon::runAs("nobody", SARVELA_BIN_DIR "/svcmgrclient", args, &output, &exitCode),
        qPrintable(output));
    QCOMPARE(output.trimmed(), answer);
    // Nothing a refused client asked for happened.
    QCOMPARE(queryStatus("daemon-guarded").dwCurrentState, DWORD(SERVICE_RUNNING));
    ScHandle h(openService("daemon-by-nobody", 0));
    QVERIFY(!h);
}

void TestSvcMgrDaemon::missingDaemon_data()
{
    QTest::addColumn<QString>("setup");
    QTest::newRow("empty directory") << "empty";
    QTest::newRow("stale socket file") << "stale";
    QTest::newRow("directory does not exist") << "missing";
}

void TestSvcMgrDaemon::missingDaemon()
{
    QFETCH(QString, setup);
    QTemporaryDir dir;
    QString path = dir.path();
    if (setup == "missing") {
        path += "/not-there";
    } else if (setup == "stale") {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(dir.filePath("svcmgr.sock"));
        std::memcpy(addr.sun_path, p.constData(), size_t(p.size()) + 1);
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ::close(fd); // the file stays, nobody listens
    }
    const QByteArray previous = qgetenv("SVCMGR_DIR");
    qputenv("SVCMGR_DIR", QFile::encodeName(path));
    const bool answered = managerAnswers();
    const DWORD error = GetLastError();
    // The event log still takes records: they go to syslog.
    HANDLE source = RegisterEventSourceW(nullptr, L"Daemonless");
    LPCWSTR text[] = {L"no manager here"};
    const bool reported = source && ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr,
                                                 1, 0, text, nullptr);
    if (source)
        DeregisterEventSource(source);
    qputenv("SVCMGR_DIR", previous);

    QVERIFY(!answered);
    QCOMPARE(error, DWORD(RPC_S_SERVER_UNAVAILABLE));
    QVERIFY(reported);
}

void TestSvcMgrDaemon::passedEnvironment()
{
    SvcMgrDaemon daemon;
    daemon.setEnvironment("ECHO_MARK", "handed-on");
    daemon.setEnvironment("SVCMGR_PASS_ENV", "NOT_SET_ANYWHERE,ECHO_MARK");
    QString error;
    QVERIFY2(daemon.start(&error), qPrintable(error));
    QCOMPARE(createService("daemon-env", quoted(echoServicePath())), DWORD(0));
    const QString log = m_files.filePath("env.log");
    QCOMPARE(startService("daemon-env", {"log=" + log}), DWORD(0));
    QVERIFY(waitForLine(log, "env-mark handed-on"));
}

void TestSvcMgrDaemon::installLayout()
{
    QTemporaryDir prefix;
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start("cmake", {"--install", SARVELA_BUILD_DIR, "--prefix", prefix.path(),
                            "--component", "svcmgr"});
    QVERIFY(install.waitForFinished(120000));
    QVERIFY2(install.exitCode() == 0, install.readAll().constData());
    QVERIFY(QFileInfo(prefix.filePath("svcmgrd")).isExecutable());
    QVERIFY(QFile::exists(prefix.filePath("libsvcmgr.so")));
    QFile unit(prefix.filePath("svcmgrd.service"));
    QVERIFY(unit.open(QIODevice::ReadOnly));
    QVERIFY(
        unit.readAll().contains("ExecStart=\"" + QFile::encodeName(prefix.path()) + "/svcmgrd\""));

    // The installed daemon runs from there.
    SvcMgrDaemon daemon(prefix.path());
    QString error;
    QVERIFY2(daemon.start(&error), qPrintable(error));
    QVERIFY(managerAnswers());
}

QTEST_GUILESS_MAIN(TestSvcMgrDaemon)
#include "tst_svcmgrdaemon.moc"
