// The files the service finds beside itself: confbu.cfg, busys.log and riwayat.db. On an
// installed system they are root's links into the data directory, where a member of the
// admin group may create any name that is missing. So the program directory's own link is
// followed, and what it names is used only when it is a regular file, never through a link.
#pragma once

#include "nativefile.h"

#include <QSqlDatabase>
#include <QString>

namespace programfile {

// The program directory's entry for name, or the target of that entry when it is a link.
QString resolve(const QString &programDir, const QString &name);

// Whether path names a regular file itself (not a link or anything else) with one name, that
// belongs to root or to this process's user; why not in error.
bool isRootsRegularFile(const QString &path, QString *error);

// Whether path names a regular file of root or this process's user that no one else may read
// or write, in a folder that no one else may write (so that it cannot be swapped either); why
// not in error. For secrets, such as root's storage credentials.
bool isPrivateFile(const QString &path, QString *error);

// Opens the regular file at path for appending, creating it readable and writable by the
// admin group when missing; never through a link, never a file with other names. A closed
// file with the reason in error otherwise.
File openForAppend(const QString &path, QString *error);

// An SQLite connection on the file at path, to be opened by the caller: read-write, so that
// the journal of a writer that crashed is rolled back, but never creating the file; a lock
// is waited for busyTimeoutMs.
QSqlDatabase addSqlite(const QString &connection, const QString &path, int busyTimeoutMs);

// A text for an errno value, in the system's words.
QString errorText(int error);

// The data folder that holds such a file, held open so that every name in it is looked at,
// made and removed without a link being followed.
class Folder
{
public:
    explicit Folder(const QString &path);
    ~Folder();

    // Whether name is a regular file of this process's user (or root's) with one name; false
    // when missing.
    bool isOwn(const QString &name, bool *exists) const;
    // True when name is gone, also when it was never there.
    bool remove(const QString &name, QString *error) const;
    // A new file that the folder's group (the admin group) may read and only we may write.
    bool createForGroup(const QString &name, QString *error) const;

private:
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    const NativeHandle folder;
    const QString path;
};

} // namespace programfile
