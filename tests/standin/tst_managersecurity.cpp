// The stand-in service manager against the other people on the machine: what a group can be
// given on one service and nothing more, whom a service runs as, what a plain user can make
// the daemon hold or write, and whose event reports it takes. Real throwaway users make the
// calls, through the test client.
#include "svcmgrcalls.h"
#include "svcmgrdaemon.h"
#include "systemusers.h"
#include "texttable.h"

#include <QtTest>

#include <csignal>
#include <memory>
#include <pwd.h>

namespace {

const QString Operated = QStringLiteral("svc-operated");
constexpr int IdleTimeoutMs = 4000, LifetimeMs = 9000;

DWORD setGroupAccess(const QString &service, const QString &group, DWORD access,
                     DWORD handleAccess = SERVICE_ALL_ACCESS)
{
    ScHandle h{openService(service, handleAccess)};
    return SetServiceGroupAccessW(h.h, group.toStdWString().c_str(), access) ? 0 : GetLastError();
}

qint64 residentKb(qint64 pid)
{
    const QStringList rss = readLines(QString("/proc/%1/status").arg(pid)).filter("VmRSS:");
    return rss.isEmpty() ? -1 : rss[0].split(' ', Qt::SkipEmptyParts).value(1).toLongLong();
}

// Whom a process runs as, and the variables that say it to the program.
QString credentials(qint64 pid)
{
    const QString proc = QString("/proc/%1/").arg(pid);
    QStringList seen = readLines(proc + "status").filter(QRegularExpression("^(Uid|Gid|Groups):"));
    const QStringList environment =
        QString::fromUtf8(readBytes(proc + "environ").replace('\0', '\n')).split('\n');
    seen += environment.filter(QRegularExpression("^(HOME|USER|LOGNAME)="));
    return seen.join(' ').simplified();
}

} // namespace

class TestManagerSecurity : public QObject
{
    Q_OBJECT

    SvcMgrDaemon m_daemon;
    SystemUsers m_users;
    QString m_operators, m_member, m_outsider;
    QString m_shared; // the test client, where the users can run it
    QTemporaryDir m_files;
    const QString m_log = m_files.filePath("echo.log");
    // The test client as a user runs it, finding its library where the users can read it.
    QStringList client(const QStringList &args) const
    {
        return QStringList{"LD_LIBRARY_PATH=" + m_shared, m_shared + "/svcmgrclient"} + args;
    }

