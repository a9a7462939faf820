// The stand-in service manager through a private daemon, as root alone: the last-error
// codes of its calls, running services, changing them, what it does when they fail, its
// event log, and the daemon's own restarts and crashes, state folder and misbehaving clients.
#include "svcmgrcalls.h"
#include "svcmgrdaemon.h"
#include "texttable.h"

#include <QtTest>

#include <csignal>
#include <poll.h>

namespace {

constexpr int EventLogMaxBytes = 64 * 1024;

// Sets failure actions written "RESET [-] [type:delay...] [reboot=TEXT] [command=TEXT]": "-"
// for no array, a text left out when not given; through a handle with access (0: all).
DWORD setFailureActions(const QString &name, const QString &given, DWORD access = 0)
{
    const QStringList parts = given.split(' ', Qt::SkipEmptyParts);
    std::vector<SC_ACTION> list(1); // list[0] is not sent: an empty array is still not a null one
    std::wstring reboot, command;
    for (const QString &part : parts.mid(1)) {
        if (part.contains('='))
            (part.startsWith("command=") ? command : reboot) = part.section('=', 1).toStdWString();
        else if (part != "-")
            list.push_back({SC_ACTION_TYPE(part.section(':', 0, 0).toUInt()), part.section(':', 1).toUInt()});
    }
    SERVICE_FAILURE_ACTIONSW fa{parts.value(0).toUInt(), given.contains("reboot=") ? reboot.data() : nullptr,
                                given.contains("command=") ? command.data() : nullptr, DWORD(list.size() - 1),
                                parts.contains("-") ? nullptr : list.data() + 1};
    ScHandle service{openService(name, access ? access : SERVICE_ALL_ACCESS)};
    return ChangeServiceConfig2W(service.h, SERVICE_CONFIG_FAILURE_ACTIONS, &fa) ? 0 : GetLastError();
}

// What svcmgr-config --show prints of a service, a line "k\tv\tw" as "k=v=w", lines joined.
QString shown(const QString &name)
{
    const Ran tool = runCommand({SARVELA_BIN_DIR "/svcmgr-config", name, "--show"});
    return QString::fromUtf8(tool.out).trimmed().replace('\t', '=').replace('\n', ' ');
}

} // namespace

class TestSvcMgr : public QObject
{
    Q_OBJECT

    SvcMgrDaemon m_daemon;
    QTemporaryDir m_files;
    const QString m_log = m_files.filePath("echo.log");

    QString lastEvent() { return m_daemon.eventLog().trimmed().section('\n', -1).section('\t', 5, 5); }
    // True once the first process whose pid the service logged has ended (or is a zombie).
    bool loggedProcessGone()
    {
        const QString stat = QString("/proc/%1/stat").arg(loggedPid(m_log, true));
        return stat != "/proc/0/stat" &&
               waitUntil([&] { return !readBytes(stat).contains(") ") || readBytes(stat).contains(") Z "); });
    }
    int m_row = 0; // numbers a new service for each row of a data-driven test

private slots:
    void initTestCase()
    {
        m_daemon.setEnvironment("SVCMGR_START_TIMEOUT_MS", "2000");
        m_daemon.setEnvironment("SVCMGR_EVENTLOG_MAX_BYTES", QString::number(EventLogMaxBytes));
        // Where an echo service started without arguments (by a restart) logs.
        m_daemon.setEnvironment("ECHO_LOG", m_log);
        m_daemon.setEnvironment("SVCMGR_PASS_ENV", "ECHO_LOG");
        QString error;
        QVERIFY2(m_daemon.start(&error), qPrintable(error));
        // silent.sh logs its pid, then never connects. The crash and deletion cases run the echo
        // service from paths with blanks, quoted and not: "my" is what a path cut at its blank
        // would run instead of "my service", and cleanup() sees that it never ran.
        QVERIFY(sh("cd " + m_files.path() + " && printf '#!/bin/sh\\necho pid $$ > " + m_log +
                   "\\nexec sleep 60\\n' > silent.sh && printf '#!/bin/sh\\ntouch \"$0-ran\"\\n' > my "
                   "&& chmod 700 my silent.sh && cp " SARVELA_BIN_DIR "/echoservice 'my service'"));
        QCOMPARE(createService("api-stopped") + createService("api-disabled", "/bin/true", SERVICE_DISABLED) +
                     createService("api-missing", "\"/nonexistent/a b\"") +
                     createService("api-true", "/bin/true") +
                     createService("api-silent", m_files.filePath("silent.sh")),
                 DWORD(0));
    }

