// The account that the backup service runs as. On an installed system root names it in a
// file of the program directory, which only root may change; there the service runs as a
// system user of its own, never as root. On Windows, and in a program directory for
// development, there is no such file: the service runs as the local system account.
#pragma once

#include <QString>

namespace serviceaccount {

inline const QString AccountFile = QStringLiteral("sarvelad.akun");

// The account named in programDir's AccountFile when root made it in a folder of root's;
// empty otherwise, for the local system account.
QString ofProgramDir(const QString &programDir);

// The user id of an account (".\name" or "name"), or -1 when there is none.
long userId(const QString &account);

} // namespace serviceaccount
