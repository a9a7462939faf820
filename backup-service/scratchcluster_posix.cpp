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
#include <cstring>
#include <dirent.h>
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

namespace {

// One file's bytes, in the kernel, into a new file of the same mode.
bool copyFile(int fromFolder, int toFolder, const char *name, mode_t mode)
{
    const int from = ::openat(fromFolder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const int to =
        ::openat(toFolder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    bool ok = from >= 0 && to >= 0 && ::fchmod(to, mode) == 0;
    for (ssize_t n = 1; ok && n > 0;) {
        n = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
        ok = n >= 0;
    }
    if (from >= 0)
        ::close(from);
    if (to >= 0)
        ::close(to);
    return ok;
}

// Folder from into the new folder to, never through a link; every entry given to uid and gid
// when they are set (not -1).
bool copyTree(int from, int to, uid_t uid, gid_t gid)
{
    DIR *listing = ::fdopendir(::dup(from));
    if (!listing)
        return false;
    bool ok = true;
    while (ok) {
        const dirent *entry = ::readdir(listing);
        if (!entry)
            break;
        const char *name = entry->d_name;
        if (!std::strcmp(name, ".") || !std::strcmp(name, ".."))
            continue;
        struct stat info = {};
        ok = ::fstatat(from, name, &info, AT_SYMLINK_NOFOLLOW) == 0;
        if (ok && S_ISDIR(info.st_mode)) {
            ok = ::mkdirat(to, name, info.st_mode & 07777) == 0;
            const int inner =
                ok ? ::openat(from, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
            const int made =
                ok ? ::openat(to, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
            ok = inner >= 0 && made >= 0 && ::fchmod(made, info.st_mode & 07777) == 0 &&
                 copyTree(inner, made, uid, gid);
            if (inner >= 0)
                ::close(inner);
            if (made >= 0)
                ::close(made);
        } else if (ok && S_ISREG(info.st_mode)) {
            ok = copyFile(from, to, name, info.st_mode & 07777);
        } else {
            ok = false; // initdb makes nothing else; anything else is no template of ours
        }
        if (ok && uid != uid_t(-1))
            ok = ::fchownat(to, name, uid, gid, AT_SYMLINK_NOFOLLOW) == 0;
    }
    ::closedir(listing);
    return ok;
}

} // namespace

bool ScratchCluster::copyTemplate(const QString &folder, QString *error) const
{
    uid_t uid = uid_t(-1);
    gid_t gid = gid_t(-1);
    if (!account.isEmpty()) {
        const struct passwd *entry = ::getpwnam(account.toLocal8Bit().constData());
        if (!entry) {
            *error = QStringLiteral("pengguna %1 tidak ada").arg(account);
            return false;
        }
        uid = entry->pw_uid;
        gid = entry->pw_gid;
    }
    const int from = ::open(QFile::encodeName(templatePath()).constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int to = ::open(QFile::encodeName(folder).constData(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool ok = from >= 0 && to >= 0 && copyTree(from, to, uid, gid);
    const int reason = errno;
    if (from >= 0)
        ::close(from);
    if (to >= 0)
        ::close(to);
    if (!ok)
        *error = QStringLiteral("templat cluster [%1] tidak dapat disalin: %2")
                     .arg(templatePath(), programfile::errorText(reason));
    return ok;
}

bool ScratchCluster::startServer(const QString &folder, int timeoutMs, const StopSignal *stop,
                                 QString *error, bool *stopped)
{
    const QDeadlineTimer deadline(timeoutMs);
    const QString data = QDir(folder).filePath(QStringLiteral("data"));
    const int log =
        ::open(QFile::encodeName(QDir(folder).filePath(QStringLiteral("server.log"))).constData(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    const File messages(log);
    // A server that nobody keeps: no crash safety, no vacuum, no replication; the restore is
    // one transaction, whose tables need no WAL at this level.
    const QStringList settings{
        QStringLiteral("listen_addresses="),
        QStringLiteral("unix_socket_directories=") + folder,
        QStringLiteral("unix_socket_permissions=0700"),
        QStringLiteral("port=%1").arg(Port),
        QStringLiteral("max_connections=10"),
        QStringLiteral("min_wal_size=2MB"),
        QStringLiteral("wal_recycle=off"),
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
            const QString said = serverMessages(folder);
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

// At once: nothing in it is kept, so there is nothing to write out; in order, a checkpoint.
void ScratchCluster::stopServer(bool inOrder)
{
    if (server)
        server->end(inOrder ? SIGINT : SIGQUIT, inOrder ? 60000 : 5000);
    server.reset();
}
