#include "pgcluster.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool runningAsRoot()
{
    return geteuid() == 0;
}

// PostgreSQL refuses to run as root; as root every server command runs as "postgres".
bool runServerCommand(const QString &program, const QStringList &arguments, QString *output,
                      int timeoutMs = 120000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (runningAsRoot()) {
        QStringList wrapped{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"),
                            program};
        wrapped += arguments;
        process.start(QStringLiteral("runuser"), wrapped);
    } else {
        process.start(program, arguments);
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        *output = program + QStringLiteral(" did not finish: ") + process.errorString();
        return false;
    }
    *output = QString::fromUtf8(process.readAll());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString quoteIdentifier(const QString &name)
{
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString quoteLiteral(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

int freeLoopbackPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

PgCluster::PgCluster() : m_dir(QDir::tempPath() + QStringLiteral("/sarvela-pg-XXXXXX")) {}

PgCluster::~PgCluster()
{
    stop();
}

QString PgCluster::binDir()
{
    return QStringLiteral("/usr/lib/postgresql/15/bin");
}

bool PgCluster::start(QString *error)
{
    if (m_running)
        return true;
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary folder: ") + m_dir.errorString();
        return false;
    }
    const QString data = m_dir.filePath(QStringLiteral("data"));
    const QString pwFile = m_dir.filePath(QStringLiteral("pw"));
    {
        QFile file(pwFile);
        if (!file.open(QIODevice::WriteOnly)) {
            *error = file.errorString();
            return false;
        }
        file.write(superPassword().toUtf8() + '\n');
    }
    if (runningAsRoot()) {
        struct passwd *pw = getpwnam("postgres");
        if (!pw) {
            *error = QStringLiteral("there is no postgres user to run the server as");
            return false;
        }
        // The whole folder belongs to the server's user; root keeps access anyway.
        if (::chown(QFile::encodeName(m_dir.path()).constData(), pw->pw_uid, pw->pw_gid) != 0 ||
            ::chown(QFile::encodeName(pwFile).constData(), pw->pw_uid, pw->pw_gid) != 0) {
            *error = QStringLiteral("cannot hand the cluster folder to postgres");
            return false;
        }
    }
    QString output;
    if (!runServerCommand(
            binDir() + QStringLiteral("/initdb"),
            {QStringLiteral("-D"), data, QStringLiteral("-U"), superUser(),
             QStringLiteral("--auth-local=trust"), QStringLiteral("--auth-host=scram-sha-256"),
             QStringLiteral("--pwfile=") + pwFile, QStringLiteral("-E"), QStringLiteral("UTF8"),
             QStringLiteral("--locale=C"), QStringLiteral("--no-sync")},
            &output)) {
        *error = QStringLiteral("initdb failed: ") + output;
        return false;
    }
    // A port can be taken between asking and listening; try a few.
    for (int attempt = 0; attempt < 5 && !m_running; ++attempt) {
        m_port = freeLoopbackPort();
        const QString options =
            QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off "
                           "-c full_page_writes=off -c synchronous_commit=off")
                .arg(m_port)
                .arg(m_dir.path());
        m_running = runServerCommand(
            binDir() + QStringLiteral("/pg_ctl"),
            {QStringLiteral("-D"), data, QStringLiteral("-o"), options, QStringLiteral("-l"),
             m_dir.filePath(QStringLiteral("server.log")), QStringLiteral("-w"),
             QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("start")},
            &output);
    }
    if (!m_running) {
        *error = QStringLiteral("pg_ctl start failed: ") + output;
        return false;
    }
    // A test program that crashes or is killed by its time-out runs no destructor;
    // a watchdog then stops the server and removes its folder.
    const QString stopCommand =
        (runningAsRoot() ? QStringLiteral("runuser -u postgres -- ") : QString()) + binDir() +
        QStringLiteral("/pg_ctl -D '%1' -m immediate -w stop").arg(data);
    QProcess::startDetached(
        QStringLiteral("setsid"),
        {QStringLiteral("sh"), QStringLiteral("-c"),
         QStringLiteral("while kill -0 %1 2>/dev/null; do sleep 1; done; "
                        "if [ -d '%2' ]; then %3 >/dev/null 2>&1; rm -rf '%4'; fi")
             .arg(QCoreApplication::applicationPid())
             .arg(data, stopCommand, m_dir.path())});
    return true;
}

void PgCluster::stop()
{
    if (!m_running)
        return;
    QString output;
    runServerCommand(binDir() + QStringLiteral("/pg_ctl"),
                     {QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")),
                      QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("-w"),
                      QStringLiteral("stop")},
                     &output);
    m_running = false;
}

bool PgCluster::sql(const QString &statement, QString *error, const QString &database,
                    QString *output) const
{
    QProcess psql;
    psql.setProcessChannelMode(QProcess::SeparateChannels);
    // The local socket is trusted, so no password travels here.
    psql.start(binDir() + QStringLiteral("/psql"),
               {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"),
                QStringLiteral("-t"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
                QStringLiteral("-h"), m_dir.path(), QStringLiteral("-p"), QString::number(m_port),
                QStringLiteral("-U"), superUser(), QStringLiteral("-d"), database,
                QStringLiteral("-c"), statement});
    if (!psql.waitForFinished(120000)) {
        psql.kill();
        psql.waitForFinished();
        *error = QStringLiteral("psql did not finish");
        return false;
    }
    const QString out = QString::fromUtf8(psql.readAllStandardOutput());
    if (output)
        *output = out;
    if (psql.exitStatus() != QProcess::NormalExit || psql.exitCode() != 0) {
        *error = QString::fromUtf8(psql.readAllStandardError()) + out;
        return false;
    }
    return true;
}

bool PgCluster::createSampleDatabase(const QString &name, QString *error) const
{
    if (!sql(QStringLiteral("CREATE DATABASE ") + quoteIdentifier(name), error))
        return false;
    return sql(
        QStringLiteral("CREATE TABLE tblbarang (id serial PRIMARY KEY, nama text, harga numeric);"
                       "INSERT INTO tblbarang (nama, harga) SELECT 'barang ' || g, g * 1000 "
                       "FROM generate_series(1, 50) g;"
                       "CREATE TABLE tblpelanggan (id serial PRIMARY KEY, nama text, kota text);"
                       "INSERT INTO tblpelanggan (nama, kota) VALUES ('Ani', 'Bandung'), "
                       "('Budi', 'Medan');"
                       "CREATE TABLE catatan (id int, isi text);"
                       "INSERT INTO catatan VALUES (1, 'not a tbl table');"),
        error, name);
}

bool PgCluster::createUser(const QString &name, const QString &password, QString *error) const
{
    return sql(QStringLiteral("CREATE ROLE ") + quoteIdentifier(name) +
                   QStringLiteral(" LOGIN SUPERUSER PASSWORD ") + quoteLiteral(password),
               error);
}
