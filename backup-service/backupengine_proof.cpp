// The part of a backup run that proves its dumps restore whole: the server's globals, the check
// of each dump against the one before it, and the restore drills.
#include "backupengine.h"

#include "globalsdump.h"
#include "jobhistory.h"
#include "outputfolder.h"
#include "restoredrill.h"
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
    const QString path = outputPath(base + QStringLiteral(".sql"));
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
    switch (outcome.result) {
    case GlobalsOutcome::Ok:
        job.hasil = riwayat::Ok;
        job.file = path;
        job.ukuran = outcome.size;
        log(QStringLiteral("Backup Globals OK : file [") + path +
            QStringLiteral("], %1 byte.").arg(outcome.size) +
            (outcome.withoutPasswords
                 ? QStringLiteral(" Tanpa password role (--no-role-passwords): pengguna [") + user +
                       QStringLiteral("] tidak boleh membacanya.")
                 : QString()));
        break;
    case GlobalsOutcome::Failed:
        job.hasil = riwayat::Gagal;
        job.alasan = outcome.failure;
        fail(QStringLiteral("Backup Globals GAGAL : ") + outcome.failure);
        break;
    case GlobalsOutcome::Cancelled:
        job.hasil = riwayat::Dibatalkan;
        job.alasan = QStringLiteral("Service dihentikan.");
        fail(QStringLiteral("Backup Globals DIBATALKAN : ") + job.alasan);
        break;
    }
    if (history->finish(id, job) && job.hasil == riwayat::Ok && keep > 0)
        removeOlderDumps(GlobalsDump::Name, id, folder, true);
    return outcome.result != GlobalsOutcome::Failed;
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
    riwayat::globalsBefore(db, dump.id, &globals, &error);
    riwayat::tableRows(db, dump.id, &recorded, &error);
    riwayat::Drill row;
    row.riwayatId = dump.id;
    row.mulai = clock();
    const qint64 id = history->startDrill(dump.id, row.mulai);
    const RestoreDrill::Tools tools{toolPath(QStringLiteral("pg_restore")),
                                    toolPath(QStringLiteral("psql")),
                                    QProcessEnvironment::systemEnvironment()};
    // A globals file that retention took leaves the roles to the drill's own verdict.
    const QString globalsFile = QFileInfo::exists(globals.file) ? globals.file : QString();
    const DrillOutcome outcome = RestoreDrill(tools, workFolder())
                                     .run(dump.file, globalsFile, recorded, drillTimeoutMs, stop);
    row.selesai = clock();
    row.alasan = outcome.reason;
    const QString what = QStringLiteral("database [") + dump.dbname + QStringLiteral("], file [") +
                         dump.file + QStringLiteral("]");
    switch (outcome.result) {
    case DrillOutcome::Ok:
        row.hasil = riwayat::Ok;
        row.tabel = outcome.tables;
        row.baris = outcome.rows;
        log(QStringLiteral("Uji Pulih OK : ") + what +
            QStringLiteral(", %1 tabel, %2 baris, %3 detik.")
                .arg(outcome.tables)
                .arg(outcome.rows)
                .arg(outcome.ms / 1000));
        break;
    case DrillOutcome::Cancelled:
        row.hasil = riwayat::Dibatalkan;
        row.alasan = QStringLiteral("Service dihentikan.");
        log(QStringLiteral("Uji Pulih DIBATALKAN : ") + what + QStringLiteral(". ") + row.alasan);
        break;
    case DrillOutcome::Refused:
    case DrillOutcome::Unavailable:
        row.hasil = riwayat::Ditolak;
        if (row.alasan.isEmpty())
            row.alasan = QStringLiteral("server PostgreSQL (initdb) tidak terpasang.");
        fail(QStringLiteral("Uji Pulih DITOLAK : ") + what + QStringLiteral(". ") + row.alasan);
        break;
    case DrillOutcome::Failed:
        row.hasil = riwayat::Gagal;
        fail(QStringLiteral("Uji Pulih GAGAL : ") + what + QStringLiteral(". ") + row.alasan);
        break;
    }
    history->finishDrill(id, row);
    return outcome.result == DrillOutcome::Ok || outcome.result == DrillOutcome::Cancelled;
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
