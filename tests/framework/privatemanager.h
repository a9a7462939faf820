// A private service manager daemon on a temporary state directory, pointed to by
// SVCMGR_DIR for this process and every program it starts; stopped at the end.
#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

class PrivateManager
{
public:
    PrivateManager() = default;
    ~PrivateManager() { stop(); }

    QString dir() const { return m_dir.path(); }

    bool start(QString *error)
    {
        if (!m_dir.isValid()) {
            *error = QStringLiteral("no temporary directory");
            return false;
        }
        qputenv("SVCMGR_DIR", m_dir.path().toLocal8Bit());
        m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_daemon.start(QStringLiteral(SARVELA_BIN_DIR "/svcmgrd"), QStringList());
        if (!m_daemon.waitForStarted(10000)) {
            *error = m_daemon.errorString();
            return false;
        }
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000) {
            if (accepting())
                return true;
            if (m_daemon.state() == QProcess::NotRunning) {
                *error = QStringLiteral("svcmgrd ended with %1").arg(m_daemon.exitCode());
                return false;
            }
            QThread::msleep(20);
        }
        *error = QStringLiteral("svcmgrd did not open its socket");
        return false;
    }

    void stop()
    {
        if (m_daemon.state() == QProcess::NotRunning)
            return;
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(10000)) {
            m_daemon.kill();
            m_daemon.waitForFinished();
        }
    }

private:
    bool accepting() const
    {
        const QByteArray path = (m_dir.path() + QStringLiteral("/svcmgr.sock")).toLocal8Bit();
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (size_t(path.size()) >= sizeof addr.sun_path)
            return false;
        std::memcpy(addr.sun_path, path.constData(), size_t(path.size()) + 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
        ::close(fd);
        return ok;
    }

    QTemporaryDir m_dir;
    QProcess m_daemon;
};