    // The test client's answer to a call made as another user, the service's status left out.
    QByteArray as(const QString &user, const QStringList &args, bool withGroups = true)
    {
        const Ran r = m_users.run(user, "env", client(args), QProcessEnvironment::systemEnvironment(), 30000,
                                  withGroups);
        const QByteArray out = r.out.trimmed(), status = " state=";
        return r.exitCode == 0 ? out.left(out.contains(status) ? out.indexOf(status) : out.size())
                               : "exit " + QByteArray::number(r.exitCode) + r.err;
    }
    // A client of the user's that holds count connections, each sending bytes of a request,
    // until its input ends; a line sent to it asks how many the manager keeps open.
    std::unique_ptr<QProcess> holding(const QString &user, int count, int bytes = 0)
    {
        auto process = std::make_unique<QProcess>();
        const QStringList command =
            m_users.asUser(user) << "env" << client({"hold", QString::number(count), QString::number(bytes)});
        process->start(command.first(), command.mid(1));
        process->waitForReadyRead(30000);
        return process;
    }
    bool bringTo(const QString &name, DWORD state) { return ::bringTo(name, state, m_log); }
    // Starts the service afresh and says whom its process runs as; empty when it
    // did not start, with the error in *error.
    QString startAndSee(const QString &name, DWORD *error)
    {
        if (!bringTo(name, SERVICE_STOPPED))
            return "not stopped";
        if ((*error = startService(name, {"log=" + m_log, "report=Forged Source"})) != 0)
            return QString();
        waitForState(name, SERVICE_RUNNING); // it takes a stop once it says so
        return credentials(loggedPid(m_log));
    }
    // What credentials() says of a process run as the member, in its groups.
    QString asMember() const
    {
        const gid_t own = m_users.gid(m_member), operators = m_users.gid(m_operators);
        return QString("Uid: %1 %1 %1 %1 Gid: %2 %2 %2 %2 Groups: %3 %4 HOME=%5 USER=%6 LOGNAME=%6")
            .arg(m_users.uid(m_member))
            .arg(own)
            .arg(std::min(own, operators))
            .arg(std::max(own, operators))
            .arg(QString::fromLocal8Bit(::getpwnam(m_member.toLocal8Bit())->pw_dir), m_member);
    }

private slots:
    void initTestCase()
    {
        const QString noUsers = SystemUsers::unavailableReason();
        if (!noUsers.isEmpty())
            QSKIP(qPrintable(noUsers));
        m_daemon.setEnvironment("SVCMGR_IDLE_TIMEOUT_MS", QString::number(IdleTimeoutMs));
        m_daemon.setEnvironment("SVCMGR_CONNECTION_LIFETIME_MS", QString::number(LifetimeMs));
        // Where a service started again after a crash logs, as whatever user it runs.
        m_daemon.setEnvironment("ECHO_LOG", m_log);
        m_daemon.setEnvironment("SVCMGR_PASS_ENV", "ECHO_LOG");
        QVERIFY(QFile::setPermissions(m_files.path(), QFileDevice::Permissions(0x7777)));
        QString error;
        QVERIFY2(m_daemon.start(&error), qPrintable(error));
        QCOMPARE(createService(Operated), DWORD(0));
        m_operators = m_users.addGroup("operators", &error);
        m_member = m_users.addUser("member", {m_operators}, &error);
        m_outsider = m_users.addUser("outsider", {}, &error);
        m_shared =
            m_users.shareFiles({SARVELA_BIN_DIR "/svcmgrclient", SARVELA_BIN_DIR "/libsvcmgr.so"}, &error);
        QVERIFY2(!m_outsider.isEmpty() && !m_shared.isEmpty(), qPrintable(error));
    }

    void operatorRights_data()
    {
        QTest::addColumn<QString>("who");
        QTest::addColumn<bool>("granted");
        // "call|state before|state after, when allowed|who may: nobody, operators or anyone"
        QTest::addColumn<QString>("op"); // the client's arguments; %1 the service
        const char *ops[] = {"start|start %1 log=%2|1|4|operators",
                             "stop|control %1 1|4|1|operators",
                             "pause|control %1 2|4|7|operators",
                             "continue|control %1 3|7|4|operators",
                             "interrogate|control %1 4|4|4|operators",
                             "user control 128|control %1 128|4|4|operators",
                             "delete|delete %1|1|1|nobody",
                             "create another service|create svc-intruder /bin/true|1|0|nobody",
                             "change whom it runs as|change %1 - - - - root|1|1|nobody",
                             "report an event, under any source|report Forged x 3|1|0|nobody",
                             "open the manager for all access|open-manager 0xF003F|1|0|nobody",
                             "connect to the manager|open-manager 1|1|0|anyone",
                             "query the status|query-status %1|4|4|anyone"};
        for (const QString op : ops)
            for (const char *who : {"member", "outsider"})
                for (bool granted : {true, false})
                    QTest::addRow("%s, %s: %s", who, granted ? "group given the rights" : "no rights given",
                                  qPrintable(op.section('|', 0, 0)))
                        << who << granted << op.section('|', 1);
        // Listed in the group file, but the process that calls has left the group.
        QTest::newRow("member, group given the rights, calling without the group: start")
            << "member without groups" << true << "start %1 log=%2|1|4|operators";
    }

