#include "dumpjob.h"

#include "outputfolder.h"
#include "writelog.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString toolFailure(const QString &tool, const ToolResult &result, int timeoutMs)
{
    switch (result.status) {
    case ToolResult::NotStarted:
        return tool + QStringLiteral(" tidak dapat dijalankan: ") + result.error + QLatin1Char('.');
    case ToolResult::TimedOut:
        return tool + QStringLiteral(" melewati batas waktu %1 detik dan dihentikan.")
                          .arg(timeoutMs / 1000);
    case ToolResult::Crashed:
        return tool + QStringLiteral(" berhenti tidak normal.");
    default:
        return tool + QStringLiteral(" selesai dengan kode keluar %1.").arg(result.exitCode);
    }
}

// What a tool wrote into the run log from offset on, as one line.
QString messagesSince(int runLog, off_t offset)
{
    QByteArray text;
    char buffer[4096];
    ssize_t n;
    while (text.size() < 4096 &&
           (n = ::pread(runLog, buffer, sizeof buffer, offset + text.size())) > 0)
        text.append(buffer, int(n));
    return QString::fromUtf8(text).simplified();
}

} // namespace

DumpJob::DumpJob(OutputFolder &folder, const QString &dbname, const QString &baseName)
    : folder(folder), dbname(dbname), baseName(baseName)
{
}

DumpOutcome DumpJob::run(const std::function<ToolCommand(const QString &file)> &dump,
                         const ToolCommand &restore, int timeoutMs, const StopSignal *stop)
{
    DumpOutcome outcome;
    QString error;
    const QString logName = baseName + QStringLiteral(".log");
    const int runLog = folder.openForAppend(logName, &error);
    if (runLog < 0) {
        outcome.failure = QStringLiteral("Log proses [") + folder.filePath(logName) +
                          QStringLiteral("] tidak dapat dibuat: ") + error + QLatin1Char('.');
        return outcome;
    }
    // The entry is opened before the tools run, so that their messages reach it even if
    // the service does not live to see them end.
    WriteAll(runLog, LogEntry(QStringLiteral("Save Log : ") + dbname + QStringLiteral(" : ")));

    QString temporary;
    const int file = folder.createTemporary(baseName + QStringLiteral(".bu"), &temporary, &error);
    if (file < 0) {
        outcome.failure =
            QStringLiteral("Berkas dump sementara tidak dapat dibuat: ") + error + QLatin1Char('.');
    } else {
        const ToolResult dumped =
            runTool(dump(folder.filePath(temporary)), runLog, timeoutMs, stop);
        if (dumped.status == ToolResult::Stopped) {
            outcome.result = DumpOutcome::Cancelled;
        } else if (!dumped.succeeded()) {
            outcome.failure = toolFailure(QStringLiteral("pg_dump"), dumped, timeoutMs);
        } else {
            outcome = verifyAndKeep(file, temporary, runLog, restore, timeoutMs, stop);
        }
        // A dump that did not read back has been given its inspection name already.
        if (outcome.result != DumpOutcome::Ok)
            folder.remove(temporary);
        ::close(file);
    }
    WriteAll(runLog, QByteArrayLiteral("\n"));
    ::close(runLog);
    return outcome;
}

DumpOutcome DumpJob::verifyAndKeep(int file, const QString &temporary, int runLog,
                                   const ToolCommand &restore, int timeoutMs,
                                   const StopSignal *stop)
{
    DumpOutcome outcome;
    ::fsync(file);
    // Reading every block of the archive to nowhere finds a dump cut short, which a look at
    // its table of contents does not.
    ToolCommand verify = restore;
    verify.arguments = QStringList{QStringLiteral("--file=/dev/null"), folder.filePath(temporary)};
    const off_t before = ::lseek(runLog, 0, SEEK_END);
    const ToolResult read = runTool(verify, runLog, timeoutMs, stop);
    if (read.status == ToolResult::Stopped) {
        outcome.result = DumpOutcome::Cancelled;
        return outcome;
    }
    const QString finalName = baseName + QStringLiteral(".bu");
    QString error;
    if (!read.succeeded()) {
        const QString said = messagesSince(runLog, before);
        folder.rename(temporary, finalName + UnverifiedSuffix, &error);
        outcome.failure =
            QStringLiteral("dump tidak terbaca utuh: ") +
            (said.isEmpty() ? toolFailure(QStringLiteral("pg_restore"), read, timeoutMs) : said);
        return outcome;
    }
    struct stat info = {};
    ::fstat(file, &info);
    if (!folder.rename(temporary, finalName, &error)) {
        outcome.failure =
            QStringLiteral("Dump tidak dapat diberi nama akhir: ") + error + QLatin1Char('.');
        return outcome;
    }
    folder.sync();
    outcome.result = DumpOutcome::Ok;
    outcome.size = info.st_size;
    return outcome;
}
