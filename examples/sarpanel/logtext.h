// How the log viewer takes a large log apart: into parts of bytes that decode
// on their own, and into rows short enough for the view to lay out at once.
#pragma once

#include <QByteArray>
#include <QString>

namespace logtext {

// Rows longer than this are shown on several rows: the view lays out a row in
// one piece, which for a line of megabytes freezes it for seconds.
constexpr int MaxRowChars = 10000;

// The end of a part of UTF-8 bytes that starts at `from` and should end near
// `wanted`: `wanted` itself, or up to three bytes before it so that no letter
// is cut in two. Decoding the parts one by one gives the same text as decoding
// the whole.
int partEnd(const QByteArray &bytes, int from, int wanted);

// The length of bytes without a letter cut short at their end: what decodes whole now,
// while the rest of that letter is still to be written.
int wholeLetters(const QByteArray &bytes);

// Puts a line break into `text` wherever a row reaches MaxRowChars, never
// between the two halves of a surrogate pair. `rowLength` carries the length
// of the last row from one part to the next.
QString breakLongRows(const QString &text, int *rowLength);

} // namespace logtext
