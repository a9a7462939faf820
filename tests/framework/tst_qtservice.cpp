// The framework through a small test service: its command line without a manager,
// and its life under a private manager daemon.
#include "qtservice.h"
#include "servicecall.h"
#include "svcmgrdaemon.h"
#include "testfiles.h"

#include <QtTest>

namespace {
const QString Name = QStringLiteral("Sarvela Test Service"), The = "The service " + Name + ' ';

// One run of the service program: its arguments, exit code, exact output ("usage" for the help)
// and the start of its error output (empty: none); after it, the state the manager reports.
struct Call
{
    QStringList args = {};
    int exitCode = 0;
    QString out = {}, err = {};
    DWORD state = 0; // not asked
};

// The test service copied into a folder of its own, so that its settings and its
// record of calls belong to one test. The framework loads the manager library from
// the executable's folder, so it goes beside the copy when asked.
struct ServiceCopy
{
    QTemporaryDir dir;
    const QString program = dir.filePath("testservice"), bin = QStringLiteral(SARVELA_BIN_DIR);
    const bool withLibrary;
    const bool ok = dir.isValid() && QFile::copy(bin + "/testservice", program) &&
                    (!withLibrary || QFile::copy(bin + "/libsvcmgr.so", dir.filePath("libsvcmgr.so")));
    explicit ServiceCopy(bool library = true) : withLibrary(library) {}

    void set(const QString &key, const QVariant &value) const
    {
        QSettings(program + ".ini", QSettings::IniFormat).setValue(key, value);
    }
    QStringList log() const { return readLines(program + ".log"); }
    // Empty when the run went as the call says (%1 in its output is the program), else what it did.
    QString expect(Call call) const
    {
        const Ran run = runCommand(QStringList{program} + call.args);
        QString out = QString::fromUtf8(run.out);
        const QString err = QString::fromUtf8(run.err);
        // The help is judged by what can go wrong with it: the program's name, an option left out.
        const QStringList options =
            QString("-i(nstall) [account] [password]|-u(ninstall)|-e(xec)|-t(erminate)|"
                    "-c(ommand) num|-v(ersion)|-h(elp)|No arguments\t: Start the service.")
                .split('|');
        bool help = out.startsWith("\n" + program + " -[i|u|e|s|v|h]\n");
        for (const QString &option : options)
            help = help && out.contains("\n\t" + option);
        out = help ? "usage" : out;
        if (run.exitCode == call.exitCode && out == call.out.replace("%1", program) &&
            err.startsWith(call.err) && (!call.err.isEmpty() || err.isEmpty()))
            return {};
        return call.args.join(' ') + QString(": exit %1, out '%2', err '%3'").arg(run.exitCode).arg(out, err);
    }
};

SERVICE_STATUS status()
{
    SERVICE_STATUS s{};
    callService(Name, 0, &s);
    return s;
}
} // namespace

Q_DECLARE_METATYPE(Call)

class TestQtService : public QObject
{
    Q_OBJECT

    QTemporaryDir m_noManager;

private slots:
    void init()
    {
        // A manager directory with no daemon in it, so that no test reaches a real one.
        QVERIFY(m_noManager.isValid());
        qputenv("SVCMGR_DIR", m_noManager.path().toLocal8Bit());
    }

    void commandLine_data()
    {
        QTest::addColumn<Call>("call");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("library");
        QTest::addColumn<QString>("logged"); // the start() line; empty: nothing ran
        auto row = [](const char *tag, const Call &call, const QString &name = Name, bool library = true,
                      const QString &logged = {}) {
            QTest::newRow(tag) << call << name << library << logged;
        };
        const QString version = "The service\n\t%2\n\t%1\n\nis not installed and not running\n\n";
        const QString n300(300, 'n');
        const QString noManager =
            "The service manager could not be reached: The RPC server is unavailable.\n";
        row("-h", {{"-h"}, 0, "usage"});
        row("-help", {{"-help"}, 0, "usage"});
        row("-i without daemon", {{"-i"}, 255, {}, The + "could not be installed\n"});
        row("-install with account, no library",
            {{"-install", "someone", "secret"}, 255, {}, The + "could not be installed\n"}, Name, false);
        row("-u not installed", {{"-u"}, 0, {}, The + "is not installed\n"});
        row("-t warns, exit 0", {{"-t"}, 0, {}, "The service could not be stopped."});
        row("-p without a manager: a line on stderr, exit 0", {{"-p"}, 0, {}, noManager});
        row("-c without a manager: a line on stderr, exit 0", {{"-c", "1"}, 0, {}, noManager});
        row("-c out of range silent", {{"-c", "200"}});
        row("no option, no manager", {{}, 252, {}, The + "could not start\n"});
        row("--install is no option", {{"--install"}, 252, {}, The + "could not start\n"});
        row("-v without a manager: stdout as ever, a line on stderr",
            {{"-v"}, 0, version.arg("%1", Name), noManager});
        const QString tooLong = "QtService: 'name' is longer than 255 characters.";
        row("300-character name cut to 255", {{"-v"}, 0, version.arg("%1", n300.left(255)), tooLong}, n300);
        row("backslash ends the name",
            {{"-v"}, 0, version.arg("%1", "a"), "QtService: 'name' contains backslashes '\\'."}, "a\\b");
        row("-e keeps other arguments whole", {{"-e", "a b", "quit", "5"}, 5}, Name, false,
            "start 0 %1 a b quit 5");
        row("-exec", {{"-exec", "quit", "0"}}, Name, false, "start 0 %1 quit 0");
    }