    void operatorRights()
    {
        QFETCH(QString, who);
        QFETCH(bool, granted);
        QFETCH(QString, op);
        const uint before = op.section('|', 1, 1).toUInt(), after = op.section('|', 2, 2).toUInt();
        const QString may = op.section('|', 3);
        const bool allowed = may == "anyone" || (may == "operators" && granted && who == "member");
        QCOMPARE(setGroupAccess(Operated, m_operators, granted ? SERVICE_GROUP_OPERATOR_ACCESS : 0),
                 DWORD(0));
        QVERIFY(bringTo(Operated, before));
        const int handled = readLines(m_log).filter("control ").size();
        const qint64 events = QFileInfo(m_daemon.dir() + "/events.log").size();
        const QStringList args =
            op.section('|', 0, 0).replace("%1", Operated).replace("%2", m_log).split(' ');
        QCOMPARE(as(who.startsWith("member") ? m_member : m_outsider, args, who != "member without groups"),
                 QByteArray(allowed ? "result=1 error=0" : "result=0 error=5"));
        QVERIFY(!after || waitForState(Operated, allowed ? after : before));
        // A control reached the service's handler exactly when it was allowed; a refused call
        // wrote nothing.
        QCOMPARE(readLines(m_log).filter("control ").size(),
                 handled + (allowed && args[0] == "control" ? 1 : 0));
        QVERIFY(allowed || QFileInfo(m_daemon.dir() + "/events.log").size() == events);
        QCOMPARE(config(Operated), QString("16 3 1 echo LocalSystem svc-operated"));
        QVERIFY(!ScHandle{openService("svc-intruder", SERVICE_QUERY_STATUS)}.h);
    }

    void groupAccessCalls_data()
    {
        // The rights of the handle the call is made on, the group, the rights given, the error.
        const QString all = QString::number(SERVICE_ALL_ACCESS),
                      ops = QString::number(SERVICE_GROUP_OPERATOR_ACCESS);
        textTable({"handle", "group", "access", "error"},
                  {{"the operator's rights", all, "operators", ops, "0"},
                   {"a part of them", all, "operators", QString::number(SERVICE_START), "0"},
                   {"a group the system does not know", all, "no-such", ops, "1332"},
                   {"taking away what an unknown group never had", all, "no-such", "0", "0"},
                   {"the right to delete", all, "operators", QString::number(DELETE), "87"},
                   {"the right to change the configuration", all, "operators",
                    QString::number(SERVICE_CHANGE_CONFIG), "87"},
                   {"all rights", all, "operators", all, "87"},
                   {"a name no group can have", all, "a:b", ops, "87"},
                   {"a handle without WRITE_DAC", QString::number(SERVICE_ALL_ACCESS & ~WRITE_DAC),
                    "operators", ops, "5"}});
    }

    void groupAccessCalls()
    {
        const DWORD access = cell("access").toUInt(), error = cell("error").toUInt();
        const QString group = cell("group").replace("operators", m_operators);
        QCOMPARE(setGroupAccess(Operated, m_operators, SERVICE_QUERY_STATUS), DWORD(0));
        QCOMPARE(setGroupAccess(Operated, group, access, cell("handle").toUInt()), error);
        QMap<QString, DWORD> expected{{m_operators, SERVICE_QUERY_STATUS}};
        if (!error && access)
            expected[group] = access;
        else if (!error)
            expected.remove(group);
        QCOMPARE(groupAccess(Operated), expected);
    }

    void grantKeptWithTheService()
    {
        const QString name = "svc-granted";
        QCOMPARE(createService(name), DWORD(0));
        QCOMPARE(QProcess::execute(SARVELA_BIN_DIR "/svcmgr-access", {name, m_operators}), 0);
        // Kept across a restart of the daemon.
        m_daemon.stop();
        QString error;
        QVERIFY2(m_daemon.start(&error), qPrintable(error));
        QCOMPARE(runCommand({SARVELA_BIN_DIR "/svcmgr-access", "--show", name}).out,
                 m_operators.toUtf8() + "\t0x1f5\tquery-config query-status start stop "
                                        "pause-continue interrogate user-control\n");
        QCOMPARE(as(m_member, {"start", name}), QByteArray("result=1 error=0"));
        // It takes a stop once it has started.
        QVERIFY(waitForState(name, SERVICE_RUNNING) && bringTo(name, SERVICE_STOPPED));
        // Gone with the service: a new one of the same name starts without it.
        QVERIFY(DeleteService(ScHandle{openService(name, DELETE)}.h));
        QCOMPARE(createService(name), DWORD(0));
        QVERIFY(groupAccess(name).isEmpty());
        QCOMPARE(as(m_member, {"start", name}), QByteArray("result=0 error=5"));
    }

