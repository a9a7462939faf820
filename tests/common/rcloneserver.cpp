#include "rcloneserver.h"

#include "pgcluster.h"
#include "testfiles.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

static const QString User = QStringLiteral("salin"), Password = QStringLiteral("rahasia-uji");

static bool takesConnections(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address{AF_INET, htons(quint16(port)), {htonl(INADDR_LOOPBACK)}, {}};
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

QString rcloneObscure(const QString &password)
{
    return QString::fromUtf8(runCommand({"/usr/bin/rclone", "obscure", password}).out).trimmed();
}

RcloneServer::RcloneServer(Kind kind) : m_kind(kind)
{
    // What it says (the fixture's own probes of the port among it) is kept beside its cache.
    m_process.setStandardOutputFile(m_cache.filePath("server.log"), QIODevice::Append);
    m_process.setStandardErrorFile(m_cache.filePath("server.log"), QIODevice::Append);
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
    const QString kind = m_kind == Kind::Sftp ? "sftp" : "webdav";
    QStringList arguments{"--pdeathsig", "KILL",        "/usr/bin/rclone", "serve",
                          kind,          "--addr",      address,           "--config",
                          "/dev/null",   "--cache-dir", m_cache.path(),    "-q"};
    if (m_kind == Kind::Sftp)
        arguments << "--user" << User << "--pass" << Password;
    // The server dies with the test program, however that ends.
    m_process.start("/usr/bin/setpriv", arguments << m_root.path());
    waitUntil([&] { return takesConnections(m_port) || m_process.state() == QProcess::NotRunning; }, 15000);
    if (takesConnections(m_port))
        return true;
    *error = "rclone serve did not start on " + address;
    stop();
    return false;
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
            .arg(name, QString::number(m_port));
    return QStringLiteral(
               "[%1]\ntype = sftp\nhost = 127.0.0.1\nport = %2\nuser = %3\npass = %4\nshell_type = unix\n"
               "md5sum_command = md5sum\nsha1sum_command = sha1sum\n\n")
        .arg(name, QString::number(m_port), User, rcloneObscure(Password));
}

// A listener opened and closed at once.
int freeLoopbackPort()
{
    return SilentServer().port();
}

SilentServer::SilentServer()
{
    m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
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
