// The job history as the service writes it: a row when a job starts, completed when it ends.
// It lives behind the program folder's riwayat.db; a history that is missing, not the
// service's, or that SQLite finds damaged is made anew; one that cannot be opened or written
// for any other reason is kept for the next run and never keeps a backup from running.
#pragma once

#include "permintaan.h"
#include "riwayat.h"

#include <QDateTime>
#include <QSet>
#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

#include <functional>

class QSqlDatabase;

class JobHistory
{
public:
    using Note = std::function<void(const QString &entry)>;

    // Opens the history for one run; what it had to do or could not do goes to note.
    JobHistory(const QString &programDir, Note note);
    ~JobHistory();

    // A row for a job that starts now; 0 when the history cannot be written. A job with
    // globals set dumps the server's globals.
    qint64 start(const QString &dbname, const QDateTime &mulai, bool globals = false);
    // Completes the row of start(), or adds a whole row when id is 0 and job names a
    // database (a job refused before it started), with the rows its dump holds and, when
    // check is not empty, a check that waits for an administrator; all or nothing. False
    // when the history was not written.
    bool finish(qint64 id, const riwayat::Job &job, const QList<riwayat::TableRows> &tables = {},
                const QString &check = QString());
    // The rows of the tables that the newest good dump of dbname before job beforeId holds;
    // false when there is no such dump or it was made before they were counted.
    bool previousRows(const QString &dbname, qint64 beforeId, QList<riwayat::TableRows> *tables);
    // Whether retention may delete any dump of dbname now: not while a dump of it waits for
    // an administrator's check, nor when the history cannot tell.
    bool mayDeleteDumpsOf(const QString &dbname);
    // Whether a dump of dbname is known to wait for an administrator's check.
    bool checkWaits(const QString &dbname);
    // An administrator accepts the checks of dbname up to job upToId; how many, -1 on failure.
    int acceptChecks(const QString &dbname, qint64 upToId, const QString &oleh,
                     const QDateTime &when);

    // Restore drills: a row when one starts, completed when it ends.
    qint64 startDrill(qint64 riwayatId, const QDateTime &mulai);
    bool finishDrill(qint64 id, const riwayat::Drill &drill);
    // Whether dbname had a drill that started on day and was not cancelled.
    bool drilledOn(const QString &dbname, const QDate &day);
    // Drills that a process which died left running: completed as cancelled at now.
    void closeAbandonedDrills(const std::function<QDateTime()> &now, const QString &reason);
    // What readers of the history get, on this history's connection.
    QSqlDatabase database() const;
    // The database's jobs whose verified dump has not been deleted, newest first; none when
    // the history cannot be read.
    QList<riwayat::Job> keptDumps(const QString &dbname);
    // The same of the server's globals.
    QList<riwayat::Job> keptGlobals();
    // The globals that a kept dump of a database would be restored with: the newest kept
    // globals made before it. None when the history cannot tell (then nothing is deleted).
    bool globalsInUse(QSet<qint64> *ids);
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

    // For the tables of other records (copies off this machine): one statement on database(),
    // its failure noted once a run.
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
