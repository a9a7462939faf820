// Runs one of PostgreSQL's tools (pg_dump, pg_restore) for a backup job and waits for it.
// Its messages go straight into a file, never through a pipe, so a tool outlives no
// reader it depends on; and it never outlives the service, which kills it when it is
// stopped, when it takes too long, or when the service itself dies.
#pragma once

#include "nativefile.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class StopSignal;

struct ToolResult
{
    enum Status { Finished, NotStarted, Crashed, TimedOut, Stopped };
    Status status = NotStarted;
    int exitCode = -1;
    QString error; // NotStarted: why

    bool succeeded() const { return status == Finished && exitCode == 0; }
};

struct ToolCommand
{
    QString program;
    QStringList arguments;
    QProcessEnvironment environment;
};

// How long a stopped tool may take to end in order before it is killed.
constexpr int ToolGraceMs = 300;

// Starts the tool with its standard input and output on the null device and its standard
// error into errors (the null device when it is not open), and waits until it ends, timeoutMs
// pass, or stop is requested (stop may be null).
ToolResult runTool(const ToolCommand &command, const File &errors, int timeoutMs,
                   const StopSignal *stop);