    // Removed once seen, so that a fault fails the case that ran "my", not every later one.
    void cleanup() { QVERIFY(!QFile::remove(m_files.filePath("my-ran"))); }

    void errorCodes_data()
    {
        // The test client's arguments; the call's answer, the service's status with it.
        const QString stopped = " state=1 exit=1077"; // never started
        textTable(
            {"call", "answer"},
            {{"remote machine", "open-manager 1 \\\\far-away", "result=0 error=1722"},
             {"another database", "open-manager 1 - ServicesFailed", "result=0 error=1065"},
             {"active database, other case", "open-manager 1 - servicesactive", "result=1 error=0"},
             {"open with a null manager", "open-null api-stopped", "result=0 error=6" + stopped},
             {"open a name with a slash", "query-status api/stopped", "result=0 error=123"},
             {"create an existing name", "create API-STOPPED /bin/true", "result=0 error=1073" + stopped},
             {"create with a bad name", "create a\\b /bin/true", "result=0 error=123"},
             {"create a driver", "create api-driver /bin/true 3 1", "result=0 error=87"},
             {"create with an account nobody has", "create api-nobody /bin/true 3 16 .\\nobody-such",
              "result=0 error=1057"},
             {"start without the start right", "access=4 start api-true", "result=0 error=5" + stopped},
             {"start a disabled service", "start api-disabled", "result=0 error=1058" + stopped},
             // A refused start leaves the reason in the service's status.
             {"start a missing executable", "start api-missing", "result=0 error=2 state=1 exit=2"},
             {"start one that ends before connecting", "start api-true",
              "result=0 error=1067 state=1 exit=1067"},
             {"start one that never connects: stopped again", "start api-silent",
              "result=0 error=1053 state=1 exit=1053"},
             {"stop without the stop right", "access=4 control api-stopped 1",
              "result=0 error=5 state=0 exit=0"},
             {"stop a stopped service", "control api-stopped 1", "result=0 error=1062" + stopped},
             {"shutdown is the system's control", "control api-stopped 5",
              "result=0 error=87 state=0 exit=0"},
             {"config without the config right", "access=4 config api-stopped", "result=0 error=5" + stopped},
             {"config into a too small buffer", "config api-stopped", "result=0 error=122" + stopped},
             {"query a configuration level we do not have", "config2 api-stopped 3",
              "result=0 error=124" + stopped}});
    }

    void errorCodes()
    {
        const QString call = cell("call"), answer = cell("answer");
        QCOMPARE(QString(svcCall(call.split(' '))), answer);
        QVERIFY(!call.contains("silent") || loggedProcessGone());
        // Every code has its text, cut to fit a short buffer.
        const DWORD error = errorOf(answer.toUtf8());
        wchar_t text[256];
        QCOMPARE(SvcFormatErrorW(error, text, 4), DWORD(3));
        QVERIFY(error != 5 ||
                (SvcFormatErrorW(error, text, 256) && QString::fromWCharArray(text) == "Access is denied."));
    }

    void lifecycle()
    {
        // Outside the manager the program is no service.
        QCOMPARE(runCommand({SARVELA_BIN_DIR "/echoservice"}).out,
                 QByteArray("dispatcher-failed 1063 register 0 1060\n"));
        QCOMPARE(createService("Svc-Echo", '"' + m_files.filePath("my service") + "\" --option"), DWORD(0));
        // A status the service reported is what anyone asking afterwards sees.
        QVERIFY(bringTo("svc-echo", SERVICE_RUNNING, m_log, {"two words", "exit=7", "selfcheck=500"}));
        QCOMPARE(readLines(m_log).filter(QRegularExpression("^(args|stale) ")),
                 QStringList({"args Svc-Echo log=" + m_log + " two words exit=7 selfcheck=500", "stale 0"}));
        // Started again: refused. A stop's answer carries the status as the handler left it.
        QCOMPARE(svcCall({"start", "svc-echo"}), QByteArray("result=0 error=1056 state=4 exit=7"));
        QCOMPARE(svcCall({"control", "svc-echo", "1"}), QByteArray("result=1 error=0 state=1 exit=7"));
        QCOMPARE(readLines(m_log).filter("control "), QStringList{"control 1"});
        QVERIFY(loggedProcessGone());

        // Deleted while it runs: marked, it keeps running and answers controls, but cannot be
        // started or made again; stopped, it stays while a handle is open.
        QVERIFY(bringTo("svc-echo", SERVICE_RUNNING, m_log));
        SC_HANDLE held = openService("svc-echo", SERVICE_QUERY_STATUS | DELETE);
        QVERIFY(DeleteService(held));
        QStringList answers;
        for (const char *call : {"delete %1", "control %1 4", "start %1", "create %1 /bin/true",
                                 "control %1 1", "query-status %1"})
            answers << svcCall(QString(call).arg("svc-echo").split(' '));
        const QString marked = "result=0 error=1072 state=4 exit=0",
                      running = "result=1 error=0 state=4 exit=0";
        QCOMPARE(answers, QStringList({marked, running, marked, marked, "result=1 error=0 state=1 exit=0",
                                       "result=1 error=0 state=1 exit=0"}));
        QVERIFY(CloseServiceHandle(held));
        QCOMPARE(svcCall({"query-status", "svc-echo"}), QByteArray("result=0 error=1060"));
    }

