// The backup worker as the service runs it, against the fake pg_dump: settings that cannot
// be read when it starts are read at a later check, and a save in the panel never waits
// for a backup run.
#include "backupengine.h"
#include "workerfixture.h"

#include <QProcess>
#include <QtTest>

using namespace servicetest;

namespace {

// 1 March 2024, 05:30: the first backup time of the usual settings.
QDateTime at(QTime time = QTime(5, 30))
{
    return QDateTime(QDate(2024, 3, 1), time);
}

} // namespace

// What keeps the settings from being read when the worker starts, or its list at the backup time.
// failure: the one entry logged while it lasts, empty for a save killed half-way; held: what a sqlite3
// shell runs and holds meanwhile; before, after: sh with $0 the settings and $1 the output folder, run
// when the worker starts and once the failure was logged; entries: see unreadableSettingsAreReadLater()
const Columns<QString, QString, QString, QString, QString> unreadableSettingsAreReadLaterColumns{
    {"failure", "held", "before", "after", "entries"}};
// later: after the first run, a request at each of these seconds after it; said: the jobs' outcomes, how
// many manual runs began and how many requests were refused
const Columns<QTime, int, QList<int>, QString> backupNowColumns{{"now", "requests", "later", "said"}};
class TestThBackup : public QObject
{
    Q_OBJECT

private slots:
    void unreadableSettingsAreReadLater_data()
    {
        unreadableSettingsAreReadLaterColumns.add();
        const auto row = [](const char *name, const QString &failure, const QString &held,
                            const QString &before, const QString &after, const char *entries) {
            QTest::newRow(name) << failure << held << before << after << QString(entries);
        };
        const QString noList = "Read Database BU. Gagal memanggil data.\nPesan Error : no such table";
        const QString hideList = "sqlite3 \"$0\" 'ALTER TABLE tbldb RENAME TO simpan'";
        const QString showList = "sqlite3 \"$0\" 'ALTER TABLE simpan RENAME TO tbldb'";
        // Enough pages that the save writes some of them into the file before it commits.
        row("journal of a save killed half-way is rolled back", "",
            "CREATE TABLE pad (x); INSERT INTO pad SELECT randomblob(1000) FROM generate_series(1, 2000); "
            "PRAGMA cache_size = 2; BEGIN; UPDATE confdb SET outputdir = '/nonexistent'; "
            "UPDATE pad SET x = randomblob(1000);",
            "", "", "CMLGBK");
        row("locked longer than the busy time-out at start",
            "Gagal memanggil data.\nPesan Error : database is locked", "BEGIN EXCLUSIVE;", "", "",
            "CFAMLGBK");
        row("missing at start, delivered later", "Maaf file [", "", "mv \"$0\" \"$0.nanti\"",
            "mv \"$0.nanti\" \"$0\"", "CFAMLGBK");
        row("confdb empty at start: said once, read when it has its row",
            "Pengaturan kosong: tabel confdb tidak berisi baris.", "",
            "sqlite3 \"$0\" 'CREATE TABLE simpan AS SELECT * FROM confdb; DELETE FROM confdb'",
            "sqlite3 \"$0\" 'INSERT INTO confdb SELECT * FROM simpan'", "CFAMLGBK");
        row("list unreadable at the backup time: the run after says Read List DB", noList, "", hideList,
            showList, "CMLFALGBK");
        row("output folder gone while the run waits for its list: said once", noList, "", hideList,
            "rm -r \"$1\" && " + showList, "CMLFX");
    }
    // Settings that cannot be read are read at a later check: the failure is logged (and reported)
    // once however many checks meet it, the run after it starts with "Read List DB", and the dump
    // goes where the settings said before a save that was rolled back.
    void unreadableSettingsAreReadLater()
    {
        auto [failure, held, before, after, entries] = unreadableSettingsAreReadLaterColumns.fetch();
        PREPARED(folder, {}, {"sales"});
        const QString settings = folder.settingsPath();
        // The entries in order, each by the letter of its start.
        const QMap<QChar, QString> starts{
            {'C', "Read Config."},
            {'F', failure},
            {'A', "Pengaturan terbaca kembali."},
            {'M', "Riwayat backup [" + folder.file("data/riwayat.db") + "] belum ada; dibuat baru."},
            {'L', "Read List DB"},
            {'G', "Backup Globals OK : file [" + folder.outputDir() + "/bu_globals_"},
            {'B', "Backup Database : " + folder.outputDir() + "/bu_sales_"},
            {'K', "Backup Database OK : database [sales]"},
            {'X', "Lokasi backup [" + folder.outputDir() + "] tidak ditemukan. Proses dibatalkan."}};
        const auto sh = [&](const QString &script) {
            return script.isEmpty() ||
                   QProcess::execute("sh", {"-c", script, settings, folder.outputDir()}) == 0;
        };
        // The sqlite3 shell, as a second process would use it: the row's statements run, it waits.
        QProcess shell;
        if (!held.isEmpty()) {
            shell.start("sqlite3", {"-batch", settings});
            shell.write((held + "\nSELECT 'siap';\n").toUtf8());
            while (!shell.readAllStandardOutput().contains("siap"))
                QVERIFY(shell.waitForReadyRead(10000));
        }
        if (failure.isEmpty()) { // SIGKILL half-way through its save: what it wrote stays behind
            shell.kill();
            shell.waitForFinished();
            QVERIFY(QFileInfo::exists(settings + "-journal"));
        }
        QVERIFY(sh(before));

        Worker worker(folder, at());
        if (!failure.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(folder.log().filter(failure).size() == 1, 5000);
            QTest::qWait(2500); // several more checks fail the same way
            shell.closeWriteChannel();
            shell.waitForFinished();
            QVERIFY(sh(after));
        }
        QTRY_VERIFY_WITH_TIMEOUT(folder.log().size() >= entries.size(), 10000);
        QTest::qWait(1000); // more checks, which must add nothing

        // Each entry cut to the length of the start it must have.
        const QStringList log = folder.log();
        QStringList expected, begun;
        for (int i = 0; i < entries.size(); ++i)
            expected << starts[entries[i]], begun << log.value(i).left(expected.last().size());
        QCOMPARE(begun + log.mid(entries.size()), expected);
        QVERIFY(!QFileInfo::exists(settings + "-journal"));
        // A failure reaches the system's log once too, on one line.
        QStringList reported = log.filter(QRegularExpression("^(Gagal|Maaf|Pengaturan kosong|Read "
                                                             "Database BU|Lokasi)"));
        QCOMPARE(worker.reported(), reported.replaceInStrings("\n", " "));
    }
    // The panel saves with a busy time-out far shorter than the run; the run must not hold
    // the file meanwhile.
    void panelSavesDuringARun()
    {
        PREPARED(folder, {}, {"macet", "sales"});
        BackupEngine engine(folder.path());
        QVERIFY(engine.ReadConfig());
        engine.setToolTimeoutMs(1500);

        QProcess panel;
        panel.start("sh", {"-c",
                           "sleep 0.5; exec sqlite3 -cmd '.timeout 200' \"$0\" "
                           "\"update confdb set server = 'baru'; insert into tbldb values "
                           "('gudang')\"",
                           folder.settingsPath()});
        QVERIFY(engine.RunBackup());
        QVERIFY(panel.waitForFinished());
        QCOMPARE(panel.readAllStandardError() + QByteArray::number(panel.exitCode()), "0");
        // The list was read whole before the first job: what was added counts from the next run.
        QCOMPARE(folder.log().filter("Backup Database : ").size(), 2);
    }
    // A stop while pg_restore reads a dump back (one while pg_dump writes is tested through the
    // service manager): the tool is stopped, the temporary file removed, the job recorded as
    // cancelled with its run log, the databases after it as not run, and the worker ends well
    // within two seconds.
    void stopEndsTheRunInOrder()
    {
        PREPARED(folder, {}, {"bacamacet", "sales"});
        Worker worker(folder, at());
        const QString tool = folder.file("dbutils/pg_restore");
        QTRY_COMPARE_WITH_TIMEOUT(processesWith(tool).size(), 1, 5000);
        QVERIFY(worker.thread.stopsInTime());
        QCOMPARE(processesWith(tool).size(), 0);

        const QString cancelled = "Backup Database DIBATALKAN : database [bacamacet]. Service dihentikan.";
        const QStringList log = folder.log();
        QCOMPARE(log.mid(log.size() - 2),
                 QStringList({cancelled, "Backup Database TIDAK DIJALANKAN : database [sales]. "
                                         "Service dihentikan."}));
        QVERIFY(log.at(log.size() - 3).startsWith("Backup Database : " + folder.outputDir()));
        QCOMPARE(worker.reported(), QStringList{cancelled});
        QCOMPARE(outcomes(folder.jobs()), QStringList{"DIBATALKAN"});
        const QStringList left = QDir(folder.outputDir()).entryList({"*.bu*", "*.log"}, QDir::Files);
        QCOMPARE(left.size(), 1);
        QVERIFY2(left.first().endsWith(".log"), qPrintable(left.first()));
        QVERIFY(readText(folder.outputDir() + '/' + left.first()).contains("Save Log : bacamacet"));
    }
    void backupNow_data()
    {
        backupNowColumns.add();
        QTest::newRow("two requests before the worker looks: one backup")
            << QTime(12, 0) << 2 << QList<int>() << "OK manual 1 refused 0";
        QTest::newRow("in a backup time's minute: that time still runs, once")
            << QTime(5, 30) << 1 << QList<int>() << "OK,OK manual 1 refused 0";
        QTest::newRow("requests within a minute of the manual run: refused, told once")
            << QTime(12, 0) << 1 << QList<int>{10, 30, 59} << "OK manual 1 refused 1";
        QTest::newRow("refused, then a minute after the manual run it runs")
            << QTime(12, 0) << 1 << QList<int>{30, 60} << "OK,OK manual 2 refused 1";
    }
    // A backup asked for runs at once and writes what one at a backup time writes, without
    // touching the backup times' guards; another one within a minute of its end is refused
    // (requests while a run is in progress are tested through the service manager).
    void backupNow()
    {
        auto [now, requests, later, said] = backupNowColumns.fetch();
        const int runs = said.section(' ', 0, 0).count("OK");
        PREPARED(folder, {}, {"sales"});
        Worker worker(folder, at(now), requests);
        QTRY_VERIFY_WITH_TIMEOUT(!folder.log().filter("Backup Database OK").isEmpty(), 10000);
        for (int seconds : later) {
            QTest::qWait(200);
            worker.later = seconds;
            worker.thread.requestBackup();
        }
        QTRY_COMPARE_WITH_TIMEOUT(folder.log().filter("Backup Database OK").size(), runs, 10000);
        QTest::qWait(300); // a few more checks within the minute

        const QStringList log = folder.log();
        const QString refused = "Permintaan backup manual ditolak: backup manual sebelumnya "
                                "selesai kurang dari satu menit yang lalu.";
        const QString begun = "Backup manual dimulai.";
        QCOMPARE(QString("%1 manual %2 refused %3")
                     .arg(outcomes(folder.jobs()).join(','))
                     .arg(log.count(begun))
                     .arg(log.count(refused)),
                 said);
        const int manual = log.indexOf(begun);
        QCOMPARE(log.value(manual + 1), QString("Read List DB"));
        if (said.startsWith("OK,OK manual 1 ")) // the backup time's run, the same
            QCOMPARE(log.mid(manual + 1, 4), log.mid(manual + 5, 4));
    }
};

QTEST_GUILESS_MAIN(TestThBackup)
#include "tst_thbackup.moc"
