// "Pulihkan Database": a good dump back into PostgreSQL, asked through the request channel by
// the panel or sarvela-pulih (see pemulihan.h). Into a new database, or in place of the source:
// a fresh dump of it first, the restore into a new database, and only after it succeeded the
// source renamed aside and the new one renamed to its name, both in one transaction. A
// restore that fails, is cancelled or dies leaves no half-made database behind.
#pragma once

#include "thpermintaan.h"

#include <QByteArray>
#include <QString>

namespace pulihkan {

// The service's age key pair for identities that requests carry: made at every start, the
// identity held only here in memory, the recipient published in the history.
struct ServiceKey
{
    QByteArray identity;
    QString recipient;
};

// At start: a fresh key pair, and the restores a process that died left running finished or
// undone.
void start(BackupEngine &engine, ServiceKey &key);

ThPermintaan::Outcome run(const permintaan::Request &request, ThPermintaan::Context &context,
                          const ServiceKey &key);

} // namespace pulihkan
