// Helpers for the backup service tests: a program folder with its own confbu.cfg,
// the fake pg_dump in dbutils, and readers for the logs and the fake's record.
#pragma once

#include "confbu.h"
#include "riwayat.h"

#include <QDir>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariantMap>

namespace servicetest {

inline QVariantMap defaultSettings(const QString &outputdir)
{
    QVariantMap settings{{"outputdir", outputdir}};
    const QString pairs = "server=db.example;user=backupper;pass=s3cret pw;port=5433;"
                          "jam1=2000-01-01T05:30:00;jam1st=1";
    for (const QString &pair : pairs.split(';'))
        settings[pair.section('=', 0, 0)] = pair.section('=', 1);
    return settings;
}

// Writes confbu.cfg through its own connection, gone again before the service opens the file.
inline bool writeSettings(const QString &path, const QList<QVariantMap> &rows,
                          const QStringList &databases, QString *error)
{
    QFile::remove(path);
    bool ok;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "servicetest-writer");
        db.setDatabaseName(path);
        QSqlQuery query(db);
        ok = db.open();
        for (const QString &statement : confbu::schema())
            ok = ok && query.exec(statement);
        QList<QVariantMap> inserts = rows;
        for (const QString &name : databases)
            inserts << QVariantMap{{"dbname", name}};
        for (const QVariantMap &row : inserts) {
            ok = ok && query.prepare(QString("insert into %1 (%2) values (?%3)")
                                         .arg(row.contains("dbname") ? "tbldb" : "confdb",
                                              row.keys().join(','),
                                              QString(",?").repeated(row.size() - 1)));
            for (const QVariant &value : row)
                query.addBindValue(value);
            ok = ok && query.exec();
        }
        if (!ok)
            *error = query.lastError().text() + ' ' + db.lastError().text();
    }
    QSqlDatabase::removeDatabase("servicetest-writer");
    return ok;
}

// The jobs of the history at path, oldest first, read as the panel reads them.
inline QList<riwayat::Job> history(const QString &path)
{
    QList<riwayat::Job> jobs;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "servicetest-history");
        db.setDatabaseName(path);
        db.setConnectOptions("QSQLITE_OPEN_READONLY");
        QString error;
        if (db.open())
            riwayat::recentJobs(db, 0, &jobs, &error);
    }
    QSqlDatabase::removeDatabase("servicetest-history");
    std::reverse(jobs.begin(), jobs.end());
    return jobs;
}

inline QStringList outcomes(const QList<riwayat::Job> &jobs)
{
    QStringList hasil;
    for (const riwayat::Job &job : jobs)
        hasil << job.hasil;
    return hasil;
}

// The outcome of each job that a log records, in order: each has its row in the history.
inline QStringList outcomes(const QStringList &log)
{
    static const QRegularExpression entry("^Backup Database (OK|GAGAL|DITOLAK|DIBATALKAN) : ");
    QStringList hasil;
    for (const QString &message : log)
        if (const QRegularExpressionMatch match = entry.match(message); match.hasMatch())
            hasil << match.captured(1);
    return hasil;
}

inline QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The messages of a log, time stamps removed; continuation lines stay with their entry.
inline QStringList logMessages(const QString &path)
{
    static const QRegularExpression stamp("^\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d - ");
    QStringList messages;
    for (const QString &line : readText(path).split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = stamp.match(line);
        if (match.hasMatch())
            messages << line.mid(match.capturedLength());
        else if (!messages.isEmpty())
            messages.last() += '\n' + line;
    }
    return messages;
}

// A program folder: confbu.cfg, busys.log, dbutils/pg_dump and pg_restore (the fake, recording
// pg_dump's calls into calls.txt), and an output folder with a blank in its name.
class ProgramFolder
{
public:
    bool setUp()
    {
        qputenv("FAKE_PG_DUMP_RECORD", QFile::encodeName(recordPath()));
        error = "cannot set up the program folder " + path();
        return dir.isValid() && QDir(path()).mkpath("dbutils") &&
               QDir(path()).mkpath("backup hasil") &&
               QFile::copy(SARVELA_BIN_DIR "/fake_pg_dump", file("dbutils/pg_dump")) &&
               QFile::copy(SARVELA_BIN_DIR "/fake_pg_dump", file("dbutils/pg_restore"));
    }

    // Sets up the folder with the usual settings, changed by overrides, listing databases.
    // A row of the usual settings comes first: only the last row may count.
    bool prepare(const QVariantMap &overrides, const QStringList &databases = {})
    {
        QVariantMap settings = defaultSettings(outputDir());
        settings.insert(overrides);
        return setUp() &&
               writeSettings(file("confbu.cfg"), {defaultSettings(outputDir()), settings},
                             databases, &error);
    }

    QString path() const { return dir.path(); }
    QString file(const QString &name) const { return dir.filePath(name); }
    QString logPath() const { return file("busys.log"); }
    QString outputDir() const { return file("backup hasil"); }
    QString recordPath() const { return file("calls.txt"); }
    QStringList log() const { return logMessages(logPath()); }
    QList<riwayat::Job> jobs() const { return history(file("riwayat.db")); }

    QString error;

private:
    QTemporaryDir dir{QDir::tempPath() + "/sarvela-svc-XXXXXX"};
};

} // namespace servicetest
