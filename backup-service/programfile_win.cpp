#include <QtGlobal>

#ifdef Q_OS_WIN

#include "programfile.h"
#include "winsupport.h"

namespace programfile {

// A link or junction could name a file elsewhere: names are opened as themselves, and used
// only when they are regular files that the system or the administrators own.
bool isRootsRegularFile(const QString &path, QString *error)
{
    const win::Handle file(win::openNoFollow(path, FILE_READ_ATTRIBUTES | READ_CONTROL,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    if (!file.valid()) {
        *error = win::errorText();
        return false;
    }
    *error = win::notRegular(file.get());
    if (error->isEmpty() && !win::ownedByAdministration(file.get()))
        *error = QStringLiteral("bukan milik administrator");
    return error->isEmpty();
}

// Who else may read it follows from the folder's access list, which only administrators set
// in the program directory.
bool isPrivateFile(const QString &path, QString *error)
{
    return isRootsRegularFile(path, error);
}

// Who may read and empty the log follows from the folder's access list.
File openForAppend(const QString &path, QString *error)
{
    File file(win::openNoFollow(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                OPEN_ALWAYS, 0));
    if (!file.isOpen()) {
        *error = win::errorText();
        return File();
    }
    *error = win::notRegular(file.handle());
    return error->isEmpty() ? std::move(file) : File();
}

namespace {

// Held without delete sharing, the folder cannot be renamed or replaced while it is used; a
// folder that is itself a link or junction is not used at all.
HANDLE openFolder(const QString &path)
{
    HANDLE folder =
        win::openNoFollow(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS, FILE_SHARE_READ | FILE_SHARE_WRITE);
    BY_HANDLE_FILE_INFORMATION info = {};
    if (folder != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandle(folder, &info) ||
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(folder);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    return folder;
}

} // namespace

Folder::Folder(const QString &path) : folder(openFolder(path)), path(path) {}

Folder::~Folder()
{
    if (folder != INVALID_HANDLE_VALUE)
        CloseHandle(folder);
}

bool Folder::isOwn(const QString &name, bool *exists) const
{
    const win::Handle file(win::openNoFollow(QDir(path).filePath(name),
                                             FILE_READ_ATTRIBUTES | READ_CONTROL, OPEN_EXISTING,
                                             FILE_FLAG_BACKUP_SEMANTICS));
    const DWORD error = GetLastError();
    *exists = file.valid() || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND);
    return file.valid() && win::notRegular(file.get()).isEmpty() &&
           win::ownedByAdministration(file.get());
}

bool Folder::remove(const QString &name, QString *error) const
{
    if (folder == INVALID_HANDLE_VALUE) {
        *error = win::errorText(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    // A link is removed itself, never what it names.
    if (DeleteFileW(win::native(QDir(path).filePath(name)).c_str()))
        return true;
    const DWORD reason = GetLastError();
    if (reason == ERROR_FILE_NOT_FOUND)
        return true;
    *error = win::errorText(reason);
    return false;
}

// The file's access list comes from the folder's, which lets the admin group read it.
bool Folder::createForGroup(const QString &name, QString *error) const
{
    if (folder == INVALID_HANDLE_VALUE) {
        *error = win::errorText(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    const win::Handle file(
        win::openNoFollow(QDir(path).filePath(name), GENERIC_READ | GENERIC_WRITE, CREATE_NEW, 0));
    if (!file.valid())
        *error = win::errorText();
    return file.valid();
}

} // namespace programfile

#endif
