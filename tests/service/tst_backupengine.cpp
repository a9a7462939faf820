// The backup engine against the fake pg_dump: the log entry format, reading confbu.cfg,
// the schedule, and backup runs (argument list and password, refused names, failed and
// hung tools, runs that must not start).
#include "backupengine.h"
#include "servicetestkit.h"
#include "writelog.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace servicetest;

// An engine that has read the folder's settings, with a clock that starts at
// 09/07/2013 05:47:09 and moves one second per look; its log starts empty.
static std::unique_ptr<BackupEngine> engineFor(const ProgramFolder &folder)
{
    const QDateTime start(QDate(2013, 7, 9), QTime(5, 47, 9));
    auto engine = std::make_unique<BackupEngine>(
        folder.path(), [=, ticks = 0]() mutable { return start.addSecs(ticks++); });
    engine->ReadConfig();
    engine->RecoverAbandonedJobs(); // makes the history, as the worker does at start
    engine->setToolTimeoutMs(1000);
    QFile::remove(folder.logPath());
    return engine;
}

// The permission bits of the file at path itself; 0 when there is none.
static unsigned modeOf(const QString &path)
{
    struct stat info = {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 0777 : 0;
}

class TestBackupEngine : public QObject
{
    Q_OBJECT

private slots:
    void logEntryFormat();
    void storedSettings_data();
    void storedSettings();
    void unusableSettingsFile_data();
    void unusableSettingsFile();
    void filesBehindProgramLinks_data();
    void filesBehindProgramLinks();
    void runsOncePerMatchingMinute_data();
    void runsOncePerMatchingMinute();
    void argumentList_data();
    void argumentList();
    void runLog_data();
    void runLog();
    void outputFolderRule_data();
    void outputFolderRule();
    void plantedNames_data();
    void plantedNames();
};

// A local time stamp, then the message in UTF-8; only the first line is stamped.
void TestBackupEngine::logEntryFormat()
{
    QTemporaryDir dir;
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    WriteLog(QStringLiteral("Gagal [\u00e9\u20ac].\nPesan Error : x"), "busys.log", dir.path());
    const QString content = readText(dir.filePath("busys.log"));
    QCOMPARE(content.mid(19), QStringLiteral(" - Gagal [\u00e9\u20ac].\nPesan Error : x\n"));
    const QDateTime stamp = QDateTime::fromString(content.left(19), "dd/MM/yyyy hh:mm:ss");
    QVERIFY2(stamp >= before && stamp <= QDateTime::currentDateTime(), qPrintable(content));
}

void TestBackupEngine::storedSettings_data()
{
    QTest::addColumn<QString>("column");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("expected");

    QTest::newRow("blank user becomes admin") << "user" << QVariant("   ") << "admin";
    QTest::newRow("blank pass becomes the default") << "pass" << QVariant("\t ") << "5170342";
    QTest::newRow("port as text of a number") << "port" << QVariant("6543") << "6543";
    QTest::newRow("time with milliseconds, as the panel binds it")
        << "jam1" << QVariant("2000-01-01T06:10:00.000") << "06:10";
    QTest::newRow("time as words is invalid") << "jam1" << QVariant("jam lima") << "";
    QTest::newRow("switch text FALSE is off") << "jam1st" << QVariant("FALSE") << "false";
    QTest::newRow("switch other text is on") << "jam2st" << QVariant("ya") << "true";
}

// Read from the last confdb row; the first holds values no row expects.
void TestBackupEngine::storedSettings()
{
    QFETCH(QString, column);
    QFETCH(QVariant, stored);
    QFETCH(QString, expected);
    ProgramFolder folder;
    QVERIFY2(folder.prepare({{column, stored}}), qPrintable(folder.error));

    BackupEngine e(folder.path());
    QVERIFY(e.ReadConfig());
    const QVariantMap fields{{"user", e.user},     {"pass", e.pass},
                             {"port", e.port},     {"jam1", e.jam1.toString("hh:mm")},
                             {"jam1st", e.jam1st}, {"jam2st", e.jam2st}};
    QCOMPARE(fields.value(column).toString(), expected);
    QCOMPARE(folder.log(), QStringList{"Read Config."});
}

void TestBackupEngine::unusableSettingsFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expectedSecondEntry"); // "%1" is the settings path

    QTest::newRow("missing file is reported, not created")
        << "missing" << QString("Maaf file [%1] tidak ditemukan.");
    QTest::newRow("folder in place of the file") << "folder" << QString("Error Load database :");
    QTest::newRow("empty file has no confdb")
        << "empty" << QString("Gagal memanggil data.\nPesan Error : ");
    QTest::newRow("confdb without rows") << "norows" << QString();
}

