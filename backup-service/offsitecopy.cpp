#include "offsitecopy.h"

#include "backupengine.h"
#include "jobhistory.h"
#include "offsitesend.h"
#include "offsitetarget.h"
#include "outputfolder.h"
#include "permintaan.h"
#include "retention.h"
#include "riwayat.h"
#include "stopsignal.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QSqlRecord>

#include <algorithm>

namespace {

const QString Interrupted = QStringLiteral("Proses service berhenti sebelum salinan selesai.");

QVariant timeText(const QDateTime &time)
{
    return time.isValid() ? QVariant(time.toString(riwayat::TimeFormat)) : QVariant();
}

QVariant textOrNull(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

QString randomSuffix()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QString suffix;
    for (int i = 0; i < 6; ++i)
        suffix += QLatin1Char(letters[QRandomGenerator::system()->bounded(62)]);
    return suffix;
}

// REMOTE of REMOTE:PATH.
QString remoteOf(const QString &object)
{
    return object.section(QLatin1Char(':'), 0, 0);
}

QString pathOf(const QString &object)
{
    return object.section(QLatin1Char(':'), 1);
}

} // namespace

salinan::Published describeDestinations(const Rclone &rclone, const StopSignal *stop,
                                        QJsonObject *config)
{
    salinan::Published published;
    published.berkas = rclone.configPath();
    published.akun = permintaan::currentAccount();
    published.waktu = QDateTime::currentDateTime();
    if (rclone.readConfig(config, &published.masalah, stop)) {
        for (auto it = config->constBegin(); it != config->constEnd(); ++it)
            published.remotes << salinan::Remote{
                it.key(), it.value().toObject().value(QStringLiteral("type")).toString(),
                offsitetarget::isLocal(*config, it.key())};
    }
    return published;
}

OffsiteCopies::OffsiteCopies(const salinan::Settings &choice, const Rclone &rclone,
                             JobHistory &history, OutputFolder &folder, const QString &outputdir,
                             const QString &settingsPath, const StopSignal *stop, Hooks hooks)
    : choice(choice), rclone(rclone), history(history), folder(folder), outputdir(outputdir),
      settingsPath(settingsPath), stop(stop), hooks(std::move(hooks))
{
}

QString OffsiteCopies::place(const QString &dbname) const
{
    return salinan::place(choice, dbname);
}

void OffsiteCopies::prepare()
{
    QString error;
    const salinan::Published published = describeDestinations(rclone, stop, &config);
    salinan::publish(history.database(), published, &error);
    refused = salinan::folderRefusal(choice.folder);
    if (refused.isEmpty())
        refused = salinan::recipientRefusal(choice.penerima);
    if (refused.isEmpty())
        refused = published.masalah;
    if (refused.isEmpty())
        refused = offsitetarget::refusal(config, choice.remote, choice.folder, settingsPath);

    // Copies that a process which died left running: no live process sends them, since only
    // the holder of the run lock copies.
    QSqlQuery query(history.database());
    QList<salinan::Copy> abandoned;
    if (query.exec(salinan::selectCopies() + QStringLiteral(" where salinan.hasil = '") +
                   riwayat::Berjalan + QStringLiteral("' order by salinan.id")))
        while (query.next())
            abandoned << salinan::fromRecord(query.record());
    for (salinan::Copy &copy : abandoned) {
        copy.selesai = hooks.clock();
        finish(copy, riwayat::Gagal, Interrupted);
    }
    removeTemporaries();
}

// Objects that copies which did not end well may have left under a temporary name.
void OffsiteCopies::removeTemporaries()
{
    QSqlQuery query(history.database());
    QList<salinan::Copy> left;
    if (query.exec(salinan::selectCopies() +
                   QStringLiteral(" where salinan.sementara is not null and salinan.hasil <> '") +
                   riwayat::Berjalan + QStringLiteral("' order by salinan.id")))
        while (query.next())
            left << salinan::fromRecord(query.record());
    for (const salinan::Copy &copy : left) {
        if (stop && stop->requested())
            return;
        // Only where root's configuration still leads, and never onto a folder of this
        // machine that others could have changed meanwhile.
        const QString remote = remoteOf(copy.sementara);
        const QString folderPath = QFileInfo(pathOf(copy.sementara)).path();
        if (!offsitetarget::refusal(config, remote,
                                    folderPath == QLatin1String(".") ? QString() : folderPath,
                                    settingsPath)
                 .isEmpty())
            continue;
        const Rclone::Result removed =
            rclone.run({QStringLiteral("deletefile"), copy.sementara}, File(), stop);
        if (removed.succeeded() ||
            DumpSender(rclone, folder, QString(), stop).isGone(copy.sementara, File())) {
            history.exec(QStringLiteral("update salinan set sementara = null where id = ?"),
                         {copy.id});
            hooks.log(QStringLiteral("Salinan sementara [") + copy.sementara +
                      QStringLiteral("] dari proses yang tidak selesai dihapus."));
        } else if (!removed.stopped()) {
            hooks.log(QStringLiteral("Salinan sementara [") + copy.sementara +
                      QStringLiteral("] belum dapat dihapus: ") + removed.failure);
        }
    }
}

