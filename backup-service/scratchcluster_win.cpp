#include <QtGlobal>

#ifdef Q_OS_WIN

#include "scratchcluster.h"

#include "winsupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRandomGenerator>

// The server's programs travel with the service, beside pg_dump: initdb.exe, pg_ctl.exe,
// postgres.exe in dbutils. Their version is what initdb says of itself.
QString ScratchCluster::newestServer(int *major)
{
    *major = 0;
    const QString bin =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("dbutils"));
    const QString initdb = QDir(bin).filePath(QStringLiteral("initdb.exe"));
    if (!QFileInfo(initdb).isFile())
        return QString();
    QByteArray said;
    ToolStreams streams;
    streams.output = [&said](const char *data, qint64 size) { said.append(data, int(size)); };
    if (!runTool(
             {initdb, {QStringLiteral("--version")}, QProcessEnvironment::systemEnvironment(), {}},
             streams, 10000, nullptr)
             .succeeded())
        return QString();
    // "initdb (PostgreSQL) 15.5"
    *major = QString::fromUtf8(said)
                 .section(QLatin1Char(' '), -1)
                 .section(QLatin1Char('.'), 0, 0)
                 .toInt();
    return *major > 0 ? bin : QString();
}

bool ScratchCluster::prepareWorkFolder(const QString &folder, QString *error)
{
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("folder kerja [%1] tidak dapat dibuat: %2")
                     .arg(folder, win::errorText());
        return false;
    }
    const win::Handle handle(win::openNoFollow(folder, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    if (!handle.valid() || !win::ownedByAdministration(handle.get())) {
        *error = QStringLiteral("folder kerja [%1] bukan folder milik service").arg(folder);
        return false;
    }
    return true;
}

void ScratchCluster::removeLeftovers(const QString &folder)
{
    for (const QFileInfo &entry : QDir(folder).entryInfoList(
             {QStringLiteral("uji-*"), QStringLiteral("templat-*.tmp-*")}, QDir::Dirs))
        if (!entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
}

qint64 ScratchCluster::freeBytes(const QString &folder)
{
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(win::native(folder).c_str(), &available, nullptr, nullptr))
        return -1;
    return qint64(available.QuadPart);
}

bool ScratchCluster::makeFolder(const QString &pattern, QString *made, QString *error) const
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name =
            QDir(workFolder)
                .filePath(QString(pattern).replace(
                    QStringLiteral("XXXXXX"),
                    QStringLiteral("%1").arg(QRandomGenerator::system()->bounded(1000000), 6, 10,
                                             QLatin1Char('0'))));
        if (CreateDirectoryW(win::native(name).c_str(), nullptr)) {
            *made = name;
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    *error = QStringLiteral("folder uji tidak dapat dibuat di [%1]: %2")
                 .arg(workFolder, win::errorText());
    return false;
}

// The service's own account runs the cluster: what it copies is its own.
bool ScratchCluster::copyTemplate(const QString &folder, QString *error) const
{
    const QDir from(templatePath()), to(folder);
    bool ok = true;
    QDirIterator entries(from.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                         QDirIterator::Subdirectories);
    while (ok && entries.hasNext()) {
        const QFileInfo entry(entries.next());
        const QString copy = to.filePath(from.relativeFilePath(entry.filePath()));
        ok = !entry.isSymLink() &&
             (entry.isDir() ? QDir().mkpath(copy) : QFile::copy(entry.filePath(), copy));
    }
    if (!ok)
        *error = QStringLiteral("templat cluster [%1] tidak dapat disalin.").arg(from.path());
    return ok;
}

// pg_ctl starts the server with the rights it may have: postgres.exe refuses an administrator's.
bool ScratchCluster::startServer(const QString &folder, int timeoutMs, const StopSignal *stop,
                                 QString *error, bool *stopped)
{
    const QString options =
        QStringLiteral("-c listen_addresses= -c \"unix_socket_directories=%1\" -c port=%2 -c "
                       "max_connections=10 -c min_wal_size=2MB -c wal_recycle=off -c fsync=off -c "
                       "full_page_writes=off -c "
                       "synchronous_commit=off -c wal_level=minimal -c max_wal_senders=0 -c "
                       "autovacuum=off -c max_locks_per_transaction=1024")
            .arg(QDir::fromNativeSeparators(folder))
            .arg(Port);
    const ToolResult result = runTool(
        command(QStringLiteral("pg_ctl"),
                {QStringLiteral("start"), QStringLiteral("--wait"),
                 QStringLiteral("--timeout=%1").arg(qMax(1, timeoutMs / 1000)),
                 QStringLiteral("--pgdata=") + QDir(folder).filePath(QStringLiteral("data")),
                 QStringLiteral("--log=") + QDir(folder).filePath(QStringLiteral("server.log")),
                 QStringLiteral("--options=") + options}),
        File(), timeoutMs, stop);
    serverFolder = folder;
    if (result.succeeded())
        return true;
    *stopped = result.status == ToolResult::Stopped;
    const QString said = serverMessages(folder);
    *error = QStringLiteral("server PostgreSQL tidak dapat dijalankan") +
             (said.isEmpty() ? QStringLiteral(".") : QStringLiteral(": ") + said);
    return false;
}

void ScratchCluster::stopServer(bool inOrder)
{
    const QString data = QDir(serverFolder).filePath(QStringLiteral("data"));
    if (serverFolder.isEmpty() ||
        !QFileInfo::exists(QDir(data).filePath(QStringLiteral("postmaster.pid"))))
        return;
    runTool(command(QStringLiteral("pg_ctl"),
                    {QStringLiteral("stop"), QStringLiteral("--wait"),
                     inOrder ? QStringLiteral("--mode=fast") : QStringLiteral("--mode=immediate"),
                     QStringLiteral("--pgdata=") + data}),
            File(), 60000, nullptr);
    serverFolder.clear();
}

#endif
