// Proof that every dump restores whole, against a real PostgreSQL and its tools: the server's
// globals, the rows each dump holds, the restore drill and the ways it must fail, a stop in the
// middle of a drill, and the guard that keeps retention from pushing the last good dumps of a
// suddenly emptied database out.
#include "acceptchange.h"
#include "backupengine.h"
#include "jobhistory.h"
#include "restoredrill.h"
#include "stopsignal.h"
#include "workerfixture.h"

#include <QProcess>
#include <QtTest>

#include <sys/mount.h>

using namespace servicetest;

namespace {

// 3 March 2024 is a Sunday, the day weekly drills run by default.
const QDateTime Sunday(QDate(2024, 3, 3), QTime(5, 30));
const confbu::DrillSchedule EveryRun{confbu::DrillSchedule::EveryRun, 0};

// An engine on the folder whose clock starts on Sunday and moves a second per look.
std::unique_ptr<BackupEngine> engineFor(const ProgramFolder &folder)
{
    auto engine = std::make_unique<BackupEngine>(folder.path(),
                                                 [ticks = 0]() mutable { return Sunday.addSecs(ticks++); });
    engine->ReadConfig();
    engine->RecoverAbandonedJobs();
    return engine;
}

// What a drill leaves behind: its folder in the scratch space, or a process of it.
QStringList leftBehind(const QString &workFolder)
{
    return QDir(workFolder).entryList({"uji-*"}, QDir::Dirs) + processesWith(workFolder + "/uji-");
}

} // namespace

#define PREPARED_ON(folder, ...)                                                                             \
    ProgramFolder folder;                                                                                    \
    QVERIFY2(prepareOn(folder, cluster, __VA_ARGS__), qPrintable(folder.error))

// withoutPasswords: what the globals' entry adds
const Columns<QString, QString, QString> restoreWholeColumns{{"user", "password", "withoutPasswords"}};
// reason: how it begins; %W: the scratch space
// archive, roles: files of the scratch folder; damage: what sh does to the drill's scratch space ($0) first;
// reason: how it begins, %W: the scratch space
const Columns<QString, QString, QString, int, QString> drillFailsColumns{
    {"archive", "roles", "damage", "result", "reason"}};

class TestRestoreProof : public QObject
{
    Q_OBJECT

    PgCluster cluster;
    QTemporaryDir scratch;
    // The scratch folder holds toko's dump (toko.bu), toko_kurang's (kurang.bu), the globals (globals.sql)
    // and the globals without toko's owner (tanpa-peran.sql); rows: those of toko's tables.
    QList<riwayat::TableRows> rows;

    bool sql(const QString &statement, const QString &database = "postgres")
    {
        QString error;
        const bool ok = cluster.sql(statement, &error, database);
        if (!ok)
            qWarning("%s", qPrintable(error));
        return ok;
    }
    // A tool of the cluster's version run to its end as its superuser into a file of the scratch folder.
    bool pg(const QString &tool, const QString &file, const QStringList &arguments)
    {
        return QProcess::execute("env", QStringList{"PGPASSWORD=" + cluster.superPassword(), pgTool(tool),
                                                    "--host=" + cluster.host(), "--username=postgres",
                                                    "--port=" + QString::number(cluster.port()),
                                                    "--file=" + scratch.filePath(file)} +
                                            arguments) == 0;
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(cluster.start(&error), qPrintable(error));
        // toko's tables belong to a role of their own, which only the globals bring along.
        QVERIFY(sql("CREATE ROLE pemilik_toko NOLOGIN PASSWORD 'rahasia'; "
                    "CREATE ROLE pembaca LOGIN PASSWORD 'baca'"));
        for (const auto &[name, rowsOfBarang] : {std::pair{"toko", 1500}, {"toko_kurang", 1450}}) {
            QVERIFY(sql(QString("CREATE DATABASE %1").arg(name)));
            QVERIFY(sql(QString("CREATE TABLE tblbarang (id int PRIMARY KEY, nama text); "
                                "INSERT INTO tblbarang SELECT g, 'barang ' || g FROM "
                                "generate_series(1, %1) g; "
                                "CREATE TABLE tblkosong (id int); "
                                "CREATE TABLE tblpelanggan (nama text); "
                                "INSERT INTO tblpelanggan VALUES ('Ani'), (E'Budi\\nbaris dua'); "
                                "CREATE TABLE catatan (isi text); INSERT INTO catatan VALUES ('x'); "
                                "ALTER TABLE tblbarang OWNER TO pemilik_toko; "
                                "ALTER TABLE tblkosong OWNER TO pemilik_toko; "
                                "GRANT SELECT ON ALL TABLES IN SCHEMA public TO pembaca")
                            .arg(rowsOfBarang),
                        name));
        }
        rows = {{"public.tblbarang", 1500}, {"public.tblkosong", 0}, {"public.tblpelanggan", 2}};
        // Big enough that its restore takes a few seconds.
        QVERIFY(sql("CREATE DATABASE besar"));
        QVERIFY(sql("CREATE TABLE tblbesar AS SELECT g AS id, md5(g::text) || md5((g * 7)::text) "
                    "AS isi FROM generate_series(1, 600000) g; CREATE INDEX ON tblbesar (isi)",
                    "besar"));
        // As the service dumps them.
        QVERIFY(pg("pg_dump", "toko.bu", {"--format=custom", "--table=tbl*", "toko"}));
        QVERIFY(pg("pg_dump", "kurang.bu", {"--format=custom", "--table=tbl*", "toko_kurang"}));
        QVERIFY(pg("pg_dumpall", "globals.sql", {"--globals-only"}));
        QCOMPARE(
            QProcess::execute("sh", {"-c", "cd \"$0\" && grep -v pemilik_toko globals.sql > tanpa-peran.sql",
                                     scratch.path()}),
            0);
    }

