#include "sharedfiles.h"

#include <QFile>

// No FIFOs, no root: the service reads its files as the local system, and the checks of
// the files themselves are the service's own (backup-service/programfile_win.cpp).
namespace sharedfiles {

void guardOpens() {}

QString fileRefusal(const QString &, long)
{
    return QString();
}

QString besideRefusal(const QString &, QString *which)
{
    which->clear();
    return QString();
}

bool openRegular(QFile *file, const QString &path, QIODevice::OpenMode mode, QString *why)
{
    file->setFileName(path);
    if (file->open(mode))
        return true;
    *why = file->errorString();
    return false;
}

} // namespace sharedfiles
