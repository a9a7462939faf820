// A PostgreSQL database that the service's tools connect to: the server of the settings, or a
// scratch cluster's private socket. Everything travels in one connection string whose values
// are quoted, so that no name the administrator or a dump chose can add a parameter, and the
// password only in the tools' environment.
#pragma once

#include <QProcessEnvironment>
#include <QString>

struct PgTarget
{
    QString host; // a host name, or the folder of a Unix socket
    int port = 5432;
    QString user;
    QString password; // empty: none is sent
    QString dbname;

    // The same server, another database.
    PgTarget on(const QString &database) const
    {
        PgTarget other = *this;
        other.dbname = database;
        return other;
    }

    // One argument for psql's or pg_restore's --dbname.
    QString connectionString() const
    {
        return QStringLiteral("host=%1 port=%2 user=%3 dbname=%4")
            .arg(quoted(host), QString::number(port), quoted(user), quoted(dbname));
    }

    // base with the password set (or any inherited one removed), and no service file or
    // password file of the service's account consulted.
    QProcessEnvironment environment(QProcessEnvironment base) const
    {
        for (const char *name : {"PGPASSWORD", "PGSERVICE", "PGSERVICEFILE", "PGPASSFILE",
                                 "PGOPTIONS", "PGDATABASE", "PGHOST", "PGPORT", "PGUSER"})
            base.remove(QLatin1String(name));
        if (!password.isEmpty())
            base.insert(QStringLiteral("PGPASSWORD"), password);
        base.insert(QStringLiteral("PGPASSFILE"), QStringLiteral(
#ifdef Q_OS_WIN
                                                      "NUL"
#else
                                                      "/dev/null"
#endif
                                                      ));
        return base;
    }

    static QString quoted(QString value)
    {
        value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
        value.replace(QLatin1Char('\''), QStringLiteral("\\'"));
        return QLatin1Char('\'') + value + QLatin1Char('\'');
    }
};
