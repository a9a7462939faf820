// riwayat.db, the job history beside confbu.cfg: one row per backup job, written by the
// service (a row when the job starts, completed when it ends) and only read by the panel.
// What else the service learns about a job lives in tables of their own, so that the job rows
// keep their columns: dumps deleted to keep only the newest ones (terhapus), the rows each
// table of a dump holds (isi), dumps that lost much of a table and wait for an administrator's
// word (periksa), and restore drills (ujipulih). The server's roles and other globals, dumped
// once per run, are a job whose dbname is NULL, which no database's job ever has. The one
// place that knows the tables and columns.
#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>

class QSqlDatabase;
class QSqlQuery;
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
    QDateTime dihapus;    // when the service deleted the dump as an older one; invalid while kept
    bool globals = false; // the server's globals, not a database (dbname NULL)
};

// The rows one table of a dump holds; tabel is the name as the dump's script writes it,
// schema-qualified and quoted where needed (public."Tabel Besar").
struct TableRows
{
    QString tabel;
    qint64 baris = 0;
    bool operator==(const TableRows &other) const
    {
        return tabel == other.tabel && baris == other.baris;
    }
};

// A dump that lost much of a table against the one before it: held from retention until an
// administrator accepts the change (diterima, oleh).
struct Check
{
    qint64 riwayatId = 0;
    QString dbname;
    QDateTime mulai;    // of the job
    QString rincian;    // which tables, and how
    QDateTime diterima; // invalid while it waits
    QString oleh;
};

// One restore drill of a dump.
struct Drill
{
    qint64 id = 0;
    qint64 riwayatId = 0;
    QString dbname; // of the job drilled
    QString file;
    QDateTime mulai;
    QDateTime selesai; // invalid while it runs
    QString hasil;     // OK, GAGAL, DITOLAK, DIBATALKAN, or BERJALAN
    QString alasan;
    int tabel = 0;
    qint64 baris = 0;
};

// The statements that create the tables (nothing else), and the job table's columns in order.
QStringList createStatements();
// The statement prepared with values bound and executed, read forward only; false with the
// driver's text otherwise. For the readers of the history's tables.
bool run(QSqlQuery &query, const QString &statement, const QVariantList &values, QString *error);
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
// The good dumps of the server's globals that the service has not deleted, newest first.
bool globalsDumps(const QSqlDatabase &db, QList<Job> *jobs, QString *error);
// The newest good dump of the server's globals made before job beforeId (0: the newest of all);
// id 0 when there is none.
bool globalsBefore(const QSqlDatabase &db, qint64 beforeId, Job *job, QString *error);

// The rows of each table the job's dump holds, in the dump's order; none for a dump made
// before they were counted, or with no table.
bool tableRows(const QSqlDatabase &db, qint64 riwayatId, QList<TableRows> *tables, QString *error);
// The database's checks that still wait for an administrator, oldest first.
bool pendingChecks(const QSqlDatabase &db, const QString &dbname, QList<Check> *checks,
                   QString *error);
// The database's newest drill, and its newest good one; id 0 when there is none.
bool newestDrill(const QSqlDatabase &db, const QString &dbname, bool goodOnly, Drill *drill,
                 QString *error);

} // namespace riwayat
