// The backup service's settings, schedule and jobs. Lives on the worker thread only.
#pragma once

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>

#include <functional>

class BackupEngine
{
public:
    using Clock = std::function<QDateTime()>;

    // A tool run that takes longer than this is killed and its job reported as failed,
    // so one hung pg_dump cannot block every later backup time.
    static constexpr int DefaultToolTimeoutMs = 6 * 60 * 60 * 1000;

    // programDir: where confbu.cfg, busys.log and dbutils/pg_dump are found (empty: the
    // directory of the running program). clock: the local time (empty: the real clock).
    explicit BackupEngine(const QString &programDir = QString(), Clock clock = Clock());

    bool ReadConfig();
    bool CheckSchedule();
    bool RunBackup();
    void BackupDatabase(QString dbname);

    void setToolTimeoutMs(int ms) { toolTimeoutMs = ms; }

    // Names that pg_dump would read as an option or as a connection string.
    static bool isDangerousDatabaseName(const QString &dbname);

    // The settings, as read by ReadConfig.
    QString logName;
    QString server;
    QString user;
    QString pass;
    QString outputdir;
    qint32 port = 0;
    QDateTime jam1, jam2, jam3, jam4;
    bool jam1st = false, jam2st = false, jam3st = false, jam4st = false;

private:
    bool openSettings(const QString &messagePrefix);
    QString programPath(const QString &relative) const;
    QString toolPath() const;
    QString outputPath(const QString &fileName) const;
    void log(const QString &message) const;

    QString programDir;
    Clock clock;
    int toolTimeoutMs = DefaultToolTimeoutMs;
    QSqlDatabase settingsDb;
    bool slot1Done = false;
    bool slot2Done = false;
};
