#include "sarvelabackupdb.h"

#include "thbackup.h"

SarvelaBackupDB::SarvelaBackupDB(int argc, char **argv)
    : QtService<QCoreApplication>(argc, argv, QStringLiteral("Sarvela DB Backup"))
{
    setServiceDescription(QStringLiteral("Sarvela Database Backup"));
    setServiceFlags(QtServiceBase::Suspendable);
    instance()->setStartupType(QtServiceBase::AutomaticStart);
}

SarvelaBackupDB::~SarvelaBackupDB() = default;

void SarvelaBackupDB::start()
{
    if (thread)
        return;
    thread = new ThBackup();
    thread->start();
}

void SarvelaBackupDB::stop()
{
    if (thread)
        thread->stop();
}

// Backups keep their schedule while the service is reported paused.
void SarvelaBackupDB::pause() {}

void SarvelaBackupDB::resume() {}
