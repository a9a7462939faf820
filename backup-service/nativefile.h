// An open file of the service's own (busys.log, a run log, a dump), closed when it goes out
// of scope. The handle is a file descriptor on POSIX systems and a HANDLE on Windows; only
// the platform files look inside.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#ifdef Q_OS_WIN
using NativeHandle = void *;
#else
using NativeHandle = int;
#endif

NativeHandle invalidHandle();

class File
{
public:
    File() = default;
    explicit File(NativeHandle handle) : h(handle) {}
    File(File &&other) noexcept : h(other.h) { other.h = invalidHandle(); }
    File &operator=(File &&other) noexcept;
    ~File() { close(); }

    bool isOpen() const { return h != invalidHandle(); }
    NativeHandle handle() const { return h; }
    void close();

    // Writes all of data (at the end, when the file was opened for appending); false when
    // the file took less.
    bool write(const QByteArray &data);
    // At most max bytes from offset on; the position used by write() does not move.
    QByteArray read(qint64 offset, int max) const;
    qint64 size() const; // -1 when it cannot be told
    // Whether what was written is on the disk; when not, lastErrorText() says why.
    bool sync();

private:
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    NativeHandle h = invalidHandle();
};

// The system's text for the calling thread's last error (errno, GetLastError()).
QString lastErrorText();

// A file of no name holding data, gone when it is closed: a tool's standard input.
File memoryFile(const QByteArray &data, QString *error);
