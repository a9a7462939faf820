#include "programfile.h"

#include "sharedfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <cstring>

namespace programfile {

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString resolve(const QString &programDir, const QString &name)
{
    const QString entry = QDir(programDir).filePath(name);
    const QFileInfo info(entry);
    if (!info.isSymLink())
        return entry;
    // One level only: the link is the program directory's, whatever it names is not.
    const QString target = info.symLinkTarget();
    return target.isEmpty() ? entry : target;
}

QSqlDatabase addSqlite(const QString &connection, const QString &path, int busyTimeoutMs)
{
    sharedfiles::guardOpens();
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(QStringLiteral("file:") +
                       QString::fromUtf8(QUrl::toPercentEncoding(path, "/")) +
                       QStringLiteral("?mode=rw"));
    db.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    return db;
}

} // namespace programfile
