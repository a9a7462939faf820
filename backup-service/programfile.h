// The files the service finds beside itself: confbu.cfg, busys.log and riwayat.db. On an
// installed system they are root's links into the data directory, where a member of the
// admin group may create any name that is missing. So the program directory's own link is
// followed, and what it names is used only when it is a regular file, never through a link.
#pragma once

#include <QSqlDatabase>
#include <QString>

#include <sys/types.h>

namespace programfile {

// The program directory's entry for name, or the target of that entry when it is a link.
QString resolve(const QString &programDir, const QString &name);

// Whether path names a regular file itself (not a link or anything else) with one name, that
// belongs to root or to this process's user; why not in error.
bool isRootsRegularFile(const QString &path, QString *error);

// Opens the regular file at path for appending, creating it with mode when missing; never
// through a link, never a file with other names. -1 with the reason in error otherwise.
int openForAppend(const QString &path, mode_t mode, QString *error);

// An SQLite connection on the file at path, to be opened by the caller: read-write, so that
// the journal of a writer that crashed is rolled back, but never creating the file; a lock
// is waited for busyTimeoutMs.
QSqlDatabase addSqlite(const QString &connection, const QString &path, int busyTimeoutMs);

// A text for an errno value, in the system's words.
QString errorText(int error);

} // namespace programfile
