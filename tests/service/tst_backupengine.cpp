// The backup engine against the fake pg_dump and pg_restore: the log entry, the settings
// file and the files behind the program folder's links, the schedule, and backup runs (what
// reaches the tool, refused names, failing and hung tools, the output folder rule, names
// planted where a run writes, a folder without room, retention).
#include "backupengine.h"
#include "servicetestkit.h"
#include "stopsignal.h"
#include "texttable.h"
#include "toolmessages.h"
#include "writelog.h"

#include <QtTest>

#include <cerrno>
#include <climits>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace servicetest;

// While set, fsync() fails with EIO for every open file whose name holds it, as on a disk
// that lost the write. Defined in the test program, it stands in for the C library's.
static QByteArray failSyncOf;

extern "C" int fsync(int fd)
{
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    char path[PATH_MAX] = {};
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
    if (!failSyncOf.isEmpty() && ::readlink(link.constData(), path, sizeof path - 1) > 0 &&
        QByteArray(std::strrchr(path, '/') ? std::strrchr(path, '/') : path).contains(failSyncOf)) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

namespace {

// An engine with a clock that starts at 09/07/2013 05:47:09 and moves a second per look (or
// stands still), that has made its history as the worker does at start, and read the
// settings when asked; its log starts empty.
std::unique_ptr<BackupEngine> engineFor(const ProgramFolder &folder, bool readConfig = true,
                                        int secondsPerLook = 1)
{
    const QDateTime start(QDate(2013, 7, 9), QTime(5, 47, 9));
    auto engine = std::make_unique<BackupEngine>(
        folder.path(), [=, ticks = 0]() mutable { return start.addSecs(secondsPerLook * ticks++); });
    if (readConfig)
        engine->ReadConfig();
    engine->RecoverAbandonedJobs();
    engine->setToolTimeoutMs(1000);
    QFile::remove(folder.file("data/busys.log"));
    return engine;
}

// A file of someone else's that nothing may write through a planted link.
const char Victim[] = "milik orang lain\n";

// Puts under path what a row says: "fifo", "garbage" (bytes that are no database), "removed",
// "rows-deleted" (confdb emptied), "dir MODE [OWNER]", "link TARGET", "hardlink TARGET",
// "copy TARGET OWNER", or "editors": gives an existing file or folder to the group nogroup
// (65534), a file also made writable by that group, the way the installed settings are the
// admin group's. A thing put where a file stood replaces it; the file stays beside it as name.asli.
bool make(const QString &path, const QStringList &what)
{
    const QByteArray name = QFile::encodeName(path);
    const QString kind = what.value(0), target = what.value(1);
    const uint owner = what.value(2).toUInt();
    if (QFileInfo::exists(path) && kind != "rows-deleted" && kind != "editors")
        QFile::rename(path, path + ".asli");
    if (kind == "dir")
        return QDir().mkpath(path) && ::chmod(name, target.toUInt(nullptr, 8)) == 0 &&
               ::chown(name, owner, -1) == 0;
    if (kind == "link")
        return QFile::link(target, path);
    if (kind == "hardlink")
        return ::link(QFile::encodeName(target).constData(), name) == 0;
    if (kind == "fifo")
        return ::mkfifo(name, 0660) == 0;
    if (kind == "garbage")
        return writeBytes(path, QByteArray(1024, 'x'));
    if (kind == "copy")
        return QFile::copy(target, path) && ::chown(name, owner, -1) == 0;
    if (kind == "rows-deleted")
        return sqlite(path, "delete from confdb");
    if (kind == "editors")
        return ::chown(name, uid_t(-1), 65534) == 0 && (QFileInfo(path).isDir() || ::chmod(name, 0660) == 0);
    return kind == "removed";
}

// The entries of a job whose dump was made and read back; its file name ends in stamp.bu.
QStringList verified(const QString &database, const QString &stamp)
{
    const QString dump = "%O/bu_" + database + "_20130709." + stamp + ".bu";
    return {"Backup Database : " + dump,
            "Backup Database OK : database [" + database + "], file [" + dump + "], 16 byte, terverifikasi."};
}

// The entry of the server's globals dumped at the start of a run, at stamp.
QString globalsOk(const QString &stamp)
{
    return "Backup Globals OK : file [%O/bu_globals_20130709." + stamp + ".sql], 21 byte.";
}

// The regular files in a folder, each with its mode: "name 640".
QStringList filesWithModes(const QString &folder)
{
    QStringList files;
    for (const QString &name : QDir(folder).entryList(QDir::Files | QDir::NoSymLinks))
        files << name + ' ' + QString::number(modeOf(folder + '/' + name), 8);
    return files;
}

} // namespace

// connection: what pg_dump gets from the settings
// expectedLog: "%O" is the output folder
// failSync: what fsync() fails for
const Columns<QVariantMap, QStringList, QStringList, QStringList, QByteArray> runColumns{
    {"overrides", "databases", "connection", "expectedLog", "failSync"}};
// made: "PATH: WHAT" (see make()) for each thing put in the program folder before the run, by ';'
// present: the regular files in the output folder after it
// outputdir: in the program folder
// lock: what another process holds a lock on while the run starts
const Columns<QString, QStringList, QStringList, QString, QString> whatTheServiceMeetsOnDiskColumns{
    {"made", "expectedLog", "present", "outputdir", "lock"}};
class TestBackupEngine : public QObject
{
    Q_OBJECT

private slots:
    // Modes are checked under the strictest umask: only the service's own mode setting
    // gives the group what it reads.
    void initTestCase() { ::umask(077); }
    void logEntries_data()
    {
        // written: after the time stamp
        textTable({"message", "detail", "written"},
                  {{"UTF-8, and a detail on a line of its own", QStringLiteral("Gagal [\u00e9\u20ac]."),
                    "Pesan Error : x", QStringLiteral(" - Gagal [\u00e9\u20ac].\nPesan Error : x\n")},
                   {"line break, tab and NUL", QString("a\nb\tc") + QChar(0) + "d", "", " - a\\nb\\tc\\0d\n"},
                   {"C1 controls and DEL", QStringLiteral("a\u009b31mb\u007fc\u0085"), "",
                    " - a\\x9b31mb\\x7fc\\x85\n"},
                   {"Unicode line and paragraph separators", QStringLiteral("a\u2028b\u2029c"), "",
                    " - a\\u2028b\\u2029c\n"},
                   {"a line break in the detail is escaped too", "Gagal.", "Pesan Error : a\nb",
                    " - Gagal.\nPesan Error : a\\nb\n"}});
    }
    // A local time stamp, then the message in UTF-8 with every control character escaped: nothing
    // a value holds can end its line or start another. Only the first line is stamped.
    void logEntries()
    {
        QTemporaryDir dir;
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        WriteLog(LogMessage(cell("message"), cell("detail")), "busys.log", dir.path());
        const QString content = readText(dir.filePath("busys.log"));
        QCOMPARE(content.mid(19), cell("written"));
        const QDateTime stamp = QDateTime::fromString(content.left(19), "dd/MM/yyyy hh:mm:ss");
        QVERIFY2(stamp >= before && stamp <= QDateTime::currentDateTime(), qPrintable(content));
    }
    void schedule_data()
    {
        // checks: the day in March 2024 and the time of each check; "restart": the service restarts;
        // "stop": it is asked to stop while the next check's run is under way
        // late: the times run late, in order
        // settings: changed from the usual, in which the first time, 05:30, is on
        const QString inTheMinute = "1 05:30:00,1 05:30:15,1 05:30:45,1 05:30:59";
        textTable(
            {"checks", "runs", "late", "settings"},
            {{"four checks in the minute run once", inTheMinute, "1", "", ""},
             {"time with milliseconds, as the panel binds it", inTheMinute, "1", "", "jam1=05:30:00.000"},
             {"disabled time never runs, not even late", "1 05:29:50,1 05:31:00", "0", "", "jam1st=0"},
             {"the same time the next day runs again", "1 05:30:10,1 05:31:10,2 05:30:10", "2", "", ""},
             {"a manual run over the time: the time runs late, once", "1 05:29:50,1 05:31:05,1 05:31:20", "1",
              "05:30", ""},
             {"the first time's run lasts past the second: it runs late", "1 05:30:00,1 05:46:10", "2",
              "05:45", "jam2=05:45:00 jam2st=1"},
             {"clock put forward over both times: each late, in their order", "1 03:00:00,1 14:00:00", "2",
              "04:00,05:30", "jam2=04:00:00 jam2st=1"},
             {"clock put forward by days: the time runs once", "1 05:00:00,4 06:00:00", "1", "05:30", ""},
             {"clock put back over a time that ran: not again",
              "1 05:30:00,1 05:40:00,1 05:20:00,1 05:30:05,1 05:31:00", "1", "", ""},
             {"clock put back a day: that day's time not again",
              "2 05:30:00,2 06:00:00,1 06:00:00,2 05:30:10", "1", "", ""},
             {"restarted in the minute of a time that ran: not again", "1 05:30:05,restart,1 05:30:40", "1",
              "", ""},
             {"restarted in the minute of a time whose run was stopped: it runs again",
              "stop,1 05:30:05,restart,1 05:30:40,1 05:30:50", "2", "", ""},
             {"a time that passed while the service was down is not run late",
              "1 05:29:30,restart,1 05:31:00", "0", "", ""}});
    }
    // Every time that came since the previous check runs once, late ones with an entry that says
    // so; none runs twice for a day, however the clock moves or the service restarts.
    void schedule()
    {
        QVariantMap settings;
        for (const QString &setting : cell("settings").split(' ', Qt::SkipEmptyParts)) {
            const QString value = setting.section('=', 1);
            settings.insert(setting.section('=', 0, 0),
                            value.contains(':') ? QVariant("2000-01-01T" + value) : QVariant(value.toInt()));
        }
        PREPARED(folder, settings, {"sales"});
        QDateTime now;
        StopSignal stopping;
        int stopAtLook = -1; // the job's start is the check's second look at the clock
        std::unique_ptr<BackupEngine> engine;
        for (const QString &check : ("restart," + cell("checks")).split(',')) {
            if (check == "restart") {
                engine = std::make_unique<BackupEngine>(folder.path(), [&] {
                    if (stopAtLook >= 0 && stopAtLook-- == 0)
                        stopping.request();
                    return now;
                });
                engine->setToolTimeoutMs(1000);
                QVERIFY(engine->ReadConfig());
                engine->RecoverAbandonedJobs();
            } else if (check == "stop") {
                engine->setStopSignal(&stopping);
                stopAtLook = 1;
            } else {
                now = QDateTime::fromString("2024-03-" + check, "yyyy-MM-d hh:mm:ss");
                engine->CheckSchedule();
            }
        }
        QCOMPARE(QString::number(folder.log().count("Read List DB")), cell("runs"));
        QStringList late = folder.log().filter("Backup terjadwal");
        late.replaceInStrings(QRegularExpression("^Backup terjadwal (.*) terlewat, dijalankan sekarang\\.$"),
                              "\\1");
        QCOMPARE(late.join(','), cell("late"));
    }
    void run_data()
    {
        runColumns.add();
        const QStringList usual{"--host=db.example", "--port=5433", "--username=backupper",
                                "PGPASSWORD=s3cret pw"};
        // The globals take the first two looks at the clock.
        const QStringList start{"Read List DB", globalsOk("054709")};
        const auto row = [&](const QString &name, const QStringList &databases, const QStringList &log,
                             const QVariantMap &overrides = {}, const QStringList &connection = {},
                             const QByteArray &failSync = {}) {
            QTest::addRow("%s", qPrintable(name))
                << overrides << databases << (connection.isEmpty() ? usual : connection) << log << failSync;
        };
        // A name refused (why, for the row's name) with the entry reason, in which it is shown as
        // shown; sales is backed up after it.
        const auto refusedName = [&](const char *why, const QString &name, const QString &reason,
                                     const QString &shown) {
            row("name [" + shown.left(24) + "] " + why, {name, "sales"},
                start + QStringList{reason.arg(shown)} + verified("sales", "054712"));
        };
        row("plain settings", {"sales"}, start + verified("sales", "054711"));
        row("blanks in server, user and database stay single arguments", {"data gudang"},
            start + verified("data gudang", "054711"), {{"server", "db host"}, {"user", "back upper"}},
            {"--host=db host", "--port=5433", "--username=back upper", "PGPASSWORD=s3cret pw"});
        row("blank user and pass fall back to the defaults", {"sales"}, start + verified("sales", "054711"),
            {{"user", "   "}, {"pass", "\t "}},
            {"--host=db.example", "--port=5433", "--username=admin", "PGPASSWORD=5170342"});
        row("port stored as text of a number", {"sales"}, start + verified("sales", "054711"),
            {{"port", "6543"}},
            {"--host=db.example", "--port=6543", "--username=backupper", "PGPASSWORD=s3cret pw"});

        const QString refused = "Backup Database DITOLAK : nama database [%1] dapat dibaca pg_dump "
                                "sebagai opsi atau alamat koneksi. pg_dump tidak dijalankan.";
        for (const QString &name : QStringList{"-Fp", "--file=/etc/passwd", "host=evil dbname=x",
                                               "POSTGRESQL://evil/db", "s\nfake"})
            refusedName("may be read as an option or address", name, refused,
                        QString(name).replace("\n", "\\n"));
        refusedName("keeps its ESC and carriage return in its entry", "\x1b[2K\rBackup Database OK", refused,
                    "\\x1b[2K\\rBackup Database OK");
        const QString tooLong =
            "Backup Database DITOLAK : nama database [%1] lebih dari 63 byte. pg_dump tidak dijalankan.";
        const QString name63(63, 'n');
        row("name of 63 bytes is backed up", {name63}, start + verified(name63, "054711"));
        refusedName("of 32 characters in 64 bytes", QString(32, QChar(0xe9)), tooLong,
                    QString(32, QChar(0xe9)));
        refusedName("very long, shown cut", QString(100000, 'n'), tooLong, name63 + QChar(0x2026));
        const QString outside = "Backup Database DITOLAK : nama database [%1] kosong atau menunjuk ke "
                                "luar lokasi backup. pg_dump tidak dijalankan.";
        for (const QString &name :
             QStringList{"", "../etc", "a/b", "a\\b", "..", QString("a") + QChar(0) + "b"})
            refusedName("would leave the output folder", name, outside,
                        QString(name).replace(QChar(0), "\\0"));

        const QList<std::pair<QString, QString>> failures{
            {"gagal", "pg_dump selesai dengan kode keluar 3. Pesan Error : pg_dump: error: connection to "
                      "server failed"},
            {"macet", "pg_dump melewati batas waktu 1 detik dan dihentikan."},
            {"sampah",
             "dump tidak terbaca utuh: pg_restore: error: input file does not appear to be a valid archive"},
            {"bacamacet",
             "dump tidak terbaca utuh: pg_restore melewati batas waktu 1 detik dan dihentikan."}};
        for (const auto &[name, reason] : failures) {
            const QString dump = "%O/bu_" + name + "_20130709.054711.bu";
            row("job for " + name + " fails: reported, no dump, next job runs", {name, "sales"},
                start +
                    QStringList{"Backup Database : " + dump, "Backup Database GAGAL : database [" + name +
                                                                 "], file [" + dump + "]. " + reason} +
                    verified("sales", "054713"));
        }
        // What may not be on the disk is no good backup.
        const QString dump = "%O/bu_sales_20130709.054711.bu",
                      unsynced = "Backup Database GAGAL : database [sales], file [" + dump +
                                 "]. %1 tidak tersimpan aman di disk: Input/output error.";
        row("the dump not synced: no dump", {"sales"},
            start + QStringList{"Backup Database : " + dump, unsynced.arg("Dump")}, {}, {}, ".bu.tmp-");
        row("the folder not synced after the rename: kept only for inspection, the globals gone", {"sales"},
            {"Read List DB",
             "Backup Globals GAGAL : Nama akhir berkas globals tidak tersimpan aman di disk: Input/output "
             "error.",
             "Backup Database : " + dump, unsynced.arg("Nama akhir dump")},
            {}, {}, "backup hasil");

        const QString noFolder = "Lokasi backup [%1] tidak ditemukan. Proses dibatalkan.";
        row("output folder missing", {"sales"}, {noFolder.arg("/nonexistent/sar backups")},
            {{"outputdir", "/nonexistent/sar backups"}});
        row("empty output folder would mean the root or the working folder", {"sales"}, {noFolder.arg("")},
            {{"outputdir", ""}});
        row("line break in the output folder stays in its entry", {"sales"},
            {noFolder.arg("/nonexistent/a\\nb")}, {{"outputdir", "/nonexistent/a\nb"}});
        row("output folder longer than the system allows, shown cut", {"sales"},
            {"Lokasi backup [/" + QString(59, 'd') + QChar(0x2026) +
             "] lebih panjang dari batas sistem. Proses dibatalkan."},
            {{"outputdir", '/' + QString(5000, 'd')}});
        row("empty list: not even the globals", {}, {"Read List DB"});
    }
    // Only what is logged as backed up reaches the tool, with the settings as single arguments
    // and the password only in its environment; only dumps that read back whole and are safe on
    // the disk keep a final name, one that is not is kept for inspection as .rusak; each job has
    // its history row.
    void run()
    {
        auto [overrides, databases, connection, expectedLog, failSync] = runColumns.fetch();
        PREPARED(folder, overrides, databases);
        expectedLog.replaceInStrings("%O", folder.outputDir());
        auto engine = engineFor(folder);
        QStringList events;
        engine->setReporter([&events](const QString &event) { events << event; });
        failSyncOf = failSync;
        const bool ran = engine->RunBackup();
        failSyncOf.clear();
        QCOMPARE(ran, !expectedLog.filter("Backup Database").isEmpty());
        QCOMPARE(folder.log(), expectedLog);
        // Every failure reaches the system's log too, as the line busys.log has.
        QCOMPARE(events, expectedLog.filter(
                             QRegularExpression("^(Lokasi|Backup (Database|Globals) (GAGAL|DITOLAK))")));

        // From the log: the calls of pg_dump (each written under a temporary name beside its final
        // one), the files left with their modes, and each job's history row (outcome, dump, size,
        // read back, no reason, ended after it started).
        const QString password = connection.takeLast();
        static const QRegularExpression file("file \\[(.*?)\\]");
        QStringList calls, files, jobs;
        for (const QString &entry : expectedLog) {
            const QString dump = file.match(entry).captured(1),
                          outcome = entry.startsWith("Backup Database") ? entry.section(' ', 2, 2) : "";
            if (entry.startsWith("Backup Database : ")) {
                const QString dbname = entry.section('/', -1).section('_', 1, -2);
                calls << (QStringList{folder.file("dbutils/pg_dump")} + connection +
                          QStringList{"--format=custom", "--verbose", "--file=" + entry.mid(18) + ".tmp-*",
                                      "--table=tbl*", "-w", dbname, password})
                             .join('|');
                files << entry.section('/', -1).chopped(3) + ".log 640";
                QVERIFY(
                    readText(entry.mid(18).chopped(3) + ".log").contains("Save Log : " + dbname + " : \n"));
            } else if (entry.startsWith("Backup Globals OK")) {
                files << dump.section('/', -1) + " 600";
            } else if (QStringList{"OK", "GAGAL", "DITOLAK"}.contains(outcome)) {
                const bool ok = outcome == "OK";
                jobs << QString("%1|%2|%3|%4|%4|1").arg(outcome, ok ? dump : "").arg(ok ? 16 : 0).arg(ok);
                // Kept for inspection: a dump that does not read back, or whose name may not be on disk.
                if (ok || entry.contains(QRegularExpression("dump tidak terbaca utuh|Nama akhir dump")))
                    files << dump.section('/', -1) + (ok ? " 640" : ".rusak 640");
            }
        }
        QStringList called;
        for (const QStringList &call : folder.calls())
            called << call.join('|').replace(QRegularExpression("(\\.tmp-)[A-Za-z0-9]{6}\\|"), "\\1*|");
        QCOMPARE(called, calls);
        files.sort();
        QCOMPARE(filesWithModes(folder.outputDir()), files);
        QStringList rows;
        for (const riwayat::Job &job : folder.jobs())
            rows << QString("%1|%2|%3|%4|%5|%6")
                        .arg(job.hasil, job.file)
                        .arg(job.ukuran)
                        .arg(job.terverifikasi)
                        .arg(job.alasan.isEmpty())
                        .arg(job.selesai >= job.mulai);
        QCOMPARE(rows, jobs);
        // The password is in no file the run writes.
        QStringList written{folder.logPath()};
        for (const QString &name : QDir(folder.outputDir()).entryList(QDir::Files))
            written << folder.outputDir() + '/' + name;
        for (const QString &path : written)
            QVERIFY2(!readText(path).contains(password.section('=', 1)), qPrintable(path));
    }
    void whatTheServiceMeetsOnDisk_data()
    {
        whatTheServiceMeetsOnDiskColumns.add();
        // %T: the program folder, %D: the data folder, %O: the output folder, %V: someone's file
        const QString hasil = "backup hasil";
        const QString globals = globalsOk("054709"), globalsDump = "bu_globals_20130709.054709.sql";
        const QStringList backedUp{globalsDump, "bu_sales_20130709.054711.bu",
                                   "bu_sales_20130709.054711.log"};
        const QStringList start{"Read Config.", "Read List DB"},
            run = start + QStringList{globals} + verified("sales", "054711");
        // The backup runs after an entry.
        const auto ranAfter = [&](const QString &entry) {
            return start + QStringList{entry, globals} + verified("sales", "054711");
        };
        const auto row = [&](const char *name, const QString &made, const QStringList &log,
                             const QStringList &present, const QString &outputdir = "backup hasil",
                             const QString &lock = {}) {
            QTest::newRow(name) << made << log << present << outputdir << lock;
        };
        // Nothing is backed up: the settings are read, then the entry.
        const auto refused = [&](const char *name, const QString &made, const QString &entry,
                                 const QString &outputdir = "backup hasil") {
            row(name, made, {"Read Config.", entry}, {}, outputdir);
        };
        const QString settingsError = "Error Load database :[%D/confbu.cfg";

        // Behind the program folder's links, in the data folder: what a member of the admin group
        // plants there under a name is never written through and never holds the service up.
        row("regular files behind root's links are used", "", run, backedUp);
        row("FIFO planted as the log holds nothing up", "data/busys.log: fifo", {}, backedUp);
        refused("missing settings are reported, not created", "data/confbu.cfg: removed",
                "Maaf file [%T/confbu.cfg] tidak ditemukan.");
        refused("folder in place of the settings", "data/confbu.cfg: dir 750",
                settingsError + "] bukan berkas biasa");
        refused("settings that are no database", "data/confbu.cfg: garbage",
                "Gagal memanggil data.\nPesan Error : file is not a database Unable to execute statement");
        refused("confdb without rows", "data/confbu.cfg: rows-deleted",
                "Pengaturan kosong: tabel confdb tidak berisi baris.");
        refused("link planted as the settings is not opened", "data/confbu.cfg: link %V",
                settingsError + "] berupa link");
        refused("settings made by someone else are not opened",
                "data/confbu.cfg: copy %D/confbu.cfg.asli 65534",
                settingsError + "] bukan milik root atau user service");
        refused("FIFO planted as the settings' journal is refused, nothing waits for it",
                "data/confbu.cfg-journal: fifo", settingsError + "-journal] bukan berkas biasa");
        refused("hard link planted as the settings' journal is refused",
                "data/confbu.cfg-journal: hardlink %V",
                settingsError + "-journal] memiliki lebih dari satu nama");
        const QString madeAnew = "Riwayat backup [%D/riwayat.db] rusak (%1); dibuat ulang.";
        row("link planted as the history is replaced", "data/riwayat.db: link %V",
            ranAfter(madeAnew.arg("bukan berkas milik service")), backedUp);
        row("history that is no database is made anew", "data/riwayat.db: garbage",
            ranAfter(madeAnew.arg("file is not a database Unable to execute statement")), backedUp);
        row("journal planted beside the history is removed", "data/riwayat.db-journal: link %V", run,
            backedUp);

        // In and above the output folder: only a folder that no one but root can change, up to
        // the root of the file system, gets root's dumps.
        const QString writable = "Lokasi backup [%T/%1] dapat ditulis oleh pengguna lain. Proses dibatalkan.";
        refused("group-writable folder", "keluar: dir 775", writable.arg("keluar"), "keluar");
        refused("world-writable sticky folder itself", "keluar: dir 1777", writable.arg("keluar"), "keluar");
        refused("folder above writable by the group", "atas: dir 770; atas/keluar: dir 750",
                writable.arg("atas"), "atas/keluar");
        row("sticky folder above with root's folder inside is fine", "tmp: dir 1777; tmp/keluar: dir 750",
            run, backedUp, "tmp/keluar");
        refused("sticky folder above with another user's folder inside",
                "tmp: dir 1777; tmp/keluar: dir 750 65534",
                "Lokasi backup [%T/tmp/keluar] dimiliki pengguna lain (uid 65534). Proses dibatalkan.",
                "tmp/keluar");
        refused("settings a group may change, a folder not of that group",
                "data/confbu.cfg: editors; keluar: dir 750",
                "Lokasi backup [%T/keluar] bukan milik grup nogroup yang mengatur backup. Proses dibatalkan.",
                "keluar");
        row("settings a group may change, that group's folder is used",
            "data/confbu.cfg: editors; keluar: dir 750; keluar: editors", run, backedUp, "keluar");
        row("link in the path to a sound folder: the folder is used by its real path",
            "asli/keluar: dir 750; tautan: link asli",
            QStringList(run).replaceInStrings("%O", "%T/asli/keluar"), backedUp, "tautan/keluar");
        row("a separator at the end of the folder is not doubled", "keluar: dir 750",
            QStringList(run).replaceInStrings("%O", "%T/keluar"), backedUp, "keluar/");
        refused("link in the path to a writable folder: the folder is refused",
                "bebas: dir 777; bebas/keluar: dir 750; tautan: link bebas", writable.arg("bebas"),
                "tautan/keluar");

        // Names in the output folder: links that would make root write where they point, and
        // dumps that a process which died left half-written.
        const QString dump = "%O/bu_sales_20130709.054711.bu";
        const QString leftover = "bu_lama_20130708.010000.bu.tmp-Ab3dE9",
                      left = hasil + '/' + leftover + ": copy %V";
        const QStringList removed =
            ranAfter("Berkas sementara [%O/" + leftover + "] dari proses yang terhenti dihapus.");
        row("link as the coming dump is replaced, never written through",
            hasil + "/bu_sales_20130709.054711.bu: link %V", run, backedUp);
        row("link as the coming run log: the job fails, nothing written through it",
            hasil + "/bu_sales_20130709.054711.log: link %V",
            start + QStringList{globals, "Backup Database : " + dump,
                                "Backup Database GAGAL : database [sales], file [" + dump +
                                    "]. Log proses "
                                    "[%O/bu_sales_20130709.054711.log] tidak dapat dibuat: berupa link."},
            {globalsDump});
        row("temporary dump of a process that died is removed", left, removed, backedUp);
        // Another worker holds the lock file beside the history, which only the service can open.
        row("temporary dump while another worker runs from the folder is kept", left,
            start + QStringList{"Backup dilewati: proses lain sedang menjalankan backup dari folder program "
                                "[%T]."},
            {leftover}, hasil, "%D/sarvelad.lock");
        row("FIFO planted as the run lock: the run is skipped with the reason", "data/sarvelad.lock: fifo",
            start + QStringList{"Backup dilewati: kunci [%D/sarvelad.lock] tidak dapat dipakai: bukan berkas "
                                "milik service yang hanya dapat dibuka service."},
            {});
        // Anyone who may read the program folder can lock the folder itself: that must not stop a backup.
        row("a lock on the program folder itself stops nothing", left, removed, backedUp, hasil, "%T");
    }
    // What the service finds on disk and must not trust: the files behind its program folder's
    // links, the output folder and the folders above it, and names in the output folder. Each
    // is used only when sound, refused with the reason otherwise; nothing is written through a
    // link, the settings are never changed, and the history agrees with the log.
    void whatTheServiceMeetsOnDisk()
    {
        auto [made, expectedLog, present, outputdir, lock] = whatTheServiceMeetsOnDiskColumns.fetch();
        ProgramFolder folder;
        const QString top = folder.path(), victim = folder.file("korban");
        QVERIFY(writeBytes(victim, Victim));
        QVERIFY2(folder.prepare({{"outputdir", top + '/' + outputdir}}, {"sales"}), qPrintable(folder.error));
        const auto expand = [&](QString text) {
            return text.replace("%T", top)
                .replace("%D", top + "/data")
                .replace("%O", top + '/' + outputdir)
                .replace("%V", victim);
        };
        auto engine = engineFor(folder, false);
        for (const QString &step : made.split("; ", Qt::SkipEmptyParts))
            QVERIFY2(make(top + '/' + step.section(": ", 0, 0), expand(step.section(": ", 1)).split(' ')),
                     qPrintable(step));
        for (QString &entry : expectedLog)
            entry = expand(entry);
        const QString settings = folder.settingsPath(), log = folder.file("data/busys.log");
        const QString before = ownerAndMode(settings) + readText(settings);
        const int other = lock.isEmpty() ? -1
                                         : ::open(QFile::encodeName(expand(lock)).constData(),
                                                  lock.endsWith(".lock") ? O_RDWR | O_CREAT : O_RDONLY, 0600);
        QVERIFY(other < 0 || ::flock(other, LOCK_EX) == 0);

        if (engine->ReadConfig())
            engine->RunBackup();
        ::close(other);
        QCOMPARE(QFileInfo(log).isFile() ? logMessages(log) : QStringList(), expectedLog);
        QCOMPARE(readText(victim), QString(Victim));
        QCOMPARE(QDir(expand("%O")).entryList(QDir::Files | QDir::NoSymLinks), present);
        // Where the log was lost, the history still has the job.
        QCOMPARE(outcomes(folder.jobs()), expectedLog.isEmpty() ? QStringList{"OK"} : outcomes(expectedLog));
        QCOMPARE(ownerAndMode(settings) + readText(settings), before);
        for (const QString &name : QStringList{"confbu.cfg", "busys.log", "riwayat.db"})
            QVERIFY(QFileInfo(folder.file(name)).isSymLink());
        // The panel empties the log as a member of the group, and reads the history.
        if (!expectedLog.isEmpty())
            QCOMPARE(modeOf(log), 0660u);
        QCOMPARE(modeOf(folder.file("data/riwayat.db")), 0640u);
    }
    void olderDumpsAreDeleted_data()
    {
        // setup: how many dumps the last run keeps; "last fails": its job fails; "one second": every
        // job starts in the same second; "aside": the failed job left its dump as .rusak
        // dumpsLeft, logsLeft, deleted (dumps, with their run logs), logsDeleted: the runs, by number
        textTable(
            {"setup", "dumpsLeft", "logsLeft", "deleted", "logsDeleted"},
            {{"keep 2: the two newest good dumps stay", "keep 2", "5 6", "5 6", "0 1 2 4", "3"},
             {"keep 0, the default: every dump stays", "keep 0", "0 1 2 4 5 6", "0 1 2 3 4 5 6", "", ""},
             {"the job fails: dumps beyond the two kept go all the same, making room first",
              "keep 2, last fails", "4 5", "4 5 6", "0 1 2", "3"},
             {"jobs of one second share a name: the newest dump stays", "keep 1, one second", "6", "6", "",
              ""},
             {"a failed job's dump kept aside keeps its run log", "keep 2, aside", "5 6", "3 5 6", "0 1 2 4",
              ""}});
    }
    // Six runs of which the fourth (3) fails, then a run (6) that keeps the newest good dumps: it
    // deletes only dumps that the history records as good, with their run logs, logs and records
    // each deletion, and never a dump that no job made or that the newest job names. Those beyond
    // the number kept go before the dump, so that a folder they fill cannot fail it; the failed
    // job's run log goes once it is older than every dump kept.
    void olderDumpsAreDeleted()
    {
        const QString setup = cell("setup"), dumpsLeft = cell("dumpsLeft"), deleted = cell("deleted");
        PREPARED(folder, {}, {"sales"});
        auto engine = engineFor(folder, true, setup.contains("one second") ? 0 : 1);
        const QString tool = folder.file("dbutils/pg_dump"), output = folder.outputDir() + '/';
        const auto failing = [&](bool fails) {
            return QFile::remove(tool) &&
                   QFile::copy(fails ? "/bin/false" : SARVELA_BIN_DIR "/fake_pg_dump", tool);
        };
        for (int run = 0; run < 6; ++run) {
            QVERIFY(failing(run == 3));
            engine->RunBackup();
        }
        // The names of the runs' files, by the runs' numbers.
        const auto named = [&folder](const QString &runs, const QString &before, const QString &after) {
            QStringList names;
            for (const QString &run : runs.split(' ', Qt::SkipEmptyParts))
                names << before + "bu_sales_" +
                             folder.jobs().value(run.toInt()).mulai.toString("yyyyMMdd.hhmmss") + after;
            names.removeDuplicates();
            return names;
        };
        const QString stranger = output + "bu_sales_20000101.000000";
        QVERIFY(QFile::copy(tool, stranger + ".bu") && QFile::copy(tool, stranger + ".log"));
        QVERIFY(!setup.contains("aside") || QFile::copy(tool, named("3", output, ".bu.rusak").value(0)));
        QVERIFY2(folder.keep(setup.section(',', 0, 0).mid(5).toInt()), qPrintable(folder.error));
        QVERIFY(failing(setup.contains("last fails")) && QFile::remove(folder.logPath()));
        engine->RunBackup();

        QStringList left = named(dumpsLeft, "", ".bu") + named(cell("logsLeft"), "", ".log") +
                           QStringList{"bu_sales_20000101.000000.bu", "bu_sales_20000101.000000.log"},
                    entries = named(deleted, "Hapus backup lama : " + output, ".bu") +
                              named(deleted, "Hapus backup lama : " + output, ".log") +
                              named(cell("logsDeleted"), "Hapus log lama : " + output, ".log"),
                    logged =
                        folder.log().filter(QRegularExpression("^Hapus (backup|log) lama : .*/bu_sales_"));
        left.sort();
        entries.sort();
        logged.sort();
        QCOMPARE(QDir(output).entryList({"*.bu", "*.log"}), left);
        QCOMPARE(logged, entries);
        // The history says which dumps are gone, and offers only those that are kept.
        QStringList gone, offered;
        for (const riwayat::Job &job : folder.jobs())
            if (job.dihapus.isValid())
                gone << job.file;
        for (const riwayat::Job &job : history(folder.file("riwayat.db"), "sales"))
            offered << job.file;
        offered.removeDuplicates();
        QCOMPARE(gone, named(deleted, output, ".bu"));
        QCOMPARE(offered, named(dumpsLeft, output, ".bu"));
    }
    void deletionRecordedFirst_data()
    {
        QTest::addColumn<bool>("historyRefuses");
        QTest::newRow("two jobs of one second share a dump: both lose it") << false;
        QTest::newRow("a deletion the history cannot record leaves the dump") << true;
    }
    // Retention records a deletion before it deletes: the history never calls a missing dump
    // good, also when two jobs named the same file or the history cannot be written.
    void deletionRecordedFirst()
    {
        QFETCH(bool, historyRefuses);
        PREPARED(folder, {}, {"sales"});
        QDateTime now(QDate(2013, 7, 9), QTime(5, 47, 9));
        BackupEngine engine(folder.path(), [&now] { return now; });
        engine.setToolTimeoutMs(1000);
        QVERIFY(engine.ReadConfig());
        // The second dump replaces the first.
        QVERIFY2(engine.RunBackup() && engine.RunBackup(), qPrintable(folder.log().join('\n')));
        const QString shared = folder.outputDir() + "/bu_sales_20130709.054709.bu";
        QVERIFY(!historyRefuses ||
                sqlite(folder.file("riwayat.db"), "create trigger menolak before insert on "
                                                  "terhapus begin select raise(fail, 'x'); end"));
        QVERIFY2(folder.keep(1), qPrintable(folder.error));
        now = now.addSecs(60);
        QVERIFY(engine.RunBackup());

        const QList<riwayat::Job> jobs = folder.jobs();
        QCOMPARE(jobs.size(), 3);
        QCOMPARE(QVariantList({jobs[0].file, jobs[1].file, QFileInfo::exists(shared),
                               jobs[0].dihapus.isValid(), jobs[1].dihapus.isValid()}),
                 QVariantList({shared, shared, historyRefuses, !historyRefuses, !historyRefuses}));
        QVERIFY(QFileInfo::exists(jobs[2].file) && !jobs[2].dihapus.isValid());
        QCOMPARE(folder.log().filter("backup lama", Qt::CaseInsensitive).filter("bu_sales_"),
                 historyRefuses ? QStringList({"Backup lama tidak dapat dihapus : " + shared +
                                               ". Riwayat backup tidak dapat ditulis."})
                                : QStringList({"Hapus backup lama : " + shared,
                                               "Hapus backup lama : " + shared.chopped(3) + ".log"}));
    }
    void storedRetention_data()
    {
        // stored: an SQL value for confsimpan.jumlah; shown: in the entry that refuses it, empty
        // for none; left: good dumps after three runs
        textTable({"stored", "shown", "left"},
                  {{"a number that wraps to 2 at 32 bits keeps all", "4294967298", "4294967298", "3"},
                   {"more than 10000 keeps all", "10001", "10001", "3"},
                   {"a negative number keeps all", "-1", "-1", "3"},
                   {"a fraction keeps all", "2.5", "2.5", "3"},
                   {"text keeps all", "'dua'", "dua", "3"},
                   {"long text is shown cut", "'" + QString(1000, 'x') + "'",
                    QString(20, 'x') + QChar(0x2026), "3"},
                   {"a calendar number that is text keeps all", "2, harian = 'satu'", "satu", "3"},
                   {"a whole number in quotes counts", "'2'", "", "2"},
                   {"10000 keeps all there are", "10000", "", "3"},
                   {"none stored keeps all, quietly", "null", "", "3"}});
    }
    // A number of dumps to keep that is not a whole number from 0 to 10,000 is refused with an
    // entry at every run and read as "keep all", never cut down to one that deletes dumps.
    void storedRetention()
    {
        const QString shown = cell("shown");
        PREPARED(folder, {}, {"sales"});
        QVERIFY(sqlite(folder.settingsPath(), "update confsimpan set jumlah = " + cell("stored")));
        auto engine = engineFor(folder);
        for (int run = 0; run < 3; ++run)
            QVERIFY(engine->RunBackup());
        const QString refusal = "Jumlah backup yang disimpan [" + shown +
                                "] bukan bilangan bulat 0 sampai 10000; semua backup disimpan.";
        QCOMPARE(folder.log().filter("Jumlah backup"),
                 QVector<QString>(shown.isEmpty() ? 0 : 3, refusal).toList());
        QCOMPARE(QString::number(history(folder.file("riwayat.db"), "sales").size()), cell("left"));
    }
    void folderWithoutRoom_data()
    {
        // earlierDump: a good dump of the database before; leftKb: what is left free on the disk;
        // reason: of the failed job, empty: it runs. The globals dumped first take a block of what
        // was left.
        textTable(
            {"earlierDump", "leftKb", "reason"},
            {{"room for the dump and its margin: it runs", "1", "1600", ""},
             {"less than the newest dump and its margin: fails at once", "1", "512",
              "Ruang kosong di lokasi backup 508,0 KB, kurang dari 1,0 MB (dump baik terakhir 16 byte "
              "ditambah cadangan 1,0 MB). pg_dump tidak dijalankan."},
             {"a first dump needs the margin", "", "512",
              "Ruang kosong di lokasi backup 508,0 KB, kurang dari 1,0 MB. pg_dump tidak dijalankan."}});
    }
    // On a small disk nearly full, a job whose dump would not fit fails before pg_dump starts,
    // with the reason in the entry and the history; the next database is tried all the same.
    void folderWithoutRoom()
    {
        const bool earlierDump = !cell("earlierDump").isEmpty();
        ProgramFolder folder;
        const QString reason = cell("reason"), disk = folder.file("kecil");
        // A small tmpfs, as long as the test runs.
        QVERIFY(QDir().mkpath(disk) &&
                ::mount("tmpfs", QFile::encodeName(disk), "tmpfs", 0, "size=4m,mode=0750") == 0);
        const auto unmount = qScopeGuard([&] { ::umount2(QFile::encodeName(disk), MNT_DETACH); });
        QVERIFY2(folder.prepare({{"outputdir", disk}}, {"sales"}), qPrintable(folder.error));
        auto engine = engineFor(folder);
        QVERIFY(!earlierDump || engine->RunBackup());
        struct statvfs free = {};
        QVERIFY(::statvfs(QFile::encodeName(disk), &free) == 0);
        const qint64 fill = qint64(free.f_bavail) * free.f_frsize - cell("leftKb").toInt() * 1024;
        QVERIFY(fill > 0 && writeBytes(disk + "/isi", QByteArray(int(fill), 'x')));
        engine->RunBackup();

        const riwayat::Job job = folder.jobs().last();
        QCOMPARE(folder.calls().size(), int(earlierDump) + int(reason.isEmpty()));
        QCOMPARE(QStringList({job.hasil, job.alasan}),
                 QStringList({reason.isEmpty() ? riwayat::Ok : riwayat::Gagal, reason}));
        const QString dump = disk + "/bu_sales_" + job.mulai.toString("yyyyMMdd.hhmmss") + ".bu";
        if (!reason.isEmpty())
            QCOMPARE(folder.log().last(),
                     "Backup Database GAGAL : database [sales], file [" + dump + "]. " + reason);
        QCOMPARE(QDir(disk).entryList({"*.tmp-*"}), QStringList());
    }
    void lastErrorLine_data()
    {
        // anyLine: any line will do when none is an error
        textTable(
            {"messages", "anyLine", "line"},
            {{"pg_dump's error after its progress, blanks collapsed",
              "pg_dump: last built-in OID is 16383\npg_dump: error: connection to server at \"db\", port "
              "5432 "
              "failed: FATAL:  password authentication failed\n",
              "",
              "pg_dump: error: connection to server at \"db\", port 5432 failed: FATAL: password "
              "authentication failed"},
             {"the error, not the detail after it",
              "pg_dump: error: query failed: ERROR:  permission denied for table tblx\npg_dump: detail: "
              "Query was: LOCK TABLE public.tblx\n",
              "", "pg_dump: error: query failed: ERROR: permission denied for table tblx"},
             {"no error line: the last one, when any will do",
              "pg_dump: saving encoding\r\npg_dump: dumping contents of table tblbesar\r\n", "1",
              "pg_dump: dumping contents of table tblbesar"},
             {"no error line, none wanted", "pg_dump: dumping contents of table tblbesar\n", "", ""},
             {"a long line is cut", "pg_dump: error: " + QString(1000, 'x'), "",
              "pg_dump: error: " + QString(MaxErrorLine - 16, 'x') + QChar(0x2026)}});
    }
    void lastErrorLine()
    {
        QCOMPARE(::lastErrorLine(cell("messages").toUtf8(), cell("anyLine") == "1"), cell("line"));
    }
};

QTEST_GUILESS_MAIN(TestBackupEngine)
#include "tst_backupengine.moc"
