// The activity log busys.log and the per-run logs beside each dump: one
// time-stamped entry per message, the file opened and closed for every entry.
#pragma once

#include <QString>

// Appends "dd/MM/yyyy hh:mm:ss - message\n" to fileName in the program directory.
// directory overrides the program directory (tests); empty means the program's own.
void WriteLog(QString message, QString fileName, QString directory = QString());

// The same entry, appended to the file at path exactly as given.
void WriteLogFile(QString message, QString path);

// Creates a file that no other local user may read: owner read/write, group read.
// Returns false when the file cannot be created; an existing file keeps its mode.
bool CreatePrivateFile(const QString &path);
