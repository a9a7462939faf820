// confbu.cfg, the settings file that the service and the control panel share, and
// the names of the files that live beside it. The one place that knows its tables,
// columns and defaults; the programs keep their own statements and messages.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

class QSqlDatabase;
class QSqlRecord;

namespace confbu {

// Files found in the program directory (on an installed system, links into the
// data directory).
inline const QString SettingsFile = QStringLiteral("confbu.cfg");
inline const QString LogFile = QStringLiteral("busys.log");
inline const QString HistoryFile = QStringLiteral("riwayat.db");

// A folder and a name joined with the platform's separator.
QString joinPath(const QString &folder, const QString &name);

// Root's rclone configuration, which says where copies may go: on an installed system (the
// program directory's confbu.cfg is a link into the data directory) in a folder of the
// service's own there, since members of the admin group may write the data directory itself;
// beside the settings otherwise.
QString rcloneConfigPath(const QString &programDir);
inline const QString RcloneConfigFile = QStringLiteral("rclone.conf");
inline const QString RcloneFolder = QStringLiteral("rclone");

// A database name that pg_dump (and pg_restore, psql) would read as an option or as a connection
// string; one that is empty or would put a file outside the output folder; PostgreSQL's longest
// name (NAMEDATALEN - 1) in UTF-8 bytes.
bool isDangerousDatabaseName(const QString &dbname);
bool leavesOutputFolder(const QString &dbname);
constexpr int DatabaseNameBytes = 63;

// What an empty user name or password stands for.
inline const QString DefaultUser = QStringLiteral("admin");
inline const QString DefaultPassword = QStringLiteral("5170342");

// The service trims first, so that a value of blanks never reaches pg_dump as a
// user or password that no server has. The panel hands the stored value to the
// database picker as it stands, so that what the administrator sees tried is
// exactly what the file holds.
enum class Blanks { AreEmpty, AreText };
QString userOrDefault(const QString &stored, Blanks rule);
QString passwordOrDefault(const QString &stored, Blanks rule);

// One row of confdb, each column converted the SQL layer's way. A column that is
// missing or does not convert gives the empty form of its kind.
struct Settings
{
    QString server;
    QString user;
    QString pass;
    QString outputdir;
    qint32 port = 0;
    QDateTime jam1, jam2, jam3, jam4;
    bool jam1st = false, jam2st = false, jam3st = false, jam4st = false;
};
Settings fromRecord(const QSqlRecord &row);

// The row of the delivered file: both backup times switched off.
Settings delivered();

// Retention and the monitor have tables of their own, so that confdb keeps its
// columns; files made before them lack the tables, which reads as the default.
constexpr int KeepAll = 0;
// The most good dumps of a database that a stored number may keep.
constexpr int MaxKept = 10000;
// The number stored: KeepAll when none is; KeepAll too when it is not a whole number from 0
// to MaxKept, and then false with the stored value as text in *stored.
bool storedRetention(const QSqlDatabase &db, int *count, QString *stored);
int retention(const QSqlDatabase &db);
bool setRetention(const QSqlDatabase &db, int count, QString *error);

// What a place that holds dumps keeps of each database: the newest jumlah (0: all, and then
// nothing else matters), and besides them the newest of each of the last harian days,
// mingguan weeks and bulanan months (0: none). A file that lacks a number reads it as 0.
struct Retention
{
    int jumlah = KeepAll;
    int harian = 0;
    int mingguan = 0;
    int bulanan = 0;
    bool keepsAll() const { return jumlah <= KeepAll; }
    bool operator==(const Retention &o) const
    {
        return jumlah == o.jumlah && harian == o.harian && mingguan == o.mingguan &&
               bulanan == o.bulanan;
    }
};
// The numbers of a row's columns jumlah, harian, mingguan and bulanan, each read as
// storedRetention reads one; when one is no such number, the policy keeps all and false comes
// back with the stored value as text in *stored.
bool retentionFromRecord(const QSqlRecord &row, Retention *policy, QString *stored);
// Those of the dumps in the output folder (confsimpan), the same way.
bool storedLocalRetention(const QSqlDatabase &db, Retention *policy, QString *stored);
Retention localRetention(const QSqlDatabase &db);
bool setLocalRetention(const QSqlDatabase &db, const Retention &policy, QString *error);
// Adds the calendar's columns to a table of a file made before them.
bool addCalendarColumns(const QSqlDatabase &db, const QString &table, QString *error);
QString monitorUrl(const QSqlDatabase &db);
bool setMonitorUrl(const QSqlDatabase &db, const QString &url, QString *error);

// When the restore drill runs: never, after every backup run, or once a week at the first run
// on day hari (0 Sunday ... 6 Saturday). A file without the table reads as weekly on Sunday.
struct DrillSchedule
{
    enum Jadwal { Never = 0, EveryRun = 1, Weekly = 2 };
    int jadwal = Weekly;
    int hari = 0;
    bool operator==(const DrillSchedule &other) const
    {
        return jadwal == other.jadwal && hari == other.hari;
    }
};
DrillSchedule drillSchedule(const QSqlDatabase &db);
bool setDrillSchedule(const QSqlDatabase &db, const DrillSchedule &schedule, QString *error);

// The statements that create the tables (nothing else).
QStringList schema();
// Writes a new settings file at path: the tables, the delivered row, an empty list.
bool createDeliveredFile(const QString &path, QString *error);

} // namespace confbu
