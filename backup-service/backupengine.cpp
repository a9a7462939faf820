#include "backupengine.h"

#include "backuprequests.h"
#include "confbu.h"
#include "dumpjob.h"
#include "jobhistory.h"
#include "logtext.h"
#include "monitor.h"
#include "nativefile.h"
#include "offsitecopy.h"
#include "outputfolder.h"
#include "programfile.h"
#include "retention.h"
#include "runlock.h"
#include "sharedfiles.h"
#include "settingcaps.h"
#include "spacefloor.h"
#include "stopsignal.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

BackupEngine::BackupEngine(const QString &programDir, Clock clock)
    : logName(confbu::LogFile),
      programDir(programDir.isEmpty() ? QCoreApplication::applicationDirPath() : programDir),
      clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTime(); }))
{
}

BackupEngine::~BackupEngine() = default;

void BackupEngine::log(const LogMessage &message)
{
    QString error;
    const bool written = WriteLog(message, logName, programDir, &error);
    if (!written && !logUnwritable)
        report(logName + QStringLiteral(" tidak dapat ditulis: ") + error);
    logUnwritable = !written;
}

// Failures are the entries an administrator must not miss: they reach the system's log too.
void BackupEngine::fail(const LogMessage &message)
{
    log(message);
    report(message.oneLine());
}

// The one place where the service's events are made: one line each, escaped as busys.log's.
void BackupEngine::report(const QString &message)
{
    if (reporter)
        reporter(logtext::escaped(message));
}

QString BackupEngine::programPath(const QString &relative) const
{
    return confbu::joinPath(programDir, relative);
}