    void globalsAndRowsRestoreWhole_data()
    {
        restoreWholeColumns.add();
        QTest::newRow("a superuser dumps the roles with their passwords")
            << "postgres" << cluster.superPassword() << "";
        QTest::newRow("a user that may not read passwords dumps the roles without them")
            << "pembaca"
            << "baca"
            << " Tanpa password role (--no-role-passwords): pengguna [pembaca] tidak boleh "
               "membacanya.";
    }

    // A run with drills after every run: the globals first (only the service may read them),
    // the dump, whose rows per table are recorded and equal the source's, and the drill, which
    // restores the roles before the dump whose tables belong to one of them, and leaves
    // nothing behind.
    void globalsAndRowsRestoreWhole()
    {
        auto [user, password, withoutPasswords] = restoreWholeColumns.fetch();
        PREPARED_ON(folder, {"toko"}, 0, EveryRun, user, password);
        QVERIFY(engineFor(folder)->RunBackup());

        // The entries with their sizes and times taken out.
        const QString globalsFile = folder.outputDir() + "/bu_globals_20240303.053000.sql";
        const QString dumpFile = folder.outputDir() + "/bu_toko_20240303.053002.bu";
        QCOMPARE(folder.log()
                     .filter(QRegularExpression("^(Backup Globals|Uji Pulih)"))
                     .replaceInStrings(QRegularExpression("\\], \\d+ byte\\."), "], N byte.")
                     .replaceInStrings(QRegularExpression(", [\\d.]+ detik\\.$"), ", T detik."),
                 QStringList({"Backup Globals OK : file [" + globalsFile + "], N byte." + withoutPasswords,
                              "Uji Pulih OK : database [toko], file [" + dumpFile +
                                  "], 3 tabel, 1502 baris, T detik."}));
        QCOMPARE(modeOf(globalsFile), 0600u);
        const QString roles = readText(globalsFile);
        QVERIFY(roles.contains("CREATE ROLE pemilik_toko;"));
        QCOMPARE(roles.contains("SCRAM-SHA-256$"), withoutPasswords.isEmpty());
        QCOMPARE(column(folder.file("riwayat.db"), "select tabel || '=' || baris from isi order by rowid") +
                     column(folder.file("riwayat.db"), "select hasil || ' ' || tabel || ' ' || baris || "
                                                       "' ' || riwayat_id from ujipulih"),
                 QStringList({"public.tblbarang=1500", "public.tblkosong=0", "public.tblpelanggan=2",
                              "OK 3 1502 " + QString::number(folder.jobs().first().id)}));
        QCOMPARE(leftBehind(folder.file("data/kerja")), QStringList());
    }

    void drillFails_data()
    {
        drillFailsColumns.add();
        const auto row = [](const char *name, const char *archive, const char *roles, const char *damage,
                            int result, const char *reason) {
            QTest::newRow(name) << archive << roles << damage << result << QString(reason);
        };
        row("the archive holds fewer rows than its read-back recorded", "kurang.bu", "globals.sql", "",
            DrillOutcome::Failed,
            "tabel public.tblbarang: 1500 baris di dump, 1450 baris setelah dipulihkan.");
        row("a role the dump needs is missing from the globals", "toko.bu", "tanpa-peran.sql", "",
            DrillOutcome::Failed,
            "pg_restore: error: could not execute query: ERROR: role \"pemilik_toko\" does not exist");
        row("a disk without the room the dump needs", "toko.bu", "globals.sql",
            "mount -t tmpfs -o size=16m,mode=0711 tmpfs \"$0\"", DrillOutcome::Refused,
            "ruang disk di [%W] tidak cukup: perlu sekitar 64 MB, tersedia 16 MB.");
        row("a template that no server starts from is made anew", "toko.bu", "globals.sql",
            "mkdir -p \"$0/templat-15/data\" && echo 15 > \"$0/templat-15/data/PG_VERSION\"",
            DrillOutcome::Ok, "");
    }

