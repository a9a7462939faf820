#include "outputfolder.h"

#include "programfile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

QString refused(const QString &folder, const QString &reason)
{
    return QStringLiteral("Lokasi backup [") + folder + QStringLiteral("] ") + reason +
           QStringLiteral(". Proses dibatalkan.");
}

// Why someone other than root or the service's own user may change what is in the folder, or
// an empty text when no one may.
// last: the output folder itself, which may not rely on a sticky bit.
QString weakness(const struct stat &info, bool last)
{
    const uid_t self = ::geteuid();
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("bukan folder");
    if (info.st_uid != 0 && info.st_uid != self)
        return QStringLiteral("dimiliki pengguna lain (uid %1)").arg(info.st_uid);
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) && (last || !(info.st_mode & S_ISVTX)))
        return QStringLiteral("dapat ditulis oleh pengguna lain");
    return QString();
}

// The group that may change the settings, or -1 when only their owner may.
long settingsEditors(const QString &settingsPath)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(settingsPath).constData(), &info) != 0 ||
        !(info.st_mode & S_IWGRP))
        return -1;
    return long(info.st_gid);
}

QString groupName(gid_t gid)
{
    const struct group *entry = ::getgrgid(gid);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(gid);
}

} // namespace

std::unique_ptr<OutputFolder> OutputFolder::open(const QString &path, const QString &settingsPath,
                                                 QString *refusal)
{
    // An empty path would name the working directory, or the root of the file system.
    char resolved[PATH_MAX];
    if (path.isEmpty() || !::realpath(QFile::encodeName(path).constData(), resolved)) {
        *refusal = refused(path, QStringLiteral("tidak ditemukan"));
        return nullptr;
    }
    const QString real = QFile::decodeName(resolved);
    const QStringList parts = real.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    // Each folder is opened from the one above without following a link, so that what was
    // checked is what gets written, whatever is renamed meanwhile.
    QString walked = QStringLiteral("/");
    int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0;; ++i) {
        struct stat info = {};
        const QString weak = ::fstat(fd, &info) != 0 ? programfile::errorText(errno)
                                                     : weakness(info, i == parts.size());
        if (!weak.isEmpty()) {
            ::close(fd);
            *refusal = refused(walked, weak);
            return nullptr;
        }
        if (i == parts.size())
            break;
        walked = QDir(walked).filePath(parts.at(i));
        const int next = ::openat(fd, QFile::encodeName(parts.at(i)).constData(),
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int openError = errno;
        ::close(fd);
        if ((fd = next) < 0) {
            *refusal = refused(walked, QStringLiteral("tidak dapat dibuka: ") +
                                           programfile::errorText(openError));
            return nullptr;
        }
    }
    const long editors = settingsEditors(settingsPath);
    struct stat info = {};
    if (editors >= 0 && ::fstat(fd, &info) == 0 && long(info.st_gid) != editors) {
        ::close(fd);
        *refusal = refused(walked, QStringLiteral("bukan milik grup %1 yang mengatur backup")
                                       .arg(groupName(gid_t(editors))));
        return nullptr;
    }
    // The walk ends on the folder itself, opened again for listing, locking and syncing.
    const int folder = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int openError = errno;
    ::close(fd);
    if (folder < 0) {
        *refusal = refused(walked, QStringLiteral("tidak dapat dibuka: ") +
                                       programfile::errorText(openError));
        return nullptr;
    }
    return std::unique_ptr<OutputFolder>(new OutputFolder(folder, real));
}

OutputFolder::~OutputFolder()
{
    ::close(folder);
}

File OutputFolder::createFile(const QString &name, QString *error, bool *existed, Readers readers)
{
    const mode_t mode = readers == Readers::Group ? 0640 : 0600;
    const int file = ::openat(folder, QFile::encodeName(name).constData(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (file < 0) {
        const int reason = errno;
        *error = programfile::errorText(reason);
        if (existed)
            *existed = reason == EEXIST;
        return File();
    }
    ::fchmod(file, mode); // whatever the umask says, before anything is written
    return File(file);
}

File OutputFolder::openForAppend(const QString &name, QString *error)
{
    bool existed = false;
    File file = createFile(name, error, &existed);
    if (!file.isOpen() && existed) {
        file = File(::openat(folder, QFile::encodeName(name).constData(),
                             O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!file.isOpen()) {
            *error = errno == ELOOP ? QStringLiteral("berupa link") : programfile::errorText(errno);
            return File();
        }
        struct stat info = {};
        if (::fstat(file.handle(), &info) != 0 || !S_ISREG(info.st_mode) ||
            info.st_uid != ::geteuid() || info.st_nlink != 1) {
            *error = QStringLiteral("bukan berkas yang dibuat service");
            return File();
        }
    }
    if (file.isOpen())
        ::fcntl(file.handle(), F_SETFL, O_APPEND);
    return file;
}

File OutputFolder::openForRead(const QString &name, QString *error) const
{
    File file(::openat(folder, QFile::encodeName(name).constData(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info = {};
    if (!file.isOpen() || ::fstat(file.handle(), &info) != 0) {
        *error = errno == ELOOP ? QStringLiteral("berupa link") : programfile::errorText(errno);
        return File();
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        *error = QStringLiteral("bukan berkas yang dibuat service");
        return File();
    }
    ::fcntl(file.handle(), F_SETFL, 0);
    return file;
}

bool OutputFolder::rename(const QString &from, const QString &to, QString *error)
{
    // Replaces whatever has the final name, a link included, without following it.
    if (::renameat(folder, QFile::encodeName(from).constData(), folder,
                   QFile::encodeName(to).constData()) == 0)
        return true;
    *error = programfile::errorText(errno);
    return false;
}

bool OutputFolder::remove(const QString &name)
{
    return ::unlinkat(folder, QFile::encodeName(name).constData(), 0) == 0;
}

bool OutputFolder::isOwnFile(const QString &name) const
{
    struct stat info = {};
    return ::fstatat(folder, QFile::encodeName(name).constData(), &info, AT_SYMLINK_NOFOLLOW) ==
               0 &&
           S_ISREG(info.st_mode) && info.st_uid == ::geteuid();
}

bool OutputFolder::sync()
{
    return ::fsync(folder) == 0;
}

qint64 OutputFolder::freeSpace() const
{
    struct statvfs info = {};
    if (::fstatvfs(folder, &info) != 0)
        return -1;
    return qint64(info.f_bavail) * qint64(info.f_frsize);
}

QStringList OutputFolder::names() const
{
    QStringList names;
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = listing < 0 ? nullptr : ::fdopendir(listing);
    if (!dir) {
        if (listing >= 0)
            ::close(listing);
        return names;
    }
    while (const dirent *entry = ::readdir(dir))
        names << QFile::decodeName(entry->d_name);
    ::closedir(dir);
    return names;
}
