#include "svcmgrdaemon.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <csignal>

static bool socketAnswers(const QString &path)
{
    const int fd = connectUnix(path);
    ::close(fd);
    return fd >= 0;
}

SvcMgrDaemon::SvcMgrDaemon(const QString &programDir, const QString &stateDir)
    : m_dir(QDir::tempPath() + "/svcmgr-XXXXXX"), m_stateDir(stateDir.isEmpty() ? m_dir.path() : stateDir),
      m_previousDir(qgetenv("SVCMGR_DIR"))
{
    m_program = (programDir.isEmpty() ? QStringLiteral(SARVELA_BIN_DIR) : programDir) + "/svcmgrd";
    // Unprivileged test clients must reach the socket inside.
    ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
    // Time-outs short enough for failing cases, long enough for a busy machine; a test that
    // crashes must not leave its daemon and services behind.
    for (const QString setting : {"START_TIMEOUT_MS=10000", "CONTROL_TIMEOUT_MS=10000", "STOP_GRACE_MS=1000",
                                  "SHUTDOWN_TIMEOUT_MS=3000", "EXIT_WITH_PARENT=1"})
        m_extra.insert("SVCMGR_" + setting.section('=', 0, 0), setting.section('=', 1));
}

SvcMgrDaemon::~SvcMgrDaemon()
{
    stop();
    if (m_served)
        killServices();
    qputenv("SVCMGR_DIR", m_previousDir);
}

bool SvcMgrDaemon::start(QString *error)
{
    delete m_process;
    m_process = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SVCMGR_DIR", dir());
    env.insert(m_extra);
    m_process->setProcessEnvironment(env);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(m_dir.filePath("daemon.log"), QIODevice::Append);
    // A folder another daemon serves already: this one must refuse it and end.
    const bool taken = socketAnswers(socketPath());
    m_process->start(m_program, QStringList());
    // This process and everything it starts talk to this daemon, with its time-outs.
    qputenv("SVCMGR_DIR", QFile::encodeName(dir()));
    for (const char *name : {"SVCMGR_START_TIMEOUT_MS", "SVCMGR_CONTROL_TIMEOUT_MS"})
        qputenv(name, m_extra.value(name).toLatin1());
    QElapsedTimer waited;
    waited.start();
    while (isRunning() && (taken || !socketAnswers(socketPath())) && waited.elapsed() < 10000)
        m_process->waitForFinished(20);
    if (isRunning() && !taken && socketAnswers(socketPath()))
        return m_served = true;
    *error = m_program + " did not open its socket (" + m_process->errorString() + "): " + daemonLog();
    return false;
}

void SvcMgrDaemon::stop(bool crash)
{
    if (isRunning()) {
        crash ? m_process->kill() : m_process->terminate();
        if (!m_process->waitForFinished(10000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
    delete m_process;
    m_process = nullptr;
}

void SvcMgrDaemon::killServices()
{
    const QByteArray marker = "SVCMGR_DIR=" + QFile::encodeName(dir());
    const qint64 self = QCoreApplication::applicationPid();
    const qint64 daemon = m_process ? m_process->processId() : 0;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const qint64 pid = entry.toLongLong();
        if (pid > 0 && pid != self && pid != daemon &&
            readBytes("/proc/" + entry + "/environ").split('\0').contains(marker))
            ::kill(pid_t(pid), SIGKILL);
    }
}
