#include "confbu.h"

#include "salinan.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <algorithm>

namespace confbu {

namespace {

QVariant column(const QSqlRecord &row, const QString &name)
{
    const int index = row.indexOf(name);
    return index < 0 ? QVariant() : row.value(index);
}

// The first row's first value of a one-column settings table; invalid when the
// table or the row is missing.
QVariant singleValue(const QSqlDatabase &db, const QString &statement)
{
    QSqlQuery query(db);
    if (!query.exec(statement) || !query.next())
        return QVariant();
    return query.value(0);
}

// Replaces the single row of a one-column table, creating the table in a file
// made before it existed; all or nothing.
bool replaceSingleValue(const QSqlDatabase &db, const QString &create, const QString &table,
                        const QString &columnName, const QVariant &value, QString *error)
{
    QSqlDatabase connection = db;
    if (!connection.transaction()) {
        *error = connection.lastError().text();
        return false;
    }
    QSqlQuery query(connection);
    bool ok = query.exec(create) && query.exec(QStringLiteral("delete from ") + table);
    ok = ok && query.prepare(
                   QStringLiteral("insert into %1 (%2) values (:value)").arg(table, columnName));
    query.bindValue(QStringLiteral(":value"), value);
    ok = ok && query.exec();
    if (!ok) {
        *error = query.lastError().text();
        connection.rollback();
        return false;
    }
    if (!connection.commit()) {
        *error = connection.lastError().text();
        connection.rollback();
        return false;
    }
    return true;
}

const char CreateConfUji[] = "CREATE TABLE IF NOT EXISTS confuji (jadwal INTEGER, hari INTEGER)";
const char CreateConfSimpan[] = "CREATE TABLE IF NOT EXISTS confsimpan (jumlah INTEGER, "
                                "harian INTEGER, mingguan INTEGER, bulanan INTEGER)";
const char CreateConfPantau[] = "CREATE TABLE IF NOT EXISTS confpantau (url TEXT)";

} // namespace

bool isDangerousDatabaseName(const QString &dbname)
{
    return dbname.startsWith(QLatin1Char('-')) || dbname.contains(QLatin1Char('=')) ||
           dbname.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive) ||
           dbname.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive) ||
           dbname.contains(QLatin1Char('\n')) || dbname.contains(QLatin1Char('\r'));
}

bool leavesOutputFolder(const QString &dbname)
{
    return dbname.isEmpty() || dbname.contains(QLatin1Char('/')) || dbname.contains(QChar(0)) ||
           dbname.contains(QLatin1Char('\\')) || dbname.contains(QLatin1String(".."));
}

QString joinPath(const QString &folder, const QString &name)
{
#ifdef Q_OS_WIN
    return folder + QLatin1Char('\\') + name;
#else
    return folder + QLatin1Char('/') + name;
#endif
}

QString rcloneConfigPath(const QString &programDir)
{
    const QFileInfo settings(joinPath(programDir, SettingsFile));
    if (!settings.isSymLink())
        return joinPath(programDir, RcloneConfigFile);
    const QString dataDir = QFileInfo(settings.symLinkTarget()).absolutePath();
    return joinPath(joinPath(dataDir, RcloneFolder), RcloneConfigFile);
}

QString userOrDefault(const QString &stored, Blanks rule)
{
    const QString value = rule == Blanks::AreEmpty ? stored.trimmed() : stored;
    return value.isEmpty() ? DefaultUser : stored;
}

QString passwordOrDefault(const QString &stored, Blanks rule)
{
    const QString value = rule == Blanks::AreEmpty ? stored.trimmed() : stored;
    return value.isEmpty() ? DefaultPassword : stored;
}

Settings fromRecord(const QSqlRecord &row)
{
    Settings s;
    s.server = column(row, QStringLiteral("server")).toString();
    s.user = column(row, QStringLiteral("user")).toString();
    s.pass = column(row, QStringLiteral("pass")).toString();
    s.outputdir = column(row, QStringLiteral("outputdir")).toString();
    s.port = column(row, QStringLiteral("port")).toInt();
    s.jam1 = column(row, QStringLiteral("jam1")).toDateTime();
    s.jam2 = column(row, QStringLiteral("jam2")).toDateTime();
    s.jam3 = column(row, QStringLiteral("jam3")).toDateTime();
    s.jam4 = column(row, QStringLiteral("jam4")).toDateTime();
    s.jam1st = column(row, QStringLiteral("jam1st")).toBool();
    s.jam2st = column(row, QStringLiteral("jam2st")).toBool();
    s.jam3st = column(row, QStringLiteral("jam3st")).toBool();
    s.jam4st = column(row, QStringLiteral("jam4st")).toBool();
    return s;
}

