// How much a setting may hold where its value becomes a file name, a path or an address: a
// longer value is refused with a short entry, never copied whole into the log at every run.
#pragma once

#include "confbu.h"

#include <QFile>
#include <QString>

#include <climits>

namespace settingcaps {

// PostgreSQL's longest name (NAMEDATALEN - 1), in UTF-8 bytes.
constexpr int DatabaseNameBytes = confbu::DatabaseNameBytes;

#ifdef Q_OS_WIN
// MAX_PATH, in characters, its terminating null included.
constexpr int FolderLimit = 260;
inline bool folderTooLong(const QString &path)
{
    return path.size() >= FolderLimit;
}
#else
// PATH_MAX, in bytes, its terminating null included.
constexpr int FolderLimit = PATH_MAX;
inline bool folderTooLong(const QString &path)
{
    return QFile::encodeName(path).size() >= FolderLimit;
}
#endif

inline bool databaseNameTooLong(const QString &dbname)
{
    return dbname.toUtf8().size() > DatabaseNameBytes;
}

} // namespace settingcaps
