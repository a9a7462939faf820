#include "outputfolder.h"

#include "programfile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
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
