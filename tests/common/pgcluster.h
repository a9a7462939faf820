// A throwaway PostgreSQL 15 cluster for one test program: initdb into a temporary
// folder, started on a free loopback port, always stopped and removed again.
// As root the server runs as the "postgres" user, since PostgreSQL refuses root.
#pragma once

#include <QTemporaryDir>

class PgCluster
{
public:
    PgCluster();
    ~PgCluster(); // stops the server and removes its files

    // Creates and starts the cluster. Local socket logins are trusted; TCP logins
    // on 127.0.0.1 need the password (so wrong passwords can be tested).
    bool start(QString *error);

    QString host() const { return QStringLiteral("127.0.0.1"); }
    int port() const { return m_port; }
    QString superUser() const { return QStringLiteral("postgres"); }
    QString superPassword() const { return QStringLiteral("sarvela-test-pw"); }
    static QString binDir() { return QStringLiteral("/usr/lib/postgresql/15/bin"); }

    // Runs SQL through psql as the superuser; on failure fills error with psql's output.
    bool sql(const QString &statement, QString *error, const QString &database = "postgres",
             QString *output = nullptr) const;
    // Creates a database holding a few small tables named tbl… (and one that is not).
    bool createSampleDatabase(const QString &name, QString *error) const;
    bool createUser(const QString &name, const QString &password, QString *error) const;

private:
    QTemporaryDir m_dir;
    int m_port = 0;
    bool m_running = false;
};

// A free TCP port on 127.0.0.1 (asks the kernel for one).
int freeLoopbackPort();
