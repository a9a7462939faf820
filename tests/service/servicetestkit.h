// Helpers for the backup service tests: a program folder with its own confbu.cfg,
// the fake pg_dump in dbutils, and readers for busys.log and the fake's record.
#pragma once

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

namespace servicetest {

// A settings row as the delivered file holds it; tests override single columns.
inline QVariantMap defaultSettings(const QString &outputdir)
{
    return {{"server", "db.example"},
            {"user", "backupper"},
            {"pass", "s3cret pw"},
            {"port", 5433},
            {"outputdir", outputdir},
            {"jam1", "2000-01-01T05:30:00"},
            {"jam2", "2000-01-01T17:45:00"},
            {"jam3", "2000-01-01T00:00:00"},
            {"jam4", "2000-01-01T00:00:00"},
            {"jam1st", 1},
            {"jam2st", 0},
            {"jam3st", 0},
            {"jam4st", 0}};
}

// Writes confbu.cfg with the given confdb rows and tbldb names, through its own
// connection that is gone again before the service code opens the file.
inline bool writeSettings(const QString &path, const QList<QVariantMap> &rows,
                          const QStringList &databases, QString *error)
{
    QFile::remove(path);
    const QString connection = QStringLiteral("servicetest-writer");
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        ok = db.open();
        QSqlQuery query(db);
        const QStringList statements{
            "create table confdb (server text, user text, pass text, port integer, "
            "outputdir text, jam1 text, jam2 text, jam3 text, jam4 text, jam1st integer, "
            "jam2st integer, jam3st integer, jam4st integer)",
            "create table tbldb (dbname text)"};
        for (const QString &statement : statements)
            ok = ok && query.exec(statement);
        for (const QVariantMap &row : rows) {
            QStringList placeholders;
            for (const QString &key : row.keys())
                placeholders << QLatin1Char(':') + key;
            ok = ok && query.prepare(QStringLiteral("insert into confdb (%1) values (%2)")
                                         .arg(row.keys().join(','), placeholders.join(',')));
            for (auto it = row.begin(); it != row.end(); ++it)
                query.bindValue(QLatin1Char(':') + it.key(), it.value());
            ok = ok && query.exec();
        }
        for (const QString &name : databases) {
            ok = ok && query.prepare(QStringLiteral("insert into tbldb (dbname) values (:n)"));
            query.bindValue(QStringLiteral(":n"), name);
            ok = ok && query.exec();
        }
        if (!ok && error)
            *error = query.lastError().text() + QLatin1Char(' ') + db.lastError().text();
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return ok;
}

inline QByteArray fileHash(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

inline QString readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

// The messages of a log, time stamps removed; continuation lines stay with their entry.
inline QStringList logMessages(const QString &path)
{
    static const QRegularExpression stamp(
        QStringLiteral("^\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d - "));
    QStringList messages;
    const QString text = readText(path);
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = stamp.match(line);
        if (match.hasMatch())
            messages << line.mid(match.capturedLength());
        else if (!messages.isEmpty() && !line.isEmpty())
            messages.last() += QLatin1Char('\n') + line;
    }
    return messages;
}

// One recorded call of the fake pg_dump: argv (program first) and the password seen.
struct ToolCall
{
    QStringList argv;
    QString password;
    bool passwordSet = false;
};

inline QList<ToolCall> recordedCalls(const QString &recordPath)
{
    QList<ToolCall> calls;
    const QStringList blocks = readText(recordPath).split(QStringLiteral("--call--\n"));
    for (const QString &block : blocks) {
        if (block.isEmpty())
            continue;
        ToolCall call;
        QStringList lines = block.split(QLatin1Char('\n'));
        if (lines.last().isEmpty())
            lines.removeLast();
        const QString last = lines.takeLast();
        if (last.startsWith(QLatin1String("PGPASSWORD="))) {
            call.passwordSet = true;
            call.password = last.mid(11);
        }
        call.argv = lines;
        calls << call;
    }
    return calls;
}

// A program folder: confbu.cfg, busys.log, dbutils/pg_dump (the fake), and an output
// folder with a blank in its name. Everything goes with the temporary folder.
class ProgramFolder
{
public:
    ProgramFolder() : dir(QDir::tempPath() + QStringLiteral("/sarvela-svc-XXXXXX")) {}

    bool setUp(QString *error)
    {
        if (!dir.isValid()) {
            *error = dir.errorString();
            return false;
        }
        QDir(dir.path()).mkpath(QStringLiteral("dbutils"));
        QDir(dir.path()).mkpath(QStringLiteral("backup hasil"));
        const QString tool = file(QStringLiteral("dbutils/pg_dump"));
        if (!QFile::copy(QStringLiteral(SARVELA_BIN_DIR "/fake_pg_dump"), tool)) {
            *error = QStringLiteral("cannot copy the fake pg_dump");
            return false;
        }
        QFile::setPermissions(tool, QFile::permissions(tool) | QFile::ExeOwner);
        return true;
    }

    QString path() const { return dir.path(); }
    QString file(const QString &name) const { return dir.filePath(name); }
    QString settingsPath() const { return file(QStringLiteral("confbu.cfg")); }
    QString logPath() const { return file(QStringLiteral("busys.log")); }
    QString outputDir() const { return file(QStringLiteral("backup hasil")); }
    QString recordPath() const { return file(QStringLiteral("calls.txt")); }
    QStringList log() const { return logMessages(logPath()); }

private:
    QTemporaryDir dir;
};

} // namespace servicetest

namespace servicetest {

// Sets an environment variable for one test and puts the old value back afterwards.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const QByteArray &value)
        : name(name), had(qEnvironmentVariableIsSet(name)), old(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~ScopedEnv()
    {
        if (had)
            qputenv(name, old);
        else
            qunsetenv(name);
    }

private:
    const char *name;
    bool had;
    QByteArray old;
};

} // namespace servicetest
