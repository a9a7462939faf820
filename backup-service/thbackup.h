// The backup worker: reads the settings (again at every check until they could be read), then
// checks the backup times every 15 seconds and runs the backups on this thread.
#pragma once

#include "backupengine.h"

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

class ThBackup : public QThread
{
    Q_OBJECT

public:
    static constexpr int CheckIntervalMs = 15000;

    ThBackup();
    // For tests: another program directory, clock and check interval.
    ThBackup(const QString &programDir, BackupEngine::Clock clock, int checkIntervalMs);

    // Asks the loop to end after the current check; wakes it from its sleep.
    void stop();

protected:
    void run() override;

private:
    std::atomic<bool> running{true};
    BackupEngine *engine = nullptr;
    QString programDir;
    BackupEngine::Clock clock;
    int checkIntervalMs = CheckIntervalMs;
    QMutex sleepMutex;
    QWaitCondition wakeUp;
};