// Each is reported, and the file is never created or changed.
void TestBackupEngine::unusableSettingsFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, expectedSecondEntry);
    ProgramFolder folder;
    QVERIFY(folder.setUp());
    const QString path = folder.file("confbu.cfg");
    if (kind == "folder")
        QVERIFY(QDir().mkpath(path));
    else if (kind == "empty")
        QVERIFY(QFile(path).open(QIODevice::WriteOnly));
    else if (kind == "norows")
        QVERIFY2(writeSettings(path, {}, {"db"}, &folder.error), qPrintable(folder.error));
    const QString before = readText(path);

    BackupEngine engine(folder.path());
    QVERIFY(!engine.ReadConfig());
    const QStringList log = folder.log();
    QCOMPARE(log.size(), expectedSecondEntry.isEmpty() ? 1 : 2);
    QCOMPARE(log.first(), QStringLiteral("Read Config."));
    QVERIFY2(log.last().startsWith(QString(expectedSecondEntry).replace("%1", path)),
             qPrintable(log.last()));
    QCOMPARE(QFileInfo::exists(path), kind != "missing");
    QCOMPARE(readText(path), before);
}

void TestBackupEngine::filesBehindProgramLinks_data()
{
    QTest::addColumn<QString>("planted"); // name=link|fifo|file|foreign, in the data folder %D
    QTest::addColumn<QString>("entry");   // what the log says of it (not read behind a log)
    QTest::addColumn<bool>("backsUp");

    const QString madeAnew = "Riwayat backup [%D/riwayat.db] rusak (%1); dibuat ulang.";
    QTest::newRow("regular files behind root's links are used")
        << ""
        << "Riwayat backup [%D/riwayat.db] belum ada; dibuat baru." << true;
    QTest::newRow("link planted as the log is not followed") << "busys.log=link"
                                                             << "" << true;
    QTest::newRow("FIFO planted as the log holds nothing up") << "busys.log=fifo"
                                                              << "" << true;
    QTest::newRow("link planted as the settings is not opened")
        << "confbu.cfg=link"
        << "Error Load database :[%D/confbu.cfg] berupa link" << false;
    QTest::newRow("settings made by someone else are not opened")
        << "confbu.cfg=foreign"
        << "Error Load database :[%D/confbu.cfg] bukan milik root" << false;
    QTest::newRow("link planted as the history is replaced")
        << "riwayat.db=link" << madeAnew.arg("bukan berkas milik service") << true;
    QTest::newRow("history that is no database is made anew")
        << "riwayat.db=file" << madeAnew.arg("file is not a database Unable to execute statement")
        << true;
    QTest::newRow("journal planted beside the history is removed") << "riwayat.db-journal=link"
                                                                   << "" << true;
}

