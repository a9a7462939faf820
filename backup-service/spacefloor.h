// The room a dump needs before it starts: the size of the newest good dump of its database
// and a margin for its growth. A folder with less fails the job at once, with the reason,
// instead of late, after pg_dump has filled the disk for the jobs after it.
#pragma once

#include <QString>
#include <QtGlobal>

namespace spacefloor {

constexpr qint64 MinimumMargin = 1024 * 1024;

// The bytes a dump needs, given the newest good dump of its database (0 when there is none).
qint64 needed(qint64 newestDump);

// Why available bytes are too few for the dump; empty when they do, or when the free space
// could not be told (available < 0).
QString shortage(qint64 available, qint64 newestDump);

// A size as people read it: "512 byte", "3,4 KB", "17,8 MB", "1,2 GB".
QString sizeText(qint64 bytes);

} // namespace spacefloor
