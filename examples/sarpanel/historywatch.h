// Keeps the panel's picture of the job history current without polling: the file's folder
// is watched, a burst of changes is read once, and a read that fails (locked,
// damaged) waits for the next change. Jobs that failed since the panel started are
// announced once each.
#pragma once

#include "backupstatus.h"
#include "salinan.h"

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

    // The jobs running now, read afresh for a question that must not go on old news.
    static bool runningJobs(const QString &path, QList<riwayat::Job> *jobs, QString *error);
    // The destinations for copies that the service last published; false with an empty error
    // when it never did.
    static bool readDestinations(const QString &path, salinan::Published *published,
                                 QString *error);

signals:
    void changed();
    void newFailures(const QList<riwayat::Job> &jobs);
    void newCopyFailures(const QList<salinan::Copy> &copies);

private:
    void watch();
    void changeSeen();
    void read();
    void rejudge();
    bool findFailures(const QSqlDatabase &db, QList<riwayat::Job> *fresh, QString *error);
    bool findCopyFailures(const QSqlDatabase &db, QList<salinan::Copy> *fresh, QString *error);

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
    QSet<qint64> m_told; // failures above m_settled already announced or old
    // The same for copies off this machine.
    qint64 m_copiesSettled = -1;
    QSet<qint64> m_copiesTold;
    bool m_copiesOn = false;
};
