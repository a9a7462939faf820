#include "dumpjob.h"

#include "outputfolder.h"
#include "rowcount.h"
#include "writelog.h"

namespace {

// What a tool wrote into the run log from offset on, as one line.
QString messagesSince(const File &runLog, qint64 offset)
{
    return QString::fromUtf8(runLog.read(offset, 4096)).simplified();
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
            outcome.failure = toolFailure(QStringLiteral("pg_dump"), dumped, timeoutMs);
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
    file.sync();
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
        const QString said = messagesSince(runLog, before);
        folder.rename(temporary, finalName + UnverifiedSuffix, &error);
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
    folder.sync();
    outcome.result = DumpOutcome::Ok;
    outcome.size = size;
    return outcome;
}