Settings delivered()
{
    Settings s;
    s.server = QStringLiteral("localhost");
    // Stored as empty text, not NULL: an empty user and password stand for the defaults.
    s.user = s.pass = QString(QLatin1String(""));
    s.port = 5432;
    s.outputdir = QStringLiteral("/var/backups/sarvela");
    s.jam1 = QDateTime(QDate(2000, 1, 1), QTime(1, 0));
    s.jam2 = QDateTime(QDate(2000, 1, 1), QTime(13, 0));
    s.jam3 = s.jam4 = QDateTime(QDate(2000, 1, 1), QTime(0, 0));
    return s;
}

namespace {

// A stored count: a whole number from 0 to MaxKept, as text, integer or real; none (NULL)
// reads as KeepAll. Read whole and checked, never cut down to an int: 4294967298 is no 2.
bool wholeCount(const QVariant &value, int *count)
{
    *count = KeepAll;
    if (value.isNull())
        return true;
    bool whole = false;
    qlonglong number = -1;
    if (value.type() == QVariant::String) {
        const QString text = value.toString();
        whole = !text.isEmpty() &&
                std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.isDigit(); });
        number = whole ? text.toLongLong(&whole) : -1;
    } else if (value.type() == QVariant::Double) {
        const double real = value.toDouble();
        whole = real >= 0 && real <= MaxKept && real == double(qlonglong(real));
        number = whole ? qlonglong(real) : -1;
    } else {
        number = value.toLongLong(&whole);
    }
    if (whole && number >= 0 && number <= MaxKept) {
        *count = int(number);
        return true;
    }
    return false;
}

} // namespace

bool storedRetention(const QSqlDatabase &db, int *count, QString *stored)
{
    const QVariant value = singleValue(db, QStringLiteral("select jumlah from confsimpan"));
    if (wholeCount(value, count))
        return true;
    *stored = value.toString();
    return false;
}

int retention(const QSqlDatabase &db)
{
    int count = KeepAll;
    QString stored;
    storedRetention(db, &count, &stored);
    return count;
}

bool setRetention(const QSqlDatabase &db, int count, QString *error)
{
    Retention policy = localRetention(db);
    policy.jumlah = count;
    return setLocalRetention(db, policy, error);
}

bool retentionFromRecord(const QSqlRecord &row, Retention *policy, QString *stored)
{
    *policy = Retention();
    Retention read;
    for (const auto &[name, number] :
         {std::pair<const char *, int *>{"jumlah", &read.jumlah}, {"harian", &read.harian},
          {"mingguan", &read.mingguan}, {"bulanan", &read.bulanan}}) {
        const QVariant value = column(row, QLatin1String(name));
        if (!wholeCount(value, number)) {
            *stored = value.toString();
            return false;
        }
    }
    *policy = read;
    return true;
}

bool storedLocalRetention(const QSqlDatabase &db, Retention *policy, QString *stored)
{
    *policy = Retention();
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("select * from confsimpan")) || !query.next())
        return true;
    return retentionFromRecord(query.record(), policy, stored);
}

Retention localRetention(const QSqlDatabase &db)
{
    Retention policy;
    QString stored;
    storedLocalRetention(db, &policy, &stored);
    return policy;
}

bool addCalendarColumns(const QSqlDatabase &db, const QString &table, QString *error)
{
    const QSqlRecord columns = db.record(table);
    QSqlQuery query(db);
    for (const char *name : {"harian", "mingguan", "bulanan"}) {
        if (columns.indexOf(QLatin1String(name)) >= 0)
            continue;
        if (!query.exec(QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 INTEGER")
                            .arg(table, QLatin1String(name)))) {
            *error = query.lastError().text();
            return false;
        }
    }
    return true;
}

bool setLocalRetention(const QSqlDatabase &db, const Retention &policy, QString *error)
{
    QSqlDatabase connection = db;
    if (!connection.transaction()) {
        *error = connection.lastError().text();
        return false;
    }
    QSqlQuery query(connection);
    bool ok = query.exec(QLatin1String(CreateConfSimpan)) &&
              addCalendarColumns(connection, QStringLiteral("confsimpan"), error) &&
              query.exec(QStringLiteral("delete from confsimpan")) &&
              query.prepare(QStringLiteral("insert into confsimpan (jumlah, harian, mingguan, "
                                           "bulanan) values (?, ?, ?, ?)"));
    for (int value : {policy.jumlah, policy.harian, policy.mingguan, policy.bulanan})
        query.addBindValue(qMax(0, value));
    ok = ok && query.exec();
    if (ok && connection.commit())
        return true;
    if (error->isEmpty())
        *error = query.lastError().text().isEmpty() ? connection.lastError().text()
                                                    : query.lastError().text();
    connection.rollback();
    return false;
}