    void accounts_data()
    {
        // %1 the member, %2 a user deleted once the service was registered.
        // The account given when changed by root after the first start; whom it runs as then:
        // "root", "member", or "" when it cannot start.
        textTable({"account", "changed", "runsAs"},
                  {{"none: the local system account, root", "-", "", "root"},
                   {".\\user: that user, with its groups and home, also started again after a crash", ".\\%1",
                    "", "member"},
                   {"a user without the dot", "%1", "", "member"},
                   {"a user deleted since it was registered: 1069", ".\\%2", "", ""},
                   {"changed to a user: from the next start", "-", ".\\%1", "member"}});
    }

    void accounts()
    {
        QString account = cell("account");
        const QString changed = cell("changed"), runsAs = cell("runsAs");
        QString error, gone;
        if (account.contains("%2"))
            QVERIFY2(!(gone = m_users.addUser("gone", {}, &error)).isEmpty(), qPrintable(error));
        static int row = 0;
        const QString name = QString("svc-as-%1").arg(++row);
        QCOMPARE(createService(name, echoPath, 3, account.replace("%1", m_member).replace("%2", gone)),
                 DWORD(0));
        QVERIFY(gone.isEmpty() || QProcess::execute("userdel", {gone}) == 0);
        DWORD started = 0;
        QString seen = startAndSee(name, &started);
        if (!changed.isEmpty()) {
            QCOMPARE(errorOf(svcCall({"change", name, "-", "-", "-", "-", changed.arg(m_member)})), DWORD(0));
            QCOMPARE(credentials(loggedPid(m_log)), seen); // until its next start
            seen = startAndSee(name, &started);
        }
        QCOMPARE(started, DWORD(runsAs.isEmpty() ? ERROR_SERVICE_LOGON_FAILED : 0));
        if (runsAs.isEmpty()) {
            QCOMPARE(queryStatus(name).dwWin32ExitCode, DWORD(ERROR_SERVICE_LOGON_FAILED));
            QVERIFY(m_daemon.eventLog().contains("The " + name + " service failed to start"));
            QVERIFY(m_daemon.eventLog().contains(".\\\\" + gone)); // escaped in the log
        } else {
            const QString expected = runsAs == "root" ? "Uid: 0 0 0 0 Gid: 0 0 0 0 Groups:[ 0-9]* HOME=/"
                                                      : QRegularExpression::escape(asMember());
            QVERIFY2(QRegularExpression("^" + expected + "$").match(seen).hasMatch(), qPrintable(seen));
            // It reports under its own name, whatever source it claims.
            QVERIFY(m_daemon.eventLog().contains(
                QRegularExpression("\t" + name + "\tInformation\t.*\treport from echo\t")));
            QVERIFY(!m_daemon.eventLog().contains("Forged"));
        }
        if (runsAs == "member" && account.startsWith(".\\")) { // a restart keeps the account
            const QStringList restart{name, "--restart-after", "1", "--reset-after", "60"};
            QCOMPARE(QProcess::execute(SARVELA_BIN_DIR "/svcmgr-config", restart), 0);
            const qint64 killed = loggedPid(m_log);
            QCOMPARE(::kill(pid_t(killed), SIGKILL), 0);
            QVERIFY(waitUntil([&] { return loggedPid(m_log) != killed; }) &&
                    waitForState(name, SERVICE_RUNNING));
            QCOMPARE(credentials(loggedPid(m_log)), asMember());
        }
        QVERIFY(bringTo(name, SERVICE_STOPPED));
    }

    void crowdedByPlainUser_data()
    {
        // The bytes of a full-size request each connection sends; how many of its connections
        // the daemon keeps at most.
        textTable({"bytes", "kept"}, {{"600 silent connections", "0", "32"},
                                      {"600 requests announced in full and sent in part", "65536", "4"}});
    }

