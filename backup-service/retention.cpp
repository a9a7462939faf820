#include "retention.h"

#include <QSet>

#include <algorithm>
#include <functional>

namespace retention {

namespace {

// Marks the newest candidate of each of the last count periods; period() gives the first day
// of the period a date lies in, step() the first day of the period before.
void keepNewestPerPeriod(const QList<Candidate> &candidates, int count, const QDate &today,
                         const std::function<QDate(const QDate &)> &period,
                         const std::function<QDate(const QDate &)> &step, QSet<int> *kept)
{
    if (count <= 0)
        return;
    QDate first = period(today);
    for (int i = 1; i < count; ++i)
        first = step(first);
    QSet<QDate> seen;
    for (int i = 0; i < candidates.size(); ++i) {
        const QDate day = candidates[i].taken.date();
        const QDate start = period(day);
        if (!day.isValid() || start < first || day > today || seen.contains(start))
            continue;
        seen.insert(start);
        kept->insert(i);
    }
}

} // namespace

QList<qint64> toDelete(const QList<Candidate> &candidates, const confbu::Retention &policy,
                       const QDateTime &now)
{
    if (policy.keepsAll())
        return {};
    QSet<int> kept;
    for (int i = 0; i < qMin(policy.jumlah, candidates.size()); ++i)
        kept.insert(i);
    const QDate today = now.date();
    keepNewestPerPeriod(
        candidates, policy.harian, today, [](const QDate &d) { return d; },
        [](const QDate &d) { return d.addDays(-1); }, &kept);
    keepNewestPerPeriod(
        candidates, policy.mingguan, today,
        [](const QDate &d) { return d.addDays(1 - d.dayOfWeek()); },
        [](const QDate &d) { return d.addDays(-7); }, &kept);
    keepNewestPerPeriod(
        candidates, policy.bulanan, today,
        [](const QDate &d) { return QDate(d.year(), d.month(), 1); },
        [](const QDate &d) { return d.addMonths(-1); }, &kept);
    QList<qint64> gone;
    for (int i = candidates.size() - 1; i >= 0; --i)
        if (!kept.contains(i))
            gone << candidates[i].key;
    return gone;
}

} // namespace retention