// The installed layout: confbu.cfg, busys.log and riwayat.db are the program folder's links
// into a data folder that members of the admin group may write (setgid, sticky). What a
// member plants there under a missing name is never written through and never holds the
// service up; the program folder's links keep working.
void TestBackupEngine::filesBehindProgramLinks()
{
    QFETCH(QString, planted);
    QFETCH(QString, entry);
    QFETCH(bool, backsUp);
    ProgramFolder folder;
    QVERIFY2(folder.prepare({}, {"sales"}), qPrintable(folder.error));
    const QString data = folder.file("data");
    QVERIFY(QDir().mkpath(data) && ::chmod(QFile::encodeName(data).constData(), 03770) == 0);
    QVERIFY(QFile::rename(folder.file("confbu.cfg"), data + "/confbu.cfg"));
    const QStringList files{"confbu.cfg", "busys.log", "riwayat.db"};
    for (const QString &file : files)
        QVERIFY(QFile::link(data + "/" + file, folder.file(file)));
    if (planted.contains("journal")) { // beside a history of the service's own
        BackupEngine(folder.path()).RecoverAbandonedJobs();
        QVERIFY(QFile::remove(data + "/busys.log"));
    }
    QFile victim(folder.file("korban"));
    QVERIFY(victim.open(QIODevice::WriteOnly) && victim.write("milik orang lain\n") > 0);
    victim.close();
    const QString name = data + '/' + planted.section('=', 0, 0), kind = planted.section('=', 1);
    if (name.endsWith("confbu.cfg"))
        QVERIFY(QFile::rename(name, name + ".asli"));
    QFile garbage(name);
    if (kind == "link")
        QVERIFY(QFile::link(victim.fileName(), name));
    else if (kind == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(name).constData(), 0660), 0);
    else if (kind == "file")
        QVERIFY(garbage.open(QIODevice::WriteOnly) && garbage.write(QByteArray(1024, 'x')) > 0);
    else if (kind == "foreign")
        QVERIFY(QFile::copy(name + ".asli", name) &&
                ::chown(QFile::encodeName(name).constData(), 65534, -1) == 0);
    garbage.close();

    BackupEngine engine(folder.path());
    QCOMPARE(engine.ReadConfig() && engine.RunBackup(), backsUp);
    QCOMPARE(readText(victim.fileName()), QString("milik orang lain\n"));
    for (const QString &file : files)
        QVERIFY(QFileInfo(folder.file(file)).isSymLink());
    QCOMPARE(outcomes(folder.jobs()), backsUp ? QStringList{"OK"} : QStringList());
    if (name.endsWith("busys.log"))
        return;
    const QStringList log = logMessages(data + "/busys.log");
    QCOMPARE(log.filter(QRegularExpression("^(Riwayat|Error)")),
             entry.isEmpty() ? QStringList() : QStringList(entry.replace("%D", data)));
    // The panel empties the log as a member of the group, and reads the history.
    QCOMPARE(modeOf(data + "/busys.log"), 0660u);
    QCOMPARE(modeOf(data + "/riwayat.db"), backsUp ? 0640u : 0u);
}

void TestBackupEngine::runsOncePerMatchingMinute_data()
{
    QTest::addColumn<QVariantMap>("overrides"); // the first time, 05:30, is on
    QTest::addColumn<QString>("checks");        // day of March 2024, "T", time
    QTest::addColumn<int>("runs");

    QTest::newRow("four checks in the minute run once")
        << QVariantMap() << "1T05:30:00 1T05:30:15 1T05:30:45 1T05:30:59" << 1;
    QTest::newRow("minute before and after do not run")
        << QVariantMap() << "1T05:29:59 1T05:31:00 1T17:30:00" << 0;
    QTest::newRow("the same time the next day runs again")
        << QVariantMap() << "1T05:30:10 1T05:31:10 2T05:30:10" << 2;
    QTest::newRow("disabled time never runs") << QVariantMap{{"jam1st", 0}} << "1T05:30:00" << 0;
    QTest::newRow("two equal times run twice in one check")
        << QVariantMap{{"jam2", "2000-01-01T05:30:00"}, {"jam2st", 1}} << "1T05:30:00 1T05:30:15"
        << 2;
}

void TestBackupEngine::runsOncePerMatchingMinute()
{
    QFETCH(QVariantMap, overrides);
    QFETCH(QString, checks);
    QFETCH(int, runs);
    ProgramFolder folder;
    QVERIFY2(folder.prepare(overrides), qPrintable(folder.error));
    QDateTime now;
    BackupEngine engine(folder.path(), [&now] { return now; });
    QVERIFY(engine.ReadConfig());
    for (const QString &check : checks.split(' ')) {
        now = QDateTime::fromString("2024-03-0" + check, Qt::ISODate);
        engine.CheckSchedule();
    }
    QCOMPARE(folder.log().count("Read List DB"), runs);
}

