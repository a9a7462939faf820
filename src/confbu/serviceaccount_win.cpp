#include "serviceaccount.h"

// The service runs as the local system account on Windows.
namespace serviceaccount {

QString ofProgramDir(const QString &)
{
    return QString();
}

long userId(const QString &)
{
    return -1;
}

} // namespace serviceaccount
