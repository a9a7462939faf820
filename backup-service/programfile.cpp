#include "programfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace programfile {

namespace {

QString notRegular(const struct stat &info)
{
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("berupa link");
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("bukan berkas biasa");
    // A second name could be a hard link to a file that was never ours to write.
    return QStringLiteral("memiliki lebih dari satu nama");
}

bool usable(const struct stat &info)
{
    return S_ISREG(info.st_mode) && info.st_nlink == 1;
}

} // namespace

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString resolve(const QString &programDir, const QString &name)
{
    const QString entry = QDir(programDir).filePath(name);
    const QFileInfo info(entry);
    if (!info.isSymLink())
        return entry;
    // One level only: the link is the program directory's, whatever it names is not.
    const QString target = info.symLinkTarget();
    return target.isEmpty() ? entry : target;
}

QSqlDatabase addSqlite(const QString &connection, const QString &path, int busyTimeoutMs)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(QStringLiteral("file:") +
                       QString::fromUtf8(QUrl::toPercentEncoding(path, "/")) +
                       QStringLiteral("?mode=rw"));
    db.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    return db;
}

bool isRootsRegularFile(const QString &path, QString *error)
{
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
        *error = errorText(errno);
        return false;
    }
    if (!usable(info)) {
        *error = notRegular(info);
        return false;
    }
    // Another owner could swap the file for a link once it has been looked at.
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
        *error = QStringLiteral("bukan milik root");
        return false;
    }
    return true;
}

int openForAppend(const QString &path, mode_t mode, QString *error)
{
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
        return -1;
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !usable(info)) {
        *error = notRegular(info);
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    return fd;
}

} // namespace programfile
