#include "showrequests.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Long enough for a panel busy with the manager (a stop waits about two seconds).
constexpr int AskMs = 3000;
constexpr qint64 MaxLine = 16;
const QByteArray Request = QByteArrayLiteral("show\n");
const QByteArray Taken = QByteArrayLiteral("ok\n");

#ifndef Q_OS_WIN
// A folder of this user's that nobody else may enter, or false. Never one that another
// user made in a shared folder under the same name.
bool isPrivateFolder(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}
#endif

} // namespace

XShowRequests::XShowRequests(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QLocalServer::newConnection, this, &XShowRequests::answer);
}

QString XShowRequests::socketPath()
{
#ifdef Q_OS_WIN
    // A pipe name; the server lets only this user connect.
    return QStringLiteral("sarpanel-") + qEnvironmentVariable("USERNAME");
#else
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && isPrivateFolder(runtime))
        return runtime + QStringLiteral("/sarpanel.sock");
    // The temporary folder is shared: the name is made private or not used at all.
    const QString folder = QDir::tempPath() + QStringLiteral("/sarpanel-%1").arg(::geteuid());
    ::mkdir(QFile::encodeName(folder).constData(), 0700);
    return isPrivateFolder(folder) ? folder + QStringLiteral("/sarpanel.sock") : QString();
#endif
}

bool XShowRequests::listen()
{
    const QString path = socketPath();
    if (path.isEmpty())
        return false;
#ifdef Q_OS_WIN
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
#endif
    // Left by a panel that was killed: no live one answered there before this one started.
    QLocalServer::removeServer(path);
    return m_server.listen(path);
}

void XShowRequests::answer()
{
    while (QLocalSocket *client = m_server.nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, client, [this, client] {
            if (!client->canReadLine() && client->bytesAvailable() < MaxLine)
                return;
            if (client->readLine(MaxLine) == Request) {
                emit showRequested();
                client->write(Taken);
                client->flush();
            }
            client->disconnectFromServer();
        });
    }
}

bool XShowRequests::ask()
{
    const QString path = socketPath();
    if (path.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(AskMs))
        return false;
    socket.write(Request);
    if (!socket.waitForBytesWritten(AskMs))
        return false;
    // Taken only when the running panel says so; otherwise the flag asks.
    while (!socket.canReadLine() && socket.waitForReadyRead(AskMs)) {
    }
    return socket.readLine(MaxLine) == Taken;
}
