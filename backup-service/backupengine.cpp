#include "backupengine.h"

#include "backuprequests.h"
#include "confbu.h"
#include "dumpjob.h"
#include "jobhistory.h"
#include "monitor.h"
#include "nativefile.h"
#include "outputfolder.h"
#include "programfile.h"
#include "runlock.h"
#include "stopsignal.h"
#include "writelog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

namespace {

// Line breaks would split the entry that names the database over several log lines, and a
// NUL has no place in a text file.
QString printable(QString text)
{
    text.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    text.replace(QChar(0), QStringLiteral("\\0"));
    return text;
}

} // namespace

BackupEngine::BackupEngine(const QString &programDir, Clock clock)
    : logName(confbu::LogFile),
      programDir(programDir.isEmpty() ? QCoreApplication::applicationDirPath() : programDir),
      clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTime(); }))
{
}

BackupEngine::~BackupEngine() = default;

void BackupEngine::log(const QString &message)
{
    QString error;
    const bool written = WriteLog(message, logName, programDir, &error);
    if (!written && !logUnwritable && reporter)
        reporter(logName + QStringLiteral(" tidak dapat ditulis: ") + error);
    logUnwritable = !written;
}

// Failures are the entries an administrator must not miss: they reach the system's log too.
void BackupEngine::fail(const QString &message)
{
    log(message);
    if (reporter)
        reporter(message);
}

QString BackupEngine::programPath(const QString &relative) const
{
    return confbu::joinPath(programDir, relative);
}

QString BackupEngine::toolPath(const QString &tool) const
{
#ifdef Q_OS_WIN
    return programPath(QStringLiteral("dbutils/") + tool + QStringLiteral(".exe"));
#else
    return programPath(QStringLiteral("dbutils/") + tool);
#endif
}

QString BackupEngine::workFolder() const
{
    return confbu::joinPath(
        QFileInfo(programfile::resolve(programDir, confbu::SettingsFile)).absolutePath(),
        QStringLiteral("kerja"));
}

QString BackupEngine::outputPath(const QString &fileName) const
{
    return confbu::joinPath(outputdir, fileName);
}

// A failure that is still the same at the next check is not logged again; the retry goes on.
void BackupEngine::settingsUnreadable(const QString &message)
{
    if (message == settingsFailure)
        return;
    settingsFailure = message;
    fail(message);
}

// The entry that opens a read is written once per failure streak, not at every retry.
void BackupEngine::startSettingsRead(const QString &entry)
{
    if (settingsFailure.isEmpty())
        log(entry);
}

// Runs one statement on the settings file, through a connection that exists only for this
// read: the panel's saves must not wait for a backup run. The file is opened read-write,
// without creating it, so that the journal of a save that crashed is rolled back instead of
// making every read fail.
bool BackupEngine::readSettings(const QString &prefix, const QString &statement,
                                const std::function<void(const QSqlRecord &)> &row,
                                const std::function<void(const QSqlDatabase &)> &more)
{
    const QString entry = programPath(confbu::SettingsFile);
    const QString path = programfile::resolve(programDir, confbu::SettingsFile);
    QString refusal;
    const QFileInfo target(path);
    if (!target.exists() && !target.isSymLink()) {
        settingsUnreadable(prefix + QStringLiteral("Maaf file [") + entry +
                           QStringLiteral("] tidak ditemukan."));
        return false;
    }
    // SQLite would follow a link planted at the target, and roll a journal beside whatever it
    // names back into it.
    if (!programfile::isRootsRegularFile(path, &refusal)) {
        settingsUnreadable(prefix + QStringLiteral("Error Load database :[") + path +
                           QStringLiteral("] ") + refusal);
        return false;
    }
    // Backups and requests each read the settings on a thread of their own.
    const QString connection = QStringLiteral("sarvela-confbu-%1").arg(quintptr(this));
    QString failure;
    {
        QSqlDatabase db = programfile::addSqlite(connection, path, SettingsBusyTimeoutMs);
        if (!db.open()) {
            failure = prefix + QStringLiteral("Error Load database :") + db.lastError().text();
        } else {
            QSqlQuery query(db);
            if (!statement.isEmpty() && (!query.prepare(statement) || !query.exec())) {
                failure = prefix + QStringLiteral("Gagal memanggil data.\nPesan Error : ") +
                          query.lastError().text();
            } else {
                while (query.next())
                    row(query.record());
                if (more)
                    more(db);
            }
        }
    }
    QSqlDatabase::removeDatabase(connection);
    if (!failure.isEmpty()) {
        settingsUnreadable(failure);
        return false;
    }
    if (!settingsFailure.isEmpty()) {
        settingsFailure.clear();
        log(QStringLiteral("Pengaturan terbaca kembali."));
    }
    return true;
}

