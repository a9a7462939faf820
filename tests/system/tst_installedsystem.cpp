// The installed system the way an administrator meets it: a program directory
// made by the install step, the stand-in service manager, a real PostgreSQL and
// the real pg_dump, driven through the service program and the controller.

#include "pgcluster.h"
#include "programdir.h"
#include "qtservice.h"
#include "svcmgrdaemon.h"
#include "testfiles.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString serviceName = QStringLiteral("Sarvela DB Backup");

struct Run
{
    int exitCode = -100;
    QString out;
    QString err;
};

Run runProgram(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    Run run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitCode();
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

// Waits until the clock is far enough from the end of a minute that a backup
// time of the current minute is still current when the service first looks.
QDateTime currentMinuteWithRoom()
{
    QDateTime now = QDateTime::currentDateTime();
    if (now.time().second() >= 40) {
        QThread::msleep((61 - now.time().second()) * 1000);
        now = QDateTime::currentDateTime();
    }
    now.setTime(QTime(now.time().hour(), now.time().minute()));
    return now;
}

bool writeSettings(const QString &file, const QString &server, int port, const QString &outputDir,
                   const QDateTime &jam1, const QStringList &databases, QString *error)
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "e2e-settings");
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery query(db);
            query.prepare("update confdb set server = :server, port = :port, outputdir = :dir, "
                          "jam1 = :jam1, jam1st = :on, jam2st = :off");
            query.bindValue(":server", server);
            query.bindValue(":port", port);
            query.bindValue(":dir", outputDir);
            query.bindValue(":jam1", jam1);
            query.bindValue(":on", true);
            query.bindValue(":off", false);
            ok = query.exec() && query.numRowsAffected() == 1;
            for (const QString &name : databases) {
                QSqlQuery insert(db);
                insert.prepare("insert into tbldb(dbname) values(:name)");
                insert.bindValue(":name", name);
                ok = ok && insert.exec();
            }
            if (!ok)
                *error = query.lastError().text();
        } else {
            *error = db.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase("e2e-settings");
    return ok;
}

} // namespace

class TestInstalledSystem : public QObject
{
    Q_OBJECT

private slots:
    void backsUpThroughTheServiceManager();
    void readmeCommandsAreWhatCiRuns();
};