    void crowdedByPlainUser()
    {
        const int bytes = cell("bytes").toInt(), kept = cell("kept").toInt();
        // Root's connection, opened before and idle longer than a plain user may be.
        ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
        const qint64 residentBefore = residentKb(m_daemon.pid());
        const auto crowd = holding(m_outsider, 600, bytes);
        QCOMPARE(crowd->readLine().trimmed(), QByteArray("held=600"));
        auto stillOpen = [&] {
            crowd->write("\n");
            return crowd->waitForReadyRead(10000) ? crowd->readLine().trimmed().mid(5).toInt() : -1;
        };
        // Those beyond its share are closed as soon as the daemon takes them, long
        // before any could have been idle for too long.
        int open = -1;
        waitUntil([&] { return (open = stillOpen()) <= kept; }, IdleTimeoutMs / 2);
        QVERIFY2(open > 0 && open <= kept, qPrintable(QString::number(open)));
        // Root's own calls go through at once.
        QElapsedTimer t;
        t.start();
        QCOMPARE(createService("svc-crowded"), DWORD(0));
        QVERIFY(bringTo("svc-crowded", SERVICE_RUNNING) && bringTo("svc-crowded", SERVICE_STOPPED));
        QVERIFY(DeleteService(ScHandle{openService("svc-crowded", DELETE)}.h));
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed()) + " ms"));
        // Less than what the requests that it keeps announce: it holds what arrived.
        QVERIFY2(residentKb(m_daemon.pid()) - residentBefore < 2 * 1024,
                 qPrintable(QString::number(residentKb(m_daemon.pid()))));
        // The plain user's connections are closed once idle; root's stays.
        QThread::msleep(IdleTimeoutMs);
        QVERIFY(waitUntil([&] { return stillOpen() == 0; }));
        crowd->closeWriteChannel();
        QVERIFY(crowd->waitForFinished(10000));
        QVERIFY(ScHandle{OpenServiceW(manager.h, L"svc-operated", SERVICE_QUERY_STATUS)}.h);
    }

    void crowdOfPlainUsers()
    {
        // A manager of its own, whose idle limit outlasts the crowd's gathering.
        SvcMgrDaemon daemon;
        daemon.setEnvironment("SVCMGR_IDLE_TIMEOUT_MS", "120000");
        QString error;
        QVERIFY2(daemon.start(&error), qPrintable(error));
        QCOMPARE(createService(Operated), DWORD(0));
        QCOMPARE(setGroupAccess(Operated, m_operators, SERVICE_QUERY_STATUS), DWORD(0));
        // Eight users, each with more connections than its share: all 256 taken.
        std::vector<std::unique_ptr<QProcess>> crowd;
        for (int i = 0; i < 8; ++i) {
            const QString user = m_users.addUser(QString("crowd%1").arg(i), {}, &error);
            QVERIFY2(!user.isEmpty(), qPrintable(error));
            crowd.push_back(holding(user, 40));
            QCOMPARE(crowd.back()->readLine().trimmed(), QByteArray("held=40"));
        }
        // Taken in the order they came: by now, the crowd has every shared place.
        QCOMPARE(as(m_outsider, {"query-status", Operated}), QByteArray("result=0 error=1722"));
        QCOMPARE(as(m_member, {"query-status", Operated}), QByteArray("result=1 error=0"));
        QVERIFY(ScHandle{openService(Operated, SERVICE_QUERY_STATUS)}.h);
        for (auto &client : crowd) {
            client->closeWriteChannel();
            QVERIFY(client->waitForFinished(10000));
        }
    }

    void handleFloodBounded()
    {
        const qint64 before = residentKb(m_daemon.pid());
        QCOMPARE(as(m_outsider, {"open-many", "50000", Operated}), QByteArray("opened=255 error=1816"));
        QVERIFY2(residentKb(m_daemon.pid()) - before < 1024,
                 qPrintable(QString::number(residentKb(m_daemon.pid()) - before) + " KiB more"));
    }

    void idleConnections_data()
    {
        // What the connection sends; it lives at least least ms and is closed before most.
        const QString idle = QString::number(IdleTimeoutMs), lifetime = QString::number(LifetimeMs);
        textTable({"sends", "least", "most"}, {{"only pings: closed once idle", "ping", idle, lifetime},
                                               {"requests that do something: closed at its lifetime", "work",
                                                lifetime, QString::number(LifetimeMs + IdleTimeoutMs)}});
    }

    void idleConnections()
    {
        const QByteArray answer =
            as(m_outsider, {"keep", QString::number(LifetimeMs + 2 * IdleTimeoutMs), cell("sends")});
        QVERIFY2(answer.startsWith("closed after="), answer.constData());
        const int after = answer.mid(13).toInt();
        QVERIFY2(after >= cell("least").toInt() - 200 && after < cell("most").toInt(), answer.constData());
    }
};

QTEST_GUILESS_MAIN(TestManagerSecurity)
#include "tst_managersecurity.moc"
