// Keeps the panel's picture of the job history current without polling: the file's folder
// is watched, a burst of changes is read once, and a read that fails (locked,
// damaged) waits for the next change. The jobs of each run that ends while the panel runs
// are announced once, when they failed, when their dump waits to be checked, or when a drill of
// the run failed.
#pragma once

#include "backupstatus.h"
#include "salinan.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>

class XHistoryWatch : public QObject
{
    Q_OBJECT
public:
    // path: riwayat.db as the program directory names it; on an installed system a link into
    // the data directory, which is the folder watched.
    explicit XHistoryWatch(const QString &path, QObject *parent = nullptr);

    void setDatabases(const QStringList &dbnames);
    void setSchedule(const backupstatus::Schedule &schedule);
    // Whether a destination for copies off this machine is chosen.
    void setCopiesOn(bool on);
    bool copiesOn() const { return m_copiesOn; }
    // Reads the history and watches it from now on; the failures it holds now are old news.
    void start();

    // The rows of the last good read (of none before start()), judged now.
    const QList<backupstatus::Row> &rows() const { return m_rows; }
    const backupstatus::Schedule &schedule() const { return m_schedule; }
    // Why the last read failed; empty after a good one.
    QString readError() const { return m_error; }
    // The history as the program directory names it.
    QString path() const { return m_path; }

    // What runFailed() gives besides failed jobs: a job whose dump waits to be checked (its
    // alasan says why), and a failed restore drill (its dbname, UjiPulih + its result, and why).
    static inline const QString PerluDiperiksa = QStringLiteral("PERLU DIPERIKSA");
    static inline const QString UjiPulih = QStringLiteral("UJI PULIH ");

    // The jobs running now, read afresh for a question that must not go on old news.
    static bool runningJobs(const QString &path, QList<riwayat::Job> *jobs, QString *error);
    // The destinations for copies that the service last published; false with an empty error
    // when it never did.
    static bool readDestinations(const QString &path, salinan::Published *published,
                                 QString *error);
    // Runs reader on the history opened read-only for it alone; false with an empty error when
    // there is no history yet.
    static bool readWith(const QString &path,
                         const std::function<bool(const QSqlDatabase &, QString *)> &reader,
                         QString *error);

    // How long the history stays quiet, with no job running, before a run counts as ended.
    void setRunQuietMs(int ms) { m_quiet.setInterval(ms); }

signals:
    void changed();
    // A run ended in which jobs failed or were refused, dumps wait to be checked or drills
    // failed: those, and how many jobs ended in it.
    void runFailed(const QList<riwayat::Job> &failed, int jobs);
    // A run ended in which copies off this machine failed: those.
    void runCopiesFailed(const QList<salinan::Copy> &failed);

private:
    void watch();
    void changeSeen();
    void read();
    void rejudge();
    // The jobs that ended since the last read; running: whether one runs now.
    bool findEnded(const QSqlDatabase &db, QList<riwayat::Job> *ended, bool *running,
                   QString *error);
    // The same of the drills, which come after the run's jobs.
    bool findEndedDrills(const QSqlDatabase &db, bool first, QList<riwayat::Job> *failed,
                         bool *running, QString *error);
    void runEnded();
    // The same for the copies off this machine.
    bool findEndedCopies(const QSqlDatabase &db, QList<salinan::Copy> *ended, bool *running,
                         QString *error);

    const QString m_path;
    QFileSystemWatcher m_watcher;
    QTimer m_settle; // a burst of changes ends in one read
    QTimer m_late;   // the next good backup turns late
    QTimer m_quiet;  // a run has ended once nothing runs and nothing changes for a while
    QStringList m_databases;
    backupstatus::Schedule m_schedule;
    QList<backupstatus::Row> m_rows;
    QString m_error;
    bool m_started = false;
    // Jobs up to this id had ended at the last read; -1: no read has set it yet.
    qint64 m_settled = -1;
    QSet<qint64> m_seen;             // jobs above m_settled seen ended already, or old
    QList<riwayat::Job> m_runJobs;   // ended in the run not yet told
    QList<riwayat::Job> m_runDrills; // failed drills of the run not yet told
    qint64 m_drillsSettled = 0;      // drills up to this id are told or old
    qint64 m_copiesSettled = -1;
    QSet<qint64> m_copiesSeen;
    QList<salinan::Copy> m_runCopies;
    bool m_copiesOn = false;
};