// The entries of a job whose dump was made and read back; its file name ends in stamp.bu.
static QStringList verified(const QString &database, const QString &stamp)
{
    const QString dump = "%O/bu_" + database + "_20130709." + stamp + ".bu";
    return {"Backup Database : " + dump, "Backup Database OK : database [" + database +
                                             "], file [" + dump + "], 16 byte, terverifikasi."};
}

void TestBackupEngine::argumentList_data()
{
    QTest::addColumn<QVariantMap>("overrides");
    QTest::addColumn<QString>("database");

    QTest::newRow("plain settings") << QVariantMap() << "sales";
    QTest::newRow("blanks in server, user and database stay single arguments")
        << QVariantMap{{"server", "db host"}, {"user", "back upper"}} << "data gudang";
    QTest::newRow("blank user and pass fall back to the defaults")
        << QVariantMap{{"user", " "}, {"pass", ""}} << "sales";
}

void TestBackupEngine::argumentList()
{
    QFETCH(QVariantMap, overrides);
    QFETCH(QString, database);
    ProgramFolder folder;
    QVERIFY2(folder.prepare(overrides, {database}), qPrintable(folder.error));
    auto engine = engineFor(folder);
    const mode_t oldMask = ::umask(0);
    QVERIFY(engine->RunBackup());
    ::umask(oldMask);

    const QString dump = folder.outputDir() + "/bu_" + database + "_20130709.054709.bu";
    // The fake records "--call--", its argv one per line, then the password it was given.
    // The dump is written under a temporary name beside its final one.
    QStringList call = readText(folder.recordPath()).split('\n');
    const QString file = call.value(7);
    QVERIFY2(
        QRegularExpression("^--file=" + QRegularExpression::escape(dump) + "\\.tmp-[A-Za-z0-9]{6}$")
            .match(file)
            .hasMatch(),
        qPrintable(file));
    call[7] = "--file=";
    QCOMPARE(
        call,
        QStringList({"--call--", folder.file("dbutils/pg_dump"), "--host=" + engine->server,
                     "--port=5433", "--username=" + engine->user, "--format=custom", "--verbose",
                     "--file=", "--table=tbl*", "-w", database, "PGPASSWORD=" + engine->pass, ""}));
    QCOMPARE(folder.log(),
             QStringList{"Read List DB"} +
                 verified(database, "054709").replaceInStrings("%O", folder.outputDir()));

    // The password travels in the environment only; dump and run log are not for others.
    const QString runLog = dump.chopped(3) + ".log";
    QVERIFY(!readText(folder.logPath()).contains(engine->pass));
    QVERIFY(readText(runLog).contains("Save Log : " + database + " : \npg_dump: "));
    QVERIFY(!readText(runLog).contains(engine->pass));
    QCOMPARE(modeOf(dump), 0640u);
    QCOMPARE(modeOf(runLog), 0640u);
}

