// The two backup times as the worker checks them. At each check every time that came since
// the previous check is due, once, and late when its minute is already over (a run that lasted
// past it, the clock put forward over it); a time already taken for a day is never due again
// for that day (the clock put back). The first check looks at its own minute only: times that
// passed before the service ran are not run late. Times are compared on the wall clock, the
// local time without its zone, so that a summer-time change is a jump like any other.
#pragma once

#include <QDateTime>
#include <QList>
#include <QTime>

class Schedule
{
public:
    static constexpr int Slots = 2;

    struct Due
    {
        int slot;     // 1 or 2
        QDateTime at; // the day and time that came, on the wall clock
        bool late;    // its minute was over at the check
    };

    // The time of slot 1 or 2; only its hour and minute count. A time switched off or invalid
    // is never due.
    void setTime(int slot, bool enabled, const QDateTime &time);
    // A day and time that the slot took before (in an earlier process): not due again.
    void restore(int slot, const QDateTime &at);

    // The times due at now (local time), oldest first, from now on counted as taken.
    QList<Due> due(const QDateTime &now);

    // The wall-clock form of a local time, as Due::at holds it.
    static QDateTime wallClock(const QDateTime &local);

private:
    struct Slot
    {
        QTime time;             // invalid: never due
        QList<QDateTime> taken; // the newest days and times taken, newest last
    };
    Slot times[Slots];
    QDateTime previous; // the wall clock at the previous check; invalid before the first
};
