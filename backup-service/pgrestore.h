// Restoring a dump into a database through PostgreSQL's own tools: pg_restore of an archive
// into a target, stopping at its first error, with progress (the items of the archive's list
// restored so far, the table whose data is on its way) and cancellation; and the server's
// globals applied before it through psql.
#pragma once

#include "pgtarget.h"
#include "toolprocess.h"

#include <QString>

#include <functional>

class StopSignal;

// What pg_restore --list tells of an archive.
struct ArchiveInfo
{
    int items = 0;       // entries of its list
    int serverMajor = 0; // the major version of the server it was dumped from
};

struct RestoreProgress
{
    int done = 0;
    int total = 0;
    QString table; // whose data is being restored; empty before the first
};

class PgRestore
{
public:
    struct Options
    {
        bool singleTransaction = false; // all or nothing
        bool tablespaces = false;       // false: everything into the target's default tablespace
    };
    using Progress = std::function<void(const RestoreProgress &progress)>;

    // The tools' paths, and the environment they run with (a target's password is added).
    PgRestore(const QString &pgRestore, const QString &psql,
              const QProcessEnvironment &environment);

    bool inspect(const QString &archive, int timeoutMs, const StopSignal *stop, ArchiveInfo *info,
                 QString *error);
    // Restores archive into target. Not succeeded: pg_restore's own error line (or why it did
    // not run) in *error.
    ToolResult restore(const QString &archive, const PgTarget &target, const Options &options,
                       int timeoutMs, const StopSignal *stop, const Progress &progress,
                       QString *error);
    // One SQL statement through psql, stopping at an error.
    ToolResult execute(const PgTarget &target, const QString &statement, int timeoutMs,
                       const StopSignal *stop, QString *error);
    // The statements of a file through psql, going on past statements that fail (a role that
    // exists already); what psql said in *error when it could not run the file at all.
    ToolResult executeFile(const PgTarget &target, const QString &file, int timeoutMs,
                           const StopSignal *stop, QString *error);

private:
    ToolResult psql(const PgTarget &target, const QStringList &arguments, int timeoutMs,
                    const StopSignal *stop, QString *error);

    const QString pgRestore;
    const QString psqlProgram;
    const QProcessEnvironment environment;
};

// A globals script (pg_dumpall --globals-only) without what names the server's own disks: a
// scratch server must never make a tablespace where the real one keeps its files.
QByteArray withoutTablespaces(const QByteArray &script);
