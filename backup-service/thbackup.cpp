#include "thbackup.h"

ThBackup::ThBackup(BackupEngine::Reporter reporter) : reporter(std::move(reporter)) {}

ThBackup::ThBackup(const QString &programDir, BackupEngine::Clock clock, int checkIntervalMs,
                   BackupEngine::Reporter reporter)
    : programDir(programDir), clock(std::move(clock)), reporter(std::move(reporter)),
      checkIntervalMs(checkIntervalMs)
{
}

void ThBackup::stop()
{
    QMutexLocker locker(&sleepMutex);
    running = false;
    stopSignal.request();
    wakeUp.wakeAll();
}

void ThBackup::requestBackup()
{
    QMutexLocker locker(&sleepMutex);
    if (requests.request())
        wakeUp.wakeAll();
}

void ThBackup::run()
{
    // Made here: the engine and its settings connection belong to this thread.
    BackupEngine engine(programDir, clock);
    engine.setReporter(reporter);
    engine.setToolTimeoutMs(toolTimeoutMs);
    engine.setStopSignal(&stopSignal);
    engine.setRequests(&requests);
    // Settings that cannot be read now (locked by a save, missing) are tried again at every
    // check: a service that shows as running must never have given up.
    bool configured = false;
    while (running) {
        if (!configured && (configured = engine.ReadConfig())) {
            engine.RecoverAbandonedJobs();
            engine.PublishDestinations();
        }
        if (configured && requests.take())
            engine.BackupNow();
        if (configured && running)
            engine.CheckSchedule();
        QMutexLocker locker(&sleepMutex);
        if (running && !(configured && requests.isPending()))
            wakeUp.wait(&sleepMutex, checkIntervalMs);
    }
}
