// The backup service's settings, schedule and jobs. Lives on the worker thread only.
#pragma once

#include "confbu.h"
#include "monitor.h"
#include "permintaan.h"
#include "rclonetool.h"
#include "riwayat.h"
#include "salinan.h"
#include "schedule.h"
#include "writelog.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class BackupRequests;
class JobHistory;
class OffsiteCopies;
class OutputFolder;
class QSqlDatabase;
class QSqlRecord;
class StopSignal;

// The settings it reads (server, user, pass, outputdir, port, jam1..jam4, jam1st..jam4st)
// are its own members, as confdb's row holds them.
class BackupEngine : public confbu::Settings
{
public:
    using Clock = std::function<QDateTime()>;
    // Hands a failure on to the system's log, beside busys.log.
    using Reporter = std::function<void(const QString &message)>;

    // A tool run that takes longer than this is killed and its job reported as failed,
    // so one hung pg_dump cannot block every later backup time.
    static constexpr int DefaultToolTimeoutMs = 6 * 60 * 60 * 1000;
    // The same for one restore drill, from the cluster's start to its removal.
    static constexpr int DefaultDrillTimeoutMs = 6 * 60 * 60 * 1000;

    // programDir: where confbu.cfg, busys.log and dbutils/pg_dump are found (empty: the
    // directory of the running program). clock: the local time (empty: the real clock).
    explicit BackupEngine(const QString &programDir = QString(), Clock clock = Clock());
    ~BackupEngine();

    // Waits this long for a panel that is saving before it reports the settings unreadable;
    // short, so that a stop is never held up, since the next check tries again anyway.
    static constexpr int SettingsBusyTimeoutMs = 1000;

    bool ReadConfig();
    bool CheckSchedule();
    bool RunBackup();
    // A full backup asked for by the administrator ("sarvelad -c 1"): the same run as at a
    // backup time, after an entry that says who asked; the backup times keep their guards. It
    // is refused, with an entry, within a minute of the end of the previous one.
    bool BackupNow();
    // Completes the history's jobs that a process which died left running, and learns from
    // the history which backup times an earlier process ran, unless another worker runs jobs
    // from this program folder now. Done at start; every run completes such jobs too.
    void RecoverAbandonedJobs();

    // The fresh dump that a restore in place makes first: a job of dbname like a backup time's,
    // logged and in the history, that deletes no older dump (the one to restore may be among
    // them). The job as the history recorded it in *job; false with the reason in *failure.
    bool DumpBeforeRestore(const QString &dbname, riwayat::Job *job, QString *failure);

    // Publishes root's destinations for copies off this machine where the panel reads them.
    // Done at start, once the settings were read, and at every run.
    void PublishDestinations();
    // How long after a manual run another one is refused.
    static constexpr int ManualRunGapMs = 60 * 1000;

    void setToolTimeoutMs(int ms) { toolTimeoutMs = ms; }
    void setDrillTimeoutMs(int ms) { drillTimeoutMs = ms; }
    void setRcloneLimits(const Rclone::Limits &limits) { rcloneLimits = limits; }
    // rclone as this engine runs it: root's configuration for this program directory.
    Rclone rclone() const;
    void setMonitorTimeoutMs(int ms) { monitorTimeoutMs = ms; }
    void setReporter(Reporter failures) { reporter = std::move(failures); }
    // A requested stop ends the job in progress and leaves the rest of the run undone.
    void setStopSignal(const StopSignal *signal) { stop = signal; }
    // Told when runs start and end, so that a backup asked for meanwhile is not kept.
    void setRequests(BackupRequests *backupRequests) { requests = backupRequests; }

    // Names that pg_dump would read as an option or as a connection string.
    static bool isDangerousDatabaseName(const QString &dbname);
    // Names that are empty or would put a file outside the output folder.
    static bool leavesOutputFolder(const QString &dbname);

    // Requests waiting in the settings file, oldest first; false (the reason logged) when the
    // file cannot be read now. removeRequest() takes one out once the service has taken it.
    bool readRequests(QList<permintaan::Request> *requests);
    bool removeRequest(const QString &kunci);

