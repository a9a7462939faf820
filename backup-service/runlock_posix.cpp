#include "runlock.h"

#include "confbu.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A program folder the service cannot write falls back to locking the folder itself.
int openLockFile(const QString &programDir)
{
    const QByteArray path = QFile::encodeName(confbu::joinPath(programDir, RunLock::FileName));
    const int file = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat info = {};
    if (file >= 0 && ::fstat(file, &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_uid == ::geteuid() && (info.st_mode & 077) == 0)
        return file;
    if (file >= 0)
        ::close(file);
    return ::open(QFile::encodeName(programDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

} // namespace

RunLock::RunLock(const QString &programDir) : file(openLockFile(programDir))
{
    locked = file >= 0 && ::flock(file, LOCK_EX | LOCK_NB) == 0;
}

RunLock::~RunLock()
{
    if (file >= 0)
        ::close(file); // releases the lock
}
