#include "globalsdump.h"

#include "outputfolder.h"

GlobalsDump::GlobalsDump(OutputFolder &folder, const QString &baseName)
    : folder(folder), baseName(baseName)
{
}

GlobalsOutcome
GlobalsDump::run(const std::function<ToolCommand(const QString &file, bool passwords)> &dumpall,
                 int timeoutMs, const StopSignal *stop)
{
    GlobalsOutcome outcome;
    QString error;
    const QString finalName = baseName + QStringLiteral(".sql");
    for (const bool passwords : {true, false}) {
        QString temporary;
        File file =
            folder.createTemporary(finalName, &temporary, &error, OutputFolder::Readers::OwnerOnly);
        if (!file.isOpen()) {
            outcome.failure = QStringLiteral("Berkas globals sementara tidak dapat dibuat: ") +
                              error + QLatin1Char('.');
            break;
        }
        // pg_dumpall says nothing unless something goes wrong, and then it goes into the entry.
        QByteArray said;
        ToolStreams streams;
        streams.errors = [&said](const char *data, qint64 size) {
            said = (said + QByteArray(data, int(size))).right(4096);
        };
        const ToolResult dumped =
            runTool(dumpall(folder.filePath(temporary), passwords), streams, timeoutMs, stop);
        if (dumped.succeeded()) {
            // Globals that may not be on the disk, under their name, are none to count on.
            const qint64 size = file.size();
            if (!file.sync()) {
                outcome.failure = QStringLiteral("Berkas globals tidak tersimpan aman di disk: ") +
                                  lastErrorText() + QLatin1Char('.');
            } else if (!folder.rename(temporary, finalName, &error)) {
                outcome.failure = QStringLiteral("Berkas globals tidak dapat diberi nama akhir: ") +
                                  error + QLatin1Char('.');
            } else if (!folder.sync()) {
                outcome.failure =
                    QStringLiteral("Nama akhir berkas globals tidak tersimpan aman di disk: ") +
                    lastErrorText() + QLatin1Char('.');
                folder.remove(finalName);
            } else {
                outcome.result = GlobalsOutcome::Ok;
                outcome.size = size;
                outcome.withoutPasswords = !passwords;
            }
            if (outcome.result != GlobalsOutcome::Ok)
                folder.remove(temporary);
            break;
        }
        folder.remove(temporary);
        if (dumped.status == ToolResult::Stopped) {
            outcome.result = GlobalsOutcome::Cancelled;
            break;
        }
        const QString text = QString::fromUtf8(said).simplified();
        outcome.failure =
            text.isEmpty() ? toolFailure(QStringLiteral("pg_dumpall"), dumped, timeoutMs) : text;
        // Only a superuser may read the roles' password verifiers (pg_authid); the roles
        // themselves are for everyone to read.
        if (!passwords || !text.contains(QLatin1String("pg_authid")))
            break;
    }
    return outcome;
}
