// The panel's "Tes" of a destination for copies off this machine: the service writes a small
// file there, reads it back and deletes it, as its own user with root's configuration, which is
// what every copy will do. Asked through the request channel, with the destination in isi
// ({"remote": NAME, "folder": FOLDER}), checked as the copies check it.
#pragma once

#include "thpermintaan.h"

namespace ujisalinan {

inline const QString Jenis = QStringLiteral("uji-salinan");

ThPermintaan::Outcome run(const permintaan::Request &request, ThPermintaan::Context &context);

} // namespace ujisalinan
