#include "nativefile.h"

#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

NativeHandle invalidHandle()
{
    return -1;
}

File &File::operator=(File &&other) noexcept
{
    if (this != &other) {
        close();
        h = other.h;
        other.h = -1;
    }
    return *this;
}

void File::close()
{
    if (h >= 0)
        ::close(h);
    h = -1;
}

bool File::write(const QByteArray &data)
{
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(h, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

QByteArray File::read(qint64 offset, int max) const
{
    QByteArray text(max, Qt::Uninitialized);
    qint64 done = 0;
    ssize_t n;
    while (done < max &&
           (n = ::pread(h, text.data() + done, size_t(max - done), offset + done)) > 0)
        done += n;
    text.truncate(int(done));
    return text;
}

qint64 File::size() const
{
    struct stat info = {};
    return ::fstat(h, &info) == 0 ? qint64(info.st_size) : -1;
}

bool File::sync()
{
    return ::fsync(h) == 0;
}

QString lastErrorText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

File memoryFile(const QByteArray &data, QString *error)
{
    File file(::memfd_create("sarvela", MFD_CLOEXEC));
    if (!file.isOpen() || !file.write(data)) {
        *error = lastErrorText();
        return File();
    }
    return file;
}
