// Helpers for the backup service tests: a program folder with its own confbu.cfg, the fake
// pg_dump and pg_restore in dbutils, and readers for its logs and job history.
#pragma once

#include "confbu.h"
#include "riwayat.h"
#include "salinan.h"
#include "testfiles.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QVariantMap>
#include <QtTest>

#include <array>
#include <sys/stat.h>

namespace servicetest {

// The columns of a data-driven test, named once: add() in its _data(), and in the test
// auto [a, b, ...] = fetch().
template <class... T> struct Columns
{
    std::array<const char *, sizeof...(T)> names;
    void add() const { add(std::index_sequence_for<T...>()); }
    std::tuple<T...> fetch() const { return fetch(std::index_sequence_for<T...>()); }

private:
    template <size_t... I> void add(std::index_sequence<I...>) const { (QTest::addColumn<T>(names[I]), ...); }
    template <size_t... I> std::tuple<T...> fetch(std::index_sequence<I...>) const
    {
        return {*static_cast<T *>(QTest::qData(names[I], qMetaTypeId<T>()))...};
    }
};

// Runs statements with the sqlite3 shell on the file at path; true when it ran them all.
inline bool sqlite(const QString &path, const QString &statements)
{
    return QProcess::execute("sqlite3", {path, statements}) == 0;
}

// Runs f on a connection of its own to the SQLite file at path, gone before this returns.
template <class F> auto withDb(const QString &path, F f, bool readOnly = false)
{
    static int serial = 0;
    const QString name = QStringLiteral("servicetest-%1").arg(++serial);
    const auto gone = qScopeGuard([&] { QSqlDatabase::removeDatabase(name); });
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name);
    db.setDatabaseName(path);
    if (readOnly)
        db.setConnectOptions("QSQLITE_OPEN_READONLY");
    db.open();
    return f(db);
}

// The first column of every row a statement gives on the file at path.
inline QStringList column(const QString &path, const QString &statement)
{
    return withDb(path, [&](QSqlDatabase &db) {
        QStringList values;
        QSqlQuery query(db);
        if (db.isOpen() && query.exec(statement))
            while (query.next())
                values << query.value(0).toString();
        return values;
    });
}

// The usual settings: backup time 1, 05:30, switched on.
inline QVariantMap defaultSettings(const QString &outputdir)
{
    return {{"outputdir", outputdir},
            {"server", "db.example"},
            {"user", "backupper"},
            {"pass", "s3cret pw"},
            {"port", 5433},
            {"jam1", "2000-01-01T05:30:00"},
            {"jam1st", 1}};
}

// No restore drill: only the tests of drills want one, whatever the day.
inline const confbu::DrillSchedule NoDrills{confbu::DrillSchedule::Never, 0};

// Writes confbu.cfg anew through a connection of its own, gone before the service opens it:
// the confdb rows, the list, the number of dumps kept, the monitor's address and the drills.
inline bool writeSettings(const QString &path, const QList<QVariantMap> &rows, const QStringList &databases,
                          QString *error, int keep = 0, const QString &monitor = QString(),
                          const confbu::DrillSchedule &drills = NoDrills)
{
    QFile::remove(path);
    return withDb(path, [&](QSqlDatabase &db) {
        QSqlQuery query(db);
        bool ok = db.isOpen();
        for (const QString &statement : confbu::schema())
            ok = ok && query.exec(statement);
        QList<QVariantMap> inserts = rows;
        for (const QString &name : databases)
            inserts << QVariantMap{{"dbname", name}};
        for (const QVariantMap &row : inserts) {
            ok = ok && query.prepare(QString("insert into %1 (%2) values (?%3)")
                                         .arg(row.contains("dbname") ? "tbldb" : "confdb",
                                              row.keys().join(','), QString(",?").repeated(row.size() - 1)));
            for (const QVariant &value : row)
                query.addBindValue(value);
            ok = ok && query.exec();
        }
        QString reason;
        ok = ok && confbu::setRetention(db, keep, &reason) && confbu::setMonitorUrl(db, monitor, &reason) &&
             confbu::setDrillSchedule(db, drills, &reason);
        if (!ok)
            *error = reason + query.lastError().text() + ' ' + db.lastError().text();
        return ok;
    });
}

// The databases' jobs of the history at path (not those of the server's globals), oldest first,
// read as the panel reads them; with verifiedOf, only those of that database whose verified dump
// is kept.
inline QList<riwayat::Job> history(const QString &path, const QString &verifiedOf = QString())
{
    QList<riwayat::Job> jobs, databases;
    QString error;
    withDb(
        path,
        [&](QSqlDatabase &db) {
            return db.isOpen() &&
                   (verifiedOf.isEmpty() ? riwayat::recentJobs(db, 0, &jobs, &error)
                                         : riwayat::verifiedDumps(db, verifiedOf, &jobs, &error));
        },
        true);
    for (auto job = jobs.crbegin(); job != jobs.crend(); ++job)
        if (!job->globals)
            databases << *job;
    return databases;
}

// The outcome of each job, from the history or from the entries of a log: they must agree.
inline QStringList outcomes(const QList<riwayat::Job> &jobs)
{
    QStringList hasil;
    for (const riwayat::Job &job : jobs)
        hasil << job.hasil;
    return hasil;
}

