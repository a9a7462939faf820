// What the service writes as one line of busys.log, of a run log or of an event: values that
// come from settings, names and tools can neither end that line nor start a forged one, nor
// drive the terminal of whoever reads the file.
#pragma once

#include <QString>

namespace logtext {

// text with every control character (line breaks, tabs, ESC and the C1 controls included) and
// the Unicode line and paragraph separators written as an escape: \n, \r, \t, \0, \x1b, \u2028.
QString escaped(const QString &text);

// The start of a value refused for its length, as an entry shows it: at most maxChars
// characters, cut at a whole character, with "…" when cut.
QString preview(const QString &text, int maxChars = 60);

} // namespace logtext
