// The service program's command line without a running manager: every option's
// output and exit code, the name checks, and running as a plain application.
#include "qtservice.h"
#include "servicecopy.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_CommandLine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void usageText_data();
    void usageText();
    void optionsWithoutManager_data();
    void optionsWithoutManager();
    void execPassesArguments_data();
    void execPassesArguments();
    void nameChecks_data();
    void nameChecks();
    void nameWarningNamesItsSource();

private:
    QTemporaryDir m_noManager;
};

void tst_CommandLine::init()
{
    // A manager directory with no daemon in it, so no test reaches a real one.
    QVERIFY(m_noManager.isValid());
    qputenv("SVCMGR_DIR", m_noManager.path().toLocal8Bit());
}

void tst_CommandLine::usageText_data()
{
    QTest::addColumn<QString>("option");
    QTest::newRow("short form") << "-h";
    QTest::newRow("long form") << "-help";
}

void tst_CommandLine::usageText()
{
    QFETCH(QString, option);
    ServiceCopy service(false);
    QVERIFY(service.isValid());
    const ServiceCopy::Result r = service.run({option});
    const QByteArray expected =
        "\n" + service.program().toLatin1() +
        " -[i|u|e|s|v|h]\n"
        "\t-i(nstall) [account] [password]\t: Install the service, optionally using given "
        "account and password\n"
        "\t-u(ninstall)\t: Uninstall the service.\n"
        "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
        "\t-t(erminate)\t: Stop the service.\n"
        "\t-c(ommand) num\t: Send command code num to the service.\n"
        "\t-v(ersion)\t: Print version and status information.\n"
        "\t-h(elp)   \t: Show this help\n"
        "\tNo arguments\t: Start the service.\n";
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, expected);
    QCOMPARE(r.err, QByteArray());
}

// Without the library, and with the library but no daemon: every operation fails
// cleanly with its own result and message.
void tst_CommandLine::optionsWithoutManager_data()
{
    QTest::addColumn<bool>("library");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("errStart");

    const QByteArray notStarted = "The service Sarvela Test Service could not start\n";
    for (bool library : {false, true}) {
        const char *where = library ? "no daemon: " : "no library: ";
        auto row = [&](const char *name) {
            return &QTest::newRow(qPrintable(QString::fromLatin1(where) + QLatin1String(name)));
        };
        *row("install fails") << library << QStringList{"-i"} << 255 << QByteArray()
                              << QByteArray("The service Sarvela Test Service could not be "
                                            "installed\n");
        *row("long install with account fails")
            << library << QStringList{"-install", "someone", "secret"} << 255 << QByteArray()
            << QByteArray("The service Sarvela Test Service could not be installed\n");
        *row("uninstall of a service not installed")
            << library << QStringList{"-u"} << 0 << QByteArray()
            << QByteArray("The service Sarvela Test Service is not installed\n");
        *row("terminate warns and succeeds") << library << QStringList{"-t"} << 0 << QByteArray()
                                             << QByteArray("The service could not be stopped.");
        *row("pause says nothing")
            << library << QStringList{"-p"} << 0 << QByteArray() << QByteArray();
        *row("resume says nothing")
            << library << QStringList{"-resume"} << 0 << QByteArray() << QByteArray();
        *row("command without number")
            << library << QStringList{"-c"} << 0 << QByteArray() << QByteArray();
        *row("command with text") << library << QStringList{"-command", "abc"} << 0 << QByteArray()
                                  << QByteArray();
        *row("command out of range")
            << library << QStringList{"-c", "200"} << 0 << QByteArray() << QByteArray();
        *row("no option cannot start")
            << library << QStringList{} << 252 << QByteArray() << notStarted;
        *row("upper-case option is no option")
            << library << QStringList{"-I"} << 252 << QByteArray() << notStarted;
        *row("double dash is no option")
            << library << QStringList{"--install"} << 252 << QByteArray() << notStarted;
        *row("slash is no option")
            << library << QStringList{"/i"} << 252 << QByteArray() << notStarted;
    }
}

