// The one way the tests read and write whole files.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

// All of a file's bytes; empty when it cannot be read.
inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// All of a file as UTF-8 text; empty when it cannot be read.
inline QString readText(const QString &path)
{
    return QString::fromUtf8(readBytes(path));
}

// A file's lines, empty ones left out.
inline QStringList readLines(const QString &path)
{
    return readText(path).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

inline bool writeBytes(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// The messages of a busys.log, time stamps removed; continuation lines stay with their entry.
inline QStringList logMessages(const QString &path)
{
    static const QRegularExpression stamp("^\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d - ");
    QStringList messages;
    for (const QString &line : readText(path).split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = stamp.match(line);
        if (match.hasMatch())
            messages << line.mid(match.capturedLength());
        else if (!messages.isEmpty())
            messages.last() += '\n' + line;
    }
    return messages;
}
