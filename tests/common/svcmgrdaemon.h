// A private stand-in service control manager for one test: svcmgrd on a
// temporary state directory, reached by this process and its children through
// SVCMGR_DIR. The destructor stops the daemon and kills every service process
// it started, also when a test failed half-way.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class SvcMgrDaemon
{
public:
    // programDir holds svcmgrd; empty means the build tree's bin folder.
    explicit SvcMgrDaemon(const QString &programDir = QString());
    ~SvcMgrDaemon();

    // An extra variable for the daemon's environment, e.g. SVCMGR_START_TIMEOUT_MS
    // (services see it only when named in SVCMGR_PASS_ENV); applies from the next start().
    void setEnvironment(const QString &name, const QString &value) { m_extra.insert(name, value); }

    // Starts the daemon and waits until its socket accepts connections.
    bool start(QString *error);
    // SIGTERM (the daemon kills its services and removes its socket), or
    // with crash SIGKILL, which leaves the socket file behind.
    void stop(bool crash = false);
    bool isRunning() const { return m_process && m_process->state() != QProcess::NotRunning; }
    qint64 pid() const { return m_process ? m_process->processId() : 0; }

    QString dir() const { return m_dir.path(); }
    QString socketPath() const { return m_dir.filePath("svcmgr.sock"); }
    QString eventLog() const { return readFile("events.log"); }
    QString daemonLog() const { return readFile("daemon.log"); } // the daemon's stderr

    // Kills every process other than the daemon that still has its directory
    // in its environment: the services it started and whatever they started.
    void killServices();

private:
    QString readFile(const QString &name) const;
    QTemporaryDir m_dir;
    QString m_program;
    QProcess *m_process = nullptr;
    QProcessEnvironment m_extra;
};
