#include "toolmessages.h"

#include "logtext.h"

#include <QRegularExpression>
#include <QStringList>

QString lastErrorLine(const QByteArray &messages, bool anyLine)
{
    static const QRegularExpression error(QStringLiteral("\\b(error|fatal|panic)\\s*:"),
                                          QRegularExpression::CaseInsensitiveOption);
    const QStringList lines =
        QString::fromUtf8(messages).split(QRegularExpression(QStringLiteral("[\r\n]")));
    QString last;
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        const QString text = line->simplified();
        if (text.isEmpty())
            continue;
        if (error.match(text).hasMatch())
            return logtext::preview(text, MaxErrorLine);
        if (last.isEmpty())
            last = text;
    }
    return anyLine ? logtext::preview(last, MaxErrorLine) : QString();
}
