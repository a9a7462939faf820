// rclone and age as the service runs them, through the tool runner like pg_dump: root's
// configuration always named with --config, an environment of the service's own making (nothing
// inherited that rclone or its backends read: RCLONE_*, AWS_*, proxies), and every call bounded:
// connecting, waiting for an answer, and the whole call, whose bound grows with the bytes it moves.
#pragma once

#include "toolprocess.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

class StopSignal;

class Rclone
{
public:
    struct Limits
    {
        int connectSecs = 30; // a server that does not take the connection
        int idleSecs = 120;   // one that took it and went quiet
        int baseMs = 5 * 60 * 1000;
        qint64 bytesPerSec = 256 * 1024; // the slowest line a copy may take, for its bound
        QString bandwidth;               // rclone's --bwlimit; empty: none
    };

    struct Result
    {
        ToolResult tool;
        QByteArray output;   // standard output, when it was asked for
        QByteArray messages; // what it said, when no run log took it
        QString failure;     // why it failed: rclone's own last error line where it gave one
        bool succeeded() const { return tool.succeeded(); }
        bool stopped() const { return tool.status == ToolResult::Stopped; }
        // rclone's exit code for a path that is not there.
        bool notFound() const { return tool.status == ToolResult::Finished && tool.exitCode == 3; }
    };

    Rclone(const QString &configPath, const Limits &limits);

    // Where the programs are found: the system's on Linux, never through the PATH of the
    // environment; beside the service on Windows.
    static QString program(const QString &programDir);
    static QString ageProgram(const QString &programDir);

    void setProgramDirectory(const QString &dir) { programDir = dir; }
    QString configPath() const { return config; }
    const Limits &limits() const { return bounds; }
    // The bound of a call that moves bytes.
    int boundMs(qint64 bytes) const;

    // rclone with arguments, its messages appended to runLog (kept apart when it is not open),
    // its standard input from input (null: none), its standard output kept when keepOutput.
    Result run(const QStringList &arguments, const File &runLog, const StopSignal *stop,
               qint64 bytes = 0, bool keepOutput = false, const File *input = nullptr) const;
    // age -r recipient, from input into output.
    Result encrypt(const QString &recipient, const File &input, const File &output,
                   const File &runLog, const StopSignal *stop, qint64 bytes) const;

    // Root's configuration as rclone reads it: every destination with its options (secrets
    // included: never written anywhere). False with the reason when it cannot be read.
    bool readConfig(QJsonObject *config, QString *problem, const StopSignal *stop) const;

    // The environment every tool of these gets.
    QProcessEnvironment environment() const;

private:
    Result runProgram(const QString &program, const QStringList &arguments, const File &runLog,
                      const StopSignal *stop, int timeoutMs, bool keepOutput, const File *input,
                      const File *output) const;

    QString config;
    Limits bounds;
    QString programDir;
};

// The last line a tool wrote to the log from offset on, without rclone's time stamp: rclone
// ends a failure with a line that says what went wrong.
QString lastMessageLine(const QByteArray &messages);
