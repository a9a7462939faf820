#include "sharedfiles.h"

#include <QFile>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace sharedfiles {

namespace {

using OpenCall = int (*)(const char *, int, int);
using UnlinkCall = int (*)(const char *);
OpenCall systemOpen = nullptr;
UnlinkCall systemUnlink = nullptr;

bool usable(const struct stat &info)
{
    if (S_ISREG(info.st_mode))
        return info.st_nlink == 1;
    // SQLite opens the database's folder to sync it, and /dev/urandom.
    return S_ISDIR(info.st_mode) || S_ISCHR(info.st_mode);
}

// Non-blocking, so that a FIFO cannot hold the open; the type is judged on the descriptor,
// so that nothing can be swapped in between.
int guardedOpen(const char *path, int flags, int mode)
{
    const int fd = systemOpen(path, flags | O_NONBLOCK | O_NOFOLLOW, mode);
    if (fd < 0)
        return fd;
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !usable(info)) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    if (!(flags & O_NONBLOCK))
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// In the settings' folder, which is sticky, only a journal's owner may remove it: a journal
// that a member's save left when it crashed would hold every other reader, the service too,
// after it has rolled it back. Whoever may write it ends it instead, as SQLite's truncate
// journal mode does: an empty journal is no journal.
int guardedUnlink(const char *path)
{
    if (systemUnlink(path) == 0)
        return 0;
    const int error = errno;
    const size_t length = std::strlen(path);
    static const char suffix[] = "-journal";
    if ((error == EPERM || error == EACCES) && length > sizeof suffix &&
        std::strcmp(path + length - (sizeof suffix - 1), suffix) == 0) {
        const int fd = systemOpen(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
        struct stat info = {};
        const bool ended = fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                           info.st_nlink == 1 && ::ftruncate(fd, 0) == 0 && ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        if (ended)
            return 0;
    }
    errno = error;
    return -1;
}


} // namespace

void guardOpens()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Every unix VFS of SQLite shares this one table of system calls.
        sqlite3_vfs *vfs = sqlite3_vfs_find("unix");
        if (!vfs || vfs->iVersion < 3)
            return;
        systemOpen = reinterpret_cast<OpenCall>(vfs->xGetSystemCall(vfs, "open"));
        systemUnlink = reinterpret_cast<UnlinkCall>(vfs->xGetSystemCall(vfs, "unlink"));
        if (!systemOpen || !systemUnlink)
            return;
        vfs->xSetSystemCall(vfs, "open", reinterpret_cast<sqlite3_syscall_ptr>(&guardedOpen));
        vfs->xSetSystemCall(vfs, "unlink", reinterpret_cast<sqlite3_syscall_ptr>(&guardedUnlink));
    });
}

QString fileRefusal(const QString &path, long owner)
{
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (!S_ISREG(info.st_mode) || info.st_nlink != 1)
        return notRegular(info);
    // Another owner could swap the file for a link once it has been looked at.
    if (info.st_uid != 0 && long(info.st_uid) != owner)
        return QStringLiteral("bukan milik root atau user service");
    return QString();
}

QString besideRefusal(const QString &path, QString *which)
{
    for (const char *suffix : {"-journal", "-wal", "-shm"}) {
        *which = path + QLatin1String(suffix);
        struct stat info = {};
        if (::lstat(QFile::encodeName(*which).constData(), &info) == 0 &&
            (!S_ISREG(info.st_mode) || info.st_nlink != 1))
            return notRegular(info);
    }
    which->clear();
    return QString();
}

bool openRegular(QFile *file, const QString &path, QIODevice::OpenMode mode, QString *why)
{
    const int access = (mode & QIODevice::ReadWrite) == QIODevice::ReadWrite ? O_RDWR
                       : (mode & QIODevice::WriteOnly)                       ? O_WRONLY
                                                                             : O_RDONLY;
    const int fd = ::open(QFile::encodeName(path).constData(),
                          access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // ENXIO: a FIFO without a reader, opened for writing.
        *why = errno == ELOOP   ? QStringLiteral("berupa link")
               : errno == ENXIO ? QStringLiteral("bukan berkas biasa")
                                : QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        *why = notRegular(info);
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (((mode & QIODevice::Truncate) && ::ftruncate(fd, 0) != 0) ||
        !file->open(fd, mode & ~QIODevice::Truncate, QFileDevice::AutoCloseHandle)) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    return true;
}

QString notRegular(const struct stat &info)
{
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("berupa link");
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("bukan berkas biasa");
    // A second name could be a hard link to a file that was never ours to write.
    return QStringLiteral("memiliki lebih dari satu nama");
}

} // namespace sharedfiles
