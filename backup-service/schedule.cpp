#include "schedule.h"

#include <algorithm>

namespace {

// Enough to cover the clock put back by several days.
constexpr int TakenKept = 8;

void remember(QList<QDateTime> &taken, const QDateTime &at)
{
    taken.append(at);
    while (taken.size() > TakenKept)
        taken.removeFirst();
}

} // namespace

void Schedule::setTime(int slot, bool enabled, const QDateTime &time)
{
    const QTime hhmm = time.isValid() ? QTime(time.time().hour(), time.time().minute()) : QTime();
    times[slot - 1].time = enabled ? hhmm : QTime();
}

void Schedule::restore(int slot, const QDateTime &at)
{
    if (at.isValid() && !times[slot - 1].taken.contains(at))
        remember(times[slot - 1].taken, at);
}

QDateTime Schedule::wallClock(const QDateTime &local)
{
    return QDateTime(local.date(), local.time(), Qt::UTC);
}

QList<Schedule::Due> Schedule::due(const QDateTime &now)
{
    const QDateTime wall = wallClock(now);
    const QDateTime minute(wall.date(), QTime(wall.time().hour(), wall.time().minute()), Qt::UTC);
    const QDateTime since = previous.isValid() ? previous : minute.addMSecs(-1);
    previous = wall;
    QList<Due> due;
    for (int i = 0; i < Slots; ++i) {
        Slot &slot = times[i];
        if (!slot.time.isValid())
            continue;
        // Of the days that came since, only the newest: one run stands for all of them.
        QDateTime at(wall.date(), slot.time, Qt::UTC);
        if (at > wall)
            at = at.addDays(-1);
        if (at <= since || slot.taken.contains(at))
            continue;
        remember(slot.taken, at);
        due.append(Due{i + 1, at, at < minute});
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const Due &a, const Due &b) { return a.at < b.at; });
    return due;
}
