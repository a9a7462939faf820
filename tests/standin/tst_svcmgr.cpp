// The stand-in service manager through a private daemon: the last-error codes
// of its calls, running services, changing them, what it does when they fail,
// and the daemon's own restarts and crashes, one daemon per directory,
// misbehaving clients.
#include "svcmgrcalls.h"
#include "svcmgrdaemon.h"

#include <QProcess>
#include <QtTest>

#include <csignal>
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

// Failure actions written "type:delay,type:delay"; "-" is no array at all.
DWORD setFailureActions(const QString &name, const QString &actions, DWORD resetPeriod,
                        const QString &reboot = QString(), const QString &command = QString(),
                        DWORD access = SERVICE_ALL_ACCESS)
{
    std::vector<SC_ACTION> list;
    for (const QString &a : actions.split(',', Qt::SkipEmptyParts))
        list.push_back(
            SC_ACTION{SC_ACTION_TYPE(a.section(':', 0, 0).toUInt()), a.section(':', 1).toUInt()});
    const std::wstring wideReboot = reboot.toStdWString(), wideCommand = command.toStdWString();
    SERVICE_FAILURE_ACTIONSW fa{
        resetPeriod, reboot.isNull() ? nullptr : const_cast<LPWSTR>(wideReboot.c_str()),
        command.isNull() ? nullptr : const_cast<LPWSTR>(wideCommand.c_str()), DWORD(list.size()),
        nullptr};
    SC_ACTION none{};
    if (actions != "-")
        fa.lpsaActions = list.empty() ? &none : list.data();
    ScHandle service{openService(name, access)};
    return ChangeServiceConfig2W(service.h, SERVICE_CONFIG_FAILURE_ACTIONS, &fa) ? 0
                                                                                 : GetLastError();
}

