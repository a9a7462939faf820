#include "spacefloor.h"

#include <QLocale>

namespace spacefloor {

// A tenth for the database's growth since its newest dump, and never less than a megabyte
// for the archive's own overhead and the run log.
static qint64 margin(qint64 newestDump)
{
    return qMax(newestDump / 10, MinimumMargin);
}

qint64 needed(qint64 newestDump)
{
    return newestDump + margin(newestDump);
}

QString shortage(qint64 available, qint64 newestDump)
{
    if (available < 0 || available >= needed(newestDump))
        return QString();
    const QString what = newestDump > 0
                             ? QStringLiteral(" (dump baik terakhir %1 ditambah cadangan %2)")
                                   .arg(sizeText(newestDump), sizeText(margin(newestDump)))
                             : QString();
    return QStringLiteral("Ruang kosong di lokasi backup %1, kurang dari %2%3. pg_dump tidak "
                          "dijalankan.")
        .arg(sizeText(available), sizeText(needed(newestDump)), what);
}

QString sizeText(qint64 bytes)
{
    static const QLocale indonesian(QLocale::Indonesian, QLocale::Indonesia);
    const char *units[] = {"KB", "MB", "GB", "TB"};
    if (bytes < 1024)
        return QStringLiteral("%1 byte").arg(bytes);
    double size = bytes / 1024.0;
    int unit = 0;
    while (size >= 1024 && unit < 3) {
        size /= 1024;
        ++unit;
    }
    return indonesian.toString(size, 'f', 1) + QLatin1Char(' ') + QLatin1String(units[unit]);
}

} // namespace spacefloor
