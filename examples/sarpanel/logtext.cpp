#include "logtext.h"

namespace logtext {

namespace {

bool isContinuation(char byte)
{
    return (uchar(byte) & 0xC0) == 0x80;
}

// Bytes in the sequence that a lead byte begins; 1 for anything else.
int sequenceLength(char byte)
{
    const uchar b = uchar(byte);
    if ((b & 0xE0) == 0xC0)
        return 2;
    if ((b & 0xF0) == 0xE0)
        return 3;
    if ((b & 0xF8) == 0xF0)
        return 4;
    return 1;
}

} // namespace

int partEnd(const QByteArray &bytes, int from, int wanted)
{
    if (wanted >= bytes.size())
        return bytes.size();
    // The lead byte of a letter that `wanted` falls into is at most three bytes
    // back; a longer run of continuation bytes belongs to no letter.
    for (int lead = wanted - 1; lead >= from && lead >= wanted - 3; --lead) {
        if (isContinuation(bytes.at(lead)))
            continue;
        const bool cutsLetter = lead + sequenceLength(bytes.at(lead)) > wanted;
        // A part is never empty; parts are far longer than one letter anyway.
        return cutsLetter && lead > from ? lead : wanted;
    }
    return wanted;
}

int wholeLetters(const QByteArray &bytes)
{
    const int size = bytes.size();
    for (int lead = size - 1; lead >= 0 && lead >= size - 3; --lead) {
        if (isContinuation(bytes.at(lead)))
            continue;
        return lead + sequenceLength(bytes.at(lead)) > size ? lead : size;
    }
    return size;
}

QString breakLongRows(const QString &text, int *rowLength)
{
    QString rows;
    rows.reserve(text.size() + text.size() / MaxRowChars + 1);
    int length = *rowLength;
    for (const QChar c : text) {
        if (c == QLatin1Char('\n')) {
            length = 0;
        } else {
            if (length >= MaxRowChars && !c.isLowSurrogate()) {
                rows += QLatin1Char('\n');
                length = 0;
            }
            ++length;
        }
        rows += c;
    }
    *rowLength = length;
    return rows;
}

} // namespace logtext
