// What a failed job's entry quotes of the messages that pg_dump or pg_restore wrote into its
// run log: the line that says why, so that the reason is in busys.log, the history and the
// event, not only in the .log beside the dump.
#pragma once

#include <QByteArray>
#include <QString>

// The last line of messages that reports an error ("pg_dump: error: ...", a server's
// "FATAL: ..."); when there is none and anyLine is set, the last line. Blanks collapsed, at
// most MaxErrorLine characters; empty when nothing fits.
QString lastErrorLine(const QByteArray &messages, bool anyLine);

constexpr int MaxErrorLine = 300;
// How much of the end of a tool's messages is looked at.
constexpr int ErrorTailBytes = 8192;
