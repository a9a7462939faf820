#include "restoredrill.h"

#include "pgrestore.h"
#include "rowcount.h"
#include "scratchcluster.h"
#include "stopsignal.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr qint64 MiB = 1024 * 1024;
// A globals script is a few kilobytes per role; one far larger is no script of ours.
constexpr qint64 MaxGlobalsBytes = 64 * MiB;

QString sizeText(qint64 bytes)
{
    return QStringLiteral("%1 MB").arg(QString::number(double(bytes) / MiB, 'f', 0));
}

} // namespace

RestoreDrill::RestoreDrill(const Tools &tools, const QString &workFolder)
    : tools(tools), workFolder(workFolder)
{
}

qint64 RestoreDrill::roomNeeded(qint64 dumpSize, qint64 rows)
{
    return 64 * MiB + 3 * dumpSize + 64 * rows;
}

DrillOutcome RestoreDrill::run(const QString &dump, const QString &globals,
                               const QList<riwayat::TableRows> &recorded, int timeoutMs,
                               const StopSignal *stop)
{
    QElapsedTimer took;
    took.start();
    const QDeadlineTimer deadline(timeoutMs);
    const auto left = [&deadline] { return int(qMax<qint64>(1, deadline.remainingTime())); };
    DrillOutcome outcome;
    const auto ended = [&](DrillOutcome::Result result, const QString &reason) {
        outcome.result = stop && stop->requested() ? DrillOutcome::Cancelled : result;
        outcome.reason = reason;
        if (result == DrillOutcome::Failed && deadline.hasExpired())
            outcome.reason =
                QStringLiteral("uji pulih melewati batas waktu %1 menit dan dihentikan.")
                    .arg(qMax(1, timeoutMs / 60000));
        outcome.ms = took.elapsed();
        return outcome;
    };

    PgRestore restorer(tools.pgRestore, tools.psql, tools.environment);
    ArchiveInfo archive;
    QString error;
    if (!restorer.inspect(dump, left(), stop, &archive, &error))
        return ended(DrillOutcome::Failed, error);
    int major = 0;
    const QString bin = ScratchCluster::newestServer(&major);
    if (bin.isEmpty())
        return ended(DrillOutcome::Unavailable, QString());
    if (major < archive.serverMajor)
        return ended(DrillOutcome::Refused,
                     QStringLiteral("dump berasal dari server PostgreSQL %1, sedangkan server "
                                    "terbaru yang terpasang %2.")
                         .arg(archive.serverMajor)
                         .arg(major));
    if (!ScratchCluster::prepareWorkFolder(workFolder, &error))
        return ended(DrillOutcome::Refused, error + QLatin1Char('.'));
    // What a drill that the service did not live to finish left behind.
    ScratchCluster::removeLeftovers(workFolder);
    qint64 rows = 0;
    for (const riwayat::TableRows &table : recorded)
        rows += table.baris;
    const qint64 needed = roomNeeded(QFileInfo(dump).size(), rows);
    const qint64 room = ScratchCluster::freeBytes(workFolder);
    if (room >= 0 && room < needed)
        return ended(
            DrillOutcome::Refused,
            QStringLiteral("ruang disk di [%1] tidak cukup: perlu sekitar %2, tersedia %3.")
                .arg(workFolder, sizeText(needed), sizeText(room)));

    ScratchCluster cluster(workFolder, bin, major, tools.environment);
    bool stopped = false;
    if (!cluster.start(left(), stop, &error, &stopped))
        return ended(DrillOutcome::Failed, error);
    // The roles first, that the dump's objects belong to; whatever the globals name that the
    // scratch cluster has already (its superuser) is left as it is.
    if (!globals.isEmpty()) {
        QFile source(globals);
        if (!source.open(QIODevice::ReadOnly) || source.size() > MaxGlobalsBytes)
            return ended(DrillOutcome::Failed,
                         QStringLiteral("berkas globals [%1] tidak dapat dibaca.").arg(globals));
        const QString script = QDir(cluster.folder()).filePath(QStringLiteral("globals.sql"));
        QFile copy(script);
        if (!copy.open(QIODevice::WriteOnly) ||
            copy.write(withoutTablespaces(source.readAll())) < 0 || !copy.flush())
            return ended(DrillOutcome::Failed,
                         QStringLiteral("salinan globals tidak dapat ditulis: ") +
                             copy.errorString());
        copy.close();
        if (!restorer.executeFile(cluster.target(), script, left(), stop, &error).succeeded())
            return ended(DrillOutcome::Failed, error);
    }
    PgRestore::Options options;
    options.singleTransaction = true;
    if (!restorer.restore(dump, cluster.target(), options, left(), stop, {}, &error).succeeded())
        return ended(DrillOutcome::Failed, error);
    QList<riwayat::TableRows> restored;
    if (!countRows(tools.psql, tools.environment, cluster.target(), left(), stop, &restored,
                   &error))
        return ended(DrillOutcome::Failed, error);
    const QStringList differences = rowDifferences(recorded, restored);
    if (!differences.isEmpty())
        return ended(DrillOutcome::Failed,
                     differences.join(QStringLiteral("; ")) + QLatin1Char('.'));
    outcome.tables = restored.size();
    for (const riwayat::TableRows &table : restored)
        outcome.rows += table.baris;
    cluster.remove();
    return ended(DrillOutcome::Ok, QString());
}
