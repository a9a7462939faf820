// The backup service: its identity for the service manager, and the worker it starts.
#pragma once

#include "backupengine.h"
#include "qtservice.h"

#include <QCoreApplication>

class ThBackup;
class ThPermintaan;

class SarvelaBackupDB : public QtService<QCoreApplication>
{
public:
    // How long a stop waits for a backup in progress to end in order; the service manager
    // and the panel give a stop about two seconds.
    static constexpr unsigned long StopWaitMs = 1500;
    // The user command ("sarvelad -c 1") that asks for a full backup now.
    static constexpr int BackupNowCommand = 1;

    SarvelaBackupDB(int argc, char **argv);
    ~SarvelaBackupDB() override;

protected:
    void start() override;
    void stop() override;
    void pause() override;
    void resume() override;
    void processCommand(int code) override;
    // The worker that start() runs, with failures reported to reporter; the installed
    // program's runs on the real clock and the usual intervals.
    virtual ThBackup *createWorker(BackupEngine::Reporter reporter);
    // The worker that takes operators' requests, with a handler for every kind of request the
    // service knows.
    virtual ThPermintaan *createRequestWorker(BackupEngine::Reporter reporter);

private:
    // Owned for the rest of the process; never deleted while the workers may still run.
    ThBackup *thread = nullptr;
    ThPermintaan *requests = nullptr;
};