bool OffsiteCopies::finish(salinan::Copy &row, const QString &hasil, const QString &alasan)
{
    row.hasil = hasil;
    row.alasan = alasan;
    row.terverifikasi = hasil == riwayat::Ok;
    if (!row.selesai.isValid())
        row.selesai = hooks.clock();
    const QVariantList values{
        row.tujuan, timeText(row.mulai),    timeText(row.selesai),  row.ukuran,
        row.hasil,  textOrNull(row.alasan), int(row.terverifikasi), textOrNull(row.sementara)};
    bool recorded;
    if (row.id > 0)
        recorded = history.exec(QStringLiteral("update salinan set tujuan = ?, mulai = ?, "
                                               "selesai = ?, ukuran = ?, hasil = ?, alasan = ?, "
                                               "terverifikasi = ?, sementara = ? where id = ?"),
                                values + QVariantList{row.id});
    else
        recorded = history.exec(QStringLiteral("insert into salinan (tujuan, mulai, selesai, "
                                               "ukuran, hasil, alasan, terverifikasi, sementara, "
                                               "riwayat_id) values (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                                values + QVariantList{row.riwayatId}, &row.id);
    const QString what = QStringLiteral("database [") + row.dbname + QStringLiteral("], tujuan [") +
                         row.tujuan + QStringLiteral("]");
    if (hasil == riwayat::Ok)
        hooks.log(QStringLiteral("Salinan Backup OK : ") + what +
                  QStringLiteral(", %1 byte, terverifikasi.").arg(row.ukuran));
    else
        hooks.fail(QStringLiteral("Salinan Backup ") + hasil + QStringLiteral(" : ") + what +
                   QStringLiteral(". ") + alasan);
    return recorded;
}

bool OffsiteCopies::copy(const riwayat::Job &job)
{
    attempted.insert(job.id);
    const QString name = QFileInfo(job.file).fileName();
    salinan::Copy row;
    row.riwayatId = job.id;
    row.dbname = job.dbname;
    row.mulai = hooks.clock();
    row.tujuan = place(job.dbname) + QLatin1Char('/') + name +
                 (choice.penerima.isEmpty() ? QString() : QStringLiteral(".age"));
    QString refusal = refused;
    if (refusal.isEmpty())
        refusal =
            offsitetarget::refusal(config, choice.remote, pathOf(place(job.dbname)), settingsPath);
    if (!refusal.isEmpty()) {
        finish(row, riwayat::Gagal, QStringLiteral("tujuan ditolak: ") + refusal);
        return false;
    }
    row.sementara = row.tujuan + OutputFolder::TemporaryMark + randomSuffix();
    row.hasil = riwayat::Berjalan;
    // Recorded before anything is sent, so that a temporary object is never forgotten.
    if (!history.exec(QStringLiteral("insert into salinan (riwayat_id, tujuan, mulai, hasil, "
                                     "terverifikasi, sementara) values (?, ?, ?, ?, 0, ?)"),
                      {row.riwayatId, row.tujuan, timeText(row.mulai), row.hasil, row.sementara},
                      &row.id)) {
        row.sementara.clear();
        finish(row, riwayat::Gagal, QStringLiteral("riwayat backup tidak dapat ditulis"));
        return false;
    }
    DumpSender sender(rclone, folder, choice.penerima, stop);
    const DumpSender::Outcome sent = sender.send(name, row.sementara, row.tujuan);
    row.ukuran = sent.size;
    if (!sent.temporaryLeft)
        row.sementara.clear();
    if (!sent.failure.isEmpty()) {
        finish(row, sent.failure == DumpSender::Stopped ? riwayat::Dibatalkan : riwayat::Gagal,
               sent.failure);
        return false;
    }
    if (!sent.logFailure.isEmpty())
        hooks.log(QStringLiteral("Log proses [") + DumpSender::runLogObject(row.tujuan) +
                  QStringLiteral("] tidak terkirim: ") + sent.logFailure);
    if (finish(row, riwayat::Ok, QString()) && !choice.simpan.keepsAll() &&
        !(hooks.held && hooks.held(job.dbname)))
        removeOlderCopies(job.dbname, row.id);
    return true;
}

bool OffsiteCopies::hasVerifiedCopy(qint64 riwayatId)
{
    // REMOTE:FOLDER/ (REMOTE: without a folder): the database's folder below it.
    const QString prefix = place(QString());
    QSqlQuery query(history.database());
    query.prepare(QStringLiteral("select tujuan from salinan where riwayat_id = ? and hasil = ? "
                                 "and terverifikasi = 1 and dihapus is null"));
    query.addBindValue(riwayatId);
    query.addBindValue(riwayat::Ok);
    if (!query.exec())
        return true; // nothing known: no copy is sent twice for it
    while (query.next())
        if (query.value(0).toString().startsWith(prefix))
            return true;
    return false;
}

bool OffsiteCopies::copyPending(const QStringList &databases)
{
    QList<riwayat::Job> pending;
    for (const QString &dbname : databases) {
        if (BackupEngine::isDangerousDatabaseName(dbname) ||
            BackupEngine::leavesOutputFolder(dbname))
            continue;
        const QList<riwayat::Job> dumps = history.keptDumps(dbname);
        if (dumps.isEmpty())
            continue;
        const riwayat::Job &newest = dumps.first();
        const QFileInfo file(newest.file);
        if (attempted.contains(newest.id) ||
            QDir::cleanPath(file.path()) != QDir::cleanPath(outputdir) ||
            !folder.isOwnFile(file.fileName()) || hasVerifiedCopy(newest.id))
            continue;
        pending << newest;
    }
    std::sort(pending.begin(), pending.end(), [](const riwayat::Job &a, const riwayat::Job &b) {
        return a.mulai != b.mulai ? a.mulai > b.mulai : a.id > b.id;
    });
    bool allCopied = true;
    for (const riwayat::Job &job : qAsConst(pending)) {
        if (stop && stop->requested())
            return false;
        allCopied = copy(job) && allCopied;
    }
    return allCopied;
}

// Keeps the verified copies of the database here that the policy keeps and deletes the others
// with their run logs. Only objects that the history records as verified copies of this
// database's dumps, under the names the copies get, are ever deleted; the newest is always kept.
// newest: the copy just made, which must be the newest.
void OffsiteCopies::removeOlderCopies(const QString &dbname, qint64 newest)
{
    static const QRegularExpression stamp(QStringLiteral("^\\d{8}\\.\\d{6}\\.bu(\\.age)?$"));
    const QString prefix = place(dbname) + QStringLiteral("/bu_") + dbname + QLatin1Char('_');
    QSqlQuery query(history.database());
    query.prepare(salinan::selectCopies() +
                  QStringLiteral(" where riwayat.dbname = ? and salinan.hasil = ? and "
                                 "salinan.terverifikasi = 1 and salinan.dihapus is null order "
                                 "by salinan.riwayat_id desc, salinan.id desc"));
    query.addBindValue(dbname);
    query.addBindValue(riwayat::Ok);
    if (!query.exec())
        return;
    QList<Retention::Candidate> candidates;
    QHash<qint64, QList<qint64>> copiesOf;
    QHash<qint64, QString> objectOf;
    QHash<QString, qint64> keyOf;
    while (query.next()) {
        const salinan::Copy copy = salinan::fromRecord(query.record());
        if (!copy.tujuan.startsWith(prefix) ||
            !stamp.match(copy.tujuan.mid(prefix.size())).hasMatch())
            continue;
        // Two copies of one dump share the object: it goes for both.
        if (keyOf.contains(copy.tujuan)) {
            copiesOf[keyOf.value(copy.tujuan)] << copy.id;
            continue;
        }
        keyOf.insert(copy.tujuan, copy.id);
        copiesOf[copy.id] << copy.id;
        objectOf.insert(copy.id, copy.tujuan);
        candidates << Retention::Candidate{copy.id, copy.dumpMulai};
    }
    if (candidates.isEmpty() || !copiesOf.value(candidates.first().key).contains(newest))
        return;
    for (qint64 key : Retention::toDelete(candidates, choice.simpan, hooks.clock())) {
        if (stop && stop->requested())
            return;
        const QString object = objectOf.value(key);
        const QList<qint64> ids = copiesOf.value(key);
        // The history hears of it first, so that a copy it calls kept is never missing.
        QSqlDatabase db = history.database();
        bool recorded = db.transaction();
        for (qint64 id : ids)
            recorded = recorded && history.exec(QStringLiteral("update salinan set dihapus = ? "
                                                               "where id = ?"),
                                                {timeText(hooks.clock()), id});
        if (!recorded || !db.commit()) {
            db.rollback();
            hooks.fail(QStringLiteral("Salinan lama tidak dapat dihapus : ") + object +
                       QStringLiteral(". Riwayat backup tidak dapat ditulis."));
            continue;
        }
        const Rclone::Result removed =
            rclone.run({QStringLiteral("deletefile"), object}, File(), stop);
        if (!removed.succeeded() &&
            (removed.stopped() ||
             !DumpSender(rclone, folder, QString(), stop).isGone(object, File()))) {
            for (qint64 id : ids)
                history.exec(QStringLiteral("update salinan set dihapus = null where id = ?"),
                             {id});
            if (!removed.stopped())
                hooks.fail(QStringLiteral("Salinan lama tidak dapat dihapus : ") + object +
                           QStringLiteral(". ") + removed.failure);
            continue;
        }
        hooks.log(QStringLiteral("Hapus salinan lama : ") + object);
        const QString log = DumpSender::runLogObject(object);
        if (rclone.run({QStringLiteral("deletefile"), log}, File(), stop).succeeded())
            hooks.log(QStringLiteral("Hapus salinan lama : ") + log);
    }
}