QString monitorUrl(const QSqlDatabase &db)
{
    return singleValue(db, QStringLiteral("select url from confpantau")).toString().trimmed();
}

bool setMonitorUrl(const QSqlDatabase &db, const QString &url, QString *error)
{
    return replaceSingleValue(db, QLatin1String(CreateConfPantau), QStringLiteral("confpantau"),
                              QStringLiteral("url"), url.trimmed(), error);
}

DrillSchedule drillSchedule(const QSqlDatabase &db)
{
    DrillSchedule schedule;
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("select jadwal, hari from confuji")) || !query.next())
        return schedule;
    // A value out of range is read as the nearest one the service knows.
    schedule.jadwal =
        qBound(int(DrillSchedule::Never), query.value(0).toInt(), int(DrillSchedule::Weekly));
    schedule.hari = qBound(0, query.value(1).toInt(), 6);
    return schedule;
}

bool setDrillSchedule(const QSqlDatabase &db, const DrillSchedule &schedule, QString *error)
{
    QSqlDatabase connection = db;
    if (!connection.transaction()) {
        *error = connection.lastError().text();
        return false;
    }
    QSqlQuery query(connection);
    bool ok = query.exec(QLatin1String(CreateConfUji)) &&
              query.exec(QStringLiteral("delete from confuji")) &&
              query.prepare(QStringLiteral("insert into confuji (jadwal, hari) values (?, ?)"));
    query.addBindValue(schedule.jadwal);
    query.addBindValue(schedule.hari);
    ok = ok && query.exec();
    if (!ok) {
        *error = query.lastError().text();
        connection.rollback();
        return false;
    }
    if (!connection.commit()) {
        *error = connection.lastError().text();
        connection.rollback();
        return false;
    }
    return true;
}

// Times are stored as ISO 8601 text and switches as 1 or 0: the forms the panel's
// SQL layer writes and both readers convert back.
QStringList schema()
{
    return {
        QStringLiteral("CREATE TABLE confdb (server TEXT, user TEXT, pass TEXT, port INTEGER, "
                       "outputdir TEXT, jam1 TEXT, jam2 TEXT, jam3 TEXT, jam4 TEXT, "
                       "jam1st INTEGER, jam2st INTEGER, jam3st INTEGER, jam4st INTEGER)"),
        QStringLiteral("CREATE TABLE tbldb (dbname TEXT)"),
        QLatin1String(CreateConfSimpan),
        QLatin1String(CreateConfPantau),
        QLatin1String(CreateConfUji),
        salinan::createSettingsTable(),
    };
}

bool createDeliveredFile(const QString &path, QString *error)
{
    const QString connectionName = QStringLiteral("confbu-create");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        db.setDatabaseName(path);
        if (!db.open()) {
            *error = db.lastError().text();
        } else if (db.transaction()) {
            QSqlQuery query(db);
            ok = true;
            for (const QString &statement : schema())
                ok = ok && query.exec(statement);
            const Settings s = delivered();
            ok = ok && query.prepare(QStringLiteral(
                           "insert into confdb (server, user, pass, port, outputdir, jam1, jam2, "
                           "jam3, jam4, jam1st, jam2st, jam3st, jam4st) values (?, ?, ?, ?, ?, "
                           "?, ?, ?, ?, ?, ?, ?, ?)"));
            for (const QVariant &value :
                 {QVariant(s.server), QVariant(s.user), QVariant(s.pass), QVariant(s.port),
                  QVariant(s.outputdir), QVariant(s.jam1.toString(Qt::ISODate)),
                  QVariant(s.jam2.toString(Qt::ISODate)), QVariant(s.jam3.toString(Qt::ISODate)),
                  QVariant(s.jam4.toString(Qt::ISODate)), QVariant(int(s.jam1st)),
                  QVariant(int(s.jam2st)), QVariant(int(s.jam3st)), QVariant(int(s.jam4st))})
                query.addBindValue(value);
            ok = ok && query.exec();
            ok = ok && query.exec(QStringLiteral("insert into confsimpan (jumlah) values (0)"));
            ok = ok &&
                 query.exec(QStringLiteral("insert into confuji (jadwal, hari) values (%1, %2)")
                                .arg(DrillSchedule().jadwal)
                                .arg(DrillSchedule().hari));
            if (!ok)
                *error = query.lastError().text();
            ok = ok && db.commit();
            if (!ok) {
                if (error->isEmpty())
                    *error = db.lastError().text();
                db.rollback();
            }
        } else {
            *error = db.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(connectionName);
    return ok;
}

} // namespace confbu
