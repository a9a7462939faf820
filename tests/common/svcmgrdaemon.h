// A private stand-in service control manager for one test: svcmgrd on a
// temporary state directory, reached by this process and its children through
// SVCMGR_DIR. The destructor stops the daemon and kills every service process
// it started, also when a test failed half-way.
#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class QProcess;

class SvcMgrDaemon
{
public:
    // programDir holds svcmgrd; empty means the build tree's bin folder.
    explicit SvcMgrDaemon(const QString &programDir = QString());
    ~SvcMgrDaemon();
    SvcMgrDaemon(const SvcMgrDaemon &) = delete;
    SvcMgrDaemon &operator=(const SvcMgrDaemon &) = delete;

    // Waits of the daemon, in milliseconds; they apply from the next start().
    // The defaults (10 s to connect or answer a control, 1 s of grace after
    // SERVICE_STOPPED) are short enough for failing cases, long enough for a busy machine.
    void setTimeouts(int startMs, int controlMs, int stopGraceMs);
    // An extra variable for the daemon's environment (not handed to services
    // unless named in SVCMGR_PASS_ENV).
    void setEnvironment(const QString &name, const QString &value);

    // Starts the daemon and waits until its socket accepts connections.
    bool start(QString *error);
    // SIGTERM: the daemon kills its services and removes its socket.
    void stop();
    // SIGKILL: a crashed daemon; its socket file stays behind.
    void crash();
    bool restart(QString *error) { return stop(), start(error); }
    bool isRunning() const;
    qint64 pid() const;

    QString dir() const { return m_dir.path(); }
    QString socketPath() const { return m_dir.filePath("svcmgr.sock"); }
    QString eventLogPath() const { return m_dir.filePath("events.log"); }
    QString databasePath() const { return m_dir.filePath("services.db"); }
    QString daemonLogPath() const { return m_dir.filePath("daemon.log"); }
    QString daemonProgram() const { return m_program; }
    QString eventLog() const;  // the event log's contents
    QString daemonLog() const; // what the daemon wrote to stderr

    // Kills every process other than the daemon that still has its directory
    // in its environment: the services it started and whatever they started.
    void killServices();

    // Runs a program as another user (runuser, so only as root) and waits for it.
    static bool runAs(const QString &user, const QString &program, const QStringList &args,
                      QString *output, int *exitCode, int timeoutMs = 30000);

private:
    QTemporaryDir m_dir;
    QString m_program;
    QProcess *m_process = nullptr;
    QProcessEnvironment m_extra;
    int m_startMs = 10000, m_controlMs = 10000, m_graceMs = 1000;
    QByteArray m_previousDir;
    bool m_hadPreviousDir = false;
};
