#include "dumpjob.h"

#include "outputfolder.h"
#include "rowcount.h"
#include "toolmessages.h"
#include "writelog.h"

namespace {

// The line of what the tool wrote into the run log from offset on that says why it failed.
// A tool stopped for its time had no error to tell; any line of one that failed by itself is
// better than none.
QString errorSince(const File &runLog, qint64 offset, const ToolResult &result)
{
    const qint64 from = qMax(offset, runLog.size() - ErrorTailBytes);
    QByteArray messages = runLog.read(from, ErrorTailBytes);
    if (from > offset) // begun inside a line
        messages = messages.mid(messages.indexOf('\n') + 1);
    return lastErrorLine(messages, result.status != ToolResult::TimedOut);
}

// The failure as the entry and the history give it: what became of the tool, and its line.
QString failureOf(const QString &tool, const ToolResult &result, int timeoutMs, const File &runLog,
                  qint64 offset)
{
    const QString said =
        result.status == ToolResult::NotStarted ? QString() : errorSince(runLog, offset, result);
    return toolFailure(tool, result, timeoutMs) +
           (said.isEmpty() ? QString() : QStringLiteral(" Pesan Error : ") + said);
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
    File runLog = folder.openForAppend(logName, &error);
    if (!runLog.isOpen()) {
        outcome.failure = QStringLiteral("Log proses [") + folder.filePath(logName) +
                          QStringLiteral("] tidak dapat dibuat: ") + error + QLatin1Char('.');
        return outcome;
    }
    // The entry is opened before the tools run, so that their messages reach it even if
    // the service does not live to see them end.
    runLog.write(LogEntry(QStringLiteral("Save Log : ") + dbname + QStringLiteral(" : ")));
    const qint64 before = runLog.size();

    QString temporary;
    File file = folder.createTemporary(baseName + QStringLiteral(".bu"), &temporary, &error);
    if (!file.isOpen()) {
        outcome.failure =
            QStringLiteral("Berkas dump sementara tidak dapat dibuat: ") + error + QLatin1Char('.');
    } else {
        const ToolResult dumped =
            runTool(dump(folder.filePath(temporary)), runLog, timeoutMs, stop);
        if (dumped.status == ToolResult::Stopped) {
            outcome.result = DumpOutcome::Cancelled;
        } else if (!dumped.succeeded()) {
            outcome.failure =
                failureOf(QStringLiteral("pg_dump"), dumped, timeoutMs, runLog, before);
        } else {
            outcome = verifyAndKeep(file, temporary, runLog, restore, timeoutMs, stop);
        }
        // A dump that did not read back has been given its inspection name already.
        if (outcome.result != DumpOutcome::Ok)
            folder.remove(temporary);
    }
    runLog.write(QByteArrayLiteral("\n"));
    return outcome;
}

DumpOutcome DumpJob::verifyAndKeep(File &file, const QString &temporary, File &runLog,
                                   const ToolCommand &restore, int timeoutMs,
                                   const StopSignal *stop)
{
    DumpOutcome outcome;
    // A dump that may not be on the disk is no backup to count on.
    if (!file.sync()) {
        outcome.failure = QStringLiteral("Dump tidak tersimpan aman di disk: ") + lastErrorText() +
                          QLatin1Char('.');
        return outcome;
    }
    // Reading every block of the archive finds a dump cut short, which a look at its table of
    // contents does not; the script it reads into is counted on the way, never kept.
    ToolCommand verify = restore;
    verify.arguments = QStringList{QStringLiteral("--file=-"), folder.filePath(temporary)};
    const qint64 before = runLog.size();
    CopyCounter counter;
    ToolStreams streams;
    streams.errorFile = &runLog;
    streams.output = [&counter](const char *data, qint64 size) { counter.feed(data, size); };
    const ToolResult read = runTool(verify, streams, timeoutMs, stop);
    if (read.status == ToolResult::Stopped) {
        outcome.result = DumpOutcome::Cancelled;
        return outcome;
    }
    const QString finalName = baseName + QStringLiteral(".bu");
    QString error;
    const bool counted = counter.finish(&outcome.tables);
    if (!read.succeeded() || !counted) {
        folder.rename(temporary, finalName + UnverifiedSuffix, &error);
        // pg_restore's own line says best what is wrong with the archive.
        const QString said =
            read.status == ToolResult::TimedOut ? QString() : errorSince(runLog, before, read);
        outcome.failure =
            QStringLiteral("dump tidak terbaca utuh: ") +
            (!said.isEmpty()    ? said
             : read.succeeded() ? QStringLiteral("data tabel terakhir terpotong.")
                                : toolFailure(QStringLiteral("pg_restore"), read, timeoutMs));
        outcome.tables.clear();
        return outcome;
    }
    const qint64 size = file.size();
    if (!folder.rename(temporary, finalName, &error)) {
        outcome.failure =
            QStringLiteral("Dump tidak dapat diberi nama akhir: ") + error + QLatin1Char('.');
        return outcome;
    }
    if (!folder.sync()) {
        // Whole, but its name may not survive a crash: kept for inspection, not as a dump.
        outcome.failure = QStringLiteral("Nama akhir dump tidak tersimpan aman di disk: ") +
                          lastErrorText() + QLatin1Char('.');
        folder.rename(finalName, finalName + UnverifiedSuffix, &error);
        return outcome;
    }
    outcome.result = DumpOutcome::Ok;
    outcome.size = size;
    return outcome;
}
