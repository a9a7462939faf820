// "Backup now" requests: made on the service's main thread, taken by the worker, which tells
// when its runs start and end. A request while a run is in progress is not kept for another
// run: the run under way is the backup that was asked for, and a second one right after it
// would only copy it (and, when old dumps are deleted, push a distinct older one out).
#pragma once

#include <QMutex>

#include <utility>

class BackupRequests
{
public:
    // Any thread. False when a run is in progress and the request is only noted.
    bool request()
    {
        QMutexLocker locker(&mutex);
        if (running)
            ignored = true;
        else
            pending = true;
        return !running;
    }
    bool isPending() const
    {
        QMutexLocker locker(&mutex);
        return pending;
    }
    // The worker: whether a backup was asked for since it last took one. A request taken
    // counts as a run in progress from here on, before the run has written a word.
    bool take()
    {
        QMutexLocker locker(&mutex);
        running = running || pending;
        return std::exchange(pending, false);
    }
    // The worker, around each run; runEnded() says whether requests came meanwhile.
    void runStarted()
    {
        QMutexLocker locker(&mutex);
        running = true;
    }
    bool runEnded()
    {
        QMutexLocker locker(&mutex);
        running = false;
        return std::exchange(ignored, false);
    }

private:
    mutable QMutex mutex;
    bool pending = false;
    bool running = false;
    bool ignored = false;
};
