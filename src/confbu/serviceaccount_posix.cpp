#include "serviceaccount.h"

#include <QFile>
#include <QRegularExpression>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace serviceaccount {

QString ofProgramDir(const QString &programDir)
{
    const int folder =
        ::open(QFile::encodeName(programDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return QString();
    struct stat info = {};
    // Only root can have put the file into a folder that only root may change.
    const bool rootsFolder =
        ::fstat(folder, &info) == 0 && info.st_uid == 0 && !(info.st_mode & (S_IWGRP | S_IWOTH));
    const int file = rootsFolder ? ::openat(folder, QFile::encodeName(AccountFile).constData(),
                                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                                 : -1;
    ::close(folder);
    if (file < 0)
        return QString();
    char text[64] = {};
    ssize_t size = -1;
    if (::fstat(file, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == 0 &&
        !(info.st_mode & (S_IWGRP | S_IWOTH)))
        size = ::read(file, text, sizeof text - 1);
    ::close(file);
    const QString account = QString::fromLatin1(text, int(qMax<ssize_t>(size, 0))).trimmed();
    static const QRegularExpression name(QStringLiteral("^[a-z_][a-z0-9_-]{0,31}$"));
    return name.match(account).hasMatch() ? account : QString();
}

long userId(const QString &account)
{
    const QByteArray name = account.section(QLatin1Char('\\'), -1).toLocal8Bit();
    const struct passwd *entry = name.isEmpty() ? nullptr : ::getpwnam(name.constData());
    return entry ? long(entry->pw_uid) : -1;
}

} // namespace serviceaccount
