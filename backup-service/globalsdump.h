// The server's roles and tablespaces with their settings (pg_dumpall --globals-only), which a
// database's dump needs before it restores: once per run, before the databases, into
// bu_globals_<yyyyMMdd.hhmmss>.sql in the output folder. Written under a temporary name and
// renamed like a dump, and readable by the service alone, since it holds the roles' password
// verifiers. A user that may not read those gets the roles without them.
#pragma once

#include "toolprocess.h"

#include <QString>

#include <functional>

class OutputFolder;
class StopSignal;

struct GlobalsOutcome
{
    enum Result { Ok, Failed, Cancelled };
    Result result = Failed;
    QString failure;               // Failed: the reason, as the activity log gives it
    qint64 size = 0;               // Ok: the file's size in bytes
    bool withoutPasswords = false; // Ok: dumped without the roles' passwords
};

class GlobalsDump
{
public:
    // What the history's job rows and the file names call the globals.
    static inline const QString Name = QStringLiteral("globals");

    // baseName: "bu_globals_" + time stamp, to which the dump's name adds ".sql".
    GlobalsDump(OutputFolder &folder, const QString &baseName);

    // dumpall: pg_dumpall's command for the file it is given, with the roles' passwords or
    // without. timeoutMs bounds each try; a stop request ends it at once.
    GlobalsOutcome
    run(const std::function<ToolCommand(const QString &file, bool passwords)> &dumpall,
        int timeoutMs, const StopSignal *stop);

private:
    OutputFolder &folder;
    const QString baseName;
};
