// The backup service: its identity for the service manager, and the worker it starts.
#pragma once

#include "qtservice.h"

#include <QCoreApplication>

class ThBackup;

class SarvelaBackupDB : public QtService<QCoreApplication>
{
public:
    SarvelaBackupDB(int argc, char **argv);
    ~SarvelaBackupDB() override;

protected:
    void start() override;
    void stop() override;
    void pause() override;
    void resume() override;

private:
    // Owned for the rest of the process; never deleted while the worker may still run.
    ThBackup *thread = nullptr;
};
