#include "retention.h"

#include "dumpjob.h"
#include "jobhistory.h"
#include "nativefile.h"
#include "outputfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

namespace {

// What follows "bu_" + database + "_" in a name that a job gives its files.
const QRegularExpression &stamped(const QString &extension)
{
    static const QRegularExpression dump(QStringLiteral("^(\\d{8}\\.\\d{6})\\.bu$"));
    static const QRegularExpression runLog(QStringLiteral("^(\\d{8}\\.\\d{6})\\.log$"));
    static const QRegularExpression globals(QStringLiteral("^(\\d{8}\\.\\d{6})\\.sql$"));
    return extension == QLatin1String("bu")    ? dump
           : extension == QLatin1String("sql") ? globals
                                               : runLog;
}

// Marks the newest candidate of each of the last count periods; period() gives the first day
// of the period a date lies in, step() the first day of the period before.
void keepNewestPerPeriod(const QList<Retention::Candidate> &candidates, int count,
                         const QDate &today, const std::function<QDate(const QDate &)> &period,
                         const std::function<QDate(const QDate &)> &step, QSet<int> *kept)
{
    if (count <= 0)
        return;
    QDate first = period(today);
    for (int i = 1; i < count; ++i)
        first = step(first);
    QSet<QDate> seen;
    for (int i = 0; i < candidates.size(); ++i) {
        const QDate day = candidates[i].taken.date();
        if (!day.isValid() || day > today)
            continue;
        const QDate start = period(day);
        if (start < first || seen.contains(start))
            continue;
        seen.insert(start);
        kept->insert(i);
    }
}

} // namespace

QList<qint64> Retention::toDelete(const QList<Candidate> &candidates,
                                  const confbu::Retention &policy, const QDateTime &now)
{
    if (policy.keepsAll())
        return {};
    QSet<int> kept;
    for (int i = 0; i < qMin(policy.jumlah, candidates.size()); ++i)
        kept.insert(i);
    const QDate today = now.date();
    keepNewestPerPeriod(
        candidates, policy.harian, today, [](const QDate &d) { return d; },
        [](const QDate &d) { return d.addDays(-1); }, &kept);
    keepNewestPerPeriod(
        candidates, policy.mingguan, today,
        [](const QDate &d) { return d.addDays(1 - d.dayOfWeek()); },
        [](const QDate &d) { return d.addDays(-7); }, &kept);
    keepNewestPerPeriod(
        candidates, policy.bulanan, today,
        [](const QDate &d) { return QDate(d.year(), d.month(), 1); },
        [](const QDate &d) { return d.addMonths(-1); }, &kept);
    QList<qint64> gone;
    for (int i = candidates.size() - 1; i >= 0; --i)
        if (!kept.contains(i))
            gone << candidates[i].key;
    return gone;
}

Retention::Retention(JobHistory &history, OutputFolder &folder, const QString &outputdir,
                     const confbu::Retention &policy, std::function<QDateTime()> clock, Note log,
                     Note fail)
    : history(history), folder(folder), outputdir(outputdir), policy(policy),
      clock(std::move(clock)), log(std::move(log)), fail(std::move(fail))
{
}

