#include "programfile.h"

#include "sharedfiles.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace programfile {

namespace {

bool usable(const struct stat &info)
{
    return S_ISREG(info.st_mode) && info.st_nlink == 1;
}

} // namespace

bool isRootsRegularFile(const QString &path, QString *error)
{
    *error = sharedfiles::fileRefusal(path, long(::geteuid()));
    return error->isEmpty();
}

bool isPrivateFile(const QString &path, QString *error)
{
    if (!isRootsRegularFile(path, error))
        return false;
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || (info.st_mode & 077)) {
        *error = QStringLiteral("dapat dibaca atau ditulis pengguna lain (perlu chmod 600)");
        return false;
    }
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::stat(folder.constData(), &info) != 0) {
        *error = errorText(errno);
        return false;
    }
    if ((info.st_uid != 0 && info.st_uid != ::geteuid()) || (info.st_mode & (S_IWGRP | S_IWOTH))) {
        *error = QStringLiteral("berada di folder yang dapat diubah pengguna lain");
        return false;
    }
    return true;
}

File openForAppend(const QString &path, QString *error)
{
    // The panel's log viewer empties the file as a member of the admin group.
    const mode_t mode = 0660;
    const QByteArray name = QFile::encodeName(path);
    // Non-blocking, so that a FIFO planted under the name cannot hold the service.
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    int fd = ::open(name.constData(), flags);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(name.constData(), flags | O_CREAT | O_EXCL, mode);
        if (fd >= 0)
            ::fchmod(fd, mode); // the umask is not to decide who may read the log
        else if (errno == EEXIST)
            fd = ::open(name.constData(), flags);
    }
    if (fd < 0) {
        *error = errno == ELOOP ? QStringLiteral("berupa link") : errorText(errno);
        return File();
    }
    File file(fd);
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !usable(info)) {
        *error = sharedfiles::notRegular(info);
        return File();
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    return file;
}

Folder::Folder(const QString &path)
    : folder(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      path(path)
{
}

Folder::~Folder()
{
    if (folder >= 0)
        ::close(folder);
}

bool Folder::isOwn(const QString &name, bool *exists) const
{
    struct stat info = {};
    *exists =
        ::fstatat(folder, QFile::encodeName(name).constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    return *exists && S_ISREG(info.st_mode) && (info.st_uid == ::geteuid() || info.st_uid == 0) &&
           info.st_nlink == 1;
}

bool Folder::remove(const QString &name, QString *error) const
{
    if (::unlinkat(folder, QFile::encodeName(name).constData(), 0) == 0 || errno == ENOENT)
        return true;
    *error = errorText(errno);
    return false;
}

bool Folder::createForGroup(const QString &name, QString *error) const
{
    const int file = ::openat(folder, QFile::encodeName(name).constData(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    struct stat info = {};
    const bool ok = file >= 0 && ::fstat(folder, &info) == 0 &&
                    ::fchown(file, uid_t(-1), info.st_gid) == 0 && ::fchmod(file, 0640) == 0;
    if (!ok)
        *error = errorText(errno);
    if (file >= 0)
        ::close(file);
    return ok;
}

} // namespace programfile