void tst_CommandLine::optionsWithoutManager()
{
    QFETCH(bool, library);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, errStart);

    ServiceCopy service(library);
    QVERIFY(service.isValid());
    const ServiceCopy::Result r = service.run(args);
    QVERIFY2(r.exitCode == exitCode, r.err.constData());
    QCOMPARE(r.out, out);
    QVERIFY2(r.err.startsWith(errStart), r.err.constData());
    if (errStart.isEmpty())
        QCOMPARE(r.err, QByteArray());
    QCOMPARE(service.log(), QStringList()); // nothing of the service ran
}

void tst_CommandLine::execPassesArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("startLine");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("option removed, others kept")
        << QStringList{"-e", "x", "y", "quit", "3"} << "start 0 %1 x y quit 3" << 3;
    QTest::newRow("long form") << QStringList{"-exec", "quit", "0"} << "start 0 %1 quit 0" << 0;
    QTest::newRow("arguments with blanks stay whole")
        << QStringList{"-e", "a b", "quit", "5"} << "start 0 %1 a b quit 5" << 5;
}

void tst_CommandLine::execPassesArguments()
{
    QFETCH(QStringList, args);
    QFETCH(QString, startLine);
    QFETCH(int, exitCode);

    ServiceCopy service(false);
    QVERIFY(service.isValid());
    const ServiceCopy::Result r = service.run(args);
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(service.log(), QStringList{startLine.arg(service.program())});
}

void tst_CommandLine::nameChecks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("warning");
    QTest::addColumn<QString>("usedName");

    const QString longName(300, QLatin1Char('n'));
    QTest::newRow("300 characters cut to 255")
        << longName << QByteArray("QtService: 'name' is longer than 255 characters.")
        << longName.left(255);
    QTest::newRow("backslash ends the name")
        << "a\\b" << QByteArray("QtService: 'name' contains backslashes '\\'.") << "a";
    QTest::newRow("255 characters kept")
        << QString(255, QLatin1Char('m')) << QByteArray() << QString(255, QLatin1Char('m'));
}

void tst_CommandLine::nameChecks()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, warning);
    QFETCH(QString, usedName);

    ServiceCopy service(false);
    QVERIFY(service.isValid());
    service.configure({{"name", name}});
    const ServiceCopy::Result r = service.run({"-v"});
    QCOMPARE(r.exitCode, 0);
    if (warning.isEmpty())
        QCOMPARE(r.err, QByteArray());
    else
        QCOMPARE(r.err.count(warning), 1);
    const QByteArray expected = "The service\n\t" + usedName.toLatin1() + "\n\t" +
                                service.program().toLatin1() +
                                "\n\nis not installed and not running\n\n";
    QCOMPARE(r.out, expected);
}

namespace {
class NamedOnly : public QtService<QCoreApplication>
{
public:
    explicit NamedOnly(const QString &name) : QtService<QCoreApplication>(0, nullptr, name) {}

protected:
    void start() override {}
};

struct Warning
{
    QString text, file, function;
};
QList<Warning> g_warnings;

void collectWarning(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtWarningMsg)
        g_warnings.append(
            {text, QString::fromUtf8(context.file), QString::fromUtf8(context.function)});
}
} // namespace

// Whoever reads the log must be able to tell where the corrected name came from.
void tst_CommandLine::nameWarningNamesItsSource()
{
    g_warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectWarning);
    {
        NamedOnly service(QStringLiteral("a\\b"));
        QCOMPARE(QtServiceBase::instance(), &service);
        QCOMPARE(QtServiceController(service.serviceName()).serviceName(), service.serviceName());
    }
    qInstallMessageHandler(previous);
    QCOMPARE(QtServiceBase::instance(), nullptr);
    QCOMPARE(g_warnings.size(), 1);
    QCOMPARE(g_warnings[0].text, QStringLiteral("QtService: 'name' contains backslashes '\\'."));
    QVERIFY2(g_warnings[0].file.contains(QLatin1String("src/qtservice")),
             qPrintable(g_warnings[0].file));
    QCOMPARE(g_warnings[0].function,
             QStringLiteral("QtServiceBase::QtServiceBase(int, char**, const QString&)"));
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
