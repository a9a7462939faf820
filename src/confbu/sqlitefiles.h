// The SQLite files that a process others rely on opens: the service's settings and history,
// and the settings when root runs the panel. On an installed system the settings lie in a
// folder that members of the admin group may write, where a missing name can become a FIFO
// (open() would wait for a writer for ever) or a second name of someone else's file (SQLite
// would write into it).
#pragma once

#include <QString>

namespace sqlitefiles {

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

} // namespace sqlitefiles
