// Which of a database's dumps, or copies of them, a place keeps: one rule for the output folder
// and the off-site destination. Only what the history records as good and verified is ever a
// candidate; the newest is always kept.
#pragma once

#include "confbu.h"

#include <QDateTime>
#include <QList>

namespace retention {

struct Candidate
{
    qint64 key = 0;  // the caller's name for it
    QDateTime taken; // when its dump was made
};

// The keys of the candidates to delete, oldest first. candidates: newest first. Kept are the
// newest policy.jumlah, and the newest of each of the last policy.harian days, policy.mingguan
// weeks (Monday to Sunday) and policy.bulanan months, counted back from now's and including it.
// Nothing is deleted when the policy keeps all.
QList<qint64> toDelete(const QList<Candidate> &candidates, const confbu::Retention &policy,
                       const QDateTime &now);

} // namespace retention
