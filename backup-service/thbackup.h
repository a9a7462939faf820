// The backup worker: reads the settings (again at every check until they could be read), then
// checks the backup times every 15 seconds and runs the backups on this thread, those asked
// for at once included.
#pragma once

#include "backupengine.h"
#include "backuprequests.h"
#include "stopsignal.h"

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

class ThBackup : public QThread
{
    Q_OBJECT

public:
    static constexpr int CheckIntervalMs = 15000;

    // reporter: where failures go besides busys.log (the service's system log).
    explicit ThBackup(BackupEngine::Reporter reporter = BackupEngine::Reporter());
    // For tests: another program directory, clock and check interval.
    ThBackup(const QString &programDir, BackupEngine::Clock clock, int checkIntervalMs,
             BackupEngine::Reporter reporter = BackupEngine::Reporter());

    // For tests: the time bound of each tool run; set before start().
    void setToolTimeoutMs(int ms) { toolTimeoutMs = ms; }

    // Ends the loop: wakes it from its sleep, and ends a backup run in progress in order (the
    // tool stopped, its job recorded as cancelled, the rest as not run). Returns at once.
    void stop();
    // A full backup now, on this thread, as soon as the settings have been read; while a run
    // is in progress the request is only noted in the log when that run ends. Returns at once.
    void requestBackup();

protected:
    void run() override;

private:
    std::atomic<bool> running{true};
    QString programDir;
    BackupEngine::Clock clock;
    BackupEngine::Reporter reporter;
    int checkIntervalMs = CheckIntervalMs;
    int toolTimeoutMs = BackupEngine::DefaultToolTimeoutMs;
    StopSignal stopSignal;
    BackupRequests requests;
    QMutex sleepMutex;
    QWaitCondition wakeUp;
};