    void changeConfig_data()
    {
        // The call on a new service, %1; the error; config() after it.
        const QString same = "16 3 1 echo LocalSystem %1";
        textTable(
            {"call", "error", "after"},
            {{"nothing given: nothing changes", "change %1", "0", same},
             {"start type and error control", "change %1 - 2 0", "0", "16 2 0 echo LocalSystem %1"},
             {"a local user", "change %1 - - - - .\\root", "0", "16 3 1 echo .\\root %1"},
             {"a display name", "change %1 - - - - - Pretty", "0", "16 3 1 echo LocalSystem Pretty"},
             {"a driver's type", "change %1 1", "87", same},
             {"an empty path", "change %1 - - - ''", "87", same},
             {"a tag, which only drivers have", "change %1 - - - - - - tag", "87", same},
             {"interactive under a user's account", "change %1 272 - - - root", "87", same},
             {"a user of another domain", "change %1 - - - - ELSEWHERE\\root", "1057", same},
             {"another service's name as display name", "change %1 - - - - - API-STOPPED", "1078", same},
             {"a handle without the change right", "access=1 change %1 - 2", "5", same},
             {"a service marked for deletion", "change %1 - 2", "1072", same}});
    }

    void changeConfig()
    {
        const QString name = QString("chg-%1").arg(++m_row);
        QCOMPARE(createService(name), DWORD(0));
        ScHandle marked{openService(name, DELETE)};
        QVERIFY(!QByteArray(QTest::currentDataTag()).contains("marked") || DeleteService(marked.h));
        QCOMPARE(errorOf(svcCall(cell("call").replace("%1", name).split(' '))), cell("error").toUInt());
        QCOMPARE(config(name), cell("after").replace("%1", name));
    }

    void failureActions_data()
    {
        // Steps, " | " between them: "tool ARGS" runs svcmgr-config, "api[@RIGHTS] ACTIONS"
        // sets them through a handle with those rights (setFailureActions()).
        // What svcmgr-config --show prints then; the last step's result: the tool's exit code
        // or the call's error.
        const QString set = "api 3600 1:1000 0:0 reboot=bye command=/bin/fix | ";
        const QString system = "account=LocalSystem reset-after=";
        const QString texts = " reboot-message=bye command=/bin/fix";
        const QString before = system + "3600 action=restart=1000 action=none=0" + texts;
        textTable(
            {"steps", "result", "shown"},
            {{"none until set", "", "0", system + "0"},
             {"every kind of action, in order", set + "api 10 1:100 0:0 2:5000 3:7", "0",
              system + "10 action=restart=100 action=none=0 action=reboot=5000 action=run-command=7" + texts},
             {"no array: actions and reset period stay", set + "api 5 -", "0", before},
             {"an empty array takes the actions away", set + "api 5", "0", system + "5" + texts},
             {"empty texts take the message and the command away", set + "api 0 - reboot= command=", "0",
              system + "3600 action=restart=1000 action=none=0"},
             {"an action that is none of ours", set + "api 0 4:0", "87", before},
             {"a restart set without the start right", set + "api@f01ef 0 1:1000", "5", before},
             {"a handle without the change right", set + "api@f01fd 7 0:0", "5", before},
             {"the tool: a local user, who is not interactive", "tool --account root", "0",
              "account=.\\root reset-after=0"},
             {"the tool: the reset period alone keeps the restart",
              "tool --restart-after 60 --reset-after 86400 | tool --reset-after 5", "0",
              system + "5 action=restart=60000"},
             {"the tool: a restart after 0 seconds is none",
              "tool --restart-after 60 --reset-after 10 | tool --restart-after 0", "0", system + "10"},
             {"the tool: a user nobody has", "tool --account nobody-such", "1", system + "0"},
             {"the tool: seconds that are no number", "tool --restart-after soon", "2", system + "0"}});
    }