// Where the history lives (on an installed system a folder that only the service writes),
// which also holds the run lock.
QString BackupEngine::historyFolder() const
{
    return QFileInfo(programfile::resolve(programDir, confbu::HistoryFile)).absolutePath();
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

// A failure that is still the same at the next check is not logged again; the retry goes on.
void BackupEngine::settingsUnreadable(const LogMessage &message)
{
    if (message == settingsFailure)
        return;
    settingsFailure = message;
    fail(message);
}

// Runs one statement on the settings file, through a connection that exists only for this
// read: the panel's saves must not wait for a backup run. The file is opened read-write,
// without creating it, so that the journal of a save that crashed is rolled back instead of
// making every read fail. The entry that opens the read is written once per failure streak,
// not at every retry; whenEmpty: the failure of a statement that gave no row.
bool BackupEngine::readSettings(const QString &entry, const QString &prefix,
                                const QString &statement,
                                const std::function<void(const QSqlRecord &)> &row,
                                const std::function<void(const QSqlDatabase &)> &more,
                                const QString &whenEmpty)
{
    const bool retrying = !settingsFailure.text.isEmpty();
    if (!retrying && !entry.isEmpty())
        log(entry);
    const QString shown = programPath(confbu::SettingsFile);
    const QString path = programfile::resolve(programDir, confbu::SettingsFile);
    QString refusal;
    const QFileInfo target(path);
    if (!target.exists() && !target.isSymLink()) {
        settingsUnreadable(prefix + QStringLiteral("Maaf file [") + shown +
                           QStringLiteral("] tidak ditemukan."));
        return false;
    }
    // SQLite would follow a link planted at the target, and roll a journal beside whatever it
    // names back into it. Beside it, a FIFO would hold the worker in open() and a second name
    // would have SQLite write into someone else's file; SQLite will not open what slips in
    // after this look either.
    QString refused = path;
    if (programfile::isRootsRegularFile(path, &refusal))
        refusal = sharedfiles::besideRefusal(path, &refused);
    if (!refusal.isEmpty()) {
        settingsUnreadable(prefix + QStringLiteral("Error Load database :[") + refused +
                           QStringLiteral("] ") + refusal);
        return false;
    }
    // Backups and requests each read the settings on a thread of their own.
    const QString connection = QStringLiteral("sarvela-confbu-%1").arg(quintptr(this));
    LogMessage failure{QString()};
    {
        QSqlDatabase db = programfile::addSqlite(connection, path, SettingsBusyTimeoutMs);
        if (!db.open()) {
            failure = prefix + QStringLiteral("Error Load database :") + db.lastError().text();
        } else {
            QSqlQuery query(db);
            if (!statement.isEmpty() && (!query.prepare(statement) || !query.exec())) {
                failure = LogMessage(prefix + QStringLiteral("Gagal memanggil data."),
                                     QStringLiteral("Pesan Error : ") + query.lastError().text());
            } else {
                bool any = false;
                while (query.next()) {
                    row(query.record());
                    any = true;
                }
                if (!any && !whenEmpty.isEmpty())
                    failure = whenEmpty;
                else if (more)
                    more(db);
            }
        }
    }
    QSqlDatabase::removeDatabase(connection);
    if (!failure.text.isEmpty()) {
        settingsUnreadable(failure);
        return false;
    }
    if (retrying) {
        settingsFailure = LogMessage(QString());
        log(QStringLiteral("Pengaturan terbaca kembali."));
    }
    return true;
}

bool BackupEngine::readRequests(QList<permintaan::Request> *requests)
{
    QString error;
    const bool read = readSettings(
        QString(), QStringLiteral("Baca Permintaan. "), QString(), [](const QSqlRecord &) {},
        [&](const QSqlDatabase &db) {
            if (!permintaan::pending(db, requests, &error))
                requests->clear();
        });
    if (read && !error.isEmpty())
        fail(LogMessage(QStringLiteral("Baca Permintaan. Gagal memanggil data."),
                        QStringLiteral("Pesan Error : ") + error));
    return read && error.isEmpty();
}

bool BackupEngine::removeRequest(const QString &kunci)
{
    QString error;
    const bool read = readSettings(QString(), QStringLiteral("Hapus Permintaan. "), QString(),
                                   [](const QSqlRecord &) {}, [&](const QSqlDatabase &db) {
                                       permintaan::remove(db, kunci, &error);
                                   });
    if (read && !error.isEmpty())
        fail(LogMessage(QStringLiteral("Hapus Permintaan. Gagal menghapus data."),
                        QStringLiteral("Pesan Error : ") + error));
    return read && error.isEmpty();
}

bool BackupEngine::ReadConfig()
{
    // Every row is read over the previous one; the last row's values are in effect. A table
    // without rows is said once, then read again quietly at every check, like a locked one.
    const bool read = readSettings(
        QStringLiteral("Read Config."), QString(), QStringLiteral("select * from confdb; "),
        [this](const QSqlRecord &r) {
            static_cast<confbu::Settings &>(*this) = confbu::fromRecord(r);
        },
        [this](const QSqlDatabase &db) { readRunSettings(db); },
        QStringLiteral("Pengaturan kosong: tabel confdb tidak berisi baris."));
    if (!read)
        return false;
    user = confbu::userOrDefault(user, confbu::Blanks::AreEmpty);
    pass = confbu::passwordOrDefault(pass, confbu::Blanks::AreEmpty);
    schedule.setTime(1, jam1st, jam1);
    schedule.setTime(2, jam2st, jam2);
    return true;
}

// Runs every backup time that came since the previous check, once each; the result says
// whether one did. A run whose list could not be read is tried again unless a time came.
bool BackupEngine::CheckSchedule()
{
    const QList<Schedule::Due> due = schedule.due(clock());
    if (runPending && due.isEmpty()) {
        RunBackup();
        recordRunTimes();
    }
    for (const Schedule::Due &time : due)
        runScheduled(time);
    return !due.isEmpty();
}

void BackupEngine::runScheduled(const Schedule::Due &due)
{
    if (due.late)
        log(QStringLiteral("Backup terjadwal ") + due.at.toString(QStringLiteral("HH:mm")) +
            QStringLiteral(" terlewat, dijalankan sekarang."));
    unrecorded << due;
    RunBackup();
    recordRunTimes();
}

// A backup time whose run came to its end (its jobs done, or the run refused) is recorded for
// its day, so that a restart in its minute does not run it again. One whose run was stopped,
// cut short by the process's death, or waits for its list is not: a restart runs it again.
void BackupEngine::recordRunTimes()
{
    if (unrecorded.isEmpty() || runPending || (stop && stop->requested()))
        return;
    const RunLock lock(programDir);
    if (lock.held()) {
        JobHistory history(programDir, [this](const QString &m) { log(m); });
        for (const Schedule::Due &time : qAsConst(unrecorded))
            history.recordTakenTime(time.slot, time.at);
    }
    unrecorded.clear();
}

bool BackupEngine::BackupNow()
{
    // Requests one after another would otherwise run full backups back to back and fill the
    // disk; the refusal is told once per manual run, not once per request.
    const QDateTime now = clock();
    const qint64 since = manualEnded.isValid() ? manualEnded.msecsTo(now) : -1;
    if (since >= 0 && since < ManualRunGapMs) {
        if (!tooSoonLogged)
            log(QStringLiteral("Permintaan backup manual ditolak: backup manual sebelumnya "
                               "selesai kurang dari satu menit yang lalu."));
        tooSoonLogged = true;
        if (requests)
            requests->runEnded(); // the request taken was no run
        return false;
    }
    tooSoonLogged = false;
    log(QStringLiteral("Backup manual dimulai."));
    const bool ran = RunBackup();
    manualEnded = clock();
    return ran;
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

bool BackupEngine::DumpBeforeRestore(const QString &dbname, riwayat::Job *job, QString *failure)
{
    const std::unique_ptr<OutputFolder> folder = openOutputFolder(failure);
    if (!folder)
        return false;
    const RunLock lock(historyFolder());
    if (!lock.held()) {
        *failure = lock.problem().isEmpty()
                       ? QStringLiteral("backup lain sedang berjalan; coba lagi nanti")
                       : QStringLiteral("kunci [") + lock.path() +
                             QStringLiteral("] tidak dapat dipakai: ") + lock.problem();
        return false;
    }
    history = std::make_unique<JobHistory>(programDir, [this](const QString &m) { log(m); });
    holdRetention = true;
    BackupDatabase(dbname, *folder);
    holdRetention = false;
    QList<riwayat::Job> jobs;
    QString error;
    riwayat::lastJobPerDatabase(history->database(), &jobs, &error);
    history.reset();
    *job = riwayat::Job();
    for (const riwayat::Job &last : qAsConst(jobs))
        if (last.dbname == dbname)
            *job = last;
    if (job->hasil == riwayat::Ok && job->terverifikasi)
        return true;
    *failure = QStringLiteral("backup terbaru database [") + dbname +
               QStringLiteral("] tidak dapat dibuat: ") +
               (job->alasan.isEmpty() ? error : job->alasan);
    return false;
}

// The output folder for a run, or why it is refused.
std::unique_ptr<OutputFolder> BackupEngine::openOutputFolder(QString *refusal) const
{
    if (settingcaps::folderTooLong(outputdir)) {
        *refusal = QStringLiteral("Lokasi backup [") + logtext::preview(outputdir) +
                   QStringLiteral("] lebih panjang dari batas sistem. Proses dibatalkan.");
        return nullptr;
    }
    return OutputFolder::open(outputdir, programfile::resolve(programDir, confbu::SettingsFile),
                              refusal);
}

bool BackupEngine::backUpAll()
{
    QString refusal;
    const std::unique_ptr<OutputFolder> folder = openOutputFolder(&refusal);
    if (!folder) {
        // The run is over, also one that waited for its list: said once per backup time.
        runPending = false;
        fail(refusal);
        // The monitor as last read: this run's read comes after the folder check.
        Monitor monitor(monitorAddress, monitorTimeoutMs, stop);
        ping(monitor, Monitor::Ping::Start);
        ping(monitor, Monitor::Ping::Failure);
        return false;
    }

    // The whole list is read before the first job, so that the file is free during the run.
    // Every run that gets its list says so, the one after a failed read included.
    const bool retrying = !settingsFailure.text.isEmpty();
    QStringList databases;
    runPending = !readSettings(
        QStringLiteral("Read List DB"), QStringLiteral("Read Database BU. "),
        QStringLiteral("select * from tbldb; "),
        [&databases](const QSqlRecord &row) {
            databases << row.value(QStringLiteral("dbname")).toString();
        },
        [this](const QSqlDatabase &db) { readRunSettings(db); });
    if (runPending)
        return false;
    if (retrying)
        log(QStringLiteral("Read List DB"));
    if (keepRefused)
        log(QStringLiteral("Jumlah backup yang disimpan [") + logtext::preview(keepStored, 20) +
            QStringLiteral("] bukan bilangan bulat 0 sampai %1; semua backup disimpan.")
                .arg(confbu::MaxKept));
    const RunLock lock(historyFolder());
    if (!lock.problem().isEmpty()) {
        fail(QStringLiteral("Backup dilewati: kunci [") + lock.path() +
             QStringLiteral("] tidak dapat dipakai: ") + lock.problem() + QLatin1Char('.'));
        return false;
    }
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
    startCopies(*folder);
    bool allWell = backUpGlobals(*folder, !databases.isEmpty());
    for (const QString &dbname : qAsConst(databases)) {
        if (stop && stop->requested()) {
            log(QStringLiteral("Backup Database TIDAK DIJALANKAN : database [") +
                logtext::preview(dbname, settingcaps::DatabaseNameBytes) +
                QStringLiteral("]. Service dihentikan."));
            allWell = false;
        } else {
            allWell = BackupDatabase(dbname, *folder) && allWell;
        }
    }
    removeOlderGlobals(*folder);
    if (offsite && !(stop && stop->requested()))
        allWell = offsite->copyPending(databases) && allWell;
    offsite.reset();
    allWell = runDrills(databases) && allWell;
    allWell = noChecksWaiting(databases, flagged) && allWell;
    history.reset();
    ping(monitor, allWell ? Monitor::Ping::Success : Monitor::Ping::Failure);
    return !databases.isEmpty();
}

// What is read afresh with the list at every run, and once with the settings at start.
void BackupEngine::readRunSettings(const QSqlDatabase &db)
{
    keepStored.clear();
    keepRefused = !confbu::storedLocalRetention(db, &keep, &keepStored);
    copyChoice = salinan::read(db);
    monitorAddress = confbu::monitorUrl(db);
    drills = confbu::drillSchedule(db);
}

Rclone BackupEngine::rclone() const
{
    Rclone tool(confbu::rcloneConfigPath(programDir), rcloneLimits);
    tool.setProgramDirectory(programDir);
    return tool;
}

void BackupEngine::PublishDestinations()
{
    QJsonObject config;
    const salinan::Published published = describeDestinations(rclone(), stop, &config);
    JobHistory destinations(programDir, [this](const QString &m) { log(m); });
    QString error;
    salinan::publish(destinations.database(), published, &error);
}

// Copies go where the admin group chose; rclone runs with root's configuration of this program
// directory.
void BackupEngine::startCopies(OutputFolder &folder)
{
    if (!copyChoice.isOn())
        return;
    OffsiteCopies::Hooks hooks{[this](const QString &m) { log(m); },
                               [this](const QString &m) { fail(m); }, clock,
                               [this](const QString &dbname) { return retentionHeld(dbname); }};
    offsite = std::make_unique<OffsiteCopies>(
        copyChoice, rclone(), *history, folder, outputdir,
        programfile::resolve(programDir, confbu::SettingsFile), stop, std::move(hooks));
    offsite->prepare();
}

void BackupEngine::ping(Monitor &monitor, Monitor::Ping what)
{
    const QString failure = monitor.ping(what);
    if (!failure.isEmpty())
        fail(failure);
}

void BackupEngine::RecoverAbandonedJobs()
{
    const RunLock lock(historyFolder());
    if (!lock.held())
        return;
    history = std::make_unique<JobHistory>(programDir, [this](const QString &m) { log(m); });
    closeAbandonedJobs();
    const QMap<int, QDateTime> taken = history->takenTimes();
    for (auto time = taken.cbegin(); time != taken.cend(); ++time)
        if (time.key() >= 1 && time.key() <= Schedule::Slots)
            schedule.restore(time.key(), time.value());
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
        log(QStringLiteral("Berkas sementara [") + folder.filePath(name) +
            QStringLiteral("] dari proses yang terhenti dihapus."));
    }
}

bool BackupEngine::isDangerousDatabaseName(const QString &dbname)
{
    return confbu::isDangerousDatabaseName(dbname);
}

bool BackupEngine::leavesOutputFolder(const QString &dbname)
{
    return confbu::leavesOutputFolder(dbname);
}

// Why a database name is refused before any tool runs, or an empty text.
QString BackupEngine::refusalOf(const QString &dbname)
{
    // No server has such a name; the entry shows only its start.
    if (settingcaps::databaseNameTooLong(dbname))
        return QStringLiteral("nama database [") +
               logtext::preview(dbname, settingcaps::DatabaseNameBytes) +
               QStringLiteral("] lebih dari %1 byte. pg_dump tidak dijalankan.")
                   .arg(settingcaps::DatabaseNameBytes);
    // Such a name would make pg_dump take it as an option or connect where the name
    // says, handing our password to that server.
    if (isDangerousDatabaseName(dbname))
        return QStringLiteral("nama database [") + dbname +
               QStringLiteral("] dapat dibaca pg_dump sebagai opsi atau alamat koneksi. "
                              "pg_dump tidak dijalankan.");
    // The name becomes part of the file names: it must not lead out of the output folder.
    if (leavesOutputFolder(dbname))
        return QStringLiteral("nama database [") + dbname +
               QStringLiteral("] kosong atau menunjuk ke luar lokasi backup. "
                              "pg_dump tidak dijalankan.");
    return QString();
}

// A folder without room for the dump fails the job before pg_dump fills it.
bool BackupEngine::failForLackOfRoom(riwayat::Job &job, const QString &dumpPath,
                                     OutputFolder &folder)
{
    const QList<riwayat::Job> dumps = history->keptDumps(job.dbname);
    job.alasan =
        spacefloor::shortage(folder.freeSpace(), dumps.isEmpty() ? 0 : dumps.first().ukuran);
    if (job.alasan.isEmpty())
        return false;
    job.selesai = clock();
    job.hasil = riwayat::Gagal;
    history->finish(0, job);
    fail(QStringLiteral("Backup Database GAGAL : database [") + job.dbname +
         QStringLiteral("], file [") + dumpPath + QStringLiteral("]. ") + job.alasan);
    return true;
}

void BackupEngine::applyRetention(const QString &dbname, qint64 newest, OutputFolder &folder)
{
    // Retention itself says when a dump waiting for a look holds the older ones.
    if (keep.keepsAll() || holdRetention)
        return;
    Retention(
        *history, folder, outputdir, keep, clock, [this](const QString &m) { log(m); },
        [this](const QString &m) { fail(m); })
        .apply(dbname, newest);
}

// A database whose newest dump waits for an administrator's look keeps every dump and copy
// until one accepts the change.
bool BackupEngine::retentionHeld(const QString &dbname)
{
    return history && !history->mayDeleteDumpsOf(dbname);
}

bool BackupEngine::BackupDatabase(const QString &dbname, OutputFolder &folder)
{
    riwayat::Job job;
    job.dbname = dbname;
    job.mulai = clock();
    job.alasan = refusalOf(dbname);
    if (!job.alasan.isEmpty()) {
        // The history keeps no more of a name than the log shows.
        job.dbname = logtext::preview(dbname, settingcaps::DatabaseNameBytes);
        job.selesai = job.mulai;
        job.hasil = riwayat::Ditolak;
        history->finish(0, job);
        fail(QStringLiteral("Backup Database DITOLAK : ") + job.alasan);
        return false;
    }
    // Dumps beyond the number kept (left from a larger number) go first: a folder full of
    // them would otherwise fail this dump, and every later one, for lack of room.
    applyRetention(dbname, 0, folder);

    // Paths as the folder really is, without a doubled separator: what the history records
    // must not follow a link that someone could point elsewhere later.
    const QString base = QStringLiteral("bu_") + dbname + QLatin1Char('_') +
                         job.mulai.toString(QStringLiteral("yyyyMMdd.hhmmss"));
    const QString dumpPath = folder.filePath(base + QStringLiteral(".bu"));
    if (failForLackOfRoom(job, dumpPath, folder))
        return false;
    const qint64 id = history->start(dbname, job.mulai);

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
    job.hasil = outcome.result == DumpOutcome::Ok       ? riwayat::Ok
                : outcome.result == DumpOutcome::Failed ? riwayat::Gagal
                                                        : riwayat::Dibatalkan;
    QString check;
    if (outcome.result == DumpOutcome::Ok) {
        job.file = dumpPath;
        job.ukuran = outcome.size;
        job.terverifikasi = true;
        check = shrinkage(dbname, id, outcome.tables);
    } else {
        job.alasan = outcome.result == DumpOutcome::Failed ? outcome.failure
                                                           : QStringLiteral("Service dihentikan.");
    }
    // The history first: a process that dies between the two leaves a job that the log lacks,
    // never an entry for a job that the history does not know.
    const bool recorded = history->finish(id, job, outcome.tables, check);

    log(QStringLiteral("Backup Database : ") + dumpPath);
    if (outcome.result == DumpOutcome::Ok)
        log(QStringLiteral("Backup Database OK : database [") + dbname +
            QStringLiteral("], file [") + dumpPath +
            QStringLiteral("], %1 byte, terverifikasi.").arg(outcome.size));
    else if (outcome.result == DumpOutcome::Failed)
        fail(QStringLiteral("Backup Database GAGAL : database [") + dbname +
             QStringLiteral("], file [") + dumpPath + QStringLiteral("]. ") + job.alasan);
    else
        fail(QStringLiteral("Backup Database DIBATALKAN : database [") + dbname +
             QStringLiteral("]. ") + job.alasan);
    if (!check.isEmpty()) {
        flagged << dbname;
        fail(QStringLiteral("Backup Database PERLU DIPERIKSA : database [") + dbname +
             QStringLiteral("], ") + check);
    }
    if (recorded && job.hasil == riwayat::Ok)
        applyRetention(dbname, id, folder);
    if (job.hasil != riwayat::Ok)
        return false;
    job.id = id;
    return !offsite || offsite->copy(job);
}
