#include "logtext.h"

namespace logtext {

QString escaped(const QString &text)
{
    QString line;
    line.reserve(text.size());
    for (const QChar c : text) {
        const ushort code = c.unicode();
        if (code == '\n')
            line += QLatin1String("\\n");
        else if (code == '\r')
            line += QLatin1String("\\r");
        else if (code == '\t')
            line += QLatin1String("\\t");
        else if (code == 0)
            line += QLatin1String("\\0");
        else if (c.category() == QChar::Other_Control)
            line += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else if (code == 0x2028 || code == 0x2029)
            line += QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0'));
        else
            line += c;
    }
    return line;
}

QString preview(const QString &text, int maxChars)
{
    if (text.size() <= maxChars)
        return text;
    int cut = maxChars;
    if (text.at(cut - 1).isHighSurrogate())
        --cut;
    return text.left(cut) + QChar(0x2026);
}

} // namespace logtext