    // Each drill that must fail does so with its reason, and leaves nothing behind; a template
    // of the scratch cluster that is broken is no failure of the dump.
    void drillFails()
    {
        auto [archive, roles, damage, result, reason] = drillFailsColumns.fetch();
        QTemporaryDir top;
        const QString work = top.filePath("kerja");
        QVERIFY(QDir().mkpath(work) && ::chmod(QFile::encodeName(top.path()).constData(), 0711) == 0);
        QVERIFY(damage.isEmpty() || QProcess::execute("sh", {"-c", damage, work}) == 0);
        const DrillOutcome outcome =
            RestoreDrill({pgTool("pg_restore"), pgTool("psql"), QProcessEnvironment::systemEnvironment()},
                         work)
                .run(scratch.filePath(archive), scratch.filePath(roles), rows, 120000, nullptr);
        const QStringList left = leftBehind(work);
        ::umount(QFile::encodeName(work).constData()); // the small disk, where a row made one
        QCOMPARE(int(outcome.result), result);
        QVERIFY2(reason.isEmpty()
                     ? outcome.reason.isEmpty()
                     : outcome.reason.simplified().startsWith(QString(reason).replace("%W", work)),
                 qPrintable(outcome.reason));
        QCOMPARE(left, QStringList());
    }

    // A stop in the middle of a drill ends it at once: the restore and the scratch server
    // stopped, the drill recorded as cancelled, its folder gone, within the two seconds a stop
    // is given.
    void stopDuringADrill()
    {
        PREPARED_ON(folder, {"besar"}, 0, EveryRun);
        Worker worker(folder, Sunday.addSecs(3600), 1);
        // The drill's restore is under way.
        QTRY_VERIFY2_WITH_TIMEOUT(!processesWith("--single-transaction").isEmpty(),
                                  qPrintable(folder.log().join('\n')), 240000);
        QElapsedTimer stopping;
        stopping.start();
        worker.thread.stop();
        QTRY_VERIFY_WITH_TIMEOUT(processesWith("--single-transaction").isEmpty(), 500);
        QVERIFY(worker.thread.wait(2000) && stopping.elapsed() < 2000);
        QCOMPARE(leftBehind(folder.file("data/kerja")), QStringList());
        QCOMPARE(folder.log().filter("Uji Pulih") +
                     column(folder.file("riwayat.db"), "select hasil from ujipulih"),
                 QStringList({"Uji Pulih DIBATALKAN : database [besar], file [" +
                                  folder.jobs().value(0).file + "]. Service dihentikan.",
                              "DIBATALKAN"}));
    }

    // 90% of a table deleted between two runs: the second job stays OK but waits for a check,
    // and retention, which keeps one dump, deletes nothing of the database until an
    // administrator accepts the change; after that it deletes again.
    void shrunkTableHoldsRetentionUntilAccepted()
    {
        QVERIFY(sql("CREATE DATABASE gudang"));
        QVERIFY(sql("CREATE TABLE tblstok AS SELECT g AS id FROM generate_series(1, 2000) g", "gudang"));
        PREPARED_ON(folder, {"gudang"}, 1);
        auto engine = engineFor(folder);
        const auto accept = [&](qint64 id) {
            StopSignal stop;
            ThPermintaan::Context context{*engine, stop, [](const QJsonObject &) {}};
            const QJsonObject isi{{"dbname", "gudang"}, {"riwayat_id", id}};
            return acceptchange::handle({QString(32, 'a'), acceptchange::Jenis, isi, "admin", Sunday, {}},
                                        context);
        };
        const auto dumps = [&] { return QDir(folder.outputDir()).entryList({"bu_gudang_*.bu"}); };

        QVERIFY(engine->RunBackup());
        QVERIFY(sql("DELETE FROM tblstok WHERE id > 200", "gudang"));
        QVERIFY(engine->RunBackup());
        const QList<riwayat::Job> jobs = folder.jobs();
        QCOMPARE(outcomes(jobs), QStringList({"OK", "OK"}));
        QVERIFY2(folder.log().contains("Backup Database PERLU DIPERIKSA : database [gudang], tabel "
                                       "public.tblstok tinggal 200 dari 2000 baris."),
                 qPrintable(folder.log().join('\n')));
        QCOMPARE(accept(jobs.first().id).hasil, permintaan::Ditolak); // that one was no loss
        QVERIFY(engine->RunBackup());
        QCOMPARE(dumps().size(), 3);
        QVERIFY(folder.log().contains("Backup lama database [gudang] tidak dihapus: backup yang "
                                      "PERLU DIPERIKSA belum diterima sebagai perubahan wajar."));

        QCOMPARE(accept(jobs.last().id).hasil, permintaan::Ok);
        QCOMPARE(column(folder.file("riwayat.db"), "select riwayat_id || ' ' || oleh || ' ' || "
                                                   "(diterima is not null) from periksa"),
                 QStringList{QString::number(jobs.last().id) + " admin 1"});
        QVERIFY(engine->RunBackup());
        QCOMPARE(dumps().size(), 1);
        const QString deleted = "Hapus backup lama : " + folder.outputDir() + "/bu_gudang_";
        QCOMPARE(folder.log().filter(deleted).filter(".bu").size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestRestoreProof)
#include "tst_restoreproof.moc"
