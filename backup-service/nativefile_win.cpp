#include <QtGlobal>

#ifdef Q_OS_WIN

#include "nativefile.h"
#include "winsupport.h"

NativeHandle invalidHandle()
{
    return INVALID_HANDLE_VALUE;
}

File &File::operator=(File &&other) noexcept
{
    if (this != &other) {
        close();
        h = other.h;
        other.h = INVALID_HANDLE_VALUE;
    }
    return *this;
}

void File::close()
{
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
}

bool File::write(const QByteArray &data)
{
    const char *next = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(h, next, DWORD(qMin<qint64>(left, 1 << 30)), &written, nullptr) ||
            written == 0)
            return false;
        next += written;
        left -= written;
    }
    return true;
}

// Reading at an offset moves the position of a synchronous handle; the files read back here
// are written only through handles opened for appending, which write at the end regardless.
QByteArray File::read(qint64 offset, int max) const
{
    QByteArray text(max, Qt::Uninitialized);
    OVERLAPPED at = {};
    at.Offset = DWORD(offset & 0xffffffff);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD done = 0;
    if (!ReadFile(h, text.data(), DWORD(max), &done, &at))
        done = 0;
    text.truncate(int(done));
    return text;
}

qint64 File::size() const
{
    LARGE_INTEGER size = {};
    return GetFileSizeEx(h, &size) ? qint64(size.QuadPart) : -1;
}

bool File::sync()
{
    return FlushFileBuffers(h) != 0;
}

QString lastErrorText()
{
    return win::errorText(GetLastError());
}

File memoryFile(const QByteArray &data, QString *error)
{
    wchar_t folder[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH + 1] = {};
    File file;
    if (GetTempPathW(MAX_PATH, folder) && GetTempFileNameW(folder, L"svl", 0, name))
        file = File(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!file.isOpen() || !file.write(data)) {
        *error = lastErrorText();
        return File();
    }
    return file;
}

#endif