    void failureActions()
    {
        const QString shown = cell("shown");
        // Registered as the service framework registers one without an account.
        const QString name = QString("recovery-%1").arg(++m_row);
        QCOMPARE(createService(name, "/bin/true", SERVICE_AUTO_START, QString(), 0x110), DWORD(0));
        int last = 0;
        for (const QString &step : cell("steps").split(" | ", Qt::SkipEmptyParts)) {
            const QString how = step.section(' ', 0, 0), what = step.section(' ', 1);
            const QStringList tool = QStringList{SARVELA_BIN_DIR "/svcmgr-config", name} + what.split(' ');
            last = how == "tool" ? runCommand(tool).exitCode
                                 : int(setFailureActions(name, what, how.mid(4).toUInt(nullptr, 16)));
        }
        QCOMPARE(QString::number(last), cell("result"));
        QCOMPARE(::shown(name), shown);
        // Interactive as the local system account alone.
        QCOMPARE(config(name).section(' ', 0, 0), shown.contains("LocalSystem") ? "272" : "16");
        // The size asked for is what the query needs, and not a byte less.
        ScHandle service{openService(name, SERVICE_QUERY_CONFIG)};
        QVERIFY(!querySized([&](LPBYTE bytes, DWORD size, DWORD *needed) {
                     return QueryServiceConfig2W(service.h, SERVICE_CONFIG_FAILURE_ACTIONS, bytes, size,
                                                 needed);
                 }).empty());
    }

    void restartedAfterCrash()
    {
        // Called by another case than it was made with; the events say its own name.
        const QString name = "svc-phoenix", own = "Svc-Phoenix";
        constexpr int DelayMs = 300, ResetS = 2;
        QCOMPARE(createService(own, m_files.filePath("my service")), DWORD(0));
        QCOMPARE(setFailureActions(name, QString("%1 1:%2").arg(ResetS).arg(DelayMs)), DWORD(0));
        QVERIFY(bringTo(name, SERVICE_RUNNING, m_log));
        const QString restarting = "The " + own +
                                   " service terminated unexpectedly. It has done this %1 "
                                   "time(s). The following corrective action will be taken in " +
                                   QString::number(DelayMs) + " milliseconds: Restart the service.";
        // Killed: started again after the delay, the same each time (the last action repeats).
        auto killed = [&] {
            const qint64 pid = loggedPid(m_log);
            QElapsedTimer t;
            t.start();
            ::kill(pid_t(pid), SIGKILL);
            const bool again = waitUntil([&] {
                return loggedPid(m_log) != pid && queryStatus(name).dwCurrentState == SERVICE_RUNNING;
            });
            return again && t.elapsed() >= DelayMs ? lastEvent() : "not started again in time";
        };
        QCOMPARE(killed(), restarting.arg(1));
        QCOMPARE(killed(), restarting.arg(2));
        QThread::msleep(ResetS * 1000 + 100); // a period without failures: counted from one again
        QCOMPARE(killed(), restarting.arg(1));

        // A stop that was asked for is no failure to recover from, even when the
        // service dies of it.
        QVERIFY(bringTo(name, SERVICE_RUNNING, m_log, {"stop=crash"}));
        QCOMPARE(controlService(name, SERVICE_CONTROL_STOP), DWORD(0));
        QThread::msleep(2 * DelayMs);
        // Stopped, aborted, and nothing of the dead process's last status left.
        const SERVICE_STATUS s = queryStatus(name);
        QCOMPARE(QVector<DWORD>({s.dwCurrentState, s.dwWin32ExitCode, s.dwControlsAccepted,
                                 s.dwServiceSpecificExitCode + s.dwCheckPoint + s.dwWaitHint}),
                 QVector<DWORD>({SERVICE_STOPPED, ERROR_PROCESS_ABORTED, 0, 0}));
        QVERIFY2(lastEvent().startsWith("The " + own + " service terminated unexpectedly.") &&
                     !lastEvent().contains("corrective action"),
                 qPrintable(lastEvent()));
        // A process that never took its start failed to start; started again at
        // once, it would fail again at once, for ever.
        QCOMPARE(createService("svc-never", "/bin/true"), DWORD(0));
        QCOMPARE(setFailureActions("svc-never", "0 1:0"), DWORD(0));
        QCOMPARE(startService("svc-never"), DWORD(ERROR_PROCESS_ABORTED));
        QThread::msleep(2 * DelayMs);
        QCOMPARE(m_daemon.eventLog().count("The svc-never service"), 1);
    }

