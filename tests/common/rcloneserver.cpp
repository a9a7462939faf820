#include "rcloneserver.h"

#include "pgcluster.h"

#include <QElapsedTimer>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString User = QStringLiteral("salin");
const QString Password = QStringLiteral("rahasia-uji");

bool takesConnections(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

} // namespace

QString rcloneObscure(const QString &password)
{
    QProcess obscure;
    obscure.start(QStringLiteral("/usr/bin/rclone"), {QStringLiteral("obscure"), password});
    obscure.waitForFinished(10000);
    return QString::fromUtf8(obscure.readAllStandardOutput()).trimmed();
}

RcloneServer::RcloneServer(Kind kind) : m_kind(kind)
{
    // What it says (the fixture's own probes of the port among it) is kept beside its cache.
    m_process.setStandardOutputFile(m_cache.filePath(QStringLiteral("server.log")),
                                    QIODevice::Append);
    m_process.setStandardErrorFile(m_cache.filePath(QStringLiteral("server.log")),
                                   QIODevice::Append);
}

RcloneServer::~RcloneServer()
{
    stop();
}

bool RcloneServer::start(QString *error)
{
    if (!m_port)
        m_port = freeLoopbackPort();
    const QString address = QStringLiteral("127.0.0.1:%1").arg(m_port);
    QStringList arguments{QStringLiteral("--pdeathsig"),
                          QStringLiteral("KILL"),
                          QStringLiteral("/usr/bin/rclone"),
                          QStringLiteral("serve"),
                          m_kind == Kind::Sftp ? QStringLiteral("sftp") : QStringLiteral("webdav"),
                          QStringLiteral("--addr"),
                          address,
                          QStringLiteral("--config"),
                          QStringLiteral("/dev/null"),
                          QStringLiteral("--cache-dir"),
                          m_cache.path(),
                          QStringLiteral("-q")};
    if (m_kind == Kind::Sftp)
        arguments << QStringLiteral("--user") << User << QStringLiteral("--pass") << Password;
    arguments << m_root.path();
    // The server dies with the test program, however that ends.
    m_process.start(QStringLiteral("/usr/bin/setpriv"), arguments);
    QElapsedTimer waited;
    waited.start();
    while (!takesConnections(m_port)) {
        if (m_process.state() == QProcess::NotRunning || waited.elapsed() > 15000) {
            *error = QStringLiteral("rclone serve did not start on ") + address;
            stop();
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

void RcloneServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(10000);
}

QString RcloneServer::configSection(const QString &name) const
{
    if (m_kind == Kind::Webdav)
        return QStringLiteral("[%1]\ntype = webdav\nurl = http://127.0.0.1:%2/\nvendor = other\n\n")
            .arg(name)
            .arg(m_port);
    return QStringLiteral("[%1]\ntype = sftp\nhost = 127.0.0.1\nport = %2\nuser = %3\npass = %4\n"
                          "shell_type = unix\nmd5sum_command = md5sum\nsha1sum_command = "
                          "sha1sum\n\n")
        .arg(name)
        .arg(m_port)
        .arg(User, rcloneObscure(Password));
}

SilentServer::SilentServer()
{
    m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        ::listen(m_socket, 64) == 0 &&
        ::getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        m_port = ntohs(address.sin_port);
}

SilentServer::~SilentServer()
{
    if (m_socket >= 0)
        ::close(m_socket);
}
