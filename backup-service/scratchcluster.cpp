#include "scratchcluster.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
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

bool ScratchCluster::start(int timeoutMs, const StopSignal *stop, QString *error, bool *stopped)
{
    const QDeadlineTimer deadline(timeoutMs);
    *stopped = false;
    // A template that no server starts from is made anew, once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!ensureTemplate(int(deadline.remainingTime()), stop, error, stopped) ||
            !makeFolder(QStringLiteral("uji-XXXXXX"), &path, error) || !copyTemplate(error))
            return false;
        if (startServer(int(deadline.remainingTime()), stop, error, stopped) || *stopped)
            return !*stopped;
        remove();
        QDir(templatePath()).removeRecursively();
    }
    return false;
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
    if (!initdb(QDir(made).filePath(QStringLiteral("data")), timeoutMs, stop, error, stopped)) {
        QDir(made).removeRecursively();
        return false;
    }
    for (const QFileInfo &old :
         QDir(workFolder).entryInfoList({QStringLiteral("templat-*")}, QDir::Dirs))
        if (!old.isSymLink() && old.filePath() != made)
            QDir(old.filePath()).removeRecursively();
    if (!QDir().rename(made, templatePath())) {
        *error =
            QStringLiteral("folder templat di [%1] tidak dapat diberi nama akhir.").arg(workFolder);
        QDir(made).removeRecursively();
        return false;
    }
    return true;
}

// Folders and files as they are, their permissions too: the server refuses a data folder that
// others may enter.
bool ScratchCluster::copyTemplate(QString *error) const
{
    const QString from = QDir(templatePath()).filePath(QStringLiteral("data"));
    const QString to = QDir(path).filePath(QStringLiteral("data"));
    const QDir target(to);
    bool ok = QDir().mkdir(to) && QFile::setPermissions(to, QFileInfo(from).permissions());
    QDirIterator entries(from,
                         QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                         QDirIterator::Subdirectories);
    while (ok && entries.hasNext()) {
        const QFileInfo entry(entries.next());
        const QString copy = target.filePath(QDir(from).relativeFilePath(entry.filePath()));
        if (entry.isSymLink())
            ok = false; // initdb makes none; one here is no template of ours
        else if (entry.isDir())
            ok = QDir().mkdir(copy) && QFile::setPermissions(copy, entry.permissions());
        else
            ok = QFile::copy(entry.filePath(), copy) &&
                 QFile::setPermissions(copy, entry.permissions());
    }
    if (!ok) {
        *error = QStringLiteral("templat cluster [%1] tidak dapat disalin.").arg(from);
        return false;
    }
    return handOver(to, error);
}

bool ScratchCluster::initdb(const QString &data, int timeoutMs, const StopSignal *stop,
                            QString *error, bool *stopped)
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
                {QStringLiteral("--pgdata=") + data, QStringLiteral("--username=") + SuperUser,
                 QStringLiteral("--auth-local=trust"), QStringLiteral("--auth-host=reject"),
                 QStringLiteral("--encoding=UTF8"), QStringLiteral("--locale=C"),
                 QStringLiteral("--no-sync")}),
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