    void garbageOnSocket_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // those ending "gone": the client leaves at once
        auto u32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char *>(&v), 4); };
        QTest::newRow("text instead of frames") << QByteArray("GET / HTTP/1.0\r\n\r\n");
        QTest::newRow("frame larger than allowed") << u32(64u << 20) + "x";
        QTest::newRow("unknown request") << u32(4) + u32(999);
        QTest::newRow("string past its frame") << u32(15) + u32(2) + u32(1) + u32(99) + "abc";
        QTest::newRow("half a frame, then gone") << u32(100) + "partial, gone";
    }

    void garbageOnSocket()
    {
        QFETCH(QByteArray, bytes);
        // A well-behaved client holds a handle across the whole episode.
        ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
        const int fd = connectRaw();
        QCOMPARE(::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL), ssize_t(bytes.size()));
        pollfd p{fd, POLLIN, 0};
        char buf[256];
        // Dropped, not answered.
        QVERIFY(bytes.endsWith("gone") || (::poll(&p, 1, 10000) == 1 && ::recv(fd, buf, sizeof buf, 0) <= 0));
        ::close(fd);
        QVERIFY(ScHandle{OpenServiceW(manager.h, L"api-stopped", SERVICE_QUERY_STATUS)}.h);
    }

    void stateFolder_data()
    {
        // Run in a folder holding the file "victim"; the refusal in the daemon's message, or none:
        // it serves. A service marked for deletion makes the daemon save as it starts.
        textTable({"setup", "refusal"},
                  {{"owned by another user", "mkdir state && chown 65534 state", "belongs to uid 65534"},
                   {"a link to another user's folder", "mkdir real && chown 65534 real && ln -s real state",
                    "belongs to uid 65534"},
                   {"writable by its group", "mkdir -m 0775 state", "its group or others may write"},
                   {"writable by everyone, sticky", "mkdir -m 1777 state", "its group or others may write"},
                   {"its pid file a link to another file", "mkdir state && ln -s ../victim state/svcmgrd.pid",
                    "svcmgrd.pid: Too many levels of symbolic links"},
                   {"served by another daemon", "", "another svcmgrd already serves"},
                   {"a link where the database's temp file is made",
                    "mkdir state && ln -s ../victim state/services.db.tmp && printf 'svcmgr-services 2\\n"
                    "svc-marked\\tm\\t/bin/true\\t16\\t3\\t1\\tLocalSystem\\t0\\t0\\t\\t1\\t\\n' > "
                    "state/services.db",
                    ""},
                   {"missing: made for the daemon alone, whatever its umask", "true", ""}});
    }

    void stateFolder()
    {
        const QString setup = cell("setup"), refusal = cell("refusal");
        QTemporaryDir base;
        const QString dir = setup.isEmpty() ? m_daemon.dir() : base.filePath("state");
        QVERIFY(setup.isEmpty() || sh("cd " + base.path() + " && : > victim && " + setup));
        QString message;
        {
            SvcMgrDaemon daemon(QString(), dir);
            const mode_t umask = ::umask(077);
            QCOMPARE(daemon.start(&message), refusal.isEmpty());
            ::umask(umask);
        }
        QVERIFY2(message.contains(refusal), qPrintable(message));
        QVERIFY(m_daemon.isRunning() && ScHandle{OpenSCManagerW(nullptr, nullptr, 0)}.h);
        QCOMPARE(QFileInfo(base.filePath("victim")).size(), 0); // nothing written through a link
        // Served: the folder is root's, and root's alone when the daemon made it.
        QVERIFY(!refusal.isEmpty() || ownerAndMode(dir).startsWith("0:"));
        QVERIFY(setup != "true" || ownerAndMode(dir).endsWith(" 755"));
        QVERIFY(!setup.contains("services.db.tmp") ||
                readBytes(dir + "/services.db") == "svcmgr-services 3\n");
    }

    void readsDatabaseWithoutGroups()
    {
        // A database written before groups could be given rights on a service.
        SvcMgrDaemon older;
        QVERIFY(writeBytes(older.dir() + "/services.db",
                           "svcmgr-services 1\nsvc-older\tOlder\t/bin/true\t16\t3\t1\tLocalSystem"
                           "\t0\t1\tkept\\tas it was\t0\n"));
        QString error;
        QVERIFY2(older.start(&error), qPrintable(error + older.daemonLog()));
        ScHandle service{openService("svc-older", SERVICE_ALL_ACCESS)};
        const auto description = querySized([&](LPBYTE bytes, DWORD size, DWORD *needed) {
            return QueryServiceConfig2W(service.h, SERVICE_CONFIG_DESCRIPTION, bytes, size, needed);
        });
        QVERIFY(!description.empty());
        QCOMPARE(QString::fromWCharArray(
                     reinterpret_cast<const SERVICE_DESCRIPTIONW *>(description.data())->lpDescription),
                 "kept\tas it was");
        QVERIFY(groupAccess("svc-older").isEmpty());
    }

    void daemonRestarts()
    {
        QCOMPARE(createService("svc-auto", echoPath, SERVICE_AUTO_START) + createService("svc-manual") +
                     createService("svc-marked", "/bin/true"),
                 DWORD(0));
        ScHandle marked{openService("svc-marked", DELETE)};
        QVERIFY(DeleteService(marked.h)); // stays while the handle is open
        QCOMPARE(setFailureActions("svc-manual", "86400 1:60000 0:0 reboot=bye command=/bin/fix"), DWORD(0));
        const QString actions = shown("svc-manual");

        // Killed, the daemon leaves its socket behind, and its services go with its channel.
        QVERIFY(bringTo("svc-manual", SERVICE_RUNNING, m_log));
        m_daemon.stop(true);
        QVERIFY(QFile::exists(m_daemon.socketPath()));
        QCOMPARE(svcCall({"open-manager", "0"}), QByteArray("result=0 error=1722"));
        QVERIFY(loggedProcessGone());
        QString error;
        QVERIFY2(m_daemon.start(&error), qPrintable(error));
        QCOMPARE(queryStatus("svc-manual").dwCurrentState, DWORD(SERVICE_STOPPED));

        // Stopped, it takes its services with it; started, it starts the automatic ones.
        QVERIFY(bringTo("svc-manual", SERVICE_RUNNING, m_log));
        m_daemon.stop();
        QVERIFY(loggedProcessGone());
        QVERIFY2(m_daemon.start(&error), qPrintable(error));
        QVERIFY(waitForState("svc-auto", SERVICE_RUNNING));
        QCOMPARE(svcCall({"query-status", "svc-manual"}), QByteArray("result=1 error=0 state=1 exit=1077"));
        QVERIFY(bringTo("svc-manual", SERVICE_RUNNING, m_log)); // its program is still known
        QCOMPARE(shown("svc-manual"), actions);
        // Marked for deletion and not running: gone with the restart.
        QCOMPARE(svcCall({"query-status", "svc-marked"}), QByteArray("result=0 error=1060"));
    }

    // Root reports under a source of its choosing; root's flood is rotated, each file within
    // the bound. (A service's records carry its own name: checked with the accounts.)
    void eventLog()
    {
        const QString log = m_daemon.dir() + "/events.log";
        const QByteArray done = "result=1 error=0";
        QCOMPARE(svcCall({"report", "root-tool", "report by root"}), done);
        QVERIFY(m_daemon.eventLog().contains(
            QRegularExpression("\troot-tool\tInformation\t.*\treport by root\t")));
        const QString records = QString::number(4 * EventLogMaxBytes / 1000);
        QCOMPARE(svcCall({"report", "root-tool", "root record " + QString(1000, 'r'), records}), done);
        QCOMPARE(svcCall({"report", "root-tool", "the latest by root"}), done);
        const qint64 current = QFileInfo(log).size(), rotated = QFileInfo(log + ".1").size();
        QVERIFY(current <= EventLogMaxBytes && rotated > EventLogMaxBytes / 2 && rotated <= EventLogMaxBytes);
        QVERIFY(m_daemon.eventLog().contains("the latest by root"));
    }
};

QTEST_GUILESS_MAIN(TestSvcMgr)
#include "tst_svcmgr.moc"
