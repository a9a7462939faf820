// A private PostgreSQL cluster for one restore drill: in a fresh folder of the service's scratch
// space, listening only on a Unix socket in that folder (never on TCP), run as the service's own
// account (as postgres when the service runs as root, which PostgreSQL refuses), and removed
// again with everything in it. It never outlives the service: the server is a child of the
// thread that started it.
//
// Its files are a copy of a template made once per server version (templat-N in the scratch
// space): what initdb makes, with one empty database to restore into and nothing else, since
// initdb and a database's creation take longer than the restore of a small dump.
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
    // The one database of the cluster, empty, to restore into.
    static inline const QString Database = QStringLiteral("uji_pulih");

    // The bin folder of the newest installed PostgreSQL server (initdb, postgres, psql), and its
    // major version; empty when there is none.
    static QString newestServer(int *major);

    // The scratch space: folder, made when missing (only its owner may use it). False, with the
    // reason, when it cannot be made or is not the service's own.
    static bool prepareWorkFolder(const QString &folder, QString *error);
    // Clusters that a service which died left in folder, and a template it was making: their
    // files go.
    static void removeLeftovers(const QString &folder);
    // The bytes free for the service's account in folder; -1 when it cannot be told.
    static qint64 freeBytes(const QString &folder);

    // bin: the server's bin folder, of major version major; environment: what its programs
    // run with.
    ScratchCluster(const QString &workFolder, const QString &bin, int major,
                   const QProcessEnvironment &environment);
    ~ScratchCluster(); // stops the server and removes its folder

    // The server running on a copy of the template (made first when there is none), ready for
    // connections; within timeoutMs. False with the reason (a stop request ends it at once,
    // *stopped set).
    bool start(int timeoutMs, const StopSignal *stop, QString *error, bool *stopped);
    // Ends the server at once and removes the folder.
    void remove();

    // A connection as the superuser to the cluster's database on the private socket.
    PgTarget target() const;
    // The cluster's folder, readable by its tools; empty before start().
    QString folder() const { return path; }

private:
    ScratchCluster(const ScratchCluster &) = delete;
    ScratchCluster &operator=(const ScratchCluster &) = delete;

    // A new folder named after pattern (its last six letters XXXXXX made unique) in the
    // scratch space, that only the cluster's account may use.
    bool makeFolder(const QString &pattern, QString *made, QString *error) const;
    bool ensureTemplate(int timeoutMs, const StopSignal *stop, QString *error, bool *stopped);
    bool makeTemplate(const QString &folder, int timeoutMs, const StopSignal *stop,
                      QString *error, bool *stopped);
    QString templatePath() const;
    // The template's files into folder, with their permissions, given to the cluster's account.
    bool copyTemplate(const QString &folder, QString *error) const;
    bool initdb(const QString &data, int timeoutMs, const StopSignal *stop, QString *error,
                bool *stopped);
    // The server on folder's data, its socket in folder.
    bool startServer(const QString &folder, int timeoutMs, const StopSignal *stop,
                     QString *error, bool *stopped);
    // At once, or in order (a checkpoint, so that a copy of its files needs no recovery).
    void stopServer(bool inOrder = false);
    // The server's last words, for a failure's reason.
    QString serverMessages(const QString &folder) const;
    ToolCommand command(const QString &program, const QStringList &arguments) const;
    PgTarget targetIn(const QString &folder, const QString &database) const;

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
#else
    QString serverFolder; // where pg_ctl started the server
#endif
};
