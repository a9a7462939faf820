#include "outputfolder.h"

#include <QRandomGenerator>
#include <QRegularExpression>

QString OutputFolder::filePath(const QString &name) const
{
    return real.endsWith(QLatin1Char('/')) ? real + name : real + QLatin1Char('/') + name;
}

File OutputFolder::createTemporary(const QString &base, QString *name, QString *error,
                                   Readers readers)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString suffix;
        for (int i = 0; i < 6; ++i)
            suffix += QLatin1Char(letters[QRandomGenerator::system()->bounded(62)]);
        *name = base + TemporaryMark + suffix;
        bool existed = false;
        File file = createFile(*name, error, &existed, readers);
        if (file.isOpen() || !existed)
            return file;
    }
    return File();
}

bool OutputFolder::isTemporary(const QString &name)
{
    // A dump, its copy encrypted for sending off this machine, or the server's globals.
    static const QRegularExpression pattern(QStringLiteral("^bu_.*\\.(bu(\\.age)?|sql)\\") +
                                            TemporaryMark + QStringLiteral("[A-Za-z0-9]{6}$"));
    return pattern.match(name).hasMatch();
}

QStringList OutputFolder::leftovers() const
{
    QStringList found;
    for (const QString &name : names())
        if (isTemporary(name) && isOwnFile(name))
            found << name;
    found.sort();
    return found;
}