void TestBackupEngine::runLog_data()
{
    QTest::addColumn<QVariantMap>("overrides");
    QTest::addColumn<QStringList>("databases");
    QTest::addColumn<QStringList>("expectedLog"); // "%O" is the output folder

    const QString refused = "Backup Database DITOLAK : nama database [%1] dapat dibaca pg_dump "
                            "sebagai opsi atau alamat koneksi. pg_dump tidak dijalankan.";
    for (const QString &name : QStringList{"-Fp", "--file=/etc/passwd", "host=evil dbname=x",
                                           "POSTGRESQL://evil/db", "s\nfake"}) {
        const QString shown = QString(name).replace("\n", "\\n");
        QTest::addRow("dangerous name %s is refused", qPrintable(shown))
            << QVariantMap() << QStringList{name, "sales"}
            << QStringList{"Read List DB", refused.arg(shown)} + verified("sales", "054710");
    }

    const QString outside = "Backup Database DITOLAK : nama database [%1] kosong atau menunjuk ke "
                            "luar lokasi backup. pg_dump tidak dijalankan.";
    for (const QString &name :
         QStringList{"", "../etc", "a/b", "a\\b", "..", QString("a") + QChar(0) + "b"}) {
        const QString shown = QString(name).replace(QChar(0), "\\0");
        QTest::addRow("name [%s] would leave the output folder", qPrintable(shown))
            << QVariantMap() << QStringList{name, "sales"}
            << QStringList{"Read List DB", outside.arg(shown)} + verified("sales", "054710");
    }

    const QList<std::pair<QString, QString>> failures{
        {"gagal", "pg_dump selesai dengan kode keluar 3."},
        {"macet", "pg_dump melewati batas waktu 1 detik dan dihentikan."},
        {"sampah", "dump tidak terbaca utuh: pg_restore: error: input file does not appear to "
                   "be a valid archive"},
        {"bacamacet", "dump tidak terbaca utuh: pg_restore melewati batas waktu 1 detik dan "
                      "dihentikan."}};
    for (const auto &[name, reason] : failures) {
        const QString dump = "%O/bu_" + name + "_20130709.054709.bu";
        QTest::addRow("job for %s fails: reported, no dump, next job runs", qPrintable(name))
            << QVariantMap() << QStringList{name, "sales"}
            << QStringList{"Read List DB", "Backup Database : " + dump,
                           "Backup Database GAGAL : database [" + name + "], file [" + dump +
                               "]. " + reason} +
                   verified("sales", "054711");
    }

    const QString noFolder = "Lokasi backup [%1] tidak ditemukan. Proses dibatalkan.";
    QTest::newRow("output folder missing")
        << QVariantMap{{"outputdir", "/nonexistent/sar backups"}} << QStringList{"sales"}
        << QStringList{noFolder.arg("/nonexistent/sar backups")};
    QTest::newRow("empty output folder would mean the root or the working folder")
        << QVariantMap{{"outputdir", ""}} << QStringList{"sales"} << QStringList{noFolder.arg("")};
    QTest::newRow("empty list") << QVariantMap() << QStringList() << QStringList{"Read List DB"};
}

// Only what is logged as backed up reaches the tool, and only dumps that read back whole
// keep a final name; one that does not is kept for inspection as .rusak.
void TestBackupEngine::runLog()
{
    QFETCH(QVariantMap, overrides);
    QFETCH(QStringList, databases);
    QFETCH(QStringList, expectedLog);
    ProgramFolder folder;
    QVERIFY2(folder.prepare(overrides, databases), qPrintable(folder.error));
    expectedLog.replaceInStrings("%O", folder.outputDir());
    const QStringList jobs = expectedLog.filter("Backup Database : ");
    QCOMPARE(engineFor(folder)->RunBackup(), !expectedLog.filter("Backup Database").isEmpty());

    QCOMPARE(folder.log(), expectedLog);
    QCOMPARE(readText(folder.recordPath()).count("--call--"), jobs.size());
    // One finished row in the history for each job the log records.
    const QList<riwayat::Job> rows = folder.jobs();
    QCOMPARE(outcomes(rows), outcomes(expectedLog));
    for (const riwayat::Job &row : rows) {
        QVERIFY(row.selesai >= row.mulai);
        const bool ok = row.hasil == riwayat::Ok;
        QCOMPARE(row.file, ok ? expectedLog.filter("OK : database [" + row.dbname + "]")
                                    .value(0)
                                    .section(", file [", 1)
                                    .section("], ", 0, 0)
                              : QString());
        QCOMPARE(row.ukuran, ok ? 16 : 0);
        QCOMPARE(row.terverifikasi, ok);
        QCOMPARE(row.alasan.isEmpty(), ok);
    }
    QStringList kept, inspected;
    for (const QString &job : jobs) {
        const QString path = job.section(" : ", 1);
        if (!expectedLog.filter("file [" + path + "], 16 byte").isEmpty())
            kept << path.section('/', -1);
        if (!expectedLog.filter(path + "]. dump tidak terbaca utuh").isEmpty())
            inspected << path.section('/', -1) + ".rusak";
    }
    QDir output(folder.outputDir());
    QCOMPARE(output.entryList({"*.bu"}), kept);
    QCOMPARE(output.entryList({"*.rusak"}), inspected);
    QCOMPARE(output.entryList({"*.log"}).size(), jobs.size());
    QCOMPARE(output.entryList({"*.tmp-*"}), QStringList());
}

