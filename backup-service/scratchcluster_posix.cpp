#include "scratchcluster.h"

#include "programfile.h"
#include "stopsignal.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Where the distributions install each server version: Debian's layout and the PostgreSQL
// project's packages for other systems.
struct Layout
{
    const char *parent;
    const char *prefix; // of each version's folder
    const char *bin;    // %1: the version
};
const Layout Layouts[] = {{"/usr/lib/postgresql", "", "/usr/lib/postgresql/%1/bin"},
                          {"/usr", "pgsql-", "/usr/pgsql-%1/bin"}};

// The first folder above path that the account cannot pass through, or an empty text.
QString blockedFolder(const QString &path, const struct passwd &account)
{
    for (QString folder = QFileInfo(path).absolutePath();; folder = QFileInfo(folder).path()) {
        struct stat info = {};
        if (::stat(QFile::encodeName(folder).constData(), &info) != 0)
            return folder;
        const mode_t needed = info.st_uid == account.pw_uid   ? S_IXUSR
                              : info.st_gid == account.pw_gid ? S_IXGRP
                                                              : S_IXOTH;
        if (!(info.st_mode & needed))
            return folder;
        if (folder == QLatin1String("/"))
            return QString();
    }
}

} // namespace

QString ScratchCluster::newestServer(int *major)
{
    QString newest;
    *major = 0;
    for (const Layout &layout : Layouts) {
        const QString prefix = QString::fromLatin1(layout.prefix);
        const QDir parent(QString::fromLatin1(layout.parent));
        for (const QString &name : parent.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            bool number = false;
            const int version =
                name.startsWith(prefix) ? name.mid(prefix.size()).toInt(&number) : 0;
            if (!number || version <= *major)
                continue;
            const QString folder = QString::fromLatin1(layout.bin).arg(version);
            if (QFileInfo(folder + QStringLiteral("/initdb")).isExecutable() &&
                QFileInfo(folder + QStringLiteral("/postgres")).isExecutable()) {
                newest = folder;
                *major = version;
            }
        }
    }
    return newest;
}

bool ScratchCluster::prepareWorkFolder(const QString &folder, QString *error)
{
    const QByteArray name = QFile::encodeName(folder);
    // As root the server runs as postgres, which must pass through to its own folder inside.
    const mode_t mode = ::geteuid() == 0 ? 0711 : 0700;
    if (::mkdir(name.constData(), mode) != 0 && errno != EEXIST) {
        *error = QStringLiteral("folder kerja [%1] tidak dapat dibuat: %2")
                     .arg(folder, programfile::errorText(errno));
        return false;
    }
    struct stat info = {};
    if (::lstat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid()) {
        *error = QStringLiteral("folder kerja [%1] bukan folder milik service").arg(folder);
        return false;
    }
    if ((info.st_mode & 07777) != mode && ::chmod(name.constData(), mode) != 0) {
        *error = QStringLiteral("folder kerja [%1] tidak dapat dikunci: %2")
                     .arg(folder, programfile::errorText(errno));
        return false;
    }
    return true;
}

