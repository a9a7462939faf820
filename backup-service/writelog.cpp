#include "writelog.h"

#include "logtext.h"
#include "nativefile.h"
#include "programfile.h"

#include <QCoreApplication>
#include <QDateTime>

QByteArray LogEntry(const LogMessage &message)
{
    QString entry = QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yyyy hh:mm:ss")) +
                    QStringLiteral(" - ") + logtext::escaped(message.text);
    if (!message.detail.isEmpty())
        entry += QLatin1Char('\n') + logtext::escaped(message.detail);
    // The log viewer decodes UTF-8, whatever the locale of the service.
    return (entry + QLatin1Char('\n')).toUtf8();
}

// Entries are lost when the file cannot be opened: the caller must carry on.
bool WriteLog(const LogMessage &message, QString fileName, QString directory, QString *error)
{
    if (directory.isEmpty())
        directory = QCoreApplication::applicationDirPath();
    const QString path = programfile::resolve(directory, fileName);
    QString reason;
    File file = programfile::openForAppend(path, &reason);
    const bool written = file.isOpen() && file.write(LogEntry(message));
    if (file.isOpen() && !written)
        reason = lastErrorText();
    if (!written && error)
        *error = QStringLiteral("[") + path + QStringLiteral("] ") + reason;
    return written;
}
