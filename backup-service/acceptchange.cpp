#include "acceptchange.h"

#include "jobhistory.h"

#include <QJsonValue>

namespace acceptchange {

ThPermintaan::Outcome handle(const permintaan::Request &request, ThPermintaan::Context &context)
{
    BackupEngine &engine = context.engine;
    const QJsonValue dbname = request.isi.value(QStringLiteral("dbname"));
    const QJsonValue id = request.isi.value(QStringLiteral("riwayat_id"));
    // Whatever a member of the admin group wrote is judged before it is used.
    if (!dbname.isString() || dbname.toString().isEmpty() || dbname.toString().size() > 256 ||
        !id.isDouble() || id.toDouble() < 1 || id.toDouble() != qint64(id.toDouble()))
        return {permintaan::Ditolak, QStringLiteral("isi permintaan tidak sah")};
    JobHistory history(engine.programDirectory(), [&engine](const QString &m) { engine.log(m); });
    const int accepted =
        history.acceptChecks(dbname.toString(), qint64(id.toDouble()), request.oleh, engine.now());
    if (accepted < 0)
        return {permintaan::Gagal, QStringLiteral("riwayat backup tidak dapat ditulis")};
    if (accepted == 0)
        return {permintaan::Ditolak, QStringLiteral("tidak ada backup database [") +
                                         dbname.toString() +
                                         QStringLiteral("] yang menunggu diperiksa")};
    engine.log(QStringLiteral("Perubahan wajar diterima : database [") + dbname.toString() +
               QStringLiteral("], oleh [") + request.oleh +
               QStringLiteral("]. Backup lama dihapus lagi sesuai pengaturan."));
    return {permintaan::Ok,
            QStringLiteral("%1 backup diterima sebagai perubahan wajar.").arg(accepted)};
}

} // namespace acceptchange
