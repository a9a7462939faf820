// The job history as the service writes it: a row when a job starts, completed when it ends.
// It lives behind the program folder's riwayat.db; a history that is missing, not the
// service's, or that SQLite finds damaged is made anew; one that cannot be opened or written
// for any other reason is kept for the next run and never keeps a backup from running.
#pragma once

#include "permintaan.h"
#include "riwayat.h"

#include <QDateTime>
#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

#include <functional>

class JobHistory
{
public:
    using Note = std::function<void(const QString &entry)>;

    // Opens the history for one run; what it had to do or could not do goes to note.
    JobHistory(const QString &programDir, Note note);
    ~JobHistory();

    // A row for a job that starts now; 0 when the history cannot be written.
    qint64 start(const QString &dbname, const QDateTime &mulai);
    // Completes the row of start(), or adds a whole row when id is 0 and job names a
    // database (a job refused before it started). False when the history was not written.
    bool finish(qint64 id, const riwayat::Job &job);
    // The database's jobs whose verified dump has not been deleted, newest first; none when
    // the history cannot be read.
    QList<riwayat::Job> keptDumps(const QString &dbname);
    // The dump that the jobs ids share is deleted as an older one at when: all or none of
    // them recorded. forgetDeletion() takes it back when the file could not be deleted.
    bool recordDeletion(const QList<qint64> &ids, const QDateTime &when);
    void forgetDeletion(const QList<qint64> &ids);
    // The day and time that each backup time (1 or 2) last ran for, on the wall clock; and
    // the record of one that runs now.
    QMap<int, QDateTime> takenTimes();
    bool recordTakenTime(int slot, const QDateTime &at);
    // Jobs that a process which died left running: completed as failed at now(), and returned.
    QList<riwayat::Job> closeAbandoned(const std::function<QDateTime()> &now,
                                       const QString &reason);

    // The service's answers to requests: whether one exists already, a row when the service
    // takes the request, its progress, and how it ended.
    bool isAnswered(const QString &kunci);
    bool startAnswer(const permintaan::Request &request, const QDateTime &mulai);
    void setProgress(const QString &kunci, const QJsonObject &kemajuan);
    bool endAnswer(const QString &kunci, const QDateTime &selesai, const QString &hasil,
                   const QString &pesan);
    // Answers that a process which died left running: completed as failed at now.
    void closeAbandonedAnswers(const QDateTime &now, const QString &reason);

    // For the tables of other records (copies off this machine): the open connection (not
    // open when the history cannot be used) and one statement, its failure noted once a run.
    QSqlDatabase database() const;
    bool exec(const QString &statement, const QVariantList &values, qint64 *id = nullptr);

    static constexpr int BusyTimeoutMs = 500;

private:
    JobHistory(const JobHistory &) = delete;
    JobHistory &operator=(const JobHistory &) = delete;

    enum class Opening { Opened, Unusable, Damaged };
    Opening open(QString *problem);
    void unusable(const QString &problem);

    const QString path;
    const Note note;
    const QString connection;
    bool writeFailed = false;
};
