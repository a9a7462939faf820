// The restore drill ("Uji Pulih") of one dump: a private scratch cluster of the newest installed
// server at least as new as the one the dump came from, the server's globals first, then the
// dump into a fresh database, stopping at its first error; the rows of every table counted and
// compared with what the dump's read-back recorded; then the cluster and its files are gone.
// It never connects anywhere but to the scratch cluster's private socket.
#pragma once

#include "riwayat.h"

#include <QList>
#include <QProcessEnvironment>
#include <QString>

class StopSignal;

struct DrillOutcome
{
    enum Result { Ok, Failed, Refused, Cancelled, Unavailable };
    Result result = Failed;
    QString reason; // why it failed, was refused or could not run
    int tables = 0; // Ok: how many tables were restored, and their rows
    qint64 rows = 0;
    qint64 ms = 0; // how long it took
};

class RestoreDrill
{
public:
    struct Tools
    {
        QString pgRestore;
        QString psql;
        QProcessEnvironment environment;
    };

    // workFolder: the service's scratch space, where the cluster lives while it runs.
    RestoreDrill(const Tools &tools, const QString &workFolder);

    // dump: the archive; globals: the server's globals dumped with it (empty: none); recorded:
    // the rows its read-back counted. Within timeoutMs; a stop request ends it at once.
    DrillOutcome run(const QString &dump, const QString &globals,
                     const QList<riwayat::TableRows> &recorded, int timeoutMs,
                     const StopSignal *stop);

    // The room a drill of a dump of dumpSize bytes holding rows rows takes: the cluster itself,
    // the tables (whose rows take more room in a server than in the compressed dump) and their
    // indexes.
    static qint64 roomNeeded(qint64 dumpSize, qint64 rows);

private:
    const Tools tools;
    const QString workFolder;
};
