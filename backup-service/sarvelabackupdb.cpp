#include "sarvelabackupdb.h"

#include "thbackup.h"

SarvelaBackupDB::SarvelaBackupDB(int argc, char **argv)
    : QtService<QCoreApplication>(argc, argv, QStringLiteral("Sarvela DB Backup"))
{
    setServiceDescription(QStringLiteral("Sarvela Database Backup"));
    // A shutdown of the service manager (or of the system) stops a backup in order too.
    setServiceFlags(QtServiceBase::Suspendable | QtServiceBase::StopOnShutdown);
    instance()->setStartupType(QtServiceBase::AutomaticStart);
}

SarvelaBackupDB::~SarvelaBackupDB() = default;

void SarvelaBackupDB::start()
{
    if (thread)
        return;
    thread = createWorker([this](const QString &message) { logMessage(message, Error); });
    thread->start();
}

ThBackup *SarvelaBackupDB::createWorker(BackupEngine::Reporter reporter)
{
    return new ThBackup(std::move(reporter));
}

// The process ends as soon as this returns, so the worker gets a bounded time to stop the
// tool, remove its temporary file and record the job as cancelled.
void SarvelaBackupDB::stop()
{
    if (!thread)
        return;
    thread->stop();
    thread->wait(StopWaitMs);
}

// Backups keep their schedule while the service is reported paused.
void SarvelaBackupDB::pause() {}

void SarvelaBackupDB::resume() {}

void SarvelaBackupDB::processCommand(int code)
{
    if (code == BackupNowCommand && thread)
        thread->requestBackup();
}
