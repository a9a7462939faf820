// The activity log busys.log and the per-run logs beside each dump: one
// time-stamped entry per message, the file opened and closed for every entry.
#pragma once

#include <QByteArray>
#include <QString>

// One entry: "dd/MM/yyyy hh:mm:ss - message\n" in UTF-8, stamped with the local time now.
QByteArray LogEntry(const QString &message);

// Appends an entry to fileName in the program directory (through the directory's own link,
// never through one at its target); creates it, readable and writable by the admin group,
// when missing. directory overrides the program directory (tests); empty means the program's
// own. False, with the reason in error, when the entry could not be written.
bool WriteLog(QString message, QString fileName, QString directory = QString(),
              QString *error = nullptr);
