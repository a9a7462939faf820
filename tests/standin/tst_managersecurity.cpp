// The stand-in service manager against the other people on the machine: what a
// group can be given on one service and nothing more, what a plain user can make
// the daemon hold or write, whose event reports it takes, and which state folder
// it accepts. Real throwaway users make the calls, through the test client.
#include "svcmgrcalls.h"
#include "svcmgrdaemon.h"
#include "systemusers.h"

#include <QProcess>
#include <QtTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Operated = QStringLiteral("svc-operated");

// The rights a group has on a service, by group name.
QMap<QString, DWORD> groupAccess(const QString &service)
{
    ScHandle h{openService(service, READ_CONTROL)};
    std::vector<SERVICE_GROUP_ACCESSW> buffer(16);
    DWORD needed = 0, count = 0;
    QMap<QString, DWORD> groups;
    if (QueryServiceGroupAccessW(h.h, buffer.data(), DWORD(buffer.size() * sizeof buffer[0]),
                                 &needed, &count))
        for (DWORD i = 0; i < count; ++i)
            groups[QString::fromWCharArray(buffer[i].lpGroupName)] = buffer[i].dwAccess;
    return groups;
}

DWORD setGroupAccess(const QString &service, const QString &group, DWORD access,
                     DWORD handleAccess = SERVICE_ALL_ACCESS)
{
    ScHandle h{openService(service, handleAccess)};
    return SetServiceGroupAccessW(h.h, group.toStdWString().c_str(), access) ? 0 : GetLastError();
}

DWORD changeAccount(const QString &name, const QString &account)
{
    ScHandle service{openService(name, SERVICE_CHANGE_CONFIG)};
    return ChangeServiceConfigW(service.h, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                nullptr, nullptr, nullptr, nullptr, account.toStdWString().c_str(),
                                nullptr, nullptr)
               ? 0
               : GetLastError();
}

qint64 residentKb(qint64 pid)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    const QRegularExpressionMatch m =
        QRegularExpression("VmRSS:\\s+(\\d+)").match(QString::fromLatin1(status.readAll()));
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

qint64 fileSize(const QString &path)
{
    return QFileInfo(path).size();
}

// The lines of /proc/PID/status that say whom a process runs as, and the
// variables that say it to the program.
QString credentials(qint64 pid)
{
    QStringList seen;
    for (const QString &line : readLines(QString("/proc/%1/status").arg(pid)))
        if (line.startsWith("Uid:") || line.startsWith("Gid:") || line.startsWith("Groups:"))
            seen << line.simplified();
    QFile environ(QString("/proc/%1/environ").arg(pid));
    environ.open(QIODevice::ReadOnly);
    for (const QByteArray &v : environ.readAll().split('\0'))
        if (v.startsWith("HOME=") || v.startsWith("USER=") || v.startsWith("LOGNAME="))
            seen << QString::fromUtf8(v);
    return seen.join(' ');
}

} // namespace

class TestManagerSecurity : public QObject
{
    Q_OBJECT

    SvcMgrDaemon m_daemon;
    SystemUsers m_users;
    QString m_noUsers; // why tests with other users are skipped, if they are
    QString m_operators, m_member, m_outsider;
    QString m_shared; // the test client, where the users can run it
    QTemporaryDir m_files;
    const QString m_log = m_files.filePath("echo.log");
    static constexpr int IdleTimeoutMs = 4000;
    static constexpr int LifetimeMs = 9000;
    static constexpr int EventLogMaxBytes = 64 * 1024;

