#include "riwayat.h"

#include "permintaan.h"
#include "salinan.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

namespace riwayat {

namespace {

// A history made before deletions were recorded has no terhapus: nothing was deleted.
bool select(const QSqlDatabase &db, const QString &tail, const QVariantList &values,
            QList<Job> *jobs, QString *error)
{
    const QString deletions =
        db.tables().contains(QStringLiteral("terhapus"))
            ? QStringLiteral(", terhapus.waktu as dihapus from riwayat left join terhapus on "
                             "terhapus.riwayat_id = riwayat.id ")
            : QStringLiteral(", null as dihapus from riwayat ");
    QSqlQuery query(db);
    bool ok = query.prepare(QStringLiteral("select ") + ColumnList + deletions + tail);
    for (const QVariant &value : values)
        query.addBindValue(value);
    ok = ok && query.exec();
    if (!ok) {
        *error = query.lastError().text();
        return false;
    }
    jobs->clear();
    while (query.next())
        jobs->append(fromRecord(query.record()));
    return true;
}

} // namespace

QStringList createStatements()
{
    return QStringList{QStringLiteral("CREATE TABLE IF NOT EXISTS riwayat (id INTEGER PRIMARY KEY, "
                           "dbname TEXT, mulai TEXT, selesai TEXT, file TEXT, ukuran INTEGER, "
                           "hasil TEXT, alasan TEXT, terverifikasi INTEGER)"),
            QStringLiteral("CREATE TABLE IF NOT EXISTS terhapus (riwayat_id INTEGER PRIMARY KEY, "
                           "waktu TEXT)"),
            // Retention and the status window look up one database's jobs, newest first, in a
            // history that grows by some 40 jobs a day for years.
            QStringLiteral("CREATE INDEX IF NOT EXISTS riwayat_dbname ON riwayat (dbname, id)"),
            // The day and time each backup time (jam 1 or 2) last ran for, so that a restarted
            // service does not run it again.
            QStringLiteral("CREATE TABLE IF NOT EXISTS jadwal (jam INTEGER PRIMARY KEY, "
                           "waktu TEXT)")} +
           permintaan::createAnswerStatements() + salinan::createHistoryStatements();
}

Job fromRecord(const QSqlRecord &row)
{
    Job job;
    job.id = row.value(QStringLiteral("id")).toLongLong();
    job.dbname = row.value(QStringLiteral("dbname")).toString();
    job.mulai = QDateTime::fromString(row.value(QStringLiteral("mulai")).toString(), TimeFormat);
    job.selesai =
        QDateTime::fromString(row.value(QStringLiteral("selesai")).toString(), TimeFormat);
    job.file = row.value(QStringLiteral("file")).toString();
    job.ukuran = row.value(QStringLiteral("ukuran")).toLongLong();
    job.hasil = row.value(QStringLiteral("hasil")).toString();
    job.alasan = row.value(QStringLiteral("alasan")).toString();
    job.terverifikasi = row.value(QStringLiteral("terverifikasi")).toBool();
    job.dihapus =
        QDateTime::fromString(row.value(QStringLiteral("dihapus")).toString(), TimeFormat);
    return job;
}

bool recentJobs(const QSqlDatabase &db, int limit, QList<Job> *jobs, QString *error)
{
    return select(db, QStringLiteral("order by id desc limit ?"), {limit > 0 ? limit : -1}, jobs,
                  error);
}

bool lastJobPerDatabase(const QSqlDatabase &db, QList<Job> *jobs, QString *error)
{
    return select(db,
                  QStringLiteral("where id in (select max(id) from riwayat group by dbname) "
                                 "order by dbname"),
                  {}, jobs, error);
}

bool runningJobs(const QSqlDatabase &db, QList<Job> *jobs, QString *error)
{
    return select(db, QStringLiteral("where hasil = ? order by id"), {Berjalan}, jobs, error);
}

bool verifiedDumps(const QSqlDatabase &db, const QString &dbname, QList<Job> *jobs, QString *error)
{
    return select(db,
                  QStringLiteral("where dbname = ? and hasil = ? and terverifikasi = 1 and "
                                 "file is not null and dihapus is null order by id desc"),
                  {dbname, Ok}, jobs, error);
}

} // namespace riwayat