    void commandLine()
    {
        QFETCH(Call, call);
        QFETCH(bool, library);
        QFETCH(QString, logged);
        ServiceCopy service(library);
        QVERIFY(service.ok);
        QFETCH(QString, name);
        service.set("name", name);
        QCOMPARE(service.expect(call), QString());
        QCOMPARE(service.log().join('\n'), logged.replace("%1", service.program));
    }

    void lifecycle()
    {
        SvcMgrDaemon manager;
        QString error;
        QVERIFY2(manager.start(&error), qPrintable(error));
        ServiceCopy service;
        QVERIFY(service.ok);
        // A console start asks the manager and returns at once; an unrecognised first argument
        // is passed on to start(), which runs while the state is START_PENDING. Refused by the
        // manager, or not sent to a stopped service: said on stderr, exit 0.
        const QList<Call> calls{
            {{"-u"}, 0, {}, The + "is not installed\n"},
            {{}, 252, {}, The + "could not start\n"},
            {{"-i"}, 0, The + "has been installed under: %1\n"},
            {{"-install"}, 0, {}, The + "is already installed\n"},
            {{"-I", "x"}, 0, {}, {}, SERVICE_RUNNING},
            {{"-p"}, 0, {}, {}, SERVICE_PAUSED},
            {{"-r"}, 0, {}, {}, SERVICE_RUNNING},
            {{"-c", "72"}}, // user control 200
            {{"-v"}, 0, "The service\n\t" + Name + "\n\t%1\n\nis installed and running\n\n"},
            {{"-t"}, 0, {}, {}, SERVICE_STOPPED},
            {{"-p"}, 0, {}, The + "could not be paused: The service has not been started.\n"},
            {{"-c", "5"}, 0, {}, The + "could not be sent command 5: The service is not running.\n"},
        };
        for (const Call &call : calls) {
            QCOMPARE(service.expect(call), QString());
            if (call.args.value(0) == "-I") // the start goes on after the call returns
                QTRY_COMPARE_WITH_TIMEOUT(status().dwCurrentState, call.state, 15000);
            else if (call.state)
                QCOMPARE(status().dwCurrentState, call.state);
            SERVICE_STATUS s;
            if (call.args == QStringList{"-c", "72"}) // below and above the user range
                QVERIFY(!callService(Name, 100, &s) && !callService(Name, 300, &s));
        }
        QCOMPARE(status().dwWin32ExitCode, DWORD(0));
        // Each call ran once, in the pending state of its request.
        QCOMPARE(service.log(), (QStringList{"start 2 Sarvela Test Service -I x", "pause 6", "resume 5",
                                             "command 72 4", "stop 3"}));
        // A run the service ends itself reports its exit code; a -t gives up on a slow stopper after
        // its ten polls, before the service has stopped. Nothing overwrites the final report.
        const QList<std::tuple<int, QStringList, DWORD>> ends{{0, {"quit", "42"}, 42}, {4000, {}, 0}};
        for (const auto &[stopDelayMs, args, exitCode] : ends) {
            service.set("stopDelayMs", stopDelayMs);
            const int logged = service.log().size();
            QVERIFY(QtServiceController(Name).start(args));
            QTRY_VERIFY_WITH_TIMEOUT(service.log().size() > logged, 15000);
            if (args.isEmpty()) {
                QTRY_COMPARE_WITH_TIMEOUT(status().dwCurrentState, DWORD(SERVICE_RUNNING), 15000);
                QElapsedTimer t;
                t.start();
                QCOMPARE(service.expect({{"-t"}, 0, {}, "The service could not be stopped.", 0}), QString());
                QCOMPARE(status().dwCurrentState, DWORD(SERVICE_STOP_PENDING));
                QVERIFY2(t.elapsed() >= 1900, qPrintable(QString::number(t.elapsed())));
            }
            QTRY_COMPARE_WITH_TIMEOUT(status().dwCurrentState, DWORD(SERVICE_STOPPED), 15000);
            QThread::msleep(300);
            const SERVICE_STATUS s = status();
            QCOMPARE(QString("state %1 exit %2").arg(s.dwCurrentState).arg(s.dwWin32ExitCode),
                     QString("state 1 exit %1").arg(exitCode));
            QVERIFY(!QtServiceController(Name).isRunning());
        }
        QCOMPARE(service.expect({{"-u"}, 0, The + "has been uninstalled.\n"}), QString());
    }
};

QTEST_GUILESS_MAIN(TestQtService)
#include "tst_qtservice.moc"
