#include "scratchcluster.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

ScratchCluster::ScratchCluster(const QString &workFolder, const QString &bin,
                               const QProcessEnvironment &environment)
    : workFolder(workFolder), bin(bin), environment(environment),
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

bool ScratchCluster::start(int timeoutMs, const StopSignal *stop, QString *error, bool *stopped)
{
    const QDeadlineTimer deadline(timeoutMs);
    *stopped = false;
    return makeFolder(error) && initdb(int(deadline.remainingTime()), stop, error, stopped) &&
           startServer(int(deadline.remainingTime()), stop, error, stopped);
}

bool ScratchCluster::initdb(int timeoutMs, const StopSignal *stop, QString *error, bool *stopped)
{
    QByteArray said;
    ToolStreams streams;
    streams.errors = [&said](const char *data, qint64 size) {
        said = (said + QByteArray(data, int(size))).right(4096);
    };
    // Nothing of a scratch cluster needs to survive a crash of the machine, and only the
    // service's own account reaches its socket.
    const ToolResult result = runTool(
        command(QStringLiteral("initdb"),
                {QStringLiteral("--pgdata=") + QDir(path).filePath(QStringLiteral("data")),
                 QStringLiteral("--username=") + SuperUser, QStringLiteral("--auth-local=trust"),
                 QStringLiteral("--auth-host=reject"), QStringLiteral("--encoding=UTF8"),
                 QStringLiteral("--locale=C"), QStringLiteral("--no-sync")}),
        streams, timeoutMs, stop);
    if (result.succeeded())
        return true;
    *stopped = result.status == ToolResult::Stopped;
    const QString text = QString::fromUtf8(said).simplified();
    *error = text.isEmpty() ? toolFailure(QStringLiteral("initdb"), result, timeoutMs) : text;
    return false;
}

PgTarget ScratchCluster::target(const QString &database) const
{
    PgTarget target;
    target.host = path;
    target.port = Port;
    target.user = SuperUser;
    target.dbname = database;
    return target;
}

void ScratchCluster::remove()
{
    stopServer();
    if (!path.isEmpty())
        QDir(path).removeRecursively();
    path.clear();
}

QString ScratchCluster::serverMessages() const
{
    QFile log(QDir(path).filePath(QStringLiteral("server.log")));
    if (!log.open(QIODevice::ReadOnly))
        return QString();
    log.seek(qMax<qint64>(0, log.size() - 2048));
    const QStringList lines =
        QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines.mid(qMax(0, lines.size() - 3)).join(QLatin1Char(' ')).simplified();
}
