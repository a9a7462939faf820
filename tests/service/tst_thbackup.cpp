// The backup worker as the service runs it, against the fake pg_dump: settings that cannot
// be read when it starts are read at a later check, and a save in the panel never waits
// for a backup run.
#include "backupengine.h"
#include "servicetestkit.h"
#include "thbackup.h"

#include <QProcess>
#include <QtTest>

using namespace servicetest;

namespace {

// The sqlite3 shell on the settings file, as a second process would use it. Statements are
// sent one at a time; ready() waits until everything sent so far has run.
class SqliteShell
{
public:
    explicit SqliteShell(const QString &path)
    {
        shell.start("sqlite3", {"-batch", path});
        shell.waitForStarted();
    }
    ~SqliteShell()
    {
        shell.kill();
        shell.waitForFinished();
    }
    bool ready(const QString &statements)
    {
        shell.write((statements + "\nSELECT 'siap';\n").toUtf8());
        while (!shell.readAllStandardOutput().contains("siap"))
            if (!shell.waitForReadyRead(10000))
                return false;
        return true;
    }
    void killNow()
    {
        shell.kill(); // SIGKILL: whatever the open transaction wrote stays behind
        shell.waitForFinished();
    }
    void end()
    {
        shell.closeWriteChannel();
        shell.waitForFinished();
    }

private:
    QProcess shell;
};

// A worker on the folder whose clock says now on 1 March 2024 (05:30 is the first backup
// time of the usual settings) until the test moves it by later seconds, asked for requests
// backups before it starts, and who looks every tenth of a second. What it hands to the
// system's log is kept.
class Worker
{
public:
    explicit Worker(const ProgramFolder &folder, QTime now = QTime(5, 30), int requests = 0)
        : thread(
              folder.path(),
              [this, now] { return QDateTime(QDate(2024, 3, 1), now).addSecs(later); }, 100,
              [this](const QString &message) {
                  QMutexLocker locker(&mutex);
                  reports << message;
              })
    {
        while (requests-- > 0)
            thread.requestBackup();
        thread.start();
    }
    ~Worker()
    {
        thread.stop();
        thread.wait();
    }
    QStringList reported()
    {
        QMutexLocker locker(&mutex);
        return reports;
    }
    ThBackup thread;
    std::atomic<int> later{0};

private:
    QMutex mutex;
    QStringList reports;
};

// What keeps the settings from being read when the worker starts, or its list at the backup
// time; the last one takes the output folder away while the list cannot be read.
enum class Obstacle { CrashedSave, Lock, Missing, NoRows, NoList, NoListThenNoFolder };

} // namespace

Q_DECLARE_METATYPE(Obstacle)

class TestThBackup : public QObject
{
    Q_OBJECT

private slots:
    void unreadableSettingsAreReadLater_data();
    void unreadableSettingsAreReadLater();
    void panelSavesDuringARun();
    void stopEndsTheRunInOrder();
    void backupNow_data();
    void backupNow();
};

void TestThBackup::unreadableSettingsAreReadLater_data()
{
    QTest::addColumn<Obstacle>("obstacle");
    QTest::addColumn<QString>("failure"); // the one entry logged while it lasts; empty: none
    // The start of every entry, in order (%R: the history made, %O: the output folder).
    QTest::addColumn<QStringList>("entries");

    const QString made = "Riwayat backup [%R] belum ada; dibuat baru.",
                  globals = "Backup Globals OK : file [%O/bu_globals_",
                  backup = "Backup Database : %O/bu_sales_",
                  ok = "Backup Database OK : database [sales]",
                  back = "Pengaturan terbaca kembali.";
    QTest::newRow("journal of a save killed half-way is rolled back")
        << Obstacle::CrashedSave << QString()
        << QStringList{"Read Config.", made, "Read List DB", globals, backup, ok};
    const QString locked = "Gagal memanggil data.\nPesan Error : database is locked";
    QTest::newRow("locked longer than the busy time-out at start")
        << Obstacle::Lock << locked
        << QStringList{"Read Config.", locked, back, made, "Read List DB", globals, backup, ok};
    QTest::newRow("missing at start, delivered later")
        << Obstacle::Missing << "Maaf file ["
        << QStringList{"Read Config.", "Maaf file [", back,   made,
                       "Read List DB", globals,       backup, ok};
    const QString empty = "Pengaturan kosong: tabel confdb tidak berisi baris.";
    QTest::newRow("confdb empty at start: said once, read when it has its row")
        << Obstacle::NoRows << empty
        << QStringList{"Read Config.", empty, back, made, "Read List DB", globals, backup, ok};
    const QString noList = "Read Database BU. Gagal memanggil data.\nPesan Error : no such table";
    QTest::newRow("list unreadable at the backup time: the run after says Read List DB")
        << Obstacle::NoList << noList
        << QStringList{"Read Config.", made,    "Read List DB", noList, back,
                       "Read List DB", globals, backup,         ok};
    QTest::newRow("output folder gone while the run waits for its list: said once")
        << Obstacle::NoListThenNoFolder << noList
        << QStringList{"Read Config.", made, "Read List DB", noList,
                       "Lokasi backup [%O] tidak ditemukan. Proses dibatalkan."};
}

