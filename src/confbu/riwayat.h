// riwayat.db, the job history beside confbu.cfg: one row per backup job, written by the
// service (a row when the job starts, completed when it ends) and only read by the panel.
// Dumps that the service deleted to keep only the newest ones are recorded in a table of
// their own, terhapus, so that the job rows keep their columns. The one place that knows
// the tables and columns.
#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class QSqlDatabase;
class QSqlRecord;

namespace riwayat {

// What became of a job; BERJALAN while it runs.
inline const QString Berjalan = QStringLiteral("BERJALAN");
inline const QString Ok = QStringLiteral("OK");
inline const QString Gagal = QStringLiteral("GAGAL");
inline const QString Ditolak = QStringLiteral("DITOLAK");
inline const QString Dibatalkan = QStringLiteral("DIBATALKAN");

// Times are local, stored as text in this form.
inline const QString TimeFormat = QStringLiteral("yyyy-MM-ddTHH:mm:ss");

struct Job
{
    qint64 id = 0;
    QString dbname;
    QDateTime mulai;
    QDateTime selesai; // invalid while the job runs
    QString file;      // the dump's final path; empty when the job left none
    qint64 ukuran = 0; // the dump's size in bytes
    QString hasil;     // one of the texts above
    QString alasan;    // why it failed, was refused or cancelled
    bool terverifikasi = false;
    QDateTime dihapus; // when the service deleted the dump as an older one; invalid while kept
};

// The statements that create the tables (nothing else), and the job table's columns in order.
QStringList createStatements();
inline const QString ColumnList =
    QStringLiteral("id, dbname, mulai, selesai, file, ukuran, hasil, alasan, terverifikasi");
Job fromRecord(const QSqlRecord &row);

// Readers open the file read-only with their own connection and close it again, so that the
// service is never kept from writing. Each fills jobs and returns true, or gives the
// driver's error text.

// The newest jobs first, at most limit of them (all when limit is 0 or less).
bool recentJobs(const QSqlDatabase &db, int limit, QList<Job> *jobs, QString *error);
// The newest job of each database, by database name.
bool lastJobPerDatabase(const QSqlDatabase &db, QList<Job> *jobs, QString *error);
// The jobs still running (or left running by a process that died), oldest first.
bool runningJobs(const QSqlDatabase &db, QList<Job> *jobs, QString *error);
// The jobs of one database whose verified dump the service has not deleted, newest first.
bool verifiedDumps(const QSqlDatabase &db, const QString &dbname, QList<Job> *jobs, QString *error);

} // namespace riwayat
