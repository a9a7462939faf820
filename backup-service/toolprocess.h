// Runs one of PostgreSQL's tools (pg_dump, pg_restore) for a backup job and waits for it.
// Its messages go straight into a file, never through a pipe, so a tool outlives no
// reader it depends on; and it never outlives the service, which kills it when it is
// stopped, when it takes too long, or when the service itself dies.
#pragma once

#include "nativefile.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>

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

// Where a tool's standard input and output go; the null device unless one is given.
struct ToolStreams
{
    const File *input = nullptr;  // read from its start
    const File *output = nullptr; // written where its offset stands
    // Standard output handed to the service as it comes, when output is null.
    std::function<void(const QByteArray &chunk)> read;
};

// How long a stopped tool may take to end in order before it is killed.
constexpr int ToolGraceMs = 300;

// Starts the tool with its standard error into errors (the null device when it is not open)
// and its other streams as streams say, and waits until it ends, timeoutMs pass, or stop is
// requested (stop may be null).
ToolResult runTool(const ToolCommand &command, const File &errors, int timeoutMs,
                   const StopSignal *stop, const ToolStreams &streams = ToolStreams());
