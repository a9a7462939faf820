#include "writelog.h"

#include "confbu.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTextStream>

namespace {

// Entries are lost silently when the file cannot be opened: nothing else may report
// the service's progress, and the caller must carry on.
void appendEntry(const QString &message, const QString &path, bool privateFile)
{
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yyyy hh:mm:ss"));
    if (privateFile && !QFile::exists(path) && !CreatePrivateFile(path))
        return;
    QFile file(path);
    if (!file.open(QIODevice::Append | QIODevice::Text))
        return;
    QTextStream stream(&file);
    // The log viewer decodes UTF-8, whatever the locale of the service.
    stream.setCodec("UTF-8");
    stream << stamp << " - " << message << "\n";
    stream.flush();
    file.close();
}

} // namespace

bool CreatePrivateFile(const QString &path)
{
    QFile file(path);
    // NewOnly: never truncate a file that appeared in the meantime.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return file.exists();
    // Set before anything is written, so no content is ever world-readable.
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    file.close();
    return true;
}

void WriteLog(QString message, QString fileName, QString directory)
{
    if (directory.isEmpty())
        directory = QCoreApplication::applicationDirPath();
    appendEntry(message, confbu::joinPath(directory, fileName), false);
}

void WriteLogFile(QString message, QString path)
{
    // Run logs hold the tool's messages about the databases: not for every local user.
    appendEntry(message, path, true);
}
