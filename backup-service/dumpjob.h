// One database's dump, whole or not at all. pg_dump writes into a temporary file that the
// service made itself in the output folder; the file gets its final name only when the tool
// ended with code 0 and pg_restore read the whole archive back, which also tells how many rows
// each table holds. Both tools write their messages straight into the run log beside the dump.
#pragma once

#include "riwayat.h"
#include "toolprocess.h"

#include <QList>
#include <QString>

#include <functional>

class OutputFolder;
class StopSignal;

struct DumpOutcome
{
    enum Result { Ok, Failed, Cancelled };
    Result result = Failed;
    QString failure;                  // Failed: the reason, as the activity log gives it
    qint64 size = 0;                  // Ok: the dump's size in bytes
    QList<riwayat::TableRows> tables; // Ok: the rows each table of the dump holds
};

class DumpJob
{
public:
    // A dump that did not read back whole, or whose final name may not be on the disk, is
    // kept for inspection under its final name with this added, which no one takes for a dump.
    static inline const QString UnverifiedSuffix = QStringLiteral(".rusak");

    // baseName: "bu_" + database + "_" + time stamp; the dump gets ".bu", the run log ".log".
    DumpJob(OutputFolder &folder, const QString &dbname, const QString &baseName);

    // dump: pg_dump's command for the file it is given; restore: pg_restore's program and
    // environment. Each tool gets timeoutMs; a stop request ends the job at once.
    DumpOutcome run(const std::function<ToolCommand(const QString &file)> &dump,
                    const ToolCommand &restore, int timeoutMs, const StopSignal *stop);

private:
    DumpOutcome verifyAndKeep(File &file, const QString &temporary, File &runLog,
                              const ToolCommand &restore, int timeoutMs, const StopSignal *stop);

    OutputFolder &folder;
    const QString dbname;
    const QString baseName;
};