// Settings that cannot be read are read at a later check: the failure is logged (and reported)
// once however many checks meet it, the run after it starts with "Read List DB", and the dump
// goes where the settings said before a save that was rolled back.
void TestThBackup::unreadableSettingsAreReadLater()
{
    QFETCH(Obstacle, obstacle);
    QFETCH(QString, failure);
    QFETCH(QStringList, entries);
    ProgramFolder folder;
    QVERIFY2(folder.prepare({}, {"sales"}), qPrintable(folder.error));
    const QString settings = folder.settingsPath();
    const auto sql = [&](const QString &statements) {
        return QProcess::execute("sqlite3", {settings, statements}) == 0;
    };
    SqliteShell shell(settings);
    if (obstacle == Obstacle::CrashedSave) {
        // Enough pages that the save writes some of them into the file before it commits.
        QVERIFY(shell.ready("CREATE TABLE pad (x); INSERT INTO pad SELECT randomblob(1000) "
                            "FROM generate_series(1, 2000);"));
        QVERIFY(shell.ready("PRAGMA cache_size = 2; BEGIN; UPDATE confdb SET outputdir = "
                            "'/nonexistent'; UPDATE pad SET x = randomblob(1000);"));
        shell.killNow();
        QVERIFY(QFileInfo::exists(settings + "-journal"));
    } else if (obstacle == Obstacle::Lock) {
        QVERIFY(shell.ready("BEGIN EXCLUSIVE;"));
    } else {
        shell.end();
    }
    if (obstacle == Obstacle::Missing)
        QVERIFY(QFile::rename(settings, settings + ".nanti"));
    if (obstacle == Obstacle::NoRows)
        QVERIFY(sql("CREATE TABLE simpan AS SELECT * FROM confdb; DELETE FROM confdb;"));
    if (obstacle == Obstacle::NoList || obstacle == Obstacle::NoListThenNoFolder)
        QVERIFY(sql("ALTER TABLE tbldb RENAME TO simpan;"));

    Worker worker(folder);
    if (!failure.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(folder.log().filter(failure).size() == 1, 5000);
        QTest::qWait(2500); // several more checks fail the same way
        if (obstacle == Obstacle::NoListThenNoFolder)
            QVERIFY(QDir(folder.outputDir()).removeRecursively());
        if (obstacle == Obstacle::Lock)
            shell.end();
        else if (obstacle == Obstacle::Missing)
            QVERIFY(QFile::rename(settings + ".nanti", settings));
        else if (obstacle == Obstacle::NoRows)
            QVERIFY(sql("INSERT INTO confdb SELECT * FROM simpan;"));
        else
            QVERIFY(sql("ALTER TABLE simpan RENAME TO tbldb;"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(folder.log().size() >= entries.size(), 10000);
    QTest::qWait(1000); // more checks, which must add nothing

    const QStringList log = folder.log();
    entries.replaceInStrings("%R", folder.file("data/riwayat.db"));
    entries.replaceInStrings("%O", folder.outputDir());
    QCOMPARE(log.size(), entries.size());
    for (int i = 0; i < log.size(); ++i)
        QVERIFY2(log.at(i).startsWith(entries.at(i)), qPrintable(log.join('\n')));
    QVERIFY(!QFileInfo::exists(settings + "-journal"));
    // A failure reaches the system's log once too, on one line.
    QStringList reported = log.filter(QRegularExpression("^(Gagal|Maaf|Pengaturan kosong|Read "
                                                         "Database BU|Lokasi)"));
    reported.replaceInStrings("\n", " ");
    QCOMPARE(worker.reported(), reported);
}

// The panel saves with a busy time-out far shorter than the run; the run must not hold
// the file meanwhile.
void TestThBackup::panelSavesDuringARun()
{
    ProgramFolder folder;
    QVERIFY2(folder.prepare({}, {"macet", "sales"}), qPrintable(folder.error));
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
    QCOMPARE(panel.readAllStandardError(), QByteArray());
    QCOMPARE(panel.exitCode(), 0);
    // The list was read whole before the first job: what was added counts from the next run.
    QCOMPARE(folder.log().filter("Backup Database : ").size(), 2);
}

// A stop while pg_restore reads a dump back (one while pg_dump writes is tested through the
// service manager): the tool is stopped, the temporary file removed, the job recorded as
// cancelled with its run log, the databases after it as not run, and the worker ends well
// within two seconds.
void TestThBackup::stopEndsTheRunInOrder()
{
    const QString database = "bacamacet";
    ProgramFolder folder;
    QVERIFY2(folder.prepare({}, {database, "sales"}), qPrintable(folder.error));
    Worker worker(folder);
    const QString tool = folder.file("dbutils/pg_restore");
    QTRY_COMPARE_WITH_TIMEOUT(processesWith(tool).size(), 1, 5000);

    QElapsedTimer stopping;
    stopping.start();
    worker.thread.stop();
    QVERIFY(worker.thread.wait(2000));
    QVERIFY2(stopping.elapsed() < 2000, qPrintable(QString::number(stopping.elapsed())));
    QCOMPARE(processesWith(tool).size(), 0);

    const QString cancelled =
        "Backup Database DIBATALKAN : database [" + database + "]. Service dihentikan.";
    QStringList log = folder.log();
    QCOMPARE(log.mid(log.size() - 2),
             QStringList({cancelled, "Backup Database TIDAK DIJALANKAN : database [sales]. "
                                     "Service dihentikan."}));
    QVERIFY(log.at(log.size() - 3).startsWith("Backup Database : " + folder.outputDir()));
    QCOMPARE(worker.reported(), QStringList{cancelled});
    QCOMPARE(outcomes(folder.jobs()), QStringList{"DIBATALKAN"});
    const QStringList left = QDir(folder.outputDir()).entryList({"*.bu*", "*.log"}, QDir::Files);
    QCOMPARE(left.size(), 1);
    QVERIFY2(left.first().endsWith(".log"), qPrintable(left.first()));
    QVERIFY(readText(folder.outputDir() + '/' + left.first()).contains("Save Log : " + database));
}

void TestThBackup::backupNow_data()
{
    QTest::addColumn<QTime>("now");
    QTest::addColumn<int>("requests");
    // After the first run: a request at each of these seconds after it
    QTest::addColumn<QList<int>>("later");
    QTest::addColumn<int>("runs");
    QTest::addColumn<int>("manualRuns");
    QTest::addColumn<int>("refusals");

    QTest::newRow("two requests before the worker looks: one backup")
        << QTime(12, 0) << 2 << QList<int>() << 1 << 1 << 0;
    QTest::newRow("in a backup time's minute: that time still runs, once")
        << QTime(5, 30) << 1 << QList<int>() << 2 << 1 << 0;
    QTest::newRow("requests within a minute of the manual run: refused, told once")
        << QTime(12, 0) << 1 << QList<int>{10, 30, 59} << 1 << 1 << 1;
    QTest::newRow("refused, then a minute after the manual run it runs")
        << QTime(12, 0) << 1 << QList<int>{30, 60} << 2 << 2 << 1;
}

// A backup asked for runs at once and writes what one at a backup time writes, without
// touching the backup times' guards; another one within a minute of its end is refused
// (requests while a run is in progress are tested through the service manager).
void TestThBackup::backupNow()
{
    QFETCH(QTime, now);
    QFETCH(int, requests);
    QFETCH(QList<int>, later);
    QFETCH(int, runs);
    QFETCH(int, manualRuns);
    QFETCH(int, refusals);
    ProgramFolder folder;
    QVERIFY2(folder.prepare({}, {"sales"}), qPrintable(folder.error));
    Worker worker(folder, now, requests);
    QTRY_VERIFY_WITH_TIMEOUT(!folder.log().filter("Backup Database OK").isEmpty(), 10000);
    for (int seconds : later) {
        QTest::qWait(200);
        worker.later = seconds;
        worker.thread.requestBackup();
    }
    QTRY_COMPARE_WITH_TIMEOUT(folder.log().filter("Backup Database OK").size(), runs, 10000);
    QTest::qWait(300); // a few more checks within the minute

    const QStringList log = folder.log();
    QCOMPARE(outcomes(folder.jobs()), QStringList(QVector<QString>(runs, "OK").toList()));
    QCOMPARE(log.count("Backup manual dimulai."), manualRuns);
    QCOMPARE(log.count("Permintaan backup manual ditolak: backup manual sebelumnya selesai "
                       "kurang dari satu menit yang lalu."),
             refusals);
    const int manual = log.indexOf("Backup manual dimulai.");
    QCOMPARE(log.value(manual + 1), QString("Read List DB"));
    if (runs == 2 && manualRuns == 1) // the backup time's run, the same
        QCOMPARE(log.mid(manual + 1, 4), log.mid(manual + 5, 4));
}

QTEST_GUILESS_MAIN(TestThBackup)
#include "tst_thbackup.moc"
