#include "sqlitefiles.h"

// No FIFOs, no root: the service reads its files as the local system, and the checks of
// the files themselves are the service's own (backup-service/programfile_win.cpp).
namespace sqlitefiles {

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

} // namespace sqlitefiles
