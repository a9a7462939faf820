#include "thbackup.h"

ThBackup::ThBackup() = default;

ThBackup::ThBackup(const QString &programDir, BackupEngine::Clock clock, int checkIntervalMs)
    : programDir(programDir), clock(std::move(clock)), checkIntervalMs(checkIntervalMs)
{
}

void ThBackup::stop()
{
    QMutexLocker locker(&sleepMutex);
    running = false;
    wakeUp.wakeAll();
}

void ThBackup::run()
{
    // The engine lives as long as the process; the settings connection belongs to this thread.
    engine = new BackupEngine(programDir, clock);
    // Settings that cannot be read now (locked by a save, missing) are tried again at every
    // check: a service that shows as running must never have given up.
    bool configured = false;
    while (running) {
        configured = configured || engine->ReadConfig();
        if (configured)
            engine->CheckSchedule();
        QMutexLocker locker(&sleepMutex);
        if (running)
            wakeUp.wait(&sleepMutex, checkIntervalMs);
    }
}
