#include "pgcluster.h"
#include "testfiles.h"

#include <QDir>

#include <unistd.h>

// PostgreSQL refuses to run as root; as root every server command runs as "postgres".
static QStringList asServer(const QStringList &command)
{
    return (::geteuid() == 0 ? QStringList{"runuser", "-u", "postgres", "--"} : QStringList()) + command;
}

static QString quoted(QString text, QChar quote)
{
    return quote + text.replace(quote, QString(2, quote)) + quote;
}

PgCluster::PgCluster() : m_dir(QDir::tempPath() + "/sarvela-pg-XXXXXX") {}

PgCluster::~PgCluster()
{
    if (m_running)
        runCommand(
            asServer({binDir() + "/pg_ctl", "-D", m_dir.filePath("data"), "-m", "immediate", "-w", "stop"}));
}

bool PgCluster::start(QString *error)
{
    const QString data = m_dir.filePath("data"), pwFile = m_dir.filePath("pw");
    // The whole folder belongs to the server's user; root keeps access anyway.
    if (!m_dir.isValid() || !writeBytes(pwFile, superPassword().toUtf8() + '\n') ||
        (::geteuid() == 0 && runCommand({"chown", "-R", "postgres:postgres", m_dir.path()}).exitCode != 0)) {
        *error = "cannot prepare the cluster folder for postgres: " + m_dir.errorString();
        return false;
    }
    Ran ran = runCommand(asServer({binDir() + "/initdb", "-D", data, "-U", superUser(), "--auth-local=trust",
                                   "--auth-host=scram-sha-256", "--pwfile=" + pwFile, "-E", "UTF8",
                                   "--locale=C", "--no-sync"}),
                         QProcessEnvironment::systemEnvironment(), 120000);
    const bool made = ran.exitCode == 0;
    // A port can be taken between asking and listening; try a few.
    for (int attempt = 0; attempt < 5 && made && !m_running; ++attempt) {
        m_port = freeLoopbackPort();
        const QString options = QString("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off "
                                        "-c full_page_writes=off -c synchronous_commit=off")
                                    .arg(m_port)
                                    .arg(m_dir.path());
        ran = runCommand(asServer({binDir() + "/pg_ctl", "-D", data, "-o", options, "-l",
                                   m_dir.filePath("server.log"), "-w", "-t", "60", "start"}),
                         QProcessEnvironment::systemEnvironment(), 120000);
        m_running = ran.exitCode == 0;
    }
    if (!m_running) {
        *error = QString::fromUtf8("the cluster did not start: " + ran.out + ran.err);
        return false;
    }
    // A test program that crashes or is killed by its time-out runs no destructor;
    // a watchdog then stops the server and removes its folder.
    afterThisProgram(QString("if [ -d '%1' ]; then %2 -D '%1' -m immediate -w stop >/dev/null 2>&1; "
                             "rm -rf '%3'; fi")
                         .arg(data, asServer({binDir() + "/pg_ctl"}).join(' '), m_dir.path()));
    return true;
}

bool PgCluster::sql(const QString &statement, QString *error, const QString &database, QString *output) const
{
    // The local socket is trusted, so no password travels here.
    const Ran psql =
        runCommand({binDir() + "/psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", m_dir.path(),
                    "-p", QString::number(m_port), "-U", superUser(), "-d", database, "-c", statement},
                   QProcessEnvironment::systemEnvironment(), 120000);
    if (output)
        *output = QString::fromUtf8(psql.out);
    if (psql.exitCode != 0)
        *error = QString::fromUtf8(psql.err + psql.out);
    return psql.exitCode == 0;
}

bool PgCluster::createSampleDatabase(const QString &name, QString *error) const
{
    return sql("CREATE DATABASE " + quoted(name, '"'), error) &&
           sql("CREATE TABLE tblbarang (id serial PRIMARY KEY, nama text, harga numeric); INSERT INTO "
               "tblbarang (nama, harga) SELECT 'barang ' || g, g * 1000 FROM generate_series(1, 50) g; "
               "CREATE TABLE tblpelanggan (id serial PRIMARY KEY, nama text, kota text); INSERT INTO "
               "tblpelanggan (nama, kota) VALUES ('Ani', 'Bandung'), ('Budi', 'Medan'); CREATE TABLE catatan "
               "(id int, isi text); INSERT INTO catatan VALUES (1, 'not a tbl table');",
               error, name);
}

bool PgCluster::createUser(const QString &name, const QString &password, QString *error) const
{
    return sql("CREATE ROLE " + quoted(name, '"') + " LOGIN SUPERUSER PASSWORD " + quoted(password, '\''),
               error);
}
