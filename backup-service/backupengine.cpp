#include "backupengine.h"

#include "confbu.h"
#include "writelog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// The dump is written by pg_dump itself; its mode comes from the umask it inherits.
class DumpProcess : public QProcess
{
protected:
#ifdef Q_OS_UNIX
    void setupChildProcess() override
    {
        ::umask(027);
    }
#endif
};

// Line breaks would split the entry that names the database over several log lines.
QString printable(QString text)
{
    text.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    return text;
}

} // namespace

BackupEngine::BackupEngine(const QString &programDir, Clock clock)
    : logName(confbu::LogFile),
      programDir(programDir.isEmpty() ? QCoreApplication::applicationDirPath() : programDir),
      clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTime(); }))
{
}

void BackupEngine::log(const QString &message) const
{
    WriteLog(message, logName, programDir);
}

QString BackupEngine::programPath(const QString &relative) const
{
    return confbu::joinPath(programDir, relative);
}

QString BackupEngine::toolPath() const
{
#ifdef Q_OS_WIN
    return programPath(QStringLiteral("dbutils/pg_dump.exe"));
#else
    return programPath(QStringLiteral("dbutils/pg_dump"));
#endif
}

QString BackupEngine::outputPath(const QString &fileName) const
{
    return confbu::joinPath(outputdir, fileName);
}

// Registers the default connection anew and opens the settings file read-only: the
// service never writes it, and a missing file must never be created.
bool BackupEngine::openSettings(const QString &messagePrefix)
{
    const QString path = programPath(confbu::SettingsFile);
    if (!QFile::exists(path)) {
        log(messagePrefix + QStringLiteral("Maaf file [") + path +
            QStringLiteral("] tidak ditemukan."));
        return false;
    }
    settingsDb = QSqlDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    settingsDb = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    settingsDb.setDatabaseName(path);
    settingsDb.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    if (!settingsDb.open()) {
        log(messagePrefix + QStringLiteral("Error Load database :") +
            settingsDb.lastError().text());
        return false;
    }
    return true;
}

bool BackupEngine::ReadConfig()
{
    log(QStringLiteral("Read Config."));
    if (!openSettings(QString()))
        return false;

    QSqlQuery query(settingsDb);
    if (!query.prepare(QStringLiteral("select * from confdb; ")) || !query.exec()) {
        log(QStringLiteral("Gagal memanggil data.\nPesan Error : ") + query.lastError().text());
        return false;
    }
    bool result = false;
    // Every row is read over the previous one; the last row's values are in effect.
    while (query.next()) {
        const confbu::Settings row = confbu::fromRecord(query.record());
        server = row.server;
        user = row.user;
        pass = row.pass;
        outputdir = row.outputdir;
        port = row.port;
        jam1 = row.jam1;
        jam2 = row.jam2;
        jam3 = row.jam3;
        jam4 = row.jam4;
        jam1st = row.jam1st;
        jam2st = row.jam2st;
        jam3st = row.jam3st;
        jam4st = row.jam4st;
        result = true;
    }
    user = confbu::userOrDefault(user, confbu::Blanks::AreEmpty);
    pass = confbu::passwordOrDefault(pass, confbu::Blanks::AreEmpty);
    return result;
}

bool BackupEngine::CheckSchedule()
{
    const QString nowText = clock().toString(QStringLiteral("hhmm"));
    bool matched = false;
    if (jam1st) {
        matched = jam1.toString(QStringLiteral("hhmm")) == nowText;
        if (matched) {
            if (!slot1Done)
                RunBackup();
            slot1Done = true;
        } else {
            slot1Done = false;
        }
    }
    if (jam2st) {
        matched = jam2.toString(QStringLiteral("hhmm")) == nowText;
        if (matched) {
            if (!slot2Done)
                RunBackup();
            slot2Done = true;
        } else {
            slot2Done = false;
        }
    }
    return matched;
}

