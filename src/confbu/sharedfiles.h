// Files in a folder that others may write, as the programs meet them on an installed system:
// the settings and the log lie in a data folder where members of the admin group may create
// any name that is missing, as a FIFO (open() would wait for a writer for ever), a link or a
// second name of someone else's file (a write would land in it). The service's settings and
// history, and what the panel opens there, are opened only through these.
#pragma once

#include <QIODevice>
#include <QString>

class QFile;
#ifndef Q_OS_WIN
struct stat;
#endif

namespace sharedfiles {

// From here on SQLite in this process opens only regular files with one name, folders and
// devices, never a link at the last name, and never waits in open(); a journal it may write
// but not remove (another user's, in a sticky folder) it empties instead. Once per process
// is enough. Does nothing on Windows, which has no such names.
void guardOpens();

// Why the file at path must not be opened for a process others rely on: it is no regular
// file with one name, or belongs to neither root nor the user owner. Empty when it may.
QString fileRefusal(const QString &path, long owner);

// Why SQLite must not open the database at path: a file it opens beside it (journal,
// write-ahead log, shared memory) is no regular file with one name. That file in *which.
// Empty when none is in the way.
QString besideRefusal(const QString &path, QString *which);

// Opens the file at path as itself, never through a link at the last name and never waiting
// on a FIFO, when it is a regular file with one name; false with the reason otherwise. With
// Truncate in mode it is emptied once it has been judged so.
bool openRegular(QFile *file, const QString &path, QIODevice::OpenMode mode, QString *why);

#ifndef Q_OS_WIN
// Why a file that is not a regular file with one name is refused, in the log's words.
QString notRegular(const struct stat &info);
#endif

} // namespace sharedfiles
