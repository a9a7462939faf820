#include "svcmgrdaemon.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool socketAnswers(const QString &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray p = QFile::encodeName(path);
    if (size_t(p.size()) >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, p.constData(), size_t(p.size()) + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

} // namespace

SvcMgrDaemon::SvcMgrDaemon(const QString &programDir) : m_dir(QDir::tempPath() + "/svcmgr-XXXXXX")
{
    m_program = (programDir.isEmpty() ? QStringLiteral(SARVELA_BIN_DIR) : programDir) + "/svcmgrd";
    // Unprivileged test clients must reach the socket inside.
    ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
    m_hadPreviousDir = qEnvironmentVariableIsSet("SVCMGR_DIR");
    m_previousDir = qgetenv("SVCMGR_DIR");
}

SvcMgrDaemon::~SvcMgrDaemon()
{
    stop();
    killServices();
    if (m_hadPreviousDir)
        qputenv("SVCMGR_DIR", m_previousDir);
    else
        qunsetenv("SVCMGR_DIR");
}

void SvcMgrDaemon::setTimeouts(int startMs, int controlMs, int stopGraceMs)
{
    m_startMs = startMs;
    m_controlMs = controlMs;
    m_graceMs = stopGraceMs;
}

void SvcMgrDaemon::setEnvironment(const QString &name, const QString &value)
{
    m_extra.insert(name, value);
}

bool SvcMgrDaemon::start(QString *error)
{
    if (isRunning()) {
        *error = "the daemon already runs";
        return false;
    }
    delete m_process;
    m_process = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SVCMGR_DIR", dir());
    env.insert("SVCMGR_START_TIMEOUT_MS", QString::number(m_startMs));
    env.insert("SVCMGR_CONTROL_TIMEOUT_MS", QString::number(m_controlMs));
    env.insert("SVCMGR_STOP_GRACE_MS", QString::number(m_graceMs));
    env.insert("SVCMGR_SHUTDOWN_TIMEOUT_MS", "3000");
    // A test that crashes must not leave its daemon and services behind.
    env.insert("SVCMGR_EXIT_WITH_PARENT", "1");
    env.insert(m_extra);
    m_process->setProcessEnvironment(env);
    m_process->setStandardOutputFile(daemonLogPath(), QIODevice::Append);
    m_process->setStandardErrorFile(daemonLogPath(), QIODevice::Append);
    m_process->start(m_program, QStringList());
    if (!m_process->waitForStarted(10000)) {
        *error = m_program + ": " + m_process->errorString();
        return false;
    }
    // This process and everything it starts talk to this daemon.
    qputenv("SVCMGR_DIR", QFile::encodeName(dir()));
    qputenv("SVCMGR_START_TIMEOUT_MS", QByteArray::number(m_startMs));
    qputenv("SVCMGR_CONTROL_TIMEOUT_MS", QByteArray::number(m_controlMs));

    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 10000) {
        if (m_process->state() != QProcess::Running) {
            m_process->waitForFinished(1000);
            *error = "svcmgrd ended with exit code " + QString::number(m_process->exitCode()) +
                     ": " + daemonLog();
            return false;
        }
        if (socketAnswers(socketPath()))
            return true;
        QThread::msleep(20);
    }
    *error = "svcmgrd did not open its socket: " + daemonLog();
    return false;
}

void SvcMgrDaemon::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(10000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
    delete m_process;
    m_process = nullptr;
}

void SvcMgrDaemon::crash()
{
    if (!m_process)
        return;
    m_process->kill();
    m_process->waitForFinished(5000);
    delete m_process;
    m_process = nullptr;
}

bool SvcMgrDaemon::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

qint64 SvcMgrDaemon::pid() const
{
    return m_process ? m_process->processId() : 0;
}

QString SvcMgrDaemon::eventLog() const
{
    QFile f(eventLogPath());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QString SvcMgrDaemon::daemonLog() const
{
    QFile f(daemonLogPath());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

void SvcMgrDaemon::killServices()
{
    const QByteArray marker = "SVCMGR_DIR=" + QFile::encodeName(dir());
    const qint64 self = QCoreApplication::applicationPid();
    const QStringList pids = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : pids) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok || pid == self || pid == this->pid())
            continue;
        QFile environ("/proc/" + entry + "/environ");
        if (!environ.open(QIODevice::ReadOnly))
            continue;
        if (environ.readAll().split('\0').contains(marker))
            ::kill(pid_t(pid), SIGKILL);
    }
}

bool SvcMgrDaemon::runAs(const QString &user, const QString &program, const QStringList &args,
                         QString *output, int *exitCode, int timeoutMs)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("runuser", QStringList{"-u", user, "--", program} + args);
    if (!p.waitForStarted(10000) || !p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        *output = "runuser " + program + ": " + p.errorString();
        return false;
    }
    *output = QString::fromLocal8Bit(p.readAll());
    *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return true;
}