bool BackupEngine::readRequests(QList<permintaan::Request> *requests)
{
    QString error;
    const bool read = readSettings(
        QStringLiteral("Baca Permintaan. "), QString(), [](const QSqlRecord &) {},
        [&](const QSqlDatabase &db) {
            if (!permintaan::pending(db, requests, &error))
                requests->clear();
        });
    if (read && !error.isEmpty())
        fail(QStringLiteral("Baca Permintaan. Gagal memanggil data.\nPesan Error : ") + error);
    return read && error.isEmpty();
}

bool BackupEngine::removeRequest(const QString &kunci)
{
    QString error;
    const bool read = readSettings(
        QStringLiteral("Hapus Permintaan. "), QString(), [](const QSqlRecord &) {},
        [&](const QSqlDatabase &db) { permintaan::remove(db, kunci, &error); });
    if (read && !error.isEmpty())
        fail(QStringLiteral("Hapus Permintaan. Gagal menghapus data.\nPesan Error : ") + error);
    return read && error.isEmpty();
}

bool BackupEngine::ReadConfig()
{
    startSettingsRead(QStringLiteral("Read Config."));
    bool result = false;
    // Every row is read over the previous one; the last row's values are in effect.
    const bool read = readSettings(
        QString(), QStringLiteral("select * from confdb; "),
        [this, &result](const QSqlRecord &r) {
            static_cast<confbu::Settings &>(*this) = confbu::fromRecord(r);
            result = true;
        },
        [this](const QSqlDatabase &db) { readRunSettings(db); });
    if (!read)
        return false;
    user = confbu::userOrDefault(user, confbu::Blanks::AreEmpty);
    pass = confbu::passwordOrDefault(pass, confbu::Blanks::AreEmpty);
    return result;
}

// A slot fires once in its matching minute; a disabled slot leaves its guard as it is.
void BackupEngine::checkSlot(bool enabled, const QDateTime &time, const QString &nowText,
                             bool *done, bool *matched)
{
    if (!enabled)
        return;
    *matched = time.toString(QStringLiteral("hhmm")) == nowText;
    if (*matched) {
        if (!*done)
            RunBackup();
        *done = true;
    } else {
        *done = false;
    }
}

bool BackupEngine::CheckSchedule()
{
    const QString nowText = clock().toString(QStringLiteral("hhmm"));
    if (runPending)
        RunBackup();
    bool matched = false;
    // Both times are compared with the same minute, also when the first one ran a backup.
    checkSlot(jam1st, jam1, nowText, &slot1Done, &matched);
    checkSlot(jam2st, jam2, nowText, &slot2Done, &matched);
    return matched;
}

bool BackupEngine::BackupNow()
{
    log(QStringLiteral("Backup manual dimulai."));
    return RunBackup();
}

bool BackupEngine::RunBackup()
{
    if (requests)
        requests->runStarted();
    const bool ran = backUpAll();
    if (requests && requests->runEnded())
        log(QStringLiteral("Permintaan backup manual selama backup berjalan diabaikan."));
    return ran;
}

