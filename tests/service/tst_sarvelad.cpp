// End to end: an installed program directory, a throwaway PostgreSQL 15 and the real
// pg_dump and pg_restore. The service, run with -e or through the service manager, backs the
// listed databases up at the configured minute, reads each dump back, keeps only what reads
// back whole, and ends in order in the middle of a dump.
#include "pgcluster.h"
#include "programdir.h"
#include "servicetestkit.h"
#include "svcmgrdaemon.h"

#include <QProcess>
#include <QtTest>

using namespace servicetest;

namespace {

// Runs a program of the installed directory as an administrator would, from a console.
int administrator(const ProgramDir &program, const QStringList &arguments)
{
    return QProcess::execute(program.file("sarvelad"), arguments);
}

// How a service ends in the middle of a dump.
enum class Ending { AdministratorStops, ManagerShutsDown, ManagerKilled };

} // namespace

Q_DECLARE_METATYPE(Ending)

// outcome: of the job that was running, and why
const Columns<Ending, QString, QString> serviceEndsDuringADumpColumns{{"how", "outcome", "reason"}};
class TestSarvelad : public QObject
{
    Q_OBJECT

    PgCluster cluster;
    QTemporaryDir scratch;

    // Settings for the cluster whose first backup time is the current minute, with room for the
    // service to start within it.
    bool writeSettingsNow(const ProgramDir &program, const QString &outputdir, const QStringList &databases,
                          QString *error)
    {
        if (QTime::currentTime().second() >= 40)
            QTest::qWait((61 - QTime::currentTime().second()) * 1000);
        QVariantMap settings = defaultSettings(outputdir);
        settings.insert(QVariantMap{{"server", cluster.host()},
                                    {"port", cluster.port()},
                                    {"user", cluster.superUser()},
                                    {"pass", cluster.superPassword()},
                                    {"jam1", QDateTime::currentDateTime().toString(Qt::ISODate)}});
        return QDir().mkpath(outputdir) &&
               writeSettings(program.file("confbu.cfg"), {settings}, databases, error);
    }
    // Runs the installed service with -e until the log has count entries naming what.
    QStringList runUntil(const ProgramDir &program, const QString &what, int count,
                         const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        QProcess service;
        service.setProcessEnvironment(environment);
        service.setWorkingDirectory(scratch.path()); // files must be found from the program
        service.start(program.file("sarvelad"), {"-e"});
        const QString logPath = program.file("busys.log");
        // The caller judges the log this leaves; a wait that ends unmet is its failure to report.
        (void)QTest::qWaitFor([&] { return logMessages(logPath).filter(what).size() >= count; }, 90000);
        QTest::qWait(200);
        service.kill();
        service.waitForFinished();
        return logMessages(logPath);
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(cluster.start(&error) && cluster.createSampleDatabase("penjualan", &error) &&
                     cluster.createSampleDatabase("data gudang", &error),
                 qPrintable(error));
        // About 60 MB of dump, which takes pg_dump some seconds.
        QVERIFY2(
            cluster.sql("CREATE DATABASE besar", &error) &&
                cluster.sql("CREATE TABLE tblbesar AS SELECT g AS id, md5(g::text) || md5((g * 7)::text) || "
                            "md5((g * 13)::text) AS isi FROM generate_series(1, 1000000) g",
                            &error, "besar"),
            qPrintable(error));
    }
    // pg_dump ended with code 0, yet the archive it left was cut short, as a pg_dump that died at
    // its last blocks leaves it: its table of contents still reads, but the real pg_restore finds
    // the cut, the job fails, and the file is kept only under a name no one takes for a dump.
    void dumpCutShortIsKeptAside()
    {
        ProgramDir program;
        QString error;
        const QString outputdir = scratch.filePath("tidak utuh"), source = scratch.filePath("penjualan.bu");
        QVERIFY2(program.install(&error) && program.useFakePgDump(&error) &&
                     writeSettingsNow(program, outputdir, {"potong"}, &error),
                 qPrintable(error));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PGPASSWORD", cluster.superPassword());
        const QString pgBin = PgCluster::binDir(), port = QString::number(cluster.port());
        const Ran dump = runCommand({pgBin + "/pg_dump", "--host=" + cluster.host(), "--port=" + port,
                                     "--username=" + cluster.superUser(), "--format=custom",
                                     "--file=" + source, "--table=tbl*", "penjualan"},
                                    environment);
        QVERIFY2(dump.exitCode == 0, dump.err.constData());
        environment.insert("FAKE_PG_DUMP_SOURCE", source);

        const QStringList log = runUntil(program, "Backup Database GAGAL : ", 1, environment);
        const QString reason = "pg_restore: error: could not read from input file: end of file";
        // The run log and the dump kept aside.
        const QStringList kept = QDir(outputdir).entryList({"bu_potong_*"}, QDir::Files);
        const QString stem = kept.value(1).chopped(4), path = outputdir + '/' + stem;
        QCOMPARE(kept, QStringList({stem + ".bu.rusak", stem + ".log"}));
        QCOMPARE(log.filter("Backup Database GAGAL : "),
                 QStringList("Backup Database GAGAL : database [potong], file [" + path +
                             ".bu]. dump tidak terbaca utuh: " + reason));
        QVERIFY(readText(path + ".log").contains(reason));
        QCOMPARE(runCommand({pgBin + "/pg_restore", "--list", path + ".bu.rusak"}).exitCode, 0);
    }
    void serviceEndsDuringADump_data()
    {
        serviceEndsDuringADumpColumns.add();
        const QString stopped = "Service dihentikan.";
        QTest::newRow("administrator stops it") << Ending::AdministratorStops << "DIBATALKAN" << stopped;
        QTest::newRow("service manager shuts down") << Ending::ManagerShutsDown << "DIBATALKAN" << stopped;
        QTest::newRow("service dies with its manager") << Ending::ManagerKilled << "GAGAL"
                                                       << "Proses service berhenti sebelum job selesai.";
    }
    // A service that ends in the middle of a dump is gone within two seconds, leaves no dump
    // under a final name, no pg_dump writing, and pg_dump's messages in the run log. Stopped,
    // it cancels the job in order (the rest not run, the manager's event log told); killed, it
    // leaves the half-written dump and the running job to the next start and run.
    void serviceEndsDuringADump()
    {
        auto [how, outcome, reason] = serviceEndsDuringADumpColumns.fetch();
        ProgramDir program;
        QString error;
        QVERIFY2(program.install(&error), qPrintable(error));
        SvcMgrDaemon manager(program.path());
        const QString outputdir = scratch.filePath("berhenti " + QString::number(int(how)));
        QVERIFY2(manager.start(&error) &&
                     writeSettingsNow(program, outputdir, {"besar", "penjualan"}, &error),
                 qPrintable(error));
        // Installed, then started.
        QCOMPARE(QVector<int>({administrator(program, {"-i"}), administrator(program, {})}),
                 QVector<int>({0, 0}));
        // A dump of the large database well under way.
        const auto underWay = [&] {
            const QFileInfoList dumps = QDir(outputdir).entryInfoList({"bu_besar_*.bu.tmp-*"});
            return !dumps.isEmpty() && dumps.first().size() > 1000000;
        };
        QVERIFY2(QTest::qWaitFor(underWay, 60000), qPrintable(readText(program.file("busys.log"))));
        const QStringList service = processesWith(program.file("sarvelad"));
        QCOMPARE(service.size(), 1);

        QElapsedTimer ending;
        ending.start();
        how == Ending::AdministratorStops ? void(administrator(program, {"-t"}))
                                          : manager.stop(how == Ending::ManagerKilled);
        (void)QTest::qWaitFor([&] { return !QFileInfo::exists("/proc/" + service.first()); }, 5000);
        QVERIFY2(ending.elapsed() < 2000, qPrintable(QString::number(ending.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(processesWith(outputdir), QStringList(), 500); // no pg_dump
        const QStringList halfWritten = QDir(outputdir).entryList({"*.tmp-*"}),
                          runLog = QDir(outputdir).entryList({"*.log"});
        // Half-written dumps, final dumps and run logs.
        QCOMPARE(
            QVector<int>({halfWritten.size(), QDir(outputdir).entryList({"*.bu"}).size(), runLog.size()}),
            QVector<int>({outcome == "GAGAL", 0, 1}));
        QVERIFY(readText(outputdir + '/' + runLog.value(0)).contains("Save Log : besar : \npg_dump: "));
        if (outcome == "DIBATALKAN") {
            const QString cancelled = "Backup Database DIBATALKAN : database [besar]. " + reason;
            const QStringList log = logMessages(program.file("busys.log"));
            QCOMPARE(log.mid(log.size() - 2),
                     QStringList(
                         {cancelled, "Backup Database TIDAK DIJALANKAN : database [penjualan]. " + reason}));
            QVERIFY2(manager.eventLog().contains(cancelled), qPrintable(manager.eventLog()));
        }

        // The next start completes the job in the history; the next run removes what is left and
        // backs up as usual.
        QVERIFY2(writeSettingsNow(program, outputdir, {"penjualan", "data gudang"}, &error),
                 qPrintable(error));
        const QStringList log = runUntil(program, "Backup Database OK", 2);
        const QList<riwayat::Job> jobs = history(program.file("riwayat.db"));
        QCOMPARE(outcomes(log), outcomes(jobs));
        QCOMPARE(outcomes(jobs) << jobs.value(0).alasan, QStringList({outcome, "OK", "OK", reason}));
        QStringList removed = halfWritten;
        removed.replaceInStrings(QRegularExpression("^(.*)$"),
                                 "Berkas sementara [" + outputdir +
                                     "/\\1] dari proses yang terhenti dihapus.");
        QCOMPARE(log.filter("Berkas sementara ["), removed);
        QCOMPARE(QDir(outputdir).entryList({"*.tmp-*", "*.rusak", "bu_besar_*.bu"}), QStringList());
        QVERIFY(!QFileInfo::exists(scratch.filePath("busys.log"))); // found from the program
    }
    // "sarvelad -c 1" reaches the running service through the manager. A request while the run
    // of a backup time is under way is noted when that run ends, not kept; one after it runs a
    // full backup at once, and the backup time, whose minute it still is, does not run again.
    void backupNowThroughTheManager()
    {
        ProgramDir program;
        QString error;
        SvcMgrDaemon manager(program.path());
        QVERIFY2(program.install(&error) && program.useFakePgDump(&error) && manager.start(&error) &&
                     writeSettingsNow(program, scratch.filePath("sekarang"), {"lambat"}, &error),
                 qPrintable(error));
        QVERIFY(QFile::remove(program.file("dbutils/pg_restore")) &&
                QFile::copy(fakePgDumpPath(), program.file("dbutils/pg_restore")));
        // Installed, then started.
        QCOMPARE(QVector<int>({administrator(program, {"-i"}), administrator(program, {})}),
                 QVector<int>({0, 0}));
        const QString logPath = program.file("busys.log");
        const QString ignored = "Permintaan backup manual selama backup berjalan diabaikan.";
        QTRY_COMPARE_WITH_TIMEOUT(logMessages(logPath).count("Read List DB"), 1, 10000);
        QCOMPARE(administrator(program, {"-c", "1"}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(logMessages(logPath).count(ignored), 1, 10000);
        QCOMPARE(administrator(program, {"-c", "1"}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(logMessages(logPath).filter("Backup Database OK").size(), 2, 10000);
        QTest::qWait(500); // the check after the run

        const QStringList log = logMessages(logPath);
        QVERIFY2(log.indexOf("Backup manual dimulai.") > log.indexOf(ignored), qPrintable(log.join('\n')));
        QCOMPARE(log.count("Read List DB"), 2);
        QCOMPARE(outcomes(history(program.file("riwayat.db"))), QStringList({"OK", "OK"}));
    }
};

QTEST_GUILESS_MAIN(TestSarvelad)
#include "tst_sarvelad.moc"
