#include "runlock.h"

#include "confbu.h"
#include "programfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// A second at most.
constexpr int TransientWaits = 20;

// Never falls back to locking something that anyone may open: they could hold that lock.
RunLock::RunLock(const QString &folder)
    : file(-1), lockPath(confbu::joinPath(folder, FileName))
{
    const QByteArray path = QFile::encodeName(lockPath);
    file = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (file < 0) {
        failure = errno == ELOOP ? QStringLiteral("berupa link") : programfile::errorText(errno);
        return;
    }
    struct stat info = {};
    if (::fstat(file, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0) {
        failure = QStringLiteral("bukan berkas milik service yang hanya dapat dibuka service");
        ::close(file);
        file = -1;
        return;
    }
    locked = ::flock(file, LOCK_EX | LOCK_NB) == 0;
    // A child that another thread of ours forks holds a copy of the descriptor until it execs,
    // and with it the lock, for a moment: only a holder that stays is another worker.
    for (int wait = 0; !locked && errno == EWOULDBLOCK && wait < TransientWaits; ++wait) {
        ::usleep(50 * 1000);
        locked = ::flock(file, LOCK_EX | LOCK_NB) == 0;
    }
}

RunLock::~RunLock()
{
    if (file >= 0)
        ::close(file); // releases the lock
}