bool BackupEngine::backUpAll()
{
    QString refusal;
    const std::unique_ptr<OutputFolder> folder = OutputFolder::open(
        outputdir, programfile::resolve(programDir, confbu::SettingsFile), &refusal);
    if (!folder) {
        fail(refusal);
        // The monitor as last read: this run's read comes after the folder check.
        Monitor monitor(monitorAddress, monitorTimeoutMs, stop);
        ping(monitor, Monitor::Ping::Start);
        ping(monitor, Monitor::Ping::Failure);
        return false;
    }

    // The whole list is read before the first job, so that the file is free during the run.
    startSettingsRead(QStringLiteral("Read List DB"));
    QStringList databases;
    runPending = !readSettings(
        QStringLiteral("Read Database BU. "), QStringLiteral("select * from tbldb; "),
        [&databases](const QSqlRecord &row) {
            databases << row.value(QStringLiteral("dbname")).toString();
        },
        [this](const QSqlDatabase &db) { readRunSettings(db); });
    if (runPending)
        return false;
    const RunLock lock(programDir);
    if (!lock.held()) {
        log(QStringLiteral("Backup dilewati: proses lain sedang menjalankan backup dari folder "
                           "program [") +
            programDir + QStringLiteral("]."));
        return false;
    }
    Monitor monitor(monitorAddress, monitorTimeoutMs, stop);
    ping(monitor, Monitor::Ping::Start);
    history = std::make_unique<JobHistory>(programDir, [this](const QString &m) { log(m); });
    closeAbandonedJobs();
    removeLeftovers(*folder);
    flagged.clear();
    bool allWell = backUpGlobals(*folder, !databases.isEmpty());
    for (const QString &dbname : qAsConst(databases)) {
        if (stop && stop->requested()) {
            log(QStringLiteral("Backup Database TIDAK DIJALANKAN : database [") + dbname +
                QStringLiteral("]. Service dihentikan."));
            allWell = false;
        } else {
            allWell = BackupDatabase(dbname, *folder) && allWell;
        }
    }
    removeOlderGlobals(*folder);
    allWell = runDrills(databases) && allWell;
    allWell = noChecksWaiting(databases, flagged) && allWell;
    history.reset();
    ping(monitor, allWell ? Monitor::Ping::Success : Monitor::Ping::Failure);
    return !databases.isEmpty();
}

// What is read afresh with the list at every run, and once with the settings at start.
void BackupEngine::readRunSettings(const QSqlDatabase &db)
{
    keep = confbu::retention(db);
    monitorAddress = confbu::monitorUrl(db);
    drills = confbu::drillSchedule(db);
}

void BackupEngine::ping(Monitor &monitor, Monitor::Ping what)
{
    const QString failure = monitor.ping(what);
    if (!failure.isEmpty())
        fail(failure);
}

void BackupEngine::RecoverAbandonedJobs()
{
    const RunLock lock(programDir);
    if (!lock.held())
        return;
    history = std::make_unique<JobHistory>(programDir, [this](const QString &m) { log(m); });
    closeAbandonedJobs();
    history.reset();
}

// Jobs left running by a process that died, found under the run lock: no live process runs
// them.
void BackupEngine::closeAbandonedJobs()
{
    const QString reason = QStringLiteral("Proses service berhenti sebelum job selesai.");
    removeDrillLeftovers();
    for (const riwayat::Job &job : history->closeAbandoned(clock, reason))
        fail(QStringLiteral("Backup Database GAGAL : database [") + job.dbname +
             QStringLiteral("], mulai [") + job.mulai.toString(riwayat::TimeFormat) +
             QStringLiteral("]. ") + reason);
}

// Dumps that a process which died was still writing: no live process writes them, since
// only the holder of the run lock writes in this folder.
void BackupEngine::removeLeftovers(OutputFolder &folder)
{
    for (const QString &name : folder.leftovers()) {
        folder.remove(name);
        log(QStringLiteral("Berkas sementara [") + outputPath(name) +
            QStringLiteral("] dari proses yang terhenti dihapus."));
    }
}

bool BackupEngine::isDangerousDatabaseName(const QString &dbname)
{
    return dbname.startsWith(QLatin1Char('-')) || dbname.contains(QLatin1Char('=')) ||
           dbname.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive) ||
           dbname.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive) ||
           dbname.contains(QLatin1Char('\n')) || dbname.contains(QLatin1Char('\r'));
}