    // An entry in busys.log; fail() hands it to the system's log too.
    void log(const LogMessage &message);
    void fail(const LogMessage &message);

    QString programDirectory() const { return programDir; }
    QDateTime now() const { return clock(); }
    // The service's scratch space: kerja beside the settings (in the data directory on an
    // installed system).
    QString workFolder() const;
    // A tool of dbutils, by its name without an ending.
    QString toolPath(const QString &tool) const;

    // The activity log's file name.
    QString logName;

private:
    void runScheduled(const Schedule::Due &due);
    void recordRunTimes();
    bool backUpAll();
    std::unique_ptr<OutputFolder> openOutputFolder(QString *refusal) const;
    bool BackupDatabase(const QString &dbname, OutputFolder &folder);
    // What proves a run's dumps restore whole (backupengine_proof.cpp): the server's globals
    // before the databases, the check of each dump against the one before it, the restore
    // drills after them, and the checks that still wait for an administrator.
    bool backUpGlobals(OutputFolder &folder, bool anyDatabase);
    void removeOlderGlobals(OutputFolder &folder);
    QString shrinkage(const QString &dbname, qint64 id, const QList<riwayat::TableRows> &tables);
    bool runDrills(const QStringList &databases);
    bool drill(const riwayat::Job &dump);
    bool noChecksWaiting(const QStringList &databases, const QStringList &flaggedNow);
    void removeDrillLeftovers();
    void readRunSettings(const QSqlDatabase &db);
    void ping(Monitor &monitor, Monitor::Ping what);
    static QString refusalOf(const QString &dbname);
    bool failForLackOfRoom(riwayat::Job &job, const QString &dumpPath, OutputFolder &folder);
    void applyRetention(const QString &dbname, qint64 newest, OutputFolder &folder);
    void closeAbandonedJobs();
    bool readSettings(const QString &entry, const QString &prefix, const QString &statement,
                      const std::function<void(const QSqlRecord &)> &row,
                      const std::function<void(const QSqlDatabase &)> &more = {},
                      const QString &whenEmpty = QString());
    void settingsUnreadable(const LogMessage &message);
    QString programPath(const QString &relative) const;
    QString historyFolder() const;
    void removeLeftovers(OutputFolder &folder);
    void startCopies(OutputFolder &folder);
    bool retentionHeld(const QString &dbname);
    void report(const QString &message);

    QString programDir;
    Clock clock;
    int toolTimeoutMs = DefaultToolTimeoutMs;
    int drillTimeoutMs = DefaultDrillTimeoutMs;
    Reporter reporter;
    const StopSignal *stop = nullptr;
    BackupRequests *requests = nullptr;
    // Open for the length of a run only, so that the panel reads it between runs.
    std::unique_ptr<JobHistory> history;
    // The run's copies off this machine; none when no destination is chosen.
    std::unique_ptr<OffsiteCopies> offsite;
    salinan::Settings copyChoice;
    Rclone::Limits rcloneLimits;
    // busys.log could not be written; reported once, not for every entry lost.
    bool logUnwritable = false;
    // The last settings failure logged: the same failure again is not logged at every check.
    LogMessage settingsFailure{QString()};
    // The database list could not be read at a backup time: the next check tries again.
    bool runPending = false;
    // Which good dumps of each database the run keeps, and the monitoring service's address
    // (empty: none), read with the list; a stored number that was refused, when one was.
    confbu::Retention keep;
    bool keepRefused = false;
    QString keepStored;
    QString monitorAddress;
    confbu::DrillSchedule drills;
    // Databases whose dump this run marked for checking.
    QStringList flagged;
    // That drills cannot run without a server's programs is said once.
    bool drillsUnavailableTold = false;
    int monitorTimeoutMs = Monitor::DefaultTimeoutMs;
    Schedule schedule;
    // Backup times whose run has not come to its end yet.
    QList<Schedule::Due> unrecorded;
    // When the last manual run ended; whether a request too soon after it was logged.
    QDateTime manualEnded;
    bool tooSoonLogged = false;
    // Retention waits: a restore is about to read one of the older dumps.
    bool holdRetention = false;
};