void TestBackupEngine::outputFolderRule_data()
{
    QTest::addColumn<QString>("outputdir"); // in the program folder %T, itself root's and 0700
    QTest::addColumn<QStringList>(
        "setup");                         // "mkdir|path|mode", "chown|path|uid", "link|path|target"
    QTest::addColumn<QString>("refusal"); // empty: the run goes ahead

    const QString writable =
        "Lokasi backup [%1] dapat ditulis oleh pengguna lain. Proses dibatalkan.";
    const QString foreign =
        "Lokasi backup [%1] dimiliki pengguna lain (uid 65534). Proses dibatalkan.";
    QTest::newRow("group-writable folder")
        << "keluar" << QStringList{"mkdir|keluar|775"} << writable.arg("%T/keluar");
    QTest::newRow("world-writable sticky folder itself")
        << "keluar" << QStringList{"mkdir|keluar|1777"} << writable.arg("%T/keluar");
    QTest::newRow("folder owned by another user")
        << "keluar" << QStringList{"mkdir|keluar|750", "chown|keluar|65534"}
        << foreign.arg("%T/keluar");
    QTest::newRow("folder above writable by the group")
        << "atas/keluar" << QStringList{"mkdir|atas|770", "mkdir|atas/keluar|750"}
        << writable.arg("%T/atas");
    QTest::newRow("sticky folder above with root's folder inside is fine")
        << "tmp/keluar" << QStringList{"mkdir|tmp|1777", "mkdir|tmp/keluar|750"} << QString();
    QTest::newRow("sticky folder above with another user's folder inside")
        << "tmp/keluar"
        << QStringList{"mkdir|tmp|1777", "mkdir|tmp/keluar|750", "chown|tmp/keluar|65534"}
        << foreign.arg("%T/tmp/keluar");
    QTest::newRow("link in the path to a sound folder: the folder is used")
        << "tautan/keluar" << QStringList{"mkdir|asli/keluar|750", "link|tautan|asli"} << QString();
    QTest::newRow("link in the path to a writable folder: the folder is refused")
        << "tautan/keluar"
        << QStringList{"mkdir|bebas|777", "mkdir|bebas/keluar|750", "link|tautan|bebas"}
        << writable.arg("%T/bebas");
}

// Only a folder that no one but root can change, up to the root of the file system, gets
// root's dumps; every other run is refused with the folder and the reason.
void TestBackupEngine::outputFolderRule()
{
    QFETCH(QString, outputdir);
    QFETCH(QStringList, setup);
    QFETCH(QString, refusal);
    ProgramFolder folder;
    const QString top = folder.path();
    for (const QString &step : setup) {
        const QStringList part = step.split('|');
        const QString path = top + '/' + part[1];
        const bool done =
            part[0] == "mkdir" ? QDir().mkpath(path) && ::chmod(QFile::encodeName(path).constData(),
                                                                part[2].toUInt(nullptr, 8)) == 0
            : part[0] == "chown"
                ? ::chown(QFile::encodeName(path).constData(), part[2].toUInt(), -1) == 0
                : QFile::link(part[2], path);
        QVERIFY2(done, qPrintable(step));
    }
    QVERIFY2(folder.prepare({{"outputdir", top + '/' + outputdir}}, {"sales"}),
             qPrintable(folder.error));
    engineFor(folder)->RunBackup();

    const QStringList log = folder.log();
    const QString dump = top + '/' + outputdir + "/bu_sales_20130709.054709.bu";
    QCOMPARE(log.first(),
             refusal.isEmpty() ? QString("Read List DB") : QString(refusal).replace("%T", top));
    QCOMPARE(log.contains("Backup Database : " + dump), refusal.isEmpty());
    QCOMPARE(QFileInfo(dump).isFile(), refusal.isEmpty());
}