// Drills' folders, and a template that was being made; never the template itself.
void ScratchCluster::removeLeftovers(const QString &folder)
{
    // Only in the service's own folder: a link in its place could lead anywhere.
    struct stat info = {};
    if (::lstat(QFile::encodeName(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid())
        return;
    for (const QFileInfo &entry :
         QDir(folder).entryInfoList({QStringLiteral("uji-*"), QStringLiteral("templat-*.tmp-*")},
                                    QDir::Dirs | QDir::System))
        if (!entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
}

qint64 ScratchCluster::freeBytes(const QString &folder)
{
    struct statvfs info = {};
    if (::statvfs(QFile::encodeName(folder).constData(), &info) != 0)
        return -1;
    return qint64(info.f_bavail) * qint64(info.f_frsize);
}

bool ScratchCluster::makeFolder(const QString &pattern, QString *made, QString *error) const
{
    QByteArray name = QFile::encodeName(QDir(workFolder).filePath(pattern));
    if (!::mkdtemp(name.data())) {
        *error = QStringLiteral("folder uji tidak dapat dibuat di [%1]: %2")
                     .arg(workFolder, programfile::errorText(errno));
        return false;
    }
    *made = QFile::decodeName(name);
    // The server's socket lives in the drill's folder; a longer name has no room in an address.
    if (QFile::encodeName(*made).size() + 16 >= int(sizeof(sockaddr_un::sun_path))) {
        *error = QStringLiteral("jalur folder kerja [%1] terlalu panjang untuk soket server")
                     .arg(workFolder);
        return false;
    }
    if (!account.isEmpty()) {
        const struct passwd *entry = ::getpwnam(account.toLocal8Bit().constData());
        if (!entry || ::chown(name.constData(), entry->pw_uid, entry->pw_gid) != 0) {
            *error =
                QStringLiteral("folder uji tidak dapat diberikan kepada pengguna %1").arg(account);
            return false;
        }
        const QString blocked = blockedFolder(*made, *entry);
        if (!blocked.isEmpty()) {
            *error = QStringLiteral("pengguna %1 tidak dapat melewati folder [%2] menuju folder "
                                    "kerja")
                         .arg(account, blocked);
            return false;
        }
    }
    return true;
}

bool ScratchCluster::handOver(const QString &folder, QString *error) const
{
    if (account.isEmpty())
        return true;
    const struct passwd *entry = ::getpwnam(account.toLocal8Bit().constData());
    bool ok = entry != nullptr;
    const auto give = [&](const QString &name) {
        ok = ok && ::lchown(QFile::encodeName(name).constData(), entry->pw_uid, entry->pw_gid) == 0;
    };
    give(folder);
    QDirIterator entries(folder,
                         QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                         QDirIterator::Subdirectories);
    while (ok && entries.hasNext())
        give(entries.next());
    if (!ok)
        *error = QStringLiteral("folder uji tidak dapat diberikan kepada pengguna %1").arg(account);
    return ok;
}

bool ScratchCluster::startServer(int timeoutMs, const StopSignal *stop, QString *error,
                                 bool *stopped)
{
    const QDeadlineTimer deadline(timeoutMs);
    const QString data = QDir(path).filePath(QStringLiteral("data"));
    const int log =
        ::open(QFile::encodeName(QDir(path).filePath(QStringLiteral("server.log"))).constData(),
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const File messages(log);
    // A server that nobody keeps: no crash safety, no vacuum, no replication; the restore is
    // one transaction, whose tables need no WAL at this level.
    const QStringList settings{
        QStringLiteral("listen_addresses="),
        QStringLiteral("unix_socket_directories=") + path,
        QStringLiteral("unix_socket_permissions=0700"),
        QStringLiteral("port=%1").arg(Port),
        QStringLiteral("max_connections=10"),
        QStringLiteral("fsync=off"),
        QStringLiteral("full_page_writes=off"),
        QStringLiteral("synchronous_commit=off"),
        QStringLiteral("wal_level=minimal"),
        QStringLiteral("max_wal_senders=0"),
        QStringLiteral("autovacuum=off"),
        QStringLiteral("max_locks_per_transaction=1024"),
        QStringLiteral("logging_collector=off"),
    };
    QStringList arguments{QStringLiteral("-D"), data};
    for (const QString &setting : settings)
        arguments << QStringLiteral("-c") << setting;
    server = std::make_unique<BackgroundTool>();
    QString why;
    if (!server->start(command(QStringLiteral("postgres"), arguments), messages, &why)) {
        *error = QStringLiteral("server PostgreSQL tidak dapat dijalankan: ") + why;
        server.reset();
        return false;
    }
    // Ready once the server says so in its pid file, as pg_ctl waits for it.
    const QString pidFile = QDir(data).filePath(QStringLiteral("postmaster.pid"));
    for (;;) {
        QFile file(pidFile);
        if (file.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> lines = file.readAll().split('\n');
            if (lines.size() > 7 && lines.at(7).trimmed() == "ready")
                return true;
        }
        ToolResult ended;
        if (server->hasEnded(&ended)) {
            const QString said = serverMessages();
            *error = QStringLiteral("server PostgreSQL berhenti saat dijalankan") +
                     (said.isEmpty() ? QStringLiteral(".") : QStringLiteral(": ") + said);
            server.reset();
            return false;
        }
        if (stop && stop->requested()) {
            *stopped = true;
            return false;
        }
        if (deadline.hasExpired()) {
            *error = QStringLiteral("server PostgreSQL tidak siap dalam batas waktu.");
            return false;
        }
        pollfd fds[2] = {{server->waitable(), POLLIN, 0},
                         {stop ? stop->waitable() : -1, POLLIN, 0}};
        ::poll(fds, 2, 20);
    }
}

// At once: nothing in it is kept, so there is nothing to write out.
void ScratchCluster::stopServer()
{
    if (server)
        server->end(SIGQUIT, 5000);
    server.reset();
}