// A name that two jobs shared (same second) counts once, and the newest is always kept.
void Retention::apply(const QString &dbname, qint64 newest)
{
    const QString prefix = QStringLiteral("bu_") + dbname + QLatin1Char('_');
    const QList<riwayat::Job> dumps = history.keptDumps(dbname);
    if (dumps.isEmpty() || (newest != 0 && dumps.first().id != newest))
        return;
    // A dump that lost much of a table may be the damage itself: the good ones before it stay
    // until an administrator says the change was meant.
    if (!history.mayDeleteDumpsOf(dbname)) {
        if (newest != 0)
            log(QStringLiteral("Backup lama database [") + dbname +
                QStringLiteral("] tidak dihapus: backup yang PERLU DIPERIKSA belum diterima "
                               "sebagai perubahan wajar."));
        return;
    }
    // Jobs before the history recorded real paths named the folder as the settings did.
    const QString real = QDir::cleanPath(folder.realPath()), named = QDir::cleanPath(outputdir);
    // One candidate per file, known by its newest job, with every job that named it.
    QList<Candidate> candidates;
    QHash<qint64, QString> nameOf;
    QHash<qint64, QList<qint64>> jobsOf;
    QStringList names;
    for (const riwayat::Job &dump : dumps) {
        const QFileInfo file(dump.file);
        const QString name = file.fileName(), where = QDir::cleanPath(file.path());
        if ((where != real && where != named) || !name.startsWith(prefix) ||
            !stamped(QStringLiteral("bu")).match(name.mid(prefix.size())).hasMatch() ||
            names.contains(name) || !folder.isOwnFile(name))
            continue;
        names << name;
        candidates << Candidate{dump.id, dump.mulai};
        nameOf.insert(dump.id, name);
        // Two jobs of the same second share a name: every job that named the file loses its
        // dump with it.
        for (const riwayat::Job &other : dumps)
            if (QDir::cleanPath(other.file) == QDir::cleanPath(dump.file))
                jobsOf[dump.id] << other.id;
    }
    const QList<qint64> gone = toDelete(candidates, policy, clock());
    for (qint64 key : gone) {
        const QString name = nameOf.value(key);
        if (!remove(name, jobsOf.value(key)))
            continue;
        const QString runLog = name.chopped(3) + QStringLiteral(".log");
        if (folder.isOwnFile(runLog) && folder.remove(runLog))
            log(QStringLiteral("Hapus backup lama : ") + folder.filePath(runLog));
    }
    // The oldest dump kept bounds the run logs of jobs that left none.
    QString oldestKept;
    for (const Candidate &candidate : qAsConst(candidates))
        if (!gone.contains(candidate.key))
            oldestKept = nameOf.value(candidate.key).mid(prefix.size(), 15);
    if (!oldestKept.isEmpty())
        removeOldRunLogs(prefix, oldestKept);
}

bool Retention::remove(const QString &name, const QList<qint64> &jobs)
{
    const QString path = folder.filePath(name);
    if (!history.recordDeletion(jobs, clock())) {
        fail(QStringLiteral("Backup lama tidak dapat dihapus : ") + path +
             QStringLiteral(". Riwayat backup tidak dapat ditulis."));
        return false;
    }
    if (!folder.remove(name)) {
        const QString why = lastErrorText();
        history.forgetDeletion(jobs);
        fail(QStringLiteral("Backup lama tidak dapat dihapus : ") + path + QStringLiteral(". ") +
             why);
        return false;
    }
    log(QStringLiteral("Hapus backup lama : ") + path);
    return true;
}

void Retention::applyToGlobals()
{
    if (policy.keepsAll())
        return;
    const QString prefix = QStringLiteral("bu_globals_");
    const QList<riwayat::Job> dumps = history.keptGlobals();
    QSet<qint64> inUse;
    if (dumps.isEmpty() || !history.globalsInUse(&inUse))
        return;
    const QString real = QDir::cleanPath(folder.realPath()), named = QDir::cleanPath(outputdir);
    QStringList kept;
    for (const riwayat::Job &dump : dumps) {
        const QFileInfo file(dump.file);
        const QString name = file.fileName(), where = QDir::cleanPath(file.path());
        if ((where != real && where != named) || !name.startsWith(prefix) ||
            !stamped(QStringLiteral("sql")).match(name.mid(prefix.size())).hasMatch() ||
            kept.contains(name) || !folder.isOwnFile(name))
            continue;
        if (kept.size() < qMax(1, policy.jumlah) || inUse.contains(dump.id)) {
            kept << name;
            continue;
        }
        QList<qint64> jobs;
        for (const riwayat::Job &other : dumps)
            if (QDir::cleanPath(other.file) == QDir::cleanPath(dump.file))
                jobs << other.id;
        remove(name, jobs);
    }
}

// The run logs of the database older than its oldest kept dump that no dump or dump kept
// aside (.rusak) has beside it: those of jobs that failed or were cancelled.
void Retention::removeOldRunLogs(const QString &prefix, const QString &oldestKept)
{
    const QStringList names = folder.names();
    const QSet<QString> present(names.cbegin(), names.cend());
    QStringList old;
    for (const QString &name : names) {
        if (!name.startsWith(prefix))
            continue;
        const QRegularExpressionMatch match =
            stamped(QStringLiteral("log")).match(name.mid(prefix.size()));
        const QString dump = name.chopped(4) + QStringLiteral(".bu");
        if (match.hasMatch() && match.captured(1) < oldestKept && !present.contains(dump) &&
            !present.contains(dump + DumpJob::UnverifiedSuffix) && folder.isOwnFile(name))
            old << name;
    }
    old.sort();
    for (const QString &name : qAsConst(old))
        if (folder.remove(name))
            log(QStringLiteral("Hapus log lama : ") + folder.filePath(name));
}
