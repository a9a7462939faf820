#include <QtGlobal>

#ifdef Q_OS_WIN

#include "outputfolder.h"

#include "winsupport.h"

#include <sddl.h>

#include <vector>

namespace {

QString refused(const QString &folder, const QString &reason)
{
    return QStringLiteral("Lokasi backup [") + folder + QStringLiteral("] ") + reason +
           QStringLiteral(". Proses dibatalkan.");
}

// The folder's final path in Qt's form, without the \\?\ that the system puts before it.
QString finalPath(HANDLE folder)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = 0;
    while ((length = GetFinalPathNameByHandleW(folder, buffer.data(), DWORD(buffer.size()),
                                               FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) >=
           buffer.size())
        buffer.resize(length + 1);
    QString path = QString::fromWCharArray(buffer.data(), int(length));
    if (path.startsWith(QLatin1String("\\\\?\\UNC\\")))
        path = QLatin1String("\\\\") + path.mid(8);
    else if (path.startsWith(QLatin1String("\\\\?\\")))
        path = path.mid(4);
    return QDir::fromNativeSeparators(path);
}

} // namespace

// Windows decides who may change a folder by its access list, inherited from the folders
// above, not by owners and mode bits, and the service does not judge access lists. So the rule
// reduces to this: the folder exists and is a real folder, not a link or junction that could
// be turned to point elsewhere. The handle held for the run, shared for reading and writing
// but not for deleting, keeps it from being renamed or removed meanwhile.
std::unique_ptr<OutputFolder> OutputFolder::open(const QString &path, const QString &settingsPath,
                                                 QString *refusal)
{
    // The folder's access list, not a group, says who may use it here.
    Q_UNUSED(settingsPath)
    // An empty path would name the working directory.
    if (path.isEmpty()) {
        *refusal = refused(path, QStringLiteral("tidak ditemukan"));
        return nullptr;
    }
    const HANDLE folder =
        win::openNoFollow(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (folder == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        *refusal =
            refused(path, error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                              ? QStringLiteral("tidak ditemukan")
                              : QStringLiteral("tidak dapat dibuka: ") + win::errorText(error));
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    QString weakness;
    if (!GetFileInformationByHandle(folder, &info))
        weakness = QStringLiteral("tidak dapat dibuka: ") + win::errorText();
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        weakness = QStringLiteral("berupa link");
    else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        weakness = QStringLiteral("bukan folder");
    if (!weakness.isEmpty()) {
        CloseHandle(folder);
        *refusal = refused(path, weakness);
        return nullptr;
    }
    return std::unique_ptr<OutputFolder>(new OutputFolder(folder, finalPath(folder)));
}

OutputFolder::~OutputFolder()
{
    CloseHandle(folder);
}

// Shared for reading, writing and deleting: pg_dump writes the file by its name, pg_restore
// reads it, and it is renamed while this handle is open.
File OutputFolder::createFile(const QString &name, QString *error, bool *existed, Readers readers)
{
    // A file for the owner only gets an access list of its own, which the folder's does not
    // widen: the local system and the administrators, nobody else.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES ownerOnly = {sizeof ownerOnly, nullptr, FALSE};
    if (readers == Readers::OwnerOnly) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
                L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
            *error = win::errorText();
            return File();
        }
        ownerOnly.lpSecurityDescriptor = descriptor;
    }
    File file(win::openNoFollow(filePath(name), GENERIC_READ | GENERIC_WRITE, CREATE_NEW, 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                readers == Readers::OwnerOnly ? &ownerOnly : nullptr));
    const DWORD reason = GetLastError();
    if (descriptor)
        LocalFree(descriptor);
    SetLastError(reason);
    if (!file.isOpen()) {
        const DWORD reason = GetLastError();
        *error = win::errorText(reason);
        if (existed)
            *existed = reason == ERROR_FILE_EXISTS || reason == ERROR_ALREADY_EXISTS;
    }
    return file;
}

// Opened for appending only, so that whatever writes through it (the service, a tool's
// standard error) writes at the end.
File OutputFolder::openForAppend(const QString &name, QString *error)
{
    File file(win::openNoFollow(filePath(name),
                                FILE_APPEND_DATA | GENERIC_READ | READ_CONTROL | SYNCHRONIZE,
                                OPEN_ALWAYS, 0));
    if (!file.isOpen()) {
        *error = win::errorText();
        return File();
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        const QString wrong = win::notRegular(file.handle());
        if (!wrong.isEmpty() || !win::ownedByAdministration(file.handle())) {
            *error = wrong == QLatin1String("berupa link")
                         ? wrong
                         : QStringLiteral("bukan berkas yang dibuat service");
            return File();
        }
    }
    return file;
}

File OutputFolder::openForRead(const QString &name, QString *error) const
{
    File file(win::openNoFollow(filePath(name), GENERIC_READ | READ_CONTROL, OPEN_EXISTING, 0));
    if (!file.isOpen()) {
        *error = win::errorText();
        return File();
    }
    const QString wrong = win::notRegular(file.handle());
    if (!wrong.isEmpty() || !win::ownedByAdministration(file.handle())) {
        *error = wrong == QLatin1String("berupa link")
                     ? wrong
                     : QStringLiteral("bukan berkas yang dibuat service");
        return File();
    }
    return file;
}

// Replaces whatever has the final name, a link itself rather than what it names; done when
// the rename is on disk.
bool OutputFolder::rename(const QString &from, const QString &to, QString *error)
{
    if (MoveFileExW(win::native(filePath(from)).c_str(), win::native(filePath(to)).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *error = win::errorText();
    return false;
}

bool OutputFolder::remove(const QString &name)
{
    return DeleteFileW(win::native(filePath(name)).c_str());
}

bool OutputFolder::isOwnFile(const QString &name) const
{
    const win::Handle file(win::openNoFollow(filePath(name), FILE_READ_ATTRIBUTES | READ_CONTROL,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    BY_HANDLE_FILE_INFORMATION info = {};
    return file.valid() && GetFileInformationByHandle(file.get(), &info) &&
           !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
           win::ownedByAdministration(file.get());
}

// MOVEFILE_WRITE_THROUGH has already waited until each rename was on disk.
bool OutputFolder::sync()
{
    return true;
}

qint64 OutputFolder::freeSpace() const
{
    // What the service's account may use, quotas included.
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(win::native(real).c_str(), &available, nullptr, nullptr))
        return -1;
    return qint64(available.QuadPart);
}

QStringList OutputFolder::names() const
{
    QStringList names;
    WIN32_FIND_DATAW entry = {};
    const HANDLE search =
        FindFirstFileExW(win::native(filePath(QStringLiteral("*"))).c_str(), FindExInfoBasic,
                         &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names << QString::fromWCharArray(entry.cFileName);
    while (FindNextFileW(search, &entry));
    FindClose(search);
    return names;
}

#endif
