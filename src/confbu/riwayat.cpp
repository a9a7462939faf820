#include "riwayat.h"

#include "pemulihan.h"
#include "permintaan.h"
#include "salinan.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <limits>

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
    return QStringList{
               QStringLiteral("CREATE TABLE IF NOT EXISTS riwayat (id INTEGER PRIMARY KEY, "
                              "dbname TEXT, mulai TEXT, selesai TEXT, file TEXT, ukuran INTEGER, "
                              "hasil TEXT, alasan TEXT, terverifikasi INTEGER)"),
               QStringLiteral(
                   "CREATE TABLE IF NOT EXISTS terhapus (riwayat_id INTEGER PRIMARY KEY, "
                   "waktu TEXT)"),
               // Retention and the status window look up one database's jobs, newest first, in a
               // history that grows by some 40 jobs a day for years.
               QStringLiteral("CREATE INDEX IF NOT EXISTS riwayat_dbname ON riwayat (dbname, id)"),
               QStringLiteral("CREATE TABLE IF NOT EXISTS isi (riwayat_id INTEGER, tabel TEXT, "
                              "baris INTEGER)"),
               QStringLiteral("CREATE INDEX IF NOT EXISTS isi_riwayat ON isi (riwayat_id)"),
               QStringLiteral("CREATE TABLE IF NOT EXISTS periksa (riwayat_id INTEGER PRIMARY KEY, "
                              "rincian TEXT, diterima TEXT, oleh TEXT)"),
               QStringLiteral("CREATE TABLE IF NOT EXISTS ujipulih (id INTEGER PRIMARY KEY, "
                              "riwayat_id INTEGER, mulai TEXT, selesai TEXT, hasil TEXT, "
                              "alasan TEXT, tabel INTEGER, baris INTEGER)"),
               QStringLiteral("CREATE INDEX IF NOT EXISTS ujipulih_riwayat ON ujipulih "
                              "(riwayat_id, id)"),
               // The day and time each backup time (jam 1 or 2) last ran for, so that a restarted
               // service does not run it again.
               QStringLiteral("CREATE TABLE IF NOT EXISTS jadwal (jam INTEGER PRIMARY KEY, "
                              "waktu TEXT)")} +
           permintaan::createAnswerStatements() + salinan::createHistoryStatements() +
           pemulihan::createHistoryStatements();
}

Job fromRecord(const QSqlRecord &row)
{
    Job job;
    job.id = row.value(QStringLiteral("id")).toLongLong();
    job.dbname = row.value(QStringLiteral("dbname")).toString();
    job.globals = row.value(QStringLiteral("dbname")).isNull();
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

bool globalsDumps(const QSqlDatabase &db, QList<Job> *jobs, QString *error)
{
    return select(db,
                  QStringLiteral("where dbname is null and hasil = ? and file is not null and "
                                 "dihapus is null order by id desc"),
                  {Ok}, jobs, error);
}

bool globalsBefore(const QSqlDatabase &db, qint64 beforeId, Job *job, QString *error)
{
    QList<Job> found;
    if (!select(db,
                QStringLiteral("where dbname is null and hasil = ? and file is not null and "
                               "riwayat.id < ? order by riwayat.id desc limit 1"),
                {Ok, beforeId > 0 ? beforeId : std::numeric_limits<qint64>::max()}, &found, error))
        return false;
    *job = found.value(0);
    return true;
}

namespace {

bool has(const QSqlDatabase &db, const QString &table)
{
    return db.tables().contains(table);
}

} // namespace

bool run(QSqlQuery &query, const QString &statement, const QVariantList &values, QString *error)
{
    query.setForwardOnly(true);
    bool ok = query.prepare(statement);
    for (const QVariant &value : values)
        query.addBindValue(value);
    ok = ok && query.exec();
    if (!ok)
        *error = query.lastError().text();
    return ok;
}

bool tableRows(const QSqlDatabase &db, qint64 riwayatId, QList<TableRows> *tables, QString *error)
{
    tables->clear();
    if (!has(db, QStringLiteral("isi")))
        return true;
    QSqlQuery query(db);
    if (!run(query,
             QStringLiteral("select tabel, baris from isi where riwayat_id = ? order by rowid"),
             {riwayatId}, error))
        return false;
    while (query.next())
        tables->append({query.value(0).toString(), query.value(1).toLongLong()});
    return true;
}

bool pendingChecks(const QSqlDatabase &db, const QString &dbname, QList<Check> *checks,
                   QString *error)
{
    checks->clear();
    if (!has(db, QStringLiteral("periksa")))
        return true;
    QSqlQuery query(db);
    if (!run(query,
             QStringLiteral("select periksa.riwayat_id, dbname, mulai, rincian, diterima, oleh "
                            "from periksa join riwayat on riwayat.id = periksa.riwayat_id "
                            "where dbname = ? and diterima is null order by periksa.riwayat_id"),
             {dbname}, error))
        return false;
    while (query.next()) {
        Check check;
        check.riwayatId = query.value(0).toLongLong();
        check.dbname = query.value(1).toString();
        check.mulai = QDateTime::fromString(query.value(2).toString(), TimeFormat);
        check.rincian = query.value(3).toString();
        check.diterima = QDateTime::fromString(query.value(4).toString(), TimeFormat);
        check.oleh = query.value(5).toString();
        checks->append(check);
    }
    return true;
}

bool newestDrill(const QSqlDatabase &db, const QString &dbname, bool goodOnly, Drill *drill,
                 QString *error)
{
    *drill = Drill();
    if (!has(db, QStringLiteral("ujipulih")))
        return true;
    QSqlQuery query(db);
    // From the database's jobs, newest first, through the index of each table.
    if (!run(query,
             QStringLiteral("select ujipulih.id, riwayat_id, dbname, file, ujipulih.mulai, "
                            "ujipulih.selesai, ujipulih.hasil, ujipulih.alasan, tabel, baris "
                            "from riwayat join ujipulih on ujipulih.riwayat_id = riwayat.id "
                            "where dbname = ? ") +
                 (goodOnly ? QStringLiteral("and ujipulih.hasil = ? ") : QString()) +
                 QStringLiteral("order by ujipulih.id desc limit 1"),
             goodOnly ? QVariantList{dbname, Ok} : QVariantList{dbname}, error))
        return false;
    if (!query.next())
        return true;
    drill->id = query.value(0).toLongLong();
    drill->riwayatId = query.value(1).toLongLong();
    drill->dbname = query.value(2).toString();
    drill->file = query.value(3).toString();
    drill->mulai = QDateTime::fromString(query.value(4).toString(), TimeFormat);
    drill->selesai = QDateTime::fromString(query.value(5).toString(), TimeFormat);
    drill->hasil = query.value(6).toString();
    drill->alasan = query.value(7).toString();
    drill->tabel = query.value(8).toInt();
    drill->baris = query.value(9).toLongLong();
    return true;
}

} // namespace riwayat
