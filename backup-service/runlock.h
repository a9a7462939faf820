// Only one worker runs jobs from a program folder at a time, so that what a run removes as
// left over is never a file that a live process is still writing. The lock is a file in the
// program folder that only the service's own user can open, so that no one else can hold it
// and keep backups from running; it is released when the lock object goes.
#pragma once

#include "nativefile.h"

#include <QString>

class RunLock
{
public:
    static inline const QString FileName = QStringLiteral("sarvelad.lock");

    explicit RunLock(const QString &programDir);
    ~RunLock();
    bool held() const { return locked; }

private:
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

    NativeHandle file;
    bool locked = false;
};
