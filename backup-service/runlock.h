// Only one worker runs jobs from a program folder at a time, so that what a run removes as
// left over is never a file that a live process is still writing. The lock is a file beside
// the job history, in a folder that only the service's own user writes, so that no one else
// can hold it and keep backups from running; it is released when the lock object goes.
#pragma once

#include "nativefile.h"

#include <QString>

class RunLock
{
public:
    static inline const QString FileName = QStringLiteral("sarvelad.lock");

    // folder: the job history's folder.
    explicit RunLock(const QString &folder);
    ~RunLock();
    bool held() const { return locked; }
    // Why the lock file could not be used (not held by another worker); empty otherwise.
    QString problem() const { return failure; }
    QString path() const { return lockPath; }

private:
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

    NativeHandle file;
    bool locked = false;
    QString lockPath;
    QString failure;
};
