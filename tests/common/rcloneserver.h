// Real storage servers on the loopback for the copies off this machine: rclone serving a
// temporary folder over SFTP or WebDAV on a free port, and a server that takes connections and
// never answers. Each dies with the test program, also when it fails or is killed.
#pragma once

#include <QProcess>
#include <QTemporaryDir>

class RcloneServer
{
public:
    enum class Kind { Sftp, Webdav };

    explicit RcloneServer(Kind kind);
    ~RcloneServer();

    // Starts serving (again, on the same port after stop()); waits until it takes connections.
    bool start(QString *error);
    void stop();

    // The folder served; what a copy sent is found below it.
    QString root() const { return m_root.path(); }
    int port() const { return m_port; }
    // A section of rclone.conf that reaches this server under name.
    QString configSection(const QString &name) const;

private:
    const Kind m_kind;
    QTemporaryDir m_root, m_cache;
    QProcess m_process;
    int m_port = 0;
};

// Takes connections into its backlog and never says a word.
class SilentServer
{
public:
    SilentServer();
    ~SilentServer();
    int port() const { return m_port; }

private:
    int m_socket = -1;
    int m_port = 0;
};

// rclone's obscured form of a password, as its configuration keeps them.
QString rcloneObscure(const QString &password);
