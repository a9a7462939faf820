#include "retention.h"

#include "dumpjob.h"
#include "jobhistory.h"
#include "nativefile.h"
#include "outputfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

namespace {

// What follows "bu_" + database + "_" in a name that a job gives its files.
const QRegularExpression &stamped(const QString &extension)
{
    static const QRegularExpression dump(QStringLiteral("^(\\d{8}\\.\\d{6})\\.bu$"));
    static const QRegularExpression runLog(QStringLiteral("^(\\d{8}\\.\\d{6})\\.log$"));
    return extension == QLatin1String("bu") ? dump : runLog;
}

} // namespace

Retention::Retention(JobHistory &history, OutputFolder &folder, const QString &outputdir, int keep,
                     std::function<QDateTime()> clock, Note log, Note fail)
    : history(history), folder(folder), outputdir(outputdir), keep(keep), clock(std::move(clock)),
      log(std::move(log)), fail(std::move(fail))
{
}

// A name that two jobs shared (same second) counts once, and the newest is always kept.
void Retention::apply(const QString &dbname, qint64 newest)
{
    const QString prefix = QStringLiteral("bu_") + dbname + QLatin1Char('_');
    const QList<riwayat::Job> dumps = history.keptDumps(dbname);
    if (dumps.isEmpty() || (newest != 0 && dumps.first().id != newest))
        return;
    // Jobs before the history recorded real paths named the folder as the settings did.
    const QString real = QDir::cleanPath(folder.realPath()), named = QDir::cleanPath(outputdir);
    QStringList kept;
    for (const riwayat::Job &dump : dumps) {
        const QFileInfo file(dump.file);
        const QString name = file.fileName(), where = QDir::cleanPath(file.path());
        if ((where != real && where != named) || !name.startsWith(prefix) ||
            !stamped(QStringLiteral("bu")).match(name.mid(prefix.size())).hasMatch() ||
            kept.contains(name) || !folder.isOwnFile(name))
            continue;
        if (kept.size() < keep) {
            kept << name;
            continue;
        }
        // The history hears of it first, so that a dump it calls good is never missing; every
        // job that named the file loses its dump with it (two jobs of the same second share
        // a name).
        QList<qint64> jobs;
        for (const riwayat::Job &other : dumps)
            if (QDir::cleanPath(other.file) == QDir::cleanPath(dump.file))
                jobs << other.id;
        const QString path = folder.filePath(name);
        if (!history.recordDeletion(jobs, clock())) {
            fail(QStringLiteral("Backup lama tidak dapat dihapus : ") + path +
                 QStringLiteral(". Riwayat backup tidak dapat ditulis."));
            continue;
        }
        if (!folder.remove(name)) {
            const QString why = lastErrorText();
            history.forgetDeletion(jobs);
            fail(QStringLiteral("Backup lama tidak dapat dihapus : ") + path +
                 QStringLiteral(". ") + why);
            continue;
        }
        log(QStringLiteral("Hapus backup lama : ") + path);
        const QString runLog = name.chopped(3) + QStringLiteral(".log");
        if (folder.isOwnFile(runLog) && folder.remove(runLog))
            log(QStringLiteral("Hapus backup lama : ") + folder.filePath(runLog));
    }
    if (!kept.isEmpty())
        removeOldRunLogs(prefix, kept.last().mid(prefix.size(), 15));
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
