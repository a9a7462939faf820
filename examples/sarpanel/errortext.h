// Error texts as the panel shows them: what SQLite, PostgreSQL, the network or the service
// manager said, in Indonesian words first and the original in brackets, so that the reader
// understands it and whoever searches for it still finds the library's own words.
#pragma once

#include <QString>

namespace errortext {

// "Indonesian words (original)"; the original alone when no words of ours fit it (a text the
// system already gave in the reader's language, or one we do not know).
QString inWords(const QString &original);

} // namespace errortext
