#include "writelog.h"

#include "programfile.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cerrno>
#include <unistd.h>

namespace {

// Entries are lost when the file cannot be opened: the caller must carry on.
bool appendEntry(const QString &message, const QString &path, mode_t mode, QString *error)
{
    QString reason;
    const int fd = programfile::openForAppend(path, mode, &reason);
    const bool written = fd >= 0 && WriteAll(fd, LogEntry(message));
    if (fd >= 0 && !written)
        reason = programfile::errorText(errno);
    if (fd >= 0)
        ::close(fd);
    if (!written && error)
        *error = QStringLiteral("[") + path + QStringLiteral("] ") + reason;
    return written;
}

} // namespace

QByteArray LogEntry(const QString &message)
{
    // The log viewer decodes UTF-8, whatever the locale of the service.
    return (QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yyyy hh:mm:ss")) +
            QStringLiteral(" - ") + message + QLatin1Char('\n'))
        .toUtf8();
}

bool WriteAll(int fd, const QByteArray &data)
{
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

bool WriteLog(QString message, QString fileName, QString directory, QString *error)
{
    if (directory.isEmpty())
        directory = QCoreApplication::applicationDirPath();
    // The panel's log viewer empties the file as a member of the admin group.
    return appendEntry(message, programfile::resolve(directory, fileName), 0660, error);
}