bool BackupEngine::leavesOutputFolder(const QString &dbname)
{
    return dbname.isEmpty() || dbname.contains(QLatin1Char('/')) || dbname.contains(QChar(0)) ||
           dbname.contains(QLatin1Char('\\')) || dbname.contains(QLatin1String(".."));
}

// Why a database name is refused before any tool runs, or an empty text.
QString BackupEngine::refusalOf(const QString &dbname)
{
    // Such a name would make pg_dump take it as an option or connect where the name
    // says, handing our password to that server.
    if (isDangerousDatabaseName(dbname))
        return QStringLiteral("nama database [") + printable(dbname) +
               QStringLiteral("] dapat dibaca pg_dump sebagai opsi atau alamat koneksi. "
                              "pg_dump tidak dijalankan.");
    // The name becomes part of the file names: it must not lead out of the output folder.
    if (leavesOutputFolder(dbname))
        return QStringLiteral("nama database [") + printable(dbname) +
               QStringLiteral("] kosong atau menunjuk ke luar lokasi backup. "
                              "pg_dump tidak dijalankan.");
    return QString();
}

bool BackupEngine::BackupDatabase(const QString &dbname, OutputFolder &folder)
{
    riwayat::Job job;
    job.dbname = dbname;
    job.mulai = clock();
    job.alasan = refusalOf(dbname);
    if (!job.alasan.isEmpty()) {
        job.selesai = job.mulai;
        job.hasil = riwayat::Ditolak;
        fail(QStringLiteral("Backup Database DITOLAK : ") + job.alasan);
        history->finish(0, job);
        return false;
    }
    // Dumps beyond the number kept (left from a larger number) go first: a folder full of
    // them would otherwise fail this dump, and every later one, for lack of room.
    if (keep > 0)
        removeOlderDumps(dbname, 0, folder);
    const qint64 id = history->start(dbname, job.mulai);

    const QString base = QStringLiteral("bu_") + dbname + QLatin1Char('_') +
                         job.mulai.toString(QStringLiteral("yyyyMMdd.hhmmss"));
    const QString dumpPath = outputPath(base + QStringLiteral(".bu"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    ToolCommand restore{toolPath(QStringLiteral("pg_restore")), {}, environment};
    // The password travels only in pg_dump's environment, never on its command line.
    environment.insert(QStringLiteral("PGPASSWORD"), pass);
    const auto dump = [&](const QString &file) {
        return ToolCommand{toolPath(QStringLiteral("pg_dump")),
                           {
                               QStringLiteral("--host=") + server,
                               QStringLiteral("--port=") + QString::number(port),
                               QStringLiteral("--username=") + user,
                               QStringLiteral("--format=custom"),
                               QStringLiteral("--verbose"),
                               QStringLiteral("--file=") + file,
                               QStringLiteral("--table=tbl*"),
                               QStringLiteral("-w"),
                               dbname,
                           },
                           environment};
    };
    const DumpOutcome outcome =
        DumpJob(folder, dbname, base).run(dump, restore, toolTimeoutMs, stop);
    job.selesai = clock();

    QString check;
    switch (outcome.result) {
    case DumpOutcome::Ok:
        job.hasil = riwayat::Ok;
        job.file = dumpPath;
        job.ukuran = outcome.size;
        job.terverifikasi = true;
        check = shrinkage(dbname, id, outcome.tables);
        break;
    case DumpOutcome::Failed:
        job.hasil = riwayat::Gagal;
        job.alasan = outcome.failure;
        break;
    case DumpOutcome::Cancelled:
        job.hasil = riwayat::Dibatalkan;
        job.alasan = QStringLiteral("Service dihentikan.");
        break;
    }
    // The history first: a service killed between the two never leaves an entry that calls a
    // job good while the history says it died.
    const bool recorded = history->finish(id, job, outcome.tables, check);
    log(QStringLiteral("Backup Database : ") + dumpPath);
    if (job.hasil == riwayat::Ok)
        log(QStringLiteral("Backup Database OK : database [") + dbname +
            QStringLiteral("], file [") + dumpPath +
            QStringLiteral("], %1 byte, terverifikasi.").arg(outcome.size));
    else if (job.hasil == riwayat::Gagal)
        fail(QStringLiteral("Backup Database GAGAL : database [") + dbname +
             QStringLiteral("], file [") + dumpPath + QStringLiteral("]. ") + outcome.failure);
    else
        fail(QStringLiteral("Backup Database DIBATALKAN : database [") + dbname +
             QStringLiteral("]. ") + job.alasan);
    if (!check.isEmpty()) {
        flagged << dbname;
        fail(QStringLiteral("Backup Database PERLU DIPERIKSA : database [") + dbname +
             QStringLiteral("], ") + check);
    }
    if (recorded && job.hasil == riwayat::Ok && keep > 0)
        removeOlderDumps(dbname, id, folder);
    return job.hasil == riwayat::Ok;
}

// Keeps the newest good dumps of the database in the output folder and deletes the older ones
// with their run logs. Only a dump that the history records as good, in this folder, under
// the name a job of this database gives it, is ever deleted; the newest is always kept, and a
// name that two jobs shared counts once. newest: the job just done, which must be the newest
// good one, or 0 before a job.
void BackupEngine::removeOlderDumps(const QString &dbname, qint64 newest, OutputFolder &folder,
                                    bool globals)
{
    static const QRegularExpression dumpStamp(QStringLiteral("^\\d{8}\\.\\d{6}\\.bu$"));
    static const QRegularExpression globalsStamp(QStringLiteral("^\\d{8}\\.\\d{6}\\.sql$"));
    const QRegularExpression &stamp = globals ? globalsStamp : dumpStamp;
    const QString prefix = QStringLiteral("bu_") + dbname + QLatin1Char('_');
    const QList<riwayat::Job> dumps = globals ? history->keptGlobals() : history->keptDumps(dbname);
    if (dumps.isEmpty() || (newest != 0 && dumps.first().id != newest))
        return;
    // The globals that a kept dump needs to restore stay with it.
    QSet<qint64> inUse;
    if (globals && !history->globalsInUse(&inUse))
        return;
    // A dump that lost much of a table may be the damage itself: the good ones before it stay
    // until an administrator says the change was meant.
    if (!globals && !history->mayDeleteDumpsOf(dbname)) {
        if (newest != 0)
            log(QStringLiteral("Backup lama database [") + dbname +
                QStringLiteral("] tidak dihapus: backup yang PERLU DIPERIKSA belum diterima "
                               "sebagai perubahan wajar."));
        return;
    }
    QStringList kept;
    for (const riwayat::Job &dump : dumps) {
        const QFileInfo file(dump.file);
        const QString name = file.fileName();
        if (QDir::cleanPath(file.path()) != QDir::cleanPath(outputdir) ||
            !name.startsWith(prefix) || !stamp.match(name.mid(prefix.size())).hasMatch() ||
            kept.contains(name) || !folder.isOwnFile(name))
            continue;
        if (kept.size() < keep) {
            kept << name;
            continue;
        }
        if (inUse.contains(dump.id))
            continue;
        // The history hears of it first, so that a dump it calls good is never missing; every
        // job that named the file loses its dump with it (two jobs of the same second share
        // a name).
        QList<qint64> jobs;
        for (const riwayat::Job &other : dumps)
            if (QDir::cleanPath(other.file) == QDir::cleanPath(dump.file))
                jobs << other.id;
        if (!history->recordDeletion(jobs, clock())) {
            fail(QStringLiteral("Backup lama tidak dapat dihapus : ") + dump.file +
                 QStringLiteral(". Riwayat backup tidak dapat ditulis."));
            continue;
        }
        if (!folder.remove(name)) {
            const QString why = lastErrorText();
            history->forgetDeletion(jobs);
            fail(QStringLiteral("Backup lama tidak dapat dihapus : ") + dump.file +
                 QStringLiteral(". ") + why);
            continue;
        }
        log(QStringLiteral("Hapus backup lama : ") + dump.file);
        const QString runLog = name.chopped(3) + QStringLiteral(".log");
        if (!globals && folder.isOwnFile(runLog) && folder.remove(runLog))
            log(QStringLiteral("Hapus backup lama : ") + outputPath(runLog));
    }
}
