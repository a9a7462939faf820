// Runs one of PostgreSQL's tools (pg_dump, pg_restore, psql, initdb) for the service and waits
// for it. Its messages go into a file, or through a pipe into a reader of the service's when the
// service needs what it says (pg_restore's data to count rows, its progress); a tool never
// outlives the service, which kills it when it is stopped, when it takes too long, or when the
// service itself dies.
#pragma once

#include "nativefile.h"

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
    ToolCommand(QString program = QString(), QStringList arguments = QStringList(),
                QProcessEnvironment environment = QProcessEnvironment(),
                QString account = QString())
        : program(std::move(program)), arguments(std::move(arguments)),
          environment(std::move(environment)), account(std::move(account))
    {
    }

    QString program;
    QStringList arguments;
    QProcessEnvironment environment;
    // Who runs it when the service runs as root, which PostgreSQL's server programs refuse;
    // empty: the service's own account. Ignored on Windows, where they drop rights themselves.
    QString account;
};

// What a tool writes, read as it comes; called on the thread that runs the tool.
using ToolReader = std::function<void(const char *data, qint64 size)>;

// Where a tool's output goes. What has no place goes to the null device.
struct ToolStreams
{
    const File *input = nullptr;      // standard input read from this file's start
    const File *outputFile = nullptr; // standard output written where this file's offset stands
    const File *errorFile = nullptr;  // standard error into this open file
    ToolReader output;                // standard output through a pipe, instead of outputFile
    ToolReader errors;                // standard error through a pipe, instead of errorFile
};

// Why a tool did not succeed, as the activity log says it ("pg_dump selesai dengan kode
// keluar 3.").
QString toolFailure(const QString &tool, const ToolResult &result, int timeoutMs);

// How long a stopped tool may take to end in order before it is killed.
constexpr int ToolGraceMs = 300;

// Starts the tool with its standard streams as streams says (the null device where it says none),
// and waits until it ends, timeoutMs pass, or stop is requested (stop may be null). What it
// wrote before it ended has been read when this returns.
ToolResult runTool(const ToolCommand &command, const ToolStreams &streams, int timeoutMs,
                   const StopSignal *stop);

// Standard error into errors (the null device when it is not open), standard output nowhere.
inline ToolResult runTool(const ToolCommand &command, const File &errors, int timeoutMs,
                          const StopSignal *stop)
{
    ToolStreams streams;
    streams.errorFile = &errors;
    return runTool(command, streams, timeoutMs, stop);
}

#ifndef Q_OS_WIN
// A program that runs beside the service until the service ends it, a scratch database server:
// a child of the worker thread that starts it, so that it dies with the service however the
// service ends. Its standard output and error go into errors.
class BackgroundTool
{
public:
    BackgroundTool() = default;
    ~BackgroundTool(); // ends it at once if it still runs

    bool start(const ToolCommand &command, const File &errors, QString *error);
    // Whether it has ended, without waiting; how in *result.
    bool hasEnded(ToolResult *result = nullptr);
    // Readable once it has ended, for poll().
    int waitable() const { return pidFd; }
    // Sends signal, gives it graceMs to end, then kills it; returns once it is gone.
    void end(int signal, int graceMs);

private:
    BackgroundTool(const BackgroundTool &) = delete;
    BackgroundTool &operator=(const BackgroundTool &) = delete;

    int pid = -1;
    int pidFd = -1;
    int status = 0;
    bool ended = false;
};
#endif
