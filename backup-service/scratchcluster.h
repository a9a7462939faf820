// A private PostgreSQL cluster for one restore drill: in a fresh folder of the service's scratch
// space, listening only on a Unix socket in that folder (never on TCP), run as the service's own
// account (as postgres when the service runs as root, which PostgreSQL refuses), and removed
// again with everything in it. Its files are a copy of what initdb made once per server version
// (templat-N in the scratch space), since initdb alone takes longer than the restore of a small
// dump. It never outlives the service: the server is a child of the thread that started it.
#pragma once

#include "pgtarget.h"
#include "toolprocess.h"

#include <QString>

#include <memory>

class StopSignal;

class ScratchCluster
{
public:
    // The superuser that initdb makes: a name that no server's globals hold, so that restoring
    // them changes nothing of ours.
    static inline const QString SuperUser = QStringLiteral("sarvela_uji_pulih");

    // The bin folder of the newest installed PostgreSQL server (initdb, postgres), and its major
    // version; empty when there is none.
    static QString newestServer(int *major);

    // The scratch space: folder, made when missing (only its owner may use it). False, with the
    // reason, when it cannot be made or is not the service's own.
    static bool prepareWorkFolder(const QString &folder, QString *error);
    // Clusters that a service which died left in folder: their files go.
    static void removeLeftovers(const QString &folder);
    // The bytes free for the service's account in folder; -1 when it cannot be told.
    static qint64 freeBytes(const QString &folder);

    // bin: the server's bin folder, of major version major; environment: what its programs
    // run with.
    ScratchCluster(const QString &workFolder, const QString &bin, int major,
                   const QProcessEnvironment &environment);
    ~ScratchCluster(); // stops the server and removes its folder

    // initdb, then the server, ready for connections; each step within what is left of
    // timeoutMs. False with the reason (a stop request ends it at once, *stopped set).
    bool start(int timeoutMs, const StopSignal *stop, QString *error, bool *stopped);
    // Ends the server at once and removes the folder.
    void remove();

    // A connection as the superuser to database on the private socket.
    PgTarget target(const QString &database) const;
    // The cluster's folder, readable by its tools; empty before start().
    QString folder() const { return path; }

private:
    ScratchCluster(const ScratchCluster &) = delete;
    ScratchCluster &operator=(const ScratchCluster &) = delete;

    // A new folder named after pattern (its last six letters XXXXXX made unique) in the
    // scratch space, that only the cluster's account may use.
    bool makeFolder(const QString &pattern, QString *made, QString *error) const;
    // Gives what was copied into folder to the cluster's account.
    bool handOver(const QString &folder, QString *error) const;
    bool ensureTemplate(int timeoutMs, const StopSignal *stop, QString *error, bool *stopped);
    bool copyTemplate(QString *error) const;
    QString templatePath() const;
    bool initdb(const QString &data, int timeoutMs, const StopSignal *stop, QString *error,
                bool *stopped);
    bool startServer(int timeoutMs, const StopSignal *stop, QString *error, bool *stopped);
    void stopServer();
    // The server's last words, for a failure's reason.
    QString serverMessages() const;
    ToolCommand command(const QString &program, const QStringList &arguments) const;

    const QString workFolder;
    const QString bin;
    const int major;
    const QProcessEnvironment environment;
    // Who runs the server: empty for the service's own account.
    const QString account;
    QString path;
    static constexpr int Port = 5432; // only names the socket: nothing listens on TCP
#ifndef Q_OS_WIN
    std::unique_ptr<BackgroundTool> server;
#endif
};
