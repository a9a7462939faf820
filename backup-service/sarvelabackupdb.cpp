#include "sarvelabackupdb.h"

#include "acceptchange.h"
#include "pemulihan.h"
#include "permintaan.h"
#include "pulihkan.h"
#include "serviceaccount.h"
#include "thbackup.h"
#include "thpermintaan.h"
#include "ujisalinan.h"

#include <QDeadlineTimer>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

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
#ifndef Q_OS_WIN
    // Root would open files in folders that others may write: on an installed system the
    // service does its work only as the account made for it.
    const QString account =
        serviceaccount::ofProgramDir(QCoreApplication::applicationDirPath());
    if (!account.isEmpty() && ::geteuid() == 0) {
        logMessage(QStringLiteral("Service tidak dijalankan sebagai root: di sistem ini service "
                                  "berjalan sebagai user %1 (sarvelad -i %1).")
                       .arg(account),
                   Error);
        constexpr int InvalidServiceAccount = 1057; // ERROR_INVALID_SERVICE_ACCOUNT
        QCoreApplication::exit(InvalidServiceAccount);
        return;
    }
#endif
    const BackupEngine::Reporter reporter = [this](const QString &message) {
        logMessage(message, Error);
    };
    thread = createWorker(reporter);
    thread->start();
    requests = createRequestWorker(reporter);
    requests->start();
}

ThBackup *SarvelaBackupDB::createWorker(BackupEngine::Reporter reporter)
{
    return new ThBackup(std::move(reporter));
}

ThPermintaan *SarvelaBackupDB::createRequestWorker(BackupEngine::Reporter reporter)
{
    auto *worker = new ThPermintaan(std::move(reporter));
    worker->addHandler(acceptchange::Jenis, acceptchange::handle);
    worker->addHandler(ujisalinan::Jenis, &ujisalinan::run);
    // The key pair lives as long as the worker: made again at every start of the service.
    const auto key = std::make_shared<pulihkan::ServiceKey>();
    worker->addStartTask([key](BackupEngine &engine) { pulihkan::start(engine, *key); });
    worker->addHandler(pemulihan::Jenis,
                       [key](const permintaan::Request &request, ThPermintaan::Context &context) {
                           return pulihkan::run(request, context, *key);
                       });
    return worker;
}

// The process ends as soon as this returns, so the worker gets a bounded time to stop the
// tool, remove its temporary file and record the job as cancelled.
void SarvelaBackupDB::stop()
{
    if (!thread)
        return;
    thread->stop();
    requests->stop();
    const QDeadlineTimer deadline(StopWaitMs);
    thread->wait(deadline);
    requests->wait(deadline);
}

// Backups keep their schedule while the service is reported paused.
void SarvelaBackupDB::pause() {}

void SarvelaBackupDB::resume() {}

void SarvelaBackupDB::processCommand(int code)
{
    if (!thread)
        return;
    if (code == BackupNowCommand)
        thread->requestBackup();
    else if (code == permintaan::WaitingCommand)
        requests->wake();
    else if (code == permintaan::CancelCommand)
        requests->cancel();
}
