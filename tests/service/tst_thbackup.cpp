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

// A worker on the folder whose clock always says now on 1 March 2024 (05:30 is the first
// backup time of the usual settings), asked for requests backups before it starts, and who
// looks every tenth of a second. What it hands to the system's log is kept.
class Worker
{
public:
    explicit Worker(const ProgramFolder &folder, QTime now = QTime(5, 30), int requests = 0)
        : thread(
              folder.path(), [now] { return QDateTime(QDate(2024, 3, 1), now); }, 100,
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

private:
    QMutex mutex;
    QStringList reports;
};

// What keeps the settings from being read when the worker starts.
enum class Obstacle { CrashedSave, Lock, Missing };

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

    QTest::newRow("journal of a save killed half-way is rolled back")
        << Obstacle::CrashedSave << QString();
    QTest::newRow("locked longer than the busy time-out at start")
        << Obstacle::Lock << "Gagal memanggil data.\nPesan Error : database is locked";
    QTest::newRow("missing at start, delivered later") << Obstacle::Missing << "Maaf file [";
}

void TestThBackup::unreadableSettingsAreReadLater()
{
    QFETCH(Obstacle, obstacle);
    QFETCH(QString, failure);
    ProgramFolder folder;
    QVERIFY2(folder.prepare({}, {"sales"}), qPrintable(folder.error));
    const QString settings = folder.settingsPath();
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
        QVERIFY(QFile::rename(settings, settings + ".nanti"));
    }

    Worker worker(folder);
    if (!failure.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(folder.log().filter(failure).size() == 1, 5000);
        QTest::qWait(2500); // several more checks fail the same way
        obstacle == Obstacle::Lock ? shell.end()
                                   : void(QFile::rename(settings + ".nanti", settings));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!folder.log().filter("Backup Database : ").isEmpty(), 10000);

    // The failure once, however many checks met it; the dump goes where the settings said
    // before the save that was rolled back.
    QStringList log = folder.log();
    QCOMPARE(log.takeFirst(), QString("Read Config."));
    if (!failure.isEmpty()) {
        QVERIFY2(log.takeFirst().startsWith(failure), qPrintable(folder.log().join('\n')));
        QCOMPARE(log.takeFirst(), QString("Pengaturan terbaca kembali."));
    }
    QCOMPARE(log.takeFirst(),
             "Riwayat backup [" + folder.file("data/riwayat.db") + "] belum ada; dibuat baru.");
    QCOMPARE(log.takeFirst(), QString("Read List DB"));
    QVERIFY2(log.takeFirst().startsWith("Backup Globals OK : file [" + folder.outputDir()),
             qPrintable(folder.log().join('\n')));
    QVERIFY2(log.first().startsWith("Backup Database : " + folder.outputDir() + "/bu_sales_"),
             qPrintable(log.first()));
    QVERIFY(!QFileInfo::exists(settings + "-journal"));
    // A failure reaches the system's log once too.
    QCOMPARE(worker.reported(), failure.isEmpty() ? QStringList() : folder.log().filter(failure));
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
    QTest::addColumn<int>("runs");

    QTest::newRow("two requests before the worker looks: one backup") << QTime(12, 0) << 2 << 1;
    QTest::newRow("in a backup time's minute: that time still runs, once")
        << QTime(5, 30) << 1 << 2;
}

// A backup asked for runs at once and writes what one at a backup time writes, without
// touching the backup times' guards (requests while a run is in progress are tested through
// the service manager).
void TestThBackup::backupNow()
{
    QFETCH(QTime, now);
    QFETCH(int, requests);
    QFETCH(int, runs);
    ProgramFolder folder;
    QVERIFY2(folder.prepare({}, {"sales"}), qPrintable(folder.error));
    Worker worker(folder, now, requests);
    QTRY_COMPARE_WITH_TIMEOUT(folder.log().filter("Backup Database OK").size(), runs, 10000);
    QTest::qWait(300); // a few more checks within the minute

    const QStringList log = folder.log();
    QCOMPARE(outcomes(folder.jobs()), QStringList(QVector<QString>(runs, "OK").toList()));
    QCOMPARE(log.count("Backup manual dimulai."), 1);
    const int manual = log.indexOf("Backup manual dimulai.");
    QCOMPARE(log.value(manual + 1), QString("Read List DB"));
    if (runs == 2)
        QCOMPARE(log.mid(manual + 1, 4), log.mid(manual + 5, 4));
}

QTEST_GUILESS_MAIN(TestThBackup)
#include "tst_thbackup.moc"