bool BackupEngine::RunBackup()
{
    // An empty folder would name the working directory, or the root of the file system.
    if (outputdir.isEmpty() || !QDir(outputdir).exists()) {
        log(QStringLiteral("Lokasi backup [") + outputdir +
            QStringLiteral("] tidak ditemukan. Proses dibatalkan."));
        return false;
    }

    const QString prefix = QStringLiteral("Read Database BU. ");
    log(QStringLiteral("Read List DB"));
    if (!openSettings(prefix))
        return false;
    QSqlQuery query(settingsDb);
    if (!query.prepare(QStringLiteral("select * from tbldb; ")) || !query.exec()) {
        log(prefix + QStringLiteral("Gagal memanggil data.\nPesan Error : ") +
            query.lastError().text());
        return false;
    }
    bool result = false;
    while (query.next()) {
        BackupDatabase(query.value(QStringLiteral("dbname")).toString());
        result = true;
    }
    return result;
}

bool BackupEngine::isDangerousDatabaseName(const QString &dbname)
{
    return dbname.startsWith(QLatin1Char('-')) || dbname.contains(QLatin1Char('=')) ||
           dbname.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive) ||
           dbname.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive) ||
           dbname.contains(QLatin1Char('\n')) || dbname.contains(QLatin1Char('\r'));
}

void BackupEngine::BackupDatabase(QString dbname)
{
    // Such a name would make pg_dump take it as an option or connect where the name
    // says, handing our password to that server.
    if (isDangerousDatabaseName(dbname)) {
        log(QStringLiteral("Backup Database DITOLAK : nama database [") + printable(dbname) +
            QStringLiteral("] dapat dibaca pg_dump sebagai opsi atau alamat koneksi. "
                           "pg_dump tidak dijalankan."));
        return;
    }

    DumpProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString stamp = clock().toString(QStringLiteral("yyyyMMdd.hhmmss"));
    const QString base = QStringLiteral("bu_") + dbname + QLatin1Char('_') + stamp;
    const QString dumpPath = outputPath(base + QStringLiteral(".bu"));
    const QString runLogPath = outputPath(base + QStringLiteral(".log"));

    // The password travels only in the tool's environment, never on its command line.
    environment.insert(QStringLiteral("PGPASSWORD"), pass);
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());

    const QStringList arguments{
        QStringLiteral("--host=") + server,
        QStringLiteral("--port=") + QString::number(port),
        QStringLiteral("--username=") + user,
        QStringLiteral("--format=custom"),
        QStringLiteral("--verbose"),
        QStringLiteral("--file=") + dumpPath,
        QStringLiteral("--table=tbl*"),
        QStringLiteral("-w"),
        dbname,
    };
    // An earlier dump of the same second is replaced; a new one starts out private.
    CreatePrivateFile(dumpPath);

    QString failure;
    process.start(toolPath(), arguments, QIODevice::ReadWrite);
    if (!process.waitForStarted()) {
        failure = QStringLiteral("pg_dump tidak dapat dijalankan: ") + process.errorString() +
                  QLatin1Char('.');
    } else {
        // pg_dump never reads its input; a closed input cannot keep it waiting.
        process.closeWriteChannel();
        if (!process.waitForFinished(toolTimeoutMs)) {
            process.kill();
            process.waitForFinished(30000);
            failure = QStringLiteral("pg_dump melewati batas waktu %1 detik dan dihentikan.")
                          .arg(toolTimeoutMs / 1000);
        } else if (process.exitStatus() != QProcess::NormalExit) {
            failure = QStringLiteral("pg_dump berhenti tidak normal.");
        } else if (process.exitCode() != 0) {
            failure =
                QStringLiteral("pg_dump selesai dengan kode keluar %1.").arg(process.exitCode());
        }
    }
    const QString output = QString::fromUtf8(process.readAllStandardError());

    log(QStringLiteral("Backup Database : ") + dumpPath);
    if (!failure.isEmpty()) {
        // What is left under the final name is no dump; nobody may mistake it for one.
        QFile::remove(dumpPath);
        log(QStringLiteral("Backup Database GAGAL : database [") + dbname +
            QStringLiteral("], file [") + dumpPath + QStringLiteral("]. ") + failure);
    }
    WriteLogFile(QStringLiteral("Save Log : ") + dbname + QStringLiteral(" : \n") + output,
                 runLogPath);
    process.close();
}