    // The test client's answer to a call made as another user.
    QByteArray as(const QString &user, const QStringList &args, bool withGroups = true)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LD_LIBRARY_PATH", m_shared);
        const SystemUsers::Result r =
            m_users.run(user, m_shared + "/svcmgrclient", args, env, 30000, withGroups);
        return r.exitCode == 0 ? r.out.trimmed() : "exit " + QByteArray::number(r.exitCode) + r.err;
    }
    QString user(const QString &who) const
    {
        return who.startsWith("member") ? m_member : m_outsider;
    }
    // The pid the echo service logged when it started last.
    qint64 loggedPid()
    {
        waitUntil([&] { return !readLines(m_log).filter(QRegularExpression("^pid ")).isEmpty(); });
        const QStringList pid = readLines(m_log).filter(QRegularExpression("^pid "));
        return pid.isEmpty() ? 0 : pid.last().mid(4).toLongLong();
    }
    // Starts the service afresh and says whom its process runs as; empty when it
    // did not start, with the error in *error.
    QString startAndSee(const QString &name, DWORD *error)
    {
        if (queryStatus(name).dwCurrentState != SERVICE_STOPPED &&
            (controlService(name, SERVICE_CONTROL_STOP) || !waitForState(name, SERVICE_STOPPED)))
            return "not stopped";
        QFile::remove(m_log); // the service's user must be able to make it
        if ((*error = startService(name, {"log=" + m_log})) != 0)
            return QString();
        waitForState(name, SERVICE_RUNNING); // it takes a stop once it says so
        return credentials(loggedPid());
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
            .arg(QString::fromLocal8Bit(::getpwnam(m_member.toLocal8Bit())->pw_dir))
            .arg(m_member);
    }
    bool bringTo(const QString &name, DWORD state)
    {
        DWORD now = queryStatus(name).dwCurrentState;
        if (now != SERVICE_STOPPED && state == SERVICE_STOPPED)
            return controlService(name, SERVICE_CONTROL_STOP) == 0 &&
                   waitForState(name, SERVICE_STOPPED);
        if (now == SERVICE_STOPPED && state != SERVICE_STOPPED &&
            (startService(name, {"log=" + m_log}) != 0 || !waitForState(name, SERVICE_RUNNING)))
            return false;
        now = queryStatus(name).dwCurrentState;
        if (now == SERVICE_RUNNING && state == SERVICE_PAUSED)
            return controlService(name, SERVICE_CONTROL_PAUSE) == 0;
        if (now == SERVICE_PAUSED && state == SERVICE_RUNNING)
            return controlService(name, SERVICE_CONTROL_CONTINUE) == 0;
        return now == state;
    }

