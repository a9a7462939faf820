#include "scratchcluster.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

ScratchCluster::ScratchCluster(const QString &workFolder, const QString &bin, int major,
                               const QProcessEnvironment &environment)
    : workFolder(workFolder), bin(bin), major(major), environment(environment),
#ifdef Q_OS_WIN
      account()
#else
      // initdb and the server refuse to run as root.
      account(::geteuid() == 0 ? QStringLiteral("postgres") : QString())
#endif
{
}

ScratchCluster::~ScratchCluster()
{
    remove();
}

ToolCommand ScratchCluster::command(const QString &program, const QStringList &arguments) const
{
#ifdef Q_OS_WIN
    const QString executable = QDir(bin).filePath(program + QStringLiteral(".exe"));
#else
    const QString executable = QDir(bin).filePath(program);
#endif
    return {executable, arguments, PgTarget().environment(environment), account};
}

PgTarget ScratchCluster::targetIn(const QString &folder, const QString &database) const
{
    PgTarget target;
    target.host = folder;
    target.port = Port;
    target.user = SuperUser;
    target.dbname = database;
    return target;
}

PgTarget ScratchCluster::target() const
{
    return targetIn(path, Database);
}

bool ScratchCluster::start(int timeoutMs, const StopSignal *stop, QString *error, bool *stopped)
{
    const QDeadlineTimer deadline(timeoutMs);
    *stopped = false;
    // A template that no server starts from is made anew, once, so that it is never taken for
    // a fault of the dump.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!ensureTemplate(int(deadline.remainingTime()), stop, error, stopped) ||
            !makeFolder(QStringLiteral("uji-XXXXXX"), &path, error) || !copyTemplate(path, error))
            return false;
        if (startServer(path, int(deadline.remainingTime()), stop, error, stopped) || *stopped)
            return !*stopped;
        remove();
        QDir(templatePath()).removeRecursively();
    }
    return false;
}

void ScratchCluster::remove()
{
    stopServer();
    if (!path.isEmpty())
        QDir(path).removeRecursively();
    path.clear();
}

QString ScratchCluster::templatePath() const
{
    return QDir(workFolder).filePath(QStringLiteral("templat-%1").arg(major));
}

// Made beside its name and renamed, so that a template cut short is never copied; the
// templates of other versions go.
bool ScratchCluster::ensureTemplate(int timeoutMs, const StopSignal *stop, QString *error,
                                    bool *stopped)
{
    if (QFileInfo(QDir(templatePath()).filePath(QStringLiteral("data/PG_VERSION"))).isFile())
        return true;
    QString made;
    if (!makeFolder(QStringLiteral("templat-%1.tmp-XXXXXX").arg(major), &made, error))
        return false;
    if (!makeTemplate(made, timeoutMs, stop, error, stopped)) {
        stopServer();
        QDir(made).removeRecursively();
        return false;
    }
    for (const QFileInfo &old :
         QDir(workFolder).entryInfoList({QStringLiteral("templat-*")}, QDir::Dirs))
        if (!old.isSymLink() && old.filePath() != made)
            QDir(old.filePath()).removeRecursively();
    if (!QDir().rename(made, templatePath())) {
        *error = QStringLiteral("templat cluster di [%1] tidak dapat diberi nama akhir.")
                     .arg(workFolder);
        QDir(made).removeRecursively();
        return false;
    }
    return true;
}

// initdb's cluster with the database to restore into and without the ones a drill never uses,
// which every copy would carry; stopped in order, so that a copy starts without recovery.
bool ScratchCluster::makeTemplate(const QString &folder, int timeoutMs, const StopSignal *stop,
                                  QString *error, bool *stopped)
{
    const QDeadlineTimer deadline(timeoutMs);
    if (!initdb(QDir(folder).filePath(QStringLiteral("data")), timeoutMs, stop, error, stopped) ||
        !startServer(folder, int(deadline.remainingTime()), stop, error, stopped))
        return false;
    QByteArray said;
    ToolStreams streams;
    streams.errors = [&said](const char *data, qint64 size) {
        said = (said + QByteArray(data, int(size))).right(4096);
    };
    ToolCommand psql =
        command(QStringLiteral("psql"),
                {QStringLiteral("--no-psqlrc"), QStringLiteral("--quiet"),
                 QStringLiteral("--no-password"), QStringLiteral("--set=ON_ERROR_STOP=1"),
                 QStringLiteral("--dbname=") +
                     targetIn(folder, QStringLiteral("template1")).connectionString(),
                 QStringLiteral("--command=CREATE DATABASE ") + Database,
                 QStringLiteral("--command=\\connect ") + Database,
                 QStringLiteral("--command=UPDATE pg_database SET datistemplate = false"),
                 QStringLiteral("--command=DROP DATABASE template0"),
                 QStringLiteral("--command=DROP DATABASE template1"),
                 QStringLiteral("--command=DROP DATABASE postgres"),
                 QStringLiteral("--command=CHECKPOINT")});
    // psql is a client: it runs as the service, which reaches the private socket.
    psql.account.clear();
    const ToolResult result = runTool(psql, streams, int(deadline.remainingTime()), stop);
    if (!result.succeeded()) {
        *stopped = result.status == ToolResult::Stopped;
        const QString text = QString::fromUtf8(said).simplified();
        *error = text.isEmpty() ? toolFailure(QStringLiteral("psql"), result, timeoutMs) : text;
        return false;
    }
    stopServer(true);
    QFile::remove(QDir(folder).filePath(QStringLiteral("server.log")));
    return true;
}

bool ScratchCluster::initdb(const QString &data, int timeoutMs, const StopSignal *stop,
                            QString *error, bool *stopped)
{
    QByteArray said;
    ToolStreams streams;
    streams.errors = [&said](const char *data, qint64 size) {
        said = (said + QByteArray(data, int(size))).right(4096);
    };
    // Nothing of a scratch cluster needs to survive a crash of the machine, only the service's
    // own account reaches its socket, and a small WAL segment keeps every copy small.
    const ToolResult result = runTool(
        command(QStringLiteral("initdb"),
                {QStringLiteral("--pgdata=") + data, QStringLiteral("--username=") + SuperUser,
                 QStringLiteral("--auth-local=trust"), QStringLiteral("--auth-host=reject"),
                 QStringLiteral("--encoding=UTF8"), QStringLiteral("--locale=C"),
                 QStringLiteral("--wal-segsize=1"), QStringLiteral("--no-sync")}),
        streams, timeoutMs, stop);
    if (result.succeeded())
        return true;
    *stopped = result.status == ToolResult::Stopped;
    const QString text = QString::fromUtf8(said).simplified();
    *error = text.isEmpty() ? toolFailure(QStringLiteral("initdb"), result, timeoutMs) : text;
    return false;
}

QString ScratchCluster::serverMessages(const QString &folder) const
{
    QFile log(QDir(folder).filePath(QStringLiteral("server.log")));
    if (!log.open(QIODevice::ReadOnly))
        return QString();
    log.seek(qMax<qint64>(0, log.size() - 2048));
    const QStringList lines =
        QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines.mid(qMax(0, lines.size() - 3)).join(QLatin1Char(' ')).simplified();
}
