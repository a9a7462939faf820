// "Perubahan wajar": an administrator accepts from the status window that a dump which lost much
// of a table (PERLU DIPERIKSA) shows a change that was meant. The checks of that database up to
// the job named wait no more, retention deletes its old dumps again, and the history keeps who
// accepted and when. Asked through the request channel as "terima-perubahan" with isi
// {"dbname": text, "riwayat_id": the flagged job's id}.
#pragma once

#include "thpermintaan.h"

namespace acceptchange {

inline const QString Jenis = QStringLiteral("terima-perubahan");

ThPermintaan::Outcome handle(const permintaan::Request &request, ThPermintaan::Context &context);

} // namespace acceptchange