private slots:
    void initTestCase()
    {
        m_daemon.setEnvironment("SVCMGR_IDLE_TIMEOUT_MS", QString::number(IdleTimeoutMs));
        m_daemon.setEnvironment("SVCMGR_CONNECTION_LIFETIME_MS", QString::number(LifetimeMs));
        // Services run as other users log here too.
        QVERIFY(QFile::setPermissions(m_files.path(), QFileDevice::Permissions(0x7777)));
        m_daemon.setEnvironment("SVCMGR_EVENTLOG_MAX_BYTES", QString::number(EventLogMaxBytes));
        QString error;
        QVERIFY2(m_daemon.start(&error), qPrintable(error));
        QCOMPARE(createService(Operated), DWORD(0));
        m_noUsers = SystemUsers::unavailableReason();
        if (!m_noUsers.isEmpty())
            return;
        m_operators = m_users.addGroup("operators", &error);
        m_member = m_users.addUser("member", {m_operators}, &error);
        m_outsider = m_users.addUser("outsider", {}, &error);
        QVERIFY2(!m_outsider.isEmpty(), qPrintable(error));
        m_shared = m_users.shareFiles(
            {SARVELA_BIN_DIR "/svcmgrclient", SARVELA_BIN_DIR "/libsvcmgr.so"}, &error);
        QVERIFY2(!m_shared.isEmpty(), qPrintable(error));
    }

    void operatorRights_data()
    {
        QTest::addColumn<QString>("who");
        QTest::addColumn<bool>("granted");
        QTest::addColumn<QStringList>("call"); // the client's arguments; %1 the service
        QTest::addColumn<uint>("before");      // the service's state for the call
        QTest::addColumn<uint>("after");       // its state after the call, when allowed
        QTest::addColumn<bool>("allowed");
        enum May { Nobody, Operators, Anyone };
        struct Op
        {
            const char *name;
            QStringList call;
            uint before, after;
            May may;
        };
        const uint stopped = SERVICE_STOPPED, running = SERVICE_RUNNING, paused = SERVICE_PAUSED;
        const Op ops[] = {
            {"start", {"start", "%1", "log=%2"}, stopped, running, Operators},
            {"stop", {"control", "%1", "1"}, running, stopped, Operators},
            {"pause", {"control", "%1", "2"}, running, paused, Operators},
            {"continue", {"control", "%1", "3"}, paused, running, Operators},
            {"interrogate", {"control", "%1", "4"}, running, running, Operators},
            {"user control 128", {"control", "%1", "128"}, running, running, Operators},
            {"delete", {"delete", "%1"}, stopped, stopped, Nobody},
            {"create another service", {"create", "svc-intruder", "/bin/true"}, stopped, 0, Nobody},
            {"open the manager for all access", {"open-manager", "0xF003F"}, stopped, 0, Nobody},
            {"connect to the manager", {"open-manager", "1"}, stopped, 0, Anyone},
            {"query the status", {"query-status", "%1"}, running, running, Anyone},
        };
        for (const Op &op : ops)
            for (const char *who : {"member", "outsider"})
                for (bool granted : {true, false})
                    QTest::addRow("%s, %s: %s", who,
                                  granted ? "group given the rights" : "no rights given", op.name)
                        << who << granted << op.call << op.before << op.after
                        << (op.may == Anyone ||
                            (op.may == Operators && granted && QByteArray(who) == "member"));
        // Listed in the group file, but the process that calls has left the group.
        QTest::newRow("member, group given the rights, calling without the group: start")
            << "member without groups" << true << ops[0].call << stopped << running << false;
    }

    void operatorRights()
    {
        QFETCH(QString, who);
        QFETCH(bool, granted);
        QFETCH(QStringList, call);
        QFETCH(uint, before);
        QFETCH(uint, after);
        QFETCH(bool, allowed);
        if (!m_noUsers.isEmpty())
            QSKIP(qPrintable(m_noUsers));
        QCOMPARE(setGroupAccess(Operated, m_operators, granted ? SERVICE_GROUP_OPERATOR_ACCESS : 0),
                 DWORD(0));
        QVERIFY(bringTo(Operated, before));
        const int handled = readLines(m_log).filter("control ").size();

        call.replaceInStrings("%1", Operated).replaceInStrings("%2", m_log);
        // A status query also prints the state, which waitForState checks below.
        QCOMPARE(as(user(who), call, who != "member without groups").left(16),
                 QByteArray(allowed ? "result=1 error=0" : "result=0 error=5"));
        if (after)
            QVERIFY(waitForState(Operated, allowed ? after : before));
        // A control reached the service's handler exactly when it was allowed.
        QCOMPARE(readLines(m_log).filter("control ").size(),
                 handled + (allowed && call[0] == "control" ? 1 : 0));
        QVERIFY(ScHandle{openService(Operated, SERVICE_QUERY_STATUS)}.h);
        QVERIFY(!ScHandle{openService("svc-intruder", SERVICE_QUERY_STATUS)}.h);
    }

    void groupAccessCalls_data()
    {
        QTest::addColumn<uint>("handle"); // the rights of the handle the call is made on
        QTest::addColumn<QString>("group");
        QTest::addColumn<uint>("access");
        QTest::addColumn<uint>("error");
        const uint all = SERVICE_ALL_ACCESS, ops = SERVICE_GROUP_OPERATOR_ACCESS;
        QTest::newRow("the operator's rights") << all << "operators" << ops << 0u;
        QTest::newRow("a part of them") << all << "operators" << uint(SERVICE_START) << 0u;
        QTest::newRow("a group the system does not know") << all << "no-such" << ops << 1332u;
        QTest::newRow("taking away what an unknown group never had")
            << all << "no-such" << 0u << 0u;
        QTest::newRow("the right to delete") << all << "operators" << uint(DELETE) << 87u;
        QTest::newRow("the right to change the configuration")
            << all << "operators" << uint(SERVICE_CHANGE_CONFIG) << 87u;
        QTest::newRow("all rights") << all << "operators" << all << 87u;
        QTest::newRow("a name no group can have") << all << "a:b" << ops << 87u;
        QTest::newRow("a handle without WRITE_DAC")
            << uint(all & ~WRITE_DAC) << "operators" << ops << 5u;
    }

    void groupAccessCalls()
    {
        QFETCH(uint, handle);
        QFETCH(QString, group);
        QFETCH(uint, access);
        QFETCH(uint, error);
        if (!m_noUsers.isEmpty())
            QSKIP(qPrintable(m_noUsers));
        QCOMPARE(setGroupAccess(Operated, m_operators, SERVICE_QUERY_STATUS), DWORD(0));
        if (group == "operators")
            group = m_operators;
        QCOMPARE(setGroupAccess(Operated, group, access, handle), DWORD(error));
        QMap<QString, DWORD> expected{{m_operators, SERVICE_QUERY_STATUS}};
        if (!error && access)
            expected[group] = access;
        else if (!error)
            expected.remove(group);
        QCOMPARE(groupAccess(Operated), expected);
    }

    void grantKeptWithTheService()
    {
        if (!m_noUsers.isEmpty())
            QSKIP(qPrintable(m_noUsers));
        const QString name = "svc-granted";
        QCOMPARE(createService(name), DWORD(0));
        QProcess command;
        command.start(SARVELA_BIN_DIR "/svcmgr-access", {name, m_operators});
        QVERIFY(command.waitForFinished(10000) && command.exitCode() == 0);

        // Kept across a restart of the daemon.
        m_daemon.stop();
        QString error;
        QVERIFY2(m_daemon.start(&error), qPrintable(error));
        command.start(SARVELA_BIN_DIR "/svcmgr-access", {"--show", name});
        QVERIFY(command.waitForFinished(10000) && command.exitCode() == 0);
        QCOMPARE(command.readAllStandardOutput(),
                 m_operators.toUtf8() + "\t0x1f5\tquery-config query-status start stop "
                                        "pause-continue interrogate user-control\n");
        QCOMPARE(as(m_member, {"start", name}), QByteArray("result=1 error=0"));
        QVERIFY(waitForState(name, SERVICE_RUNNING));
        QCOMPARE(as(m_member, {"control", name, "1"}), QByteArray("result=1 error=0"));
        QVERIFY(waitForState(name, SERVICE_STOPPED));

        // Gone with the service: a new one of the same name starts without it.
        ScHandle doomed{openService(name, DELETE)};
        QVERIFY(DeleteService(doomed.h));
        CloseServiceHandle(doomed.h);
        doomed.h = nullptr;
        QCOMPARE(createService(name), DWORD(0));
        QVERIFY(groupAccess(name).isEmpty());
        QCOMPARE(as(m_member, {"start", name}), QByteArray("result=0 error=5"));

        // The buffer's size comes back when it is too small.
        QCOMPARE(setGroupAccess(name, m_operators, SERVICE_START), DWORD(0));
        ScHandle h{openService(name, READ_CONTROL)};
        DWORD needed = 0, count = 0;
        QVERIFY(!QueryServiceGroupAccessW(h.h, nullptr, 0, &needed, &count));
        QCOMPARE(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        QCOMPARE(needed,
                 DWORD(sizeof(SERVICE_GROUP_ACCESSW) + (m_operators.size() + 1) * sizeof(wchar_t)));
    }

    void crowdedByPlainUser_data()
    {
        QTest::addColumn<int>("bytes"); // of a full-size request each connection sends
        QTest::addColumn<int>("kept");  // how many of its connections the daemon keeps at most
        QTest::newRow("600 silent connections") << 0 << 32;
        QTest::newRow("600 requests announced in full and sent in part") << 65536 << 4;
    }

    void crowdedByPlainUser()
    {
        QFETCH(int, bytes);
        QFETCH(int, kept);
        if (!m_noUsers.isEmpty())
            QSKIP(qPrintable(m_noUsers));
        // Root's connection, opened before and idle longer than a plain user may be.
        ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
        const qint64 residentBefore = residentKb(m_daemon.pid());

        QProcess crowd;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LD_LIBRARY_PATH", m_shared);
        crowd.setProcessEnvironment(env);
        const QStringList command = m_users.asUser(m_outsider) << m_shared + "/svcmgrclient"
                                                               << "hold"
                                                               << "600" << QString::number(bytes);
        crowd.start(command.first(), command.mid(1));
        QVERIFY(crowd.waitForReadyRead(30000));
        QCOMPARE(crowd.readLine().trimmed(), QByteArray("held=600"));
        auto stillOpen = [&] {
            crowd.write("\n");
            return crowd.waitForReadyRead(10000) ? crowd.readLine().trimmed().mid(5).toInt() : -1;
        };
        // Those beyond its share are closed as soon as the daemon takes them, long
        // before any could have been idle for too long.
        QElapsedTimer settling;
        settling.start();
        int open = stillOpen();
        while (open > kept && settling.elapsed() < IdleTimeoutMs / 2)
            open = stillOpen();
        QVERIFY2(open > 0 && open <= kept, qPrintable(QString::number(open)));

        QElapsedTimer t;
        t.start();
        QCOMPARE(createService("svc-crowded"), DWORD(0));
        QCOMPARE(startService("svc-crowded", {"log=" + m_log}), DWORD(0));
        QVERIFY(waitForState("svc-crowded", SERVICE_RUNNING)); // it takes a stop once it says so
        QCOMPARE(controlService("svc-crowded", SERVICE_CONTROL_STOP), DWORD(0));
        ScHandle doomed{openService("svc-crowded", DELETE)};
        QVERIFY(DeleteService(doomed.h));
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed()) + " ms"));
        // Less than what the requests that it keeps announce: it holds what arrived.
        QVERIFY2(residentKb(m_daemon.pid()) - residentBefore < 2 * 1024,
                 qPrintable(QString::number(residentKb(m_daemon.pid()))));

        // The plain user's connections are closed once idle; root's stays.
        QThread::msleep(IdleTimeoutMs);
        QVERIFY(waitUntil([&] { return stillOpen() == 0; }));
        crowd.closeWriteChannel();
        QVERIFY(crowd.waitForFinished(10000));
        QVERIFY(
            ScHandle{OpenServiceW(manager.h, Operated.toStdWString().c_str(), SERVICE_QUERY_STATUS)}
                .h);
    }

    void accounts_data()
    {
        // %1 the member, %2 a user deleted once the service was registered.
        QTest::addColumn<QString>("account");
        QTest::addColumn<QString>("runsAs"); // "root", "member", or "" when it cannot start
        QTest::newRow("none: the local system account, root") << QString() << "root";
        QTest::newRow(".\\user: that user, with its groups and home") << ".\\%1"
                                                                      << "member";
        QTest::newRow("a user without the dot") << "%1"
                                                << "member";
        QTest::newRow("a user deleted since it was registered: 1069") << ".\\%2"
                                                                      << "";
    }

    void accounts()
    {
        QFETCH(QString, account);
        QFETCH(QString, runsAs);
        if (!m_noUsers.isEmpty())
            QSKIP(qPrintable(m_noUsers));
        QString error, gone;
        if (account.contains("%2"))
            QVERIFY2(!(gone = m_users.addUser("gone", {}, &error)).isEmpty(), qPrintable(error));
        static int row = 0;
        const QString name = QString("svc-as-%1").arg(++row);
        if (!account.isNull())
            account.replace("%1", m_member).replace("%2", gone);
        QCOMPARE(createService(name, echoPath, SERVICE_DEMAND_START, account), DWORD(0));
        if (!gone.isEmpty())
            QCOMPARE(QProcess::execute("userdel", {gone}), 0);

        DWORD started = 0;
        const QString seen = startAndSee(name, &started);
        if (runsAs.isEmpty()) {
            QCOMPARE(started, DWORD(ERROR_SERVICE_LOGON_FAILED));
            QCOMPARE(queryStatus(name).dwWin32ExitCode, DWORD(ERROR_SERVICE_LOGON_FAILED));
            QVERIFY(m_daemon.eventLog().contains("The " + name + " service failed to start"));
            QVERIFY(m_daemon.eventLog().contains(".\\\\" + gone)); // escaped in the log
        } else if (runsAs == "root") {
            QCOMPARE(started, DWORD(0));
            QVERIFY2(seen.startsWith("Uid: 0 0 0 0 Gid: 0 0 0 0") && seen.contains("HOME=/") &&
                         !seen.contains("USER="),
                     qPrintable(seen));
        } else {
            QCOMPARE(started, DWORD(0));
            QCOMPARE(seen, asMember());
        }
        QVERIFY(bringTo(name, SERVICE_STOPPED));
    }

    void accountChangedAtNextStart()
    {
        if (!m_noUsers.isEmpty())
            QSKIP(qPrintable(m_noUsers));
        const QString name = "svc-reaccounted";
        QCOMPARE(createService(name), DWORD(0));
        QCOMPARE(setGroupAccess(name, m_operators, SERVICE_GROUP_OPERATOR_ACCESS), DWORD(0));
        // Operators start and stop it; whom it runs as stays root's to say.
        QCOMPARE(as(m_member, {"set-account", name, m_member}), QByteArray("result=0 error=5"));
        QCOMPARE(as(m_outsider, {"set-account", name, m_outsider}), QByteArray("result=0 error=5"));
        DWORD error = 0;
        QVERIFY(startAndSee(name, &error).startsWith("Uid: 0 0 0 0"));
        QCOMPARE(changeAccount(name, ".\\nobody-" + m_member),
                 DWORD(ERROR_INVALID_SERVICE_ACCOUNT));
        QCOMPARE(changeAccount(name, ".\\" + m_member), DWORD(0));
        QVERIFY(credentials(loggedPid()).startsWith("Uid: 0 0 0 0")); // until its next start
        QCOMPARE(startAndSee(name, &error), asMember());
        QVERIFY(bringTo(name, SERVICE_STOPPED));
    }

    void crowdOfPlainUsers()
    {
        if (!m_noUsers.isEmpty())
            QSKIP(qPrintable(m_noUsers));
        // A manager of its own, whose idle limit outlasts the crowd's gathering.
        SvcMgrDaemon daemon;
        daemon.setEnvironment("SVCMGR_IDLE_TIMEOUT_MS", "120000");
        QString error;
        QVERIFY2(daemon.start(&error), qPrintable(error));
        QCOMPARE(createService(Operated), DWORD(0));
        QCOMPARE(setGroupAccess(Operated, m_operators, SERVICE_QUERY_STATUS), DWORD(0));

        // Eight users, each with more connections than its share: all 256 taken.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LD_LIBRARY_PATH", m_shared);
        std::vector<std::unique_ptr<QProcess>> crowd;
        for (int i = 0; i < 8; ++i) {
            const QString user = m_users.addUser(QString("crowd%1").arg(i), {}, &error);
            QVERIFY2(!user.isEmpty(), qPrintable(error));
            crowd.push_back(std::make_unique<QProcess>());
            crowd.back()->setProcessEnvironment(env);
            const QStringList command = m_users.asUser(user) << m_shared + "/svcmgrclient"
                                                             << "hold"
                                                             << "40";
            crowd.back()->start(command.first(), command.mid(1));
            QVERIFY(crowd.back()->waitForReadyRead(30000));
            QCOMPARE(crowd.back()->readLine().trimmed(), QByteArray("held=40"));
        }
        // Taken in the order they came: by now, the crowd has every shared place.
        QCOMPARE(as(m_outsider, {"query-status", Operated}), QByteArray("result=0 error=1722"));
        QCOMPARE(as(m_member, {"query-status", Operated}), QByteArray("result=1 error=0 state=1"));
        QVERIFY(ScHandle{openService(Operated, SERVICE_QUERY_STATUS)}.h);
        for (auto &p : crowd) {
            p->closeWriteChannel();
            QVERIFY(p->waitForFinished(10000));
        }
        daemon.stop();
        qputenv("SVCMGR_DIR", QFile::encodeName(m_daemon.dir())); // back to this test's daemon
    }

    void handleFloodBounded()
    {
        if (!m_noUsers.isEmpty())
            QSKIP(qPrintable(m_noUsers));
        const qint64 before = residentKb(m_daemon.pid());
        QCOMPARE(as(m_outsider, {"open-many", "50000", Operated}),
                 QByteArray("opened=255 error=1816"));
        QVERIFY2(residentKb(m_daemon.pid()) - before < 1024,
                 qPrintable(QString::number(residentKb(m_daemon.pid()) - before) + " KiB more"));
    }

    void idleConnections_data()
    {
        QTest::addColumn<QString>("sends");
        QTest::addColumn<int>("least"); // the connection lives at least this long
        QTest::addColumn<int>("most");  // and is closed before this
        QTest::newRow("only pings: closed once idle") << "ping" << IdleTimeoutMs << LifetimeMs;
        QTest::newRow("requests that do something: closed at its lifetime")
            << "work" << LifetimeMs << LifetimeMs + IdleTimeoutMs;
    }

    void idleConnections()
    {
        QFETCH(QString, sends);
        QFETCH(int, least);
        QFETCH(int, most);
        if (!m_noUsers.isEmpty())
            QSKIP(qPrintable(m_noUsers));
        const QByteArray answer =
            as(m_outsider, {"keep", QString::number(LifetimeMs + 2 * IdleTimeoutMs), sends});
        QVERIFY2(answer.startsWith("closed after="), answer.constData());
        const int after = answer.mid(13).toInt();
        QVERIFY2(after >= least - 200 && after < most, answer.constData());
    }

    void eventSources_data()
    {
        QTest::addColumn<QString>("who");
        QTest::addColumn<QString>("recorded"); // the source the record carries; empty: refused
        QTest::newRow("root, under a source of its choice") << "root"
                                                            << "root-tool";
        QTest::newRow("a service claiming another source") << "service"
                                                           << "svc-reporter";
        QTest::newRow("a service run as a plain user, claiming another source")
            << "service as outsider"
            << "svc-dropped";
        QTest::newRow("a member of the operators' group") << "member"
                                                          << "";
    }

    void eventSources()
    {
        QFETCH(QString, who);
        QFETCH(QString, recorded);
        const QString text = "report by " + who;
        if (who == "root") {
            HANDLE source = RegisterEventSourceW(nullptr, L"root-tool");
            const std::wstring wide = text.toStdWString();
            LPCWSTR strings[] = {wide.c_str()};
            QVERIFY(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings,
                                 nullptr));
            DeregisterEventSource(source);
        } else if (who.startsWith("service")) {
            if (who.endsWith("outsider") && !m_noUsers.isEmpty())
                QSKIP(qPrintable(m_noUsers));
            QCOMPARE(createService(recorded), DWORD(0));
            QStringList args{"log=" + m_log, "report=Forged Source"};
            if (who.endsWith("outsider"))
                args << "uid=" + QString::number(m_users.uid(m_outsider));
            QCOMPARE(startService(recorded, args), DWORD(0));
            QVERIFY(waitForState(recorded, SERVICE_RUNNING));
            QCOMPARE(controlService(recorded, SERVICE_CONTROL_STOP), DWORD(0));
        } else {
            if (!m_noUsers.isEmpty())
                QSKIP(qPrintable(m_noUsers));
            QCOMPARE(as(user(who), {"report", "Forged Source", text, "3"}),
                     QByteArray("result=0 error=5"));
        }
        const QStringList lines = m_daemon.eventLog().split('\n');
        QVERIFY(lines.filter("Forged Source").isEmpty());
        const QStringList records =
            lines.filter(who.startsWith("service") ? "\treport from echo\t" : "\t" + text + "\t");
        if (recorded.isEmpty()) {
            QVERIFY(records.isEmpty());
        } else {
            QCOMPARE(records.filter("\t" + recorded + "\tInformation\t").size(), 1);
        }
    }

    void eventLogBounded()
    {
        const QString log = m_daemon.dir() + "/events.log";
        HANDLE source = RegisterEventSourceW(nullptr, L"root-tool");
        auto report = [&](const QString &text) {
            const std::wstring wide = text.toStdWString();
            LPCWSTR strings[] = {wide.c_str()};
            return ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, 2, nullptr, 1, 0, strings,
                                nullptr);
        };
        QVERIFY(report("kept by root"));
        if (m_noUsers.isEmpty()) {
            // A plain user's flood writes nothing at all.
            const qint64 size = fileSize(log);
            QCOMPARE(as(m_outsider, {"report", "flood", QString(2000, 'f'), "2000"}),
                     QByteArray("result=0 error=5"));
            QCOMPARE(fileSize(log), size);
            QVERIFY(m_daemon.eventLog().contains("kept by root"));
        }
        // Root's own flood: rotated, each file within the bound, the latest record kept.
        for (int i = 0; i < 4 * EventLogMaxBytes / 1000; ++i)
            QVERIFY(report(QString("root record %1 ").arg(i) + QString(1000, 'r')));
        QVERIFY(report("the latest by root"));
        DeregisterEventSource(source);
        QVERIFY(fileSize(log) <= EventLogMaxBytes);
        QVERIFY(fileSize(log + ".1") > EventLogMaxBytes / 2);
        QVERIFY(fileSize(log + ".1") <= EventLogMaxBytes);
        QVERIFY(m_daemon.eventLog().contains("the latest by root"));
    }

    void stateFolder_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("refusal"); // in the daemon's message; empty: it serves
        QTest::newRow("owned by another user") << "chown"
                                               << "belongs to uid 65534";
        QTest::newRow("a link to another user's folder") << "link"
                                                         << "belongs to uid 65534";
        QTest::newRow("writable by its group") << "0775"
                                               << "its group or others may write";
        QTest::newRow("writable by everyone, sticky") << "1777"
                                                      << "its group or others may write";
        QTest::newRow("its pid file a link to another file")
            << "pid link"
            << "svcmgrd.pid: Too many levels of symbolic links";
        QTest::newRow("a link where the database's temp file is made") << "temp link"
                                                                       << "";
        QTest::newRow("missing: made for the daemon alone, whatever its umask") << "missing"
                                                                                << "";
    }

    void stateFolder()
    {
        QFETCH(QString, setup);
        QFETCH(QString, refusal);
        if ((setup == "chown" || setup == "link") && ::geteuid() != 0)
            QSKIP("handing a folder to another user needs root");
        QTemporaryDir base;
        const QString dir = base.filePath("state"), victim = base.filePath("victim");
        QFile(victim).open(QIODevice::WriteOnly);
        const QByteArray path = QFile::encodeName(dir);
        if (setup != "missing")
            QVERIFY(QDir().mkdir(setup == "link" ? dir + ".real" : dir));
        if (setup == "chown")
            QCOMPARE(::chown(path, 65534, 65534), 0);
        if (setup == "link") {
            QCOMPARE(::chown(QFile::encodeName(dir + ".real"), 65534, 65534), 0);
            QVERIFY(QFile::link(dir + ".real", dir));
        }
        if (setup.startsWith('0') || setup.startsWith('1'))
            QCOMPARE(::chmod(path, mode_t(setup.toUInt(nullptr, 8))), 0);
        if (setup == "pid link")
            QVERIFY(QFile::link(victim, dir + "/svcmgrd.pid"));
        if (setup == "temp link") {
            // A service marked for deletion makes the daemon save as it starts.
            QFile db(dir + "/services.db");
            QVERIFY(db.open(QIODevice::WriteOnly));
            db.write("svcmgr-services 2\nsvc-marked\tm\t/bin/true\t16\t3\t1\tLocalSystem\t0\t0"
                     "\t\t1\t\n");
            db.close();
            QVERIFY(QFile::link(victim, dir + "/services.db.tmp"));
        }

        QProcess daemon;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SVCMGR_DIR", dir);
        env.insert("SVCMGR_EXIT_WITH_PARENT", "1");
        daemon.setProcessEnvironment(env);
        const mode_t umask = ::umask(077); // the daemon must not take it over
        daemon.start(SARVELA_BIN_DIR "/svcmgrd", QStringList());
        QVERIFY(daemon.waitForStarted());
        ::umask(umask);
        const bool served =
            waitUntil([&] {
                return daemon.waitForFinished(20) || QFile::exists(dir + "/svcmgr.sock");
            }) &&
            daemon.state() == QProcess::Running;
        daemon.terminate();
        QVERIFY(daemon.state() == QProcess::NotRunning || daemon.waitForFinished(10000));
        const QByteArray message = daemon.readAllStandardError();
        QCOMPARE(served, refusal.isEmpty());
        QVERIFY2(message.contains(refusal.toUtf8()), message.constData());
        QCOMPARE(fileSize(victim), 0); // nothing written through a link
        if (refusal.isEmpty()) {
            struct stat st = {};
            QCOMPARE(::stat(path, &st), 0);
            QCOMPARE(st.st_uid, ::geteuid());
            QVERIFY(setup != "missing" || (st.st_mode & 07777) == 0755);
        }
        if (setup == "temp link") {
            QFile db(dir + "/services.db");
            QVERIFY(db.open(QIODevice::ReadOnly) && db.readAll() == "svcmgr-services 3\n");
        }
    }
};

QTEST_GUILESS_MAIN(TestManagerSecurity)
#include "tst_managersecurity.moc"
