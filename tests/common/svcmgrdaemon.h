// A private stand-in service control manager for one test: svcmgrd on a
// temporary state directory, reached by this process and its children through
// SVCMGR_DIR. The destructor stops the daemon, kills every service process it
// started, also when a test failed half-way, and points this process back at the
// manager it used before.
#pragma once

#include "testfiles.h"

#include <QTemporaryDir>

class SvcMgrDaemon
{
public:
    // programDir holds svcmgrd; empty means the build tree's bin folder. stateDir is
    // the folder the daemon serves, as the test prepared it; empty means a fresh one.
    explicit SvcMgrDaemon(const QString &programDir = QString(), const QString &stateDir = QString());
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

    QString dir() const { return m_stateDir; }
    QString socketPath() const { return m_stateDir + "/svcmgr.sock"; }
    QString eventLog() const { return readText(dir() + "/events.log"); }
    QString daemonLog() const { return readText(m_dir.filePath("daemon.log")); } // its stderr

    // Kills every process other than the daemon that still has its directory
    // in its environment: the services it started and whatever they started.
    void killServices();

private:
    QTemporaryDir m_dir;
    QString m_stateDir, m_program;
    QByteArray m_previousDir; // SVCMGR_DIR when this daemon was made
    QProcess *m_process = nullptr;
    QProcessEnvironment m_extra;
    bool m_served = false; // a daemon that never served started no service to kill
};