void TestInstalledSystem::backsUpThroughTheServiceManager()
{
    QString error;
    PgCluster pg;
    QVERIFY2(pg.start(&error), qPrintable(error));
    // Empty user and password in the settings stand for admin / 5170342.
    QVERIFY2(pg.createUser("admin", "5170342", &error), qPrintable(error));
    const QStringList databases{"penjualan", "gudang"};
    for (const QString &name : databases)
        QVERIFY2(pg.createSampleDatabase(name, &error), qPrintable(error));

    ProgramDir program;
    QVERIFY2(program.install(&error), qPrintable(error));
    QVERIFY2(QFileInfo(program.file("dbutils/pg_dump")).isExecutable(),
             "the install step made no dbutils/pg_dump");

    SvcMgrDaemon daemon(program.path());
    QVERIFY2(daemon.start(&error), qPrintable(error));

    QTemporaryDir output;
    const QString outputDir = output.filePath("backup dengan spasi");
    QVERIFY(QDir().mkpath(outputDir));
    const QDateTime jam1 = currentMinuteWithRoom();
    QVERIFY2(writeSettings(program.file("confbu.cfg"), pg.host(), pg.port(), outputDir, jam1,
                           databases, &error),
             qPrintable(error));

    // A reinstall keeps the administrator's settings; had it replaced them, the
    // delivered ones (both times switched off) would make no backup below.
    QVERIFY2(program.install(&error), qPrintable(error));

    const QString sarvelad = program.file("sarvelad");
    Run install = runProgram(sarvelad, {"-i"});
    QCOMPARE(install.exitCode, 0);
    QCOMPARE(install.out, QString("The service %1 has been installed under: %2\n")
                              .arg(serviceName, QFileInfo(sarvelad).canonicalFilePath()));

    QtServiceController controller(serviceName);
    QVERIFY(controller.isInstalled());
    QCOMPARE(controller.startupType(), QtServiceController::AutomaticStart);
    QCOMPARE(controller.serviceDescription(), QString("Sarvela Database Backup"));
    // Quoted, so that a path with blanks cannot be taken for another program.
    QCOMPARE(controller.serviceFilePath(), '"' + QFileInfo(sarvelad).canonicalFilePath() + '"');
    QVERIFY(!controller.isRunning());
    QVERIFY2(controller.start(), qPrintable(daemon.daemonLog()));
    QVERIFY(controller.isRunning());

    // The first look at the schedule comes right after the settings are read.
    QElapsedTimer waited;
    waited.start();
    const QString logPath = program.file("busys.log");
    while (readText(logPath).count("Backup Database : ") < databases.size() &&
           waited.elapsed() < 120000)
        QThread::msleep(200);
    const QString log = readText(logPath);
    QVERIFY2(log.count("Backup Database : ") == databases.size(), qPrintable(log));
    const QRegularExpression firstEntry(
        "^\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d - Read Config\\.\n");
    QVERIFY2(firstEntry.match(log).hasMatch(), qPrintable(log));
    QVERIFY2(log.contains(" - Read List DB\n"), qPrintable(log));

    const QStringList dumps = QDir(outputDir).entryList({"*.bu"}, QDir::Files, QDir::Name);
    QCOMPARE(dumps.size(), databases.size());
    for (const QString &dump : dumps) {
        const QString path = QDir(outputDir).filePath(dump);
        QVERIFY2(QRegularExpression("^bu_(penjualan|gudang)_\\d{8}\\.\\d{6}\\.bu$")
                     .match(dump)
                     .hasMatch(),
                 qPrintable(dump));
        QVERIFY2(log.contains("Backup Database : " + path), qPrintable(log));
        struct stat st
        {
        };
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QVERIFY2((st.st_mode & S_IRWXO) == 0, "a dump is readable by every local user");

        Run restore = runProgram(PgCluster::binDir() + "/pg_restore", {"--list", path});
        QVERIFY2(restore.exitCode == 0, qPrintable(restore.err));
        QVERIFY2(restore.out.contains("TABLE public tblbarang"), qPrintable(restore.out));
        QVERIFY2(!restore.out.contains("catatan"), "a table outside tbl* was dumped");

        const QString runLog = readText(path.left(path.size() - 3) + ".log");
        QVERIFY2(runLog.contains(" - Save Log : "), qPrintable(runLog));
        QVERIFY2(!runLog.contains("5170342"), "the password reached a run log");
    }
    QVERIFY2(!log.contains("5170342"), "the password reached the activity log");

    QVERIFY(controller.stop());
    QVERIFY(!controller.isRunning());
    Run uninstall = runProgram(sarvelad, {"-u"});
    QCOMPARE(uninstall.exitCode, 0);
    QCOMPARE(uninstall.out, QString("The service %1 has been uninstalled.\n").arg(serviceName));
    QVERIFY(!controller.isInstalled());
}

void TestInstalledSystem::readmeCommandsAreWhatCiRuns()
{
    const QString root = QStringLiteral(SARVELA_SOURCE_DIR);
    const QString readme = readText(root + "/README.md");
    const QString ci = readText(root + "/.ci/run");
    // The first screen of the README holds both commands.
    const QString firstScreen = readme.section('\n', 0, 24);
    const QRegularExpression command("^(bash scripts/\\S+\\.sh)\\s+#",
                                     QRegularExpression::MultilineOption);
    QStringList commands;
    for (auto it = command.globalMatch(firstScreen); it.hasNext();)
        commands << it.next().captured(1);
    QCOMPARE(commands, QStringList({"bash scripts/main-job.sh", "bash scripts/test.sh"}));
    QVERIFY2(ci.contains(QRegularExpression("^" + QRegularExpression::escape(commands.last()) + "$",
                                            QRegularExpression::MultilineOption)),
             qPrintable(ci));
    for (const QString &c : commands)
        QVERIFY(QFileInfo(root + "/" + c.section(' ', 1)).isFile());
}

QTEST_GUILESS_MAIN(TestInstalledSystem)
#include "tst_installedsystem.moc"