inline QStringList outcomes(const QStringList &log)
{
    static const QRegularExpression entry("^Backup Database (OK|GAGAL|DITOLAK|DIBATALKAN) : ");
    QStringList hasil;
    for (const QString &message : log)
        if (const QRegularExpressionMatch match = entry.match(message); match.hasMatch())
            hasil << match.captured(1);
    return hasil;
}

// The permission bits of the file at path itself; 0 when there is none.
inline unsigned modeOf(const QString &path)
{
    struct stat info = {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Ids of the processes whose command line (the program and every argument) holds text.
inline QStringList processesWith(const QString &text)
{
    QStringList ids;
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs))
        if (pid.toInt() > 0 &&
            QString::fromUtf8(readBytes("/proc/" + pid + "/cmdline").replace('\0', ' ')).contains(text))
            ids << pid;
    return ids;
}

// A program folder laid out as installed: confbu.cfg, busys.log and riwayat.db are its links
// into a data folder that the admin group may write (setgid, sticky); dbutils/pg_dump and
// pg_restore are the fake, recording pg_dump's calls; the output folder has a blank in its name.
class ProgramFolder
{
public:
    // Sets the folder up with the usual settings, changed by overrides, listing databases.
    // A row of the usual settings comes first: only the last row may count.
    bool prepare(const QVariantMap &overrides, const QStringList &databases = {}, int keep = 0,
                 const QString &monitor = QString(), const confbu::DrillSchedule &drills = NoDrills)
    {
        qputenv("FAKE_PG_DUMP_RECORD", QFile::encodeName(file("calls.txt")));
        error = "cannot set up the program folder " + path();
        bool ok = dir.isValid();
        for (const char *folder : {"dbutils", "backup hasil", "data"})
            ok = ok && QDir(path()).mkpath(folder);
        ok = ok && ::chmod(QFile::encodeName(file("data")).constData(), 03770) == 0;
        for (const QString tool : {"pg_dump", "pg_restore", "pg_dumpall"})
            ok = ok && QFile::copy(SARVELA_BIN_DIR "/fake_pg_dump", file("dbutils/" + tool));
        for (const QString name : {"confbu.cfg", "busys.log", "riwayat.db"})
            ok = ok && QFile::link(file("data/" + name), file(name));
        QVariantMap settings = defaultSettings(outputDir());
        settings.insert(overrides);
        return ok && writeSettings(settingsPath(), {defaultSettings(outputDir()), settings}, databases,
                                   &error, keep, monitor, drills);
    }

    // How many good dumps of each database the service keeps from its next run on.
    bool keep(int count)
    {
        return withDb(settingsPath(), [&](QSqlDatabase &db) {
            return db.isOpen() && confbu::setRetention(db, count, &error);
        });
    }

    // Where copies go from the next run on.
    bool copyTo(const salinan::Settings &choice)
    {
        return withDb(settingsPath(),
                      [&](QSqlDatabase &db) { return db.isOpen() && salinan::write(db, choice, &error); });
    }

    // Root's rclone configuration, as root keeps it: 0600 in a 0700 folder of the data folder.
    bool rcloneConfig(const QString &text, int mode = 0600)
    {
        const QString folder = file("data/rclone");
        return QDir().mkpath(folder) && ::chmod(QFile::encodeName(folder), 0700) == 0 &&
               writeBytes(folder + "/rclone.conf", text.toUtf8()) &&
               ::chmod(QFile::encodeName(folder + "/rclone.conf"), mode) == 0;
    }

    // The copies of the history, oldest first.
    QList<salinan::Copy> copies() const
    {
        QList<salinan::Copy> found;
        withDb(
            file("riwayat.db"),
            [&](QSqlDatabase &db) {
                QSqlQuery query(db);
                if (db.isOpen() && query.exec(salinan::selectCopies() + " order by salinan.id"))
                    while (query.next())
                        found << salinan::fromRecord(query.record());
            },
            true);
        return found;
    }

    QString path() const { return dir.path(); }
    QString file(const QString &name) const { return dir.filePath(name); }
    QString settingsPath() const { return file("data/confbu.cfg"); }
    QString logPath() const { return file("busys.log"); }
    QString outputDir() const { return file("backup hasil"); }
    QStringList log() const { return logMessages(logPath()); }
    QList<riwayat::Job> jobs() const { return history(file("riwayat.db")); }
    // The argument lists pg_dump was called with, each followed by "PGPASSWORD=" and its value.
    QList<QStringList> calls() const
    {
        QList<QStringList> calls;
        for (const QString &call : readText(file("calls.txt")).split("--call--\n", Qt::SkipEmptyParts))
            calls << call.split('\n', Qt::SkipEmptyParts);
        return calls;
    }

    QString error;

private:
    QTemporaryDir dir{QDir::tempPath() + "/sarvela-svc-XXXXXX"};
};

} // namespace servicetest

// A program folder set up by prepare() with these arguments, or the test fails with why not.
#define PREPARED(folder, ...)                                                                                \
    servicetest::ProgramFolder folder;                                                                       \
    QVERIFY2(folder.prepare(__VA_ARGS__), qPrintable(folder.error))
