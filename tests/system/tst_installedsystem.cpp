// The installed system the way an administrator meets it: a program directory
// made by the install step, the stand-in service manager, a real PostgreSQL and
// the real pg_dump, driven through the service program and the controller.

#include "pgcluster.h"
#include "programdir.h"
#include "qtservice.h"
#include "svcmgrdaemon.h"

#include <QtTest>

class TestInstalledSystem : public QObject
{
    Q_OBJECT

private slots:
    void backsUpThroughTheServiceManager()
    {
        QString error;
        PgCluster pg;
        // Empty user and password in the settings stand for admin / 5170342.
        QVERIFY2(pg.start(&error) && pg.createUser("admin", "5170342", &error) &&
                     pg.createSampleDatabase("penjualan", &error) &&
                     pg.createSampleDatabase("gudang", &error),
                 qPrintable(error));
        ProgramDir program;
        QVERIFY2(program.install(&error), qPrintable(error));
        QVERIFY2(QFileInfo(program.file("dbutils/pg_dump")).isExecutable(),
                 "the install step made no dbutils/pg_dump");
        SvcMgrDaemon daemon(program.path());
        QVERIFY2(daemon.start(&error), qPrintable(error));
        QTemporaryDir output;
        const QString outputDir = output.filePath("backup dengan spasi");
        QVERIFY(QDir().mkpath(outputDir));
        // A backup time in this minute, far enough from its end that it is still current
        // when the service first looks.
        if (QTime::currentTime().second() >= 40)
            QThread::sleep(61 - QTime::currentTime().second());
        const QString settings =
            "update confdb set server='%1', port=%2, outputdir='%3', jam1='%4', jam1st=1, "
            "jam2st=0; insert into tbldb(dbname) values ('penjualan'), ('gudang')";
        const QString now = QDateTime::currentDateTime().toString("yyyy-MM-ddTHH:mm:00");
        const QString update = settings.arg(pg.host(), QString::number(pg.port()), outputDir, now);
        QVERIFY(runCommand({"sqlite3", program.file("confbu.cfg"), update}).exitCode == 0);
        // A reinstall keeps the administrator's settings; had it replaced them, the
        // delivered ones (both times switched off) would make no backup below.
        QVERIFY2(program.install(&error), qPrintable(error));

        const QString sarvelad = program.file("sarvelad");
        const QString canonical = QFileInfo(sarvelad).canonicalFilePath();
        QCOMPARE(runCommand({sarvelad, "-i"}).out,
                 "The service Sarvela DB Backup has been installed under: " + canonical.toUtf8() + '\n');
        QtServiceController controller("Sarvela DB Backup");
        // Started with the system, described, its path quoted (so that a path with blanks cannot be
        // taken for another program), not running yet.
        const QStringList seen{QString::number(controller.startupType()), controller.serviceDescription(),
                               controller.serviceFilePath(), controller.isRunning() ? "running" : "stopped"};
        QCOMPARE(seen, QStringList({"0", "Sarvela Database Backup", '"' + canonical + '"', "stopped"}));
        QVERIFY2(controller.start(), qPrintable(daemon.daemonLog()));
        QVERIFY(controller.isRunning());

        // The first look at the schedule comes right after the settings are read.
        const QString logPath = program.file("busys.log");
        QTRY_VERIFY_WITH_TIMEOUT(readText(logPath).count("Backup Database : ") >= 2, 120000);
        // What the dumps and their run logs hold is the backup engine's tests' to check.
        const QString log = readText(logPath);
        QVERIFY2(log.contains(" - Read Config.\n") && log.count("Backup Database : ") == 2, qPrintable(log));
        const QStringList dumps = QDir(outputDir).entryList({"*.bu"}, QDir::Files);
        QCOMPARE(dumps.size(), 2);
        for (const QString &dump : dumps)
            QVERIFY2(dump.contains(QRegularExpression("^bu_(penjualan|gudang)_\\d{8}\\.\\d{6}\\.bu$")) &&
                         log.contains("Backup Database : " + QDir(outputDir).filePath(dump)),
                     qPrintable(log));
        QVERIFY(controller.stop());
        QVERIFY(!controller.isRunning());
        QCOMPARE(runCommand({sarvelad, "-u"}).out,
                 QByteArray("The service Sarvela DB Backup has been uninstalled.\n"));
        QVERIFY(!controller.isInstalled());
    }

    void readmeCommandsAreWhatCiRuns()
    {
        const QString root = SARVELA_SOURCE_DIR;
        // The first screen of the README holds both commands.
        const QString firstScreen = readText(root + "/README.md").section('\n', 0, 24);
        QStringList commands;
        const QRegularExpression command("^(bash scripts/\\S+\\.sh)\\s+#",
                                         QRegularExpression::MultilineOption);
        for (auto it = command.globalMatch(firstScreen); it.hasNext();)
            commands << it.next().captured(1);
        QCOMPARE(commands, QStringList({"bash scripts/main-job.sh", "bash scripts/test.sh"}));
        QVERIFY(readLines(root + "/.ci/run").contains(commands.last()));
        for (const QString &c : commands)
            QVERIFY(QFileInfo(root + "/" + c.section(' ', 1)).isFile());
    }
};

QTEST_GUILESS_MAIN(TestInstalledSystem)
#include "tst_installedsystem.moc"
