#include "outputfolder.h"

#include "programfile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString refused(const QString &folder, const QString &reason)
{
    return QStringLiteral("Lokasi backup [") + folder + QStringLiteral("] ") + reason +
           QStringLiteral(". Proses dibatalkan.");
}

// Why nobody but root may change what is in the folder, or an empty text when they may not.
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

} // namespace

std::unique_ptr<OutputFolder> OutputFolder::open(const QString &path, QString *refusal)
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
    ::close(fd);
}

QString OutputFolder::filePath(const QString &name) const
{
    return real == QLatin1String("/") ? real + name : real + QLatin1Char('/') + name;
}

int OutputFolder::createFile(const QString &name, QString *error)
{
    const int file = ::openat(fd, QFile::encodeName(name).constData(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (file < 0) {
        *error = programfile::errorText(errno);
        return -1;
    }
    ::fchmod(file, 0640); // whatever the umask says, before anything is written
    return file;
}

int OutputFolder::createTemporary(const QString &base, QString *name, QString *error)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString suffix;
        for (int i = 0; i < 6; ++i)
            suffix += QLatin1Char(letters[QRandomGenerator::system()->bounded(62)]);
        *name = base + TemporaryMark + suffix;
        const int file = createFile(*name, error);
        if (file >= 0 || errno != EEXIST)
            return file;
    }
    return -1;
}

int OutputFolder::openForAppend(const QString &name, QString *error)
{
    int file = createFile(name, error);
    if (file < 0 && errno == EEXIST) {
        file = ::openat(fd, QFile::encodeName(name).constData(),
                        O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (file < 0) {
            *error = errno == ELOOP ? QStringLiteral("berupa link") : programfile::errorText(errno);
            return -1;
        }
        struct stat info = {};
        if (::fstat(file, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
            info.st_nlink != 1) {
            *error = QStringLiteral("bukan berkas yang dibuat service");
            ::close(file);
            return -1;
        }
    }
    if (file >= 0)
        ::fcntl(file, F_SETFL, O_APPEND);
    return file;
}

bool OutputFolder::rename(const QString &from, const QString &to, QString *error)
{
    // Replaces whatever has the final name, a link included, without following it.
    if (::renameat(fd, QFile::encodeName(from).constData(), fd,
                   QFile::encodeName(to).constData()) == 0)
        return true;
    *error = programfile::errorText(errno);
    return false;
}

void OutputFolder::remove(const QString &name)
{
    ::unlinkat(fd, QFile::encodeName(name).constData(), 0);
}

void OutputFolder::sync()
{
    ::fsync(fd);
}

bool OutputFolder::isTemporary(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^bu_.*\\.bu\\") + TemporaryMark +
                                            QStringLiteral("[A-Za-z0-9]{6}$"));
    return pattern.match(name).hasMatch();
}

QStringList OutputFolder::leftovers() const
{
    QStringList names;
    const int listing = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = listing < 0 ? nullptr : ::fdopendir(listing);
    if (!dir) {
        if (listing >= 0)
            ::close(listing);
        return names;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        struct stat info = {};
        if (isTemporary(name) && ::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && info.st_uid == ::geteuid())
            names << name;
    }
    ::closedir(dir);
    names.sort();
    return names;
}
