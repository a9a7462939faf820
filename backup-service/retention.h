// Which good dumps, and copies of them off this machine, a place keeps: one rule for both, the
// newest N and the newest of each of the last days, weeks and months (toDelete). In the output
// folder the older dumps go with their run logs, and so do the run logs of jobs that left no
// dump (failed, cancelled) once they are older than the oldest dump kept. Only what the history
// records as a good dump, in the output folder of the run, under the name a job of the database
// gives it, is ever deleted as a dump, and only a run log that the service made as a run log.
// Nothing of a database goes while a dump of it waits to be checked (JobHistory::mayDeleteDumpsOf,
// which whoever else deletes dumps asks too). The server's globals keep the newest ones and those
// a kept dump needs.
#pragma once

#include "confbu.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>

class JobHistory;
class OutputFolder;

class Retention
{
public:
    using Note = std::function<void(const QString &entry)>;

    struct Candidate
    {
        qint64 key = 0;  // the caller's name for it
        QDateTime taken; // when its dump was made
    };

    // The keys of the candidates to delete, oldest first. candidates: newest first. Kept are
    // the newest policy.jumlah, and the newest of each of the last policy.harian days,
    // policy.mingguan weeks (Monday to Sunday) and policy.bulanan months, counted back from
    // now's and including it. Nothing is deleted when the policy keeps all.
    static QList<qint64> toDelete(const QList<Candidate> &candidates,
                                  const confbu::Retention &policy, const QDateTime &now);

    // policy: what is kept of each database (not all). outputdir: the folder as the settings
    // name it, which older jobs of the history recorded. log and fail: where the deletions and
    // the failures to delete are told.
    Retention(JobHistory &history, OutputFolder &folder, const QString &outputdir,
              const confbu::Retention &policy, std::function<QDateTime()> clock, Note log,
              Note fail);

    // Applies it to the database's dumps. newest: the job just done, which must be the newest
    // good one, or 0 before a job.
    void apply(const QString &dbname, qint64 newest);
    // Applies it to the globals (bu_globals_*.sql): the newest kept, and besides them each
    // one that a kept dump of a database would be restored with.
    void applyToGlobals();

private:
    void removeOldRunLogs(const QString &prefix, const QString &oldestKept);
    // Deletes the file that the jobs named, the history told first; false when it stays.
    bool remove(const QString &name, const QList<qint64> &jobs);

    JobHistory &history;
    OutputFolder &folder;
    const QString outputdir;
    const confbu::Retention policy;
    const std::function<QDateTime()> clock;
    const Note log;
    const Note fail;
};
