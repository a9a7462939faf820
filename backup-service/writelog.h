// The activity log busys.log and the per-run logs beside each dump: one
// time-stamped entry per message, the file opened and closed for every entry.
#pragma once

#include <QByteArray>
#include <QString>

// A message as an entry holds it: one line, and for a step that failed on the settings the
// driver's error text on a second line ("Pesan Error : ..."), the one line break an entry
// may hold.
struct LogMessage
{
    LogMessage(const QString &text, const QString &detail = QString()) : text(text), detail(detail)
    {
    }

    // Both lines as one, for the system's log.
    QString oneLine() const { return detail.isEmpty() ? text : text + QLatin1Char(' ') + detail; }
    bool operator==(const LogMessage &other) const
    {
        return text == other.text && detail == other.detail;
    }
    bool operator!=(const LogMessage &other) const { return !(*this == other); }

    QString text;
    QString detail;
};

// One entry: "dd/MM/yyyy hh:mm:ss - message\n" in UTF-8, stamped with the local time now,
// the detail on a line of its own. Every line is escaped (logtext::escaped): no value in it
// can end it or forge another entry.
QByteArray LogEntry(const LogMessage &message);

// Appends an entry to fileName in the program directory (through the directory's own link,
// never through one at its target); creates it, readable and writable by the admin group,
// when missing. directory overrides the program directory (tests); empty means the program's
// own. False, with the reason in error, when the entry could not be written.
bool WriteLog(const LogMessage &message, QString fileName, QString directory = QString(),
              QString *error = nullptr);
