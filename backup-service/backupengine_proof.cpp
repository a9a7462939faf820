// The part of a backup run that proves its dumps restore whole: the server's globals, the check
// of each dump against the one before it, and the restore drills.
#include "backupengine.h"

#include "globalsdump.h"
#include "jobhistory.h"
#include "outputfolder.h"
#include "restoredrill.h"
#include "retention.h"
#include "rowcount.h"
#include "scratchcluster.h"
#include "stopsignal.h"

#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSqlDatabase>

bool BackupEngine::backUpGlobals(OutputFolder &folder, bool anyDatabase)
{
    if (!anyDatabase || (stop && stop->requested()))
        return true;
    riwayat::Job job;
    job.globals = true;
    job.mulai = clock();
    const qint64 id = history->start(QString(), job.mulai, true);
    const QString base = QStringLiteral("bu_") + GlobalsDump::Name + QLatin1Char('_') +
                         job.mulai.toString(QStringLiteral("yyyyMMdd.hhmmss"));
    const QString path = folder.filePath(base + QStringLiteral(".sql"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The password travels only in the tool's environment, never on its command line.
    environment.insert(QStringLiteral("PGPASSWORD"), pass);
    const auto dumpall = [&](const QString &file, bool passwords) {
        ToolCommand command{toolPath(QStringLiteral("pg_dumpall")),
                            {QStringLiteral("--host=") + server,
                             QStringLiteral("--port=") + QString::number(port),
                             QStringLiteral("--username=") + user, QStringLiteral("--globals-only"),
                             QStringLiteral("--file=") + file, QStringLiteral("-w")},
                            environment};
        if (!passwords)
            command.arguments << QStringLiteral("--no-role-passwords");
        return command;
    };
    const GlobalsOutcome outcome = GlobalsDump(folder, base).run(dumpall, toolTimeoutMs, stop);
    job.selesai = clock();
    job.hasil = outcome.result == GlobalsOutcome::Ok       ? riwayat::Ok
                : outcome.result == GlobalsOutcome::Failed ? riwayat::Gagal
                                                           : riwayat::Dibatalkan;
    if (outcome.result == GlobalsOutcome::Ok) {
        job.file = path;
        job.ukuran = outcome.size;
    } else {
        job.alasan = outcome.result == GlobalsOutcome::Failed
                         ? outcome.failure
                         : QStringLiteral("Service dihentikan.");
    }
    // The history first, as for a database's job.
    history->finish(id, job);
    if (outcome.result == GlobalsOutcome::Ok)
        log(QStringLiteral("Backup Globals OK : file [") + path +
            QStringLiteral("], %1 byte.").arg(outcome.size) +
            (outcome.withoutPasswords
                 ? QStringLiteral(" Tanpa password role (--no-role-passwords): pengguna [") + user +
                       QStringLiteral("] tidak boleh membacanya.")
                 : QString()));
    else
        fail((outcome.result == GlobalsOutcome::Failed
                  ? QStringLiteral("Backup Globals GAGAL : ")
                  : QStringLiteral("Backup Globals DIBATALKAN : ")) +
             job.alasan);
    return outcome.result != GlobalsOutcome::Failed;
}

// After the databases' jobs, which decide which globals their kept dumps need.
void BackupEngine::removeOlderGlobals(OutputFolder &folder)
{
    Retention(
        *history, folder, outputdir, keep, clock, [this](const QString &m) { log(m); },
        [this](const QString &m) { fail(m); })
        .applyToGlobals();
}

// What a sudden loss looks like: a table of the previous good dump with many rows holds less
// than half of them now, or is gone. Empty when nothing of the kind.
QString BackupEngine::shrinkage(const QString &dbname, qint64 id,
                                const QList<riwayat::TableRows> &tables)
{
    QList<riwayat::TableRows> previous;
    if (!history->previousRows(dbname, id, &previous))
        return QString();
    const QStringList shrunk = shrunkTables(previous, tables);
    return shrunk.isEmpty() ? QString() : shrunk.join(QStringLiteral("; ")) + QLatin1Char('.');
}

bool BackupEngine::runDrills(const QStringList &databases)
{
    const QDateTime now = clock();
    const bool weekly = drills.jadwal == confbu::DrillSchedule::Weekly;
    if (drills.jadwal == confbu::DrillSchedule::Never ||
        (weekly && now.date().dayOfWeek() % 7 != drills.hari))
        return true;
    int major = 0;
    if (ScratchCluster::newestServer(&major).isEmpty()) {
        if (!drillsUnavailableTold)
            log(QStringLiteral("Uji Pulih tidak dapat dijalankan: server PostgreSQL (initdb) tidak "
                               "terpasang. Pasang paket postgresql-15 agar setiap backup diuji "
                               "dengan memulihkannya, atau matikan uji pulih di Pengaturan "
                               "Lanjutan."));
        drillsUnavailableTold = true;
        return true;
    }
    bool allWell = true;
    for (const QString &dbname : databases) {
        if (stop && stop->requested())
            break;
        // Once a week is the first run of the day that has not drilled it yet.
        if (!refusalOf(dbname).isEmpty() || (weekly && history->drilledOn(dbname, now.date())))
            continue;
        const QList<riwayat::Job> dumps = history->keptDumps(dbname);
        if (!dumps.isEmpty())
            allWell = drill(dumps.first()) && allWell;
    }
    return allWell;
}

bool BackupEngine::drill(const riwayat::Job &dump)
{
    QString error;
    riwayat::Job globals;
    QList<riwayat::TableRows> recorded;
    const QSqlDatabase db = history->database();
    // The globals of the dump's own run; when that file is gone, the newest there is, whose
    // roles are the likeliest to be the dump's.
    riwayat::globalsBefore(db, dump.id, &globals, &error);
    if (!QFileInfo::exists(globals.file))
        riwayat::globalsBefore(db, 0, &globals, &error);
    riwayat::tableRows(db, dump.id, &recorded, &error);
    riwayat::Drill row;
    row.riwayatId = dump.id;
    row.mulai = clock();
    const qint64 id = history->startDrill(dump.id, row.mulai);
    const RestoreDrill::Tools tools{toolPath(QStringLiteral("pg_restore")),
                                    toolPath(QStringLiteral("psql")),
                                    QProcessEnvironment::systemEnvironment()};
    const QString globalsFile = QFileInfo::exists(globals.file) ? globals.file : QString();
    const DrillOutcome outcome = RestoreDrill(tools, workFolder())
                                     .run(dump.file, globalsFile, recorded, drillTimeoutMs, stop);
    row.selesai = clock();
    row.alasan = outcome.reason;
    QString entry;
    switch (outcome.result) {
    case DrillOutcome::Ok:
        row.hasil = riwayat::Ok;
        row.tabel = outcome.tables;
        row.baris = outcome.rows;
        entry = QStringLiteral(", %1 tabel, %2 baris, %3 detik.")
                    .arg(outcome.tables)
                    .arg(outcome.rows)
                    .arg(outcome.ms / 1000);
        break;
    case DrillOutcome::Cancelled:
        row.hasil = riwayat::Dibatalkan;
        row.alasan = QStringLiteral("Service dihentikan.");
        break;
    case DrillOutcome::Refused:
    case DrillOutcome::Unavailable:
        row.hasil = riwayat::Ditolak;
        if (row.alasan.isEmpty())
            row.alasan = QStringLiteral("server PostgreSQL (initdb) tidak terpasang.");
        break;
    case DrillOutcome::Failed:
        row.hasil = riwayat::Gagal;
        break;
    }
    history->finishDrill(id, row);
    const QString what = QStringLiteral("Uji Pulih ") + row.hasil +
                         QStringLiteral(" : database [") + dump.dbname +
                         QStringLiteral("], file [") + dump.file + QStringLiteral("]");
    if (row.hasil == riwayat::Ok)
        log(what + entry);
    else if (row.hasil == riwayat::Dibatalkan)
        log(what + QStringLiteral(". ") + row.alasan);
    else
        fail(what + QStringLiteral(". ") + row.alasan);
    return outcome.result == DrillOutcome::Ok || outcome.result == DrillOutcome::Cancelled;
}

// What a drill left that a process which died was running, found under the run lock: its row
// (which says nothing of the dump it was restoring) and its cluster's files; the server itself
// died with that process.
void BackupEngine::removeDrillLeftovers()
{
    history->closeAbandonedDrills(
        clock, QStringLiteral("Proses service berhenti sebelum uji pulih selesai."));
    if (QFileInfo(workFolder()).isDir())
        ScratchCluster::removeLeftovers(workFolder());
}

// A dump that waits for an administrator's word keeps the monitor told at every run, not only
// at the one that found it: retention stays held until someone looks.
bool BackupEngine::noChecksWaiting(const QStringList &databases, const QStringList &flaggedNow)
{
    bool none = true;
    for (const QString &dbname : databases) {
        if (!refusalOf(dbname).isEmpty() || !history->checkWaits(dbname))
            continue;
        none = false;
        if (!flaggedNow.contains(dbname))
            log(QStringLiteral("Backup database [") + dbname +
                QStringLiteral("] masih PERLU DIPERIKSA: backup lama tidak dihapus sampai "
                               "perubahannya diterima di Status Backup."));
    }
    return none;
}