void TestBackupEngine::plantedNames_data()
{
    QTest::addColumn<QString>("name"); // what stands in the output folder before the run
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("expectedLog"); // "%O" is the output folder
    QTest::addColumn<QString>("afterwards");      // what has the name after the run

    const QString dump = "%O/bu_sales_20130709.054709.bu";
    QTest::newRow("link as the coming dump is replaced, never written through")
        << "bu_sales_20130709.054709.bu"
        << "link" << QStringList{"Read List DB"} + verified("sales", "054709") << "file";
    QTest::newRow("link as the coming run log: the job fails, nothing written through it")
        << "bu_sales_20130709.054709.log"
        << "link"
        << QStringList{"Read List DB", "Backup Database : " + dump,
                       "Backup Database GAGAL : database [sales], file [" + dump +
                           "]. Log proses [%O/bu_sales_20130709.054709.log] tidak dapat dibuat: "
                           "berupa link."}
        << "link";
    QTest::newRow("temporary dump of a process that died is removed")
        << "bu_lama_20130708.010000.bu.tmp-Ab3dE9"
        << "file"
        << QStringList{"Read List DB",
                       "Berkas sementara [%O/bu_lama_20130708.010000.bu.tmp-Ab3dE9] dari proses "
                       "yang terhenti dihapus."} +
               verified("sales", "054709")
        << "gone";
    QTest::newRow("temporary dump while another worker runs from the folder is kept")
        << "bu_lama_20130708.010000.bu.tmp-Ab3dE9"
        << "locked"
        << QStringList{"Read List DB", "Backup dilewati: proses lain sedang menjalankan backup "
                                       "dari folder program [%P]."}
        << "file";
    QTest::newRow("a lock on the program folder itself stops nothing")
        << "bu_lama_20130708.010000.bu.tmp-Ab3dE9"
        << "anyone"
        << QStringList{"Read List DB",
                       "Berkas sementara [%O/bu_lama_20130708.010000.bu.tmp-Ab3dE9] dari proses "
                       "yang terhenti dihapus."} +
               verified("sales", "054709")
        << "gone";
}

// Names in the output folder that the run meets: links that would make root write where
// they point, and dumps that a process which died left half-written.
void TestBackupEngine::plantedNames()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QStringList, expectedLog);
    QFETCH(QString, afterwards);
    ProgramFolder folder;
    QVERIFY2(folder.prepare({}, {"sales"}), qPrintable(folder.error));
    QFile victim(folder.file("korban"));
    QVERIFY(victim.open(QIODevice::WriteOnly) && victim.write("milik orang lain\n") > 0);
    victim.close();
    const QString planted = folder.outputDir() + '/' + name;
    QVERIFY(kind == "link" ? QFile::link(victim.fileName(), planted)
                           : QFile::copy(victim.fileName(), planted));
    // Another worker holds the lock file, which only root can open; anyone who may read the
    // program folder can lock the folder itself, which must not stop a backup.
    const int other =
        kind == "locked"   ? ::open(QFile::encodeName(folder.file("sarvelad.lock")).constData(),
                                    O_RDWR | O_CREAT, 0600)
        : kind == "anyone" ? ::open(QFile::encodeName(folder.path()).constData(), O_RDONLY)
                           : -1;
    QVERIFY(other < 0 || ::flock(other, LOCK_EX) == 0);

    engineFor(folder)->RunBackup();
    ::close(other);
    QCOMPARE(folder.log(), expectedLog.replaceInStrings("%O", folder.outputDir())
                               .replaceInStrings("%P", folder.path()));
    QCOMPARE(readText(victim.fileName()), QString("milik orang lain\n"));
    const QFileInfo left(planted);
    QCOMPARE(left.isSymLink() ? "link" : left.isFile() ? "file" : "gone", afterwards);
}

QTEST_GUILESS_MAIN(TestBackupEngine)
#include "tst_backupengine.moc"