// The failure actions as "reset type:delay... [reboot=…] [command=…]", once a buffer
// one byte too small has been refused with the size that is needed.
QString failureActions(const QString &name)
{
    ScHandle service{openService(name, SERVICE_QUERY_CONFIG)};
    DWORD needed = 0;
    if (QueryServiceConfig2W(service.h, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return "no size asked for";
    std::vector<quint64> buffer(needed / 8 + 1);
    auto *bytes = reinterpret_cast<LPBYTE>(buffer.data());
    if (QueryServiceConfig2W(service.h, SERVICE_CONFIG_FAILURE_ACTIONS, bytes, needed - 1,
                             &needed) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        !QueryServiceConfig2W(service.h, SERVICE_CONFIG_FAILURE_ACTIONS, bytes, needed, &needed))
        return "query failed";
    const auto *fa = reinterpret_cast<LPSERVICE_FAILURE_ACTIONSW>(bytes);
    QStringList parts{QString::number(fa->dwResetPeriod)};
    for (DWORD i = 0; i < fa->cActions; ++i)
        parts << QString("%1:%2").arg(fa->lpsaActions[i].Type).arg(fa->lpsaActions[i].Delay);
    if (fa->lpRebootMsg)
        parts << "reboot=" + QString::fromWCharArray(fa->lpRebootMsg);
    if (fa->lpCommand)
        parts << "command=" + QString::fromWCharArray(fa->lpCommand);
    return parts.join(' ');
}

// "type start error-control path account display-name", the path of the echo service as "echo".
QString config(const QString &name)
{
    ScHandle service{openService(name, SERVICE_QUERY_CONFIG)};
    std::vector<quint64> buffer(1024);
    DWORD needed = 0;
    auto *qc = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
    if (!QueryServiceConfigW(service.h, qc, DWORD(buffer.size() * 8), &needed))
        return "query failed";
    const QString path = QString::fromWCharArray(qc->lpBinaryPathName);
    return QString("%1 %2 %3 %4 %5 %6")
        .arg(qc->dwServiceType)
        .arg(qc->dwStartType)
        .arg(qc->dwErrorControl)
        .arg(path == echoPath ? "echo" : path)
        .arg(QString::fromWCharArray(qc->lpServiceStartName))
        .arg(QString::fromWCharArray(qc->lpDisplayName));
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
    // The pid the echo service logged when it started last.
    qint64 loggedPid()
    {
        const QStringList pid = readLines(m_log).filter(QRegularExpression("^pid "));
        return pid.isEmpty() ? 0 : pid.last().mid(4).toLongLong();
    }
    QString lastEvent()
    {
        const QStringList lines = m_daemon.eventLog().split('\n', Qt::SkipEmptyParts);
        return lines.isEmpty() ? QString() : lines.last().section('\t', 5, 5);
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
        // Where an echo service started without arguments (by a restart) logs.
        m_daemon.setEnvironment("ECHO_LOG", m_log);
        m_daemon.setEnvironment("SVCMGR_PASS_ENV", "ECHO_LOG");
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
        row("create with an account nobody has", "create-as", "api-nobody", 0, 0x10, 1057);
        row("query a configuration level we do not have", "config2", "api-stopped", all, 3, 124);
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
        else if (call.startsWith("create"))
            ok =
                ScHandle{CreateServiceW(manager.h, n.c_str(), nullptr, SERVICE_ALL_ACCESS, arg,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"/bin/true",
                                        nullptr, nullptr, nullptr,
                                        call == "create-as" ? L".\\nobody-such" : nullptr, nullptr)}
                    .h;
        else if (call == "start")
            ok = StartServiceW(service.h, 0, nullptr);
        else if (call == "control")
            ok = ControlService(service.h, arg, &status);
        else if (call == "config")
            ok = QueryServiceConfigW(service.h, nullptr, 0, &needed);
        else if (call == "config2")
            ok = QueryServiceConfig2W(service.h, arg, nullptr, 0, &needed);
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
        QCOMPARE(lastEvent(), "The Svc-Echo service terminated unexpectedly. It has done this 1 "
                              "time(s).");
    }

    void changeConfig_data()
    {
        QTest::addColumn<QString>("change"); // what is given, "part=value;…"; the rest is not
        QTest::addColumn<uint>("error");
        QTest::addColumn<QString>("after"); // %1 the service's name
        const QString unchanged = "16 3 1 echo LocalSystem %1";
        QTest::newRow("nothing given: nothing changes") << "" << 0u << unchanged;
        QTest::newRow("start type and error control")
            << "start=2;error=0" << 0u << "16 2 0 echo LocalSystem %1";
        QTest::newRow("a local user") << "account=.\\root" << 0u << "16 3 1 echo .\\root %1";
        QTest::newRow("a display name")
            << "display=Pretty" << 0u << "16 3 1 echo LocalSystem Pretty";
        QTest::newRow("a driver's type") << "type=1" << 87u << unchanged;
        QTest::newRow("an empty path") << "path=" << 87u << unchanged;
        QTest::newRow("a tag, which only drivers have") << "tag=1" << 87u << unchanged;
        QTest::newRow("interactive under a user's account")
            << "type=272;account=root" << 87u << unchanged;
        QTest::newRow("a user nobody has") << "account=nobody-such" << 1057u << unchanged;
        QTest::newRow("a user of another domain")
            << "account=ELSEWHERE\\root" << 1057u << unchanged;
        QTest::newRow("another service's name as display name")
            << "display=API-STOPPED" << 1078u << unchanged;
        QTest::newRow("a handle without the change right") << "start=2;handle=1" << 5u << unchanged;
        QTest::newRow("a service marked for deletion") << "start=2;marked=1" << 1072u << unchanged;
    }

    void changeConfig()
    {
        QFETCH(QString, change);
        QFETCH(uint, error);
        QFETCH(QString, after);
        QMap<QString, QString> given;
        for (const QString &part : change.split(';', Qt::SkipEmptyParts))
            given[part.section('=', 0, 0)] = part.section('=', 1);
        auto number = [&](const char *part) {
            return given.contains(part) ? given[part].toUInt() : SERVICE_NO_CHANGE;
        };
        std::wstring keep[3];
        auto text = [&](const char *part, std::wstring *w) {
            *w = given.value(part).toStdWString();
            return given.contains(part) ? w->c_str() : nullptr;
        };
        static int rowNumber = 0;
        const QString name = QString("chg-%1").arg(++rowNumber);
        QCOMPARE(createService(name), DWORD(0));
        ScHandle marked{openService(name, DELETE)};
        QVERIFY(!given.contains("marked") || DeleteService(marked.h));
        ScHandle service{
            openService(name, given.contains("handle") ? number("handle") : SERVICE_ALL_ACCESS)};
        DWORD tag = 0;
        const bool ok = ChangeServiceConfigW(
            service.h, number("type"), number("start"), number("error"), text("path", &keep[0]),
            nullptr, given.contains("tag") ? &tag : nullptr, nullptr, text("account", &keep[1]),
            nullptr, text("display", &keep[2]));
        QCOMPARE(ok ? 0 : GetLastError(), DWORD(error));
        QCOMPARE(config(name), after.replace("%1", name));
    }

    void failureActionsStored_data()
    {
        QTest::addColumn<uint>("handle");
        QTest::addColumn<QString>("actions"); // "type:delay,…"; "-": no array
        QTest::addColumn<uint>("reset");
        QTest::addColumn<QString>("reboot"); // null: not given
        QTest::addColumn<QString>("command");
        QTest::addColumn<uint>("error");
        QTest::addColumn<QString>("after");
        const uint all = SERVICE_ALL_ACCESS;
        const QString none, before = "3600 1:1000 0:0 reboot=bye command=/bin/fix";
        QTest::newRow("restart after a minute, reset after a day")
            << all << "1:60000" << 86400u << none << none << 0u
            << "86400 1:60000 reboot=bye command=/bin/fix";
        QTest::newRow("every kind of action, in order")
            << all << "1:100,0:0,2:5000,3:7" << 10u << none << none << 0u
            << "10 1:100 0:0 2:5000 3:7 reboot=bye command=/bin/fix";
        QTest::newRow("no array: actions and reset period stay")
            << all << "-" << 5u << none << none << 0u << before;
        QTest::newRow("an empty array takes the actions away")
            << all << "" << 5u << none << none << 0u << "5 reboot=bye command=/bin/fix";
        QTest::newRow("empty texts take the message and the command away")
            << all << "-" << 0u << ""
            << "" << 0u << "3600 1:1000 0:0";
        QTest::newRow("an action that is none of ours")
            << all << "4:0" << 0u << none << none << 87u << before;
        QTest::newRow("a restart set without the start right")
            << uint(all & ~SERVICE_START) << "1:1000" << 0u << none << none << 5u << before;
        QTest::newRow("a handle without the change right")
            << uint(all & ~SERVICE_CHANGE_CONFIG) << "0:0" << 7u << none << none << 5u << before;
    }

    void failureActionsStored()
    {
        QFETCH(uint, handle);
        QFETCH(QString, actions);
        QFETCH(uint, reset);
        QFETCH(QString, reboot);
        QFETCH(QString, command);
        QFETCH(uint, error);
        QFETCH(QString, after);
        const QString name = "svc-recovery-set";
        if (queryStatus(name).dwCurrentState == 0)
            QCOMPARE(createService(name), DWORD(0));
        QCOMPARE(setFailureActions(name, "1:1000,0:0", 3600, "bye", "/bin/fix"), DWORD(0));
        QCOMPARE(setFailureActions(name, actions, reset, reboot, command, handle), DWORD(error));
        QCOMPARE(failureActions(name), after);
    }

    void restartedAfterCrash()
    {
        const QString name = "svc-phoenix";
        QCOMPARE(createService(name), DWORD(0));
        QCOMPARE(failureActions(name), QString("0")); // none until set
        constexpr int DelayMs = 300, ResetS = 2;
        QCOMPARE(setFailureActions(name, QString("1:%1").arg(DelayMs), ResetS), DWORD(0));
        QVERIFY(startAndWait(name));
        const QString restarting = "The " + name +
                                   " service terminated unexpectedly. It has done this %1 "
                                   "time(s). The following corrective action will be taken in " +
                                   QString::number(DelayMs) + " milliseconds: Restart the service.";
        // Killed: started again after the delay, the same each time (the last action repeats).
        auto killAndWait = [&] {
            const qint64 pid = loggedPid();
            QElapsedTimer t;
            t.start();
            ::kill(pid_t(pid), SIGKILL);
            return waitUntil([&] {
                       return loggedPid() != pid &&
                              queryStatus(name).dwCurrentState == SERVICE_RUNNING;
                   }) &&
                   t.elapsed() >= DelayMs;
        };
        QVERIFY(killAndWait());
        QCOMPARE(lastEvent(), restarting.arg(1));
        QVERIFY(killAndWait());
        QCOMPARE(lastEvent(), restarting.arg(2));
        // A period without failures: counted from one again.
        QThread::msleep(ResetS * 1000 + 100);
        QVERIFY(killAndWait());
        QCOMPARE(lastEvent(), restarting.arg(1));

        // A stop that was asked for is no failure to recover from, even when the
        // service dies of it.
        QVERIFY(controlService(name, SERVICE_CONTROL_STOP) == 0 &&
                waitForState(name, SERVICE_STOPPED));
        QVERIFY(startAndWait(name, {"stop=crash"}));
        QCOMPARE(controlService(name, SERVICE_CONTROL_STOP), DWORD(0));
        QThread::msleep(2 * DelayMs);
        QCOMPARE(queryStatus(name).dwCurrentState, DWORD(SERVICE_STOPPED));
        QVERIFY2(lastEvent().startsWith("The " + name + " service terminated unexpectedly.") &&
                     !lastEvent().contains("corrective action"),
                 qPrintable(lastEvent()));
        // A process that never took its start failed to start; started again at
        // once, it would fail again at once, for ever.
        QCOMPARE(createService("svc-never", "/bin/true"), DWORD(0));
        QCOMPARE(setFailureActions("svc-never", "1:0", 0), DWORD(0));
        QCOMPARE(startService("svc-never"), DWORD(ERROR_PROCESS_ABORTED));
        QThread::msleep(2 * DelayMs);
        QCOMPARE(m_daemon.eventLog().count("The svc-never service"), 1);
    }

    void configTool_data()
    {
        // The tool's arguments after the service, "|" between runs.
        QTest::addColumn<QString>("commands");
        QTest::addColumn<int>("exitCode");  // of the last run
        QTest::addColumn<uint>("type");     // the service's type afterwards
        QTest::addColumn<QString>("shown"); // what --show prints afterwards
        const QString system = "account\tLocalSystem\nreset-after\t0\n";
        QTest::newRow("a local user, who is not interactive")
            << "--account root" << 0 << 0x10u << "account\t.\\root\nreset-after\t0\n";
        QTest::newRow("restart after a minute, counted anew after a day")
            << "--restart-after 60 --reset-after 86400" << 0 << 0x110u
            << "account\tLocalSystem\nreset-after\t86400\naction\trestart\t60000\n";
        QTest::newRow("the reset period alone keeps the restart")
            << "--restart-after 60 --reset-after 86400 | --reset-after 5" << 0 << 0x110u
            << "account\tLocalSystem\nreset-after\t5\naction\trestart\t60000\n";
        QTest::newRow("a restart after 0 seconds is none")
            << "--restart-after 60 --reset-after 10 | --restart-after 0" << 0 << 0x110u
            << "account\tLocalSystem\nreset-after\t10\n";
        QTest::newRow("a user nobody has") << "--account nobody-such" << 1 << 0x110u << system;
        QTest::newRow("seconds that are no number")
            << "--restart-after soon" << 2 << 0x110u << system;
    }

    void configTool()
    {
        QFETCH(QString, commands);
        QFETCH(int, exitCode);
        QFETCH(uint, type);
        QFETCH(QString, shown);
        static int rowNumber = 0;
        const QString name = QString("tool-%1").arg(++rowNumber);
        // Registered as the service framework registers one without an account.
        ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
        QVERIFY(ScHandle{CreateServiceW(manager.h, name.toStdWString().c_str(), nullptr,
                                        SERVICE_ALL_ACCESS, 0x110, SERVICE_AUTO_START,
                                        SERVICE_ERROR_NORMAL, L"/bin/true", nullptr, nullptr,
                                        nullptr, nullptr, nullptr)}
                    .h);
        QProcess tool;
        for (const QString &command : commands.split('|')) {
            tool.start(SARVELA_BIN_DIR "/svcmgr-config",
                       QStringList{name} + command.split(' ', Qt::SkipEmptyParts));
            QVERIFY(tool.waitForFinished(10000));
        }
        QCOMPARE(tool.exitCode(), exitCode);
        QCOMPARE(config(name).section(' ', 0, 0).toUInt(), type);
        tool.start(SARVELA_BIN_DIR "/svcmgr-config", {name, "--show"});
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(QString::fromUtf8(tool.readAllStandardOutput()), shown);
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
        QCOMPARE(setFailureActions("svc-manual", "1:60000,0:0", 86400, "bye", "/bin/fix"),
                 DWORD(0));
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
        QCOMPARE(failureActions("svc-manual"), "86400 1:60000 0:0 reboot=bye command=/bin/fix");
        // Marked for deletion and not running: gone with the restart.
        QVERIFY(!ScHandle{openService("svc-marked", SERVICE_QUERY_STATUS)}.h);
        QCOMPARE(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
    }
};

QTEST_GUILESS_MAIN(TestSvcMgr)
#include "tst_svcmgr.moc"
