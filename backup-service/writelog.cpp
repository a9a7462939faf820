#include "writelog.h"

#include "nativefile.h"
#include "programfile.h"

#include <QCoreApplication>
#include <QDateTime>

QByteArray LogEntry(const QString &message)
{
    // The log viewer decodes UTF-8, whatever the locale of the service.
    return (QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yyyy hh:mm:ss")) +
            QStringLiteral(" - ") + message + QLatin1Char('\n'))
        .toUtf8();
}

// Entries are lost when the file cannot be opened: the caller must carry on.
bool WriteLog(QString message, QString fileName, QString directory, QString *error)
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
