// Keeps the panel's picture of the job history current without polling: the file's folder
// is watched, a burst of changes is read once, and a read that fails (locked,
// damaged) waits for the next change. Jobs that failed since the panel started are
// announced once each.
#pragma once

#include "backupstatus.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QSet>
#include <QTimer>

class XHistoryWatch : public QObject
{
    Q_OBJECT
public:
    // path: riwayat.db as the program directory names it; on an installed system a link into
    // the data directory, which is the folder watched.
    explicit XHistoryWatch(const QString &path, QObject *parent = nullptr);

    void setDatabases(const QStringList &dbnames);
    void setSchedule(const backupstatus::Schedule &schedule);
    // Reads the history and watches it from now on; the failures it holds now are old news.
    void start();

    // The rows of the last good read (of none before start()), judged now.
    const QList<backupstatus::Row> &rows() const { return m_rows; }
    const backupstatus::Schedule &schedule() const { return m_schedule; }
    // Why the last read failed; empty after a good one.
    QString readError() const { return m_error; }
    // The history as the program directory names it.
    QString path() const { return m_path; }

    // What newFailures() gives besides failed jobs: a job whose dump waits to be checked (its
    // alasan says why), and a failed restore drill (its dbname, UjiPulih + its result, and why).
    static inline const QString PerluDiperiksa = QStringLiteral("PERLU DIPERIKSA");
    static inline const QString UjiPulih = QStringLiteral("UJI PULIH ");

    // The jobs running now, read afresh for a question that must not go on old news.
    static bool runningJobs(const QString &path, QList<riwayat::Job> *jobs, QString *error);

signals:
    void changed();
    void newFailures(const QList<riwayat::Job> &jobs);

private:
    void watch();
    void changeSeen();
    void read();
    void rejudge();
    bool findFailures(const QSqlDatabase &db, QList<riwayat::Job> *fresh, QString *error);
    bool findFailedDrills(const QSqlDatabase &db, bool first, QList<riwayat::Job> *fresh,
                          QString *error);

    const QString m_path;
    QFileSystemWatcher m_watcher;
    QTimer m_settle; // a burst of changes ends in one read
    QTimer m_late;   // the next good backup turns late
    QStringList m_databases;
    backupstatus::Schedule m_schedule;
    QList<backupstatus::Row> m_rows;
    QString m_error;
    bool m_started = false;
    // Jobs up to this id had ended at the last read; -1: no read has set it yet.
    qint64 m_settled = -1;
    QSet<qint64> m_told;        // failures above m_settled already announced or old
    qint64 m_drillsSettled = 0; // drills up to this id are told or old
};
