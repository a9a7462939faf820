// The service program as the soak runs it: the installed program's service class and worker,
// on a clock that the soak moves forward, so that a backup time comes whenever the soak wants
// one. The clock is the real one plus the milliseconds in soak/jam beside the program; the
// worker looks every 200 ms and gives each tool 10 seconds. Never installed.
#include "sarvelabackupdb.h"
#include "thbackup.h"

#include <QDateTime>
#include <QFile>

namespace {

constexpr int CheckIntervalMs = 200;
constexpr int ToolTimeoutMs = 10000;

class SoakBackupDB : public SarvelaBackupDB
{
public:
    using SarvelaBackupDB::SarvelaBackupDB;

protected:
    ThBackup *createWorker(BackupEngine::Reporter reporter) override
    {
        const QString offsetFile = QCoreApplication::applicationDirPath() + "/soak/jam";
        const auto clock = [offsetFile] {
            QFile file(offsetFile);
            const qint64 offset = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
            return QDateTime::currentDateTime().addMSecs(offset);
        };
        auto *worker = new ThBackup(QString(), clock, CheckIntervalMs, std::move(reporter));
        worker->setToolTimeoutMs(ToolTimeoutMs);
        return worker;
    }
};

} // namespace

int main(int argc, char **argv)
{
    SoakBackupDB service(argc, argv);
    return service.exec();
}
