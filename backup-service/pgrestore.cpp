#include "pgrestore.h"

#include <QRegularExpression>

namespace {

// Collects what a tool writes on a stream into whole lines, at most a few kilobytes of the
// latest, and hands each line on as it ends.
class Lines
{
public:
    explicit Lines(std::function<void(const QByteArray &line)> each = {}) : each(std::move(each)) {}
    void feed(const char *data, qint64 size)
    {
        for (qint64 i = 0; i < size; ++i) {
            if (data[i] != '\n') {
                if (partial.size() < 4096)
                    partial += data[i];
                continue;
            }
            line(partial);
            partial.clear();
        }
    }
    void finish()
    {
        if (!partial.isEmpty())
            line(partial);
        partial.clear();
    }
    QString firstError() const { return QString::fromUtf8(error).simplified(); }
    QString last() const { return QString::fromUtf8(latest.join(' ')).simplified(); }

private:
    void line(const QByteArray &text)
    {
        if (error.isEmpty() && text.contains(": error: "))
            error = text;
        if (!text.trimmed().isEmpty()) {
            latest << text;
            if (latest.size() > 3)
                latest.removeFirst();
        }
        if (each)
            each(text);
    }
    std::function<void(const QByteArray &line)> each;
    QByteArray partial;
    QByteArray error;
    QList<QByteArray> latest;
};

QString failureText(const QString &tool, const ToolResult &result, const Lines &lines,
                    int timeoutMs)
{
    if (result.status == ToolResult::NotStarted || result.status == ToolResult::TimedOut)
        return toolFailure(tool, result, timeoutMs);
    const QString said = lines.firstError().isEmpty() ? lines.last() : lines.firstError();
    return said.isEmpty() ? toolFailure(tool, result, timeoutMs) : said;
}

} // namespace

PgRestore::PgRestore(const QString &pgRestore, const QString &psql,
                     const QProcessEnvironment &environment)
    : pgRestore(pgRestore), psqlProgram(psql), environment(environment)
{
}

bool PgRestore::inspect(const QString &archive, int timeoutMs, const StopSignal *stop,
                        ArchiveInfo *info, QString *error)
{
    static const QRegularExpression dumpedFrom(
        QStringLiteral("^;\\s+Dumped from database version: (\\d+)"));
    *info = ArchiveInfo();
    Lines list([info](const QByteArray &line) {
        if (line.startsWith(';')) {
            const QRegularExpressionMatch match = dumpedFrom.match(QString::fromUtf8(line));
            if (match.hasMatch())
                info->serverMajor = match.captured(1).toInt();
        } else if (!line.trimmed().isEmpty()) {
            ++info->items;
        }
    });
    Lines messages;
    ToolStreams streams;
    streams.output = [&list](const char *data, qint64 size) { list.feed(data, size); };
    streams.errors = [&messages](const char *data, qint64 size) { messages.feed(data, size); };
    const ToolResult result = runTool(
        {pgRestore, {QStringLiteral("--list"), archive}, PgTarget().environment(environment)},
        streams, timeoutMs, stop);
    list.finish();
    messages.finish();
    if (result.succeeded())
        return true;
    *error = failureText(QStringLiteral("pg_restore"), result, messages, timeoutMs);
    return false;
}

ToolResult PgRestore::restore(const QString &archive, const PgTarget &target,
                              const Options &options, int timeoutMs, const StopSignal *stop,
                              const Progress &progress, QString *error)
{
    static const QRegularExpression item(
        QStringLiteral("^pg_restore: (creating |processing data for table |executing )"));
    static const QRegularExpression table(
        QStringLiteral("^pg_restore: processing data for table \"(.*)\"$"));
    ArchiveInfo info;
    RestoreProgress done;
    QString unlisted;
    if (progress && inspect(archive, timeoutMs, stop, &info, &unlisted))
        done.total = info.items;
    Lines messages([&](const QByteArray &line) {
        if (!progress)
            return;
        const QString text = QString::fromUtf8(line);
        if (!item.match(text).hasMatch())
            return;
        done.done = done.total > 0 ? qMin(done.done + 1, done.total) : done.done + 1;
        const QRegularExpressionMatch data = table.match(text);
        if (data.hasMatch())
            done.table = data.captured(1);
        progress(done);
    });
    ToolStreams streams;
    streams.errors = [&messages](const char *data, qint64 size) { messages.feed(data, size); };
    QStringList arguments{QStringLiteral("--verbose"), QStringLiteral("--exit-on-error"),
                          QStringLiteral("--no-password")};
    if (options.singleTransaction)
        arguments << QStringLiteral("--single-transaction");
    if (!options.tablespaces)
        arguments << QStringLiteral("--no-tablespaces");
    arguments << QStringLiteral("--dbname=") + target.connectionString() << archive;
    const ToolResult result =
        runTool({pgRestore, arguments, target.environment(environment)}, streams, timeoutMs, stop);
    messages.finish();
    if (!result.succeeded())
        *error = failureText(QStringLiteral("pg_restore"), result, messages, timeoutMs);
    return result;
}

ToolResult PgRestore::psql(const PgTarget &target, const QStringList &arguments, int timeoutMs,
                           const StopSignal *stop, QString *error)
{
    Lines messages;
    ToolStreams streams;
    streams.errors = [&messages](const char *data, qint64 size) { messages.feed(data, size); };
    const ToolResult result =
        runTool({psqlProgram,
                 QStringList{QStringLiteral("--no-psqlrc"), QStringLiteral("--quiet"),
                             QStringLiteral("--no-password"),
                             QStringLiteral("--dbname=") + target.connectionString()} +
                     arguments,
                 target.environment(environment)},
                streams, timeoutMs, stop);
    messages.finish();
    if (!result.succeeded())
        *error = failureText(QStringLiteral("psql"), result, messages, timeoutMs);
    return result;
}

ToolResult PgRestore::execute(const PgTarget &target, const QString &statement, int timeoutMs,
                              const StopSignal *stop, QString *error)
{
    return psql(target,
                {QStringLiteral("--set=ON_ERROR_STOP=1"), QStringLiteral("--command=") + statement},
                timeoutMs, stop, error);
}

ToolResult PgRestore::executeFile(const PgTarget &target, const QString &file, int timeoutMs,
                                  const StopSignal *stop, QString *error)
{
    return psql(target, {QStringLiteral("--file=") + file}, timeoutMs, stop, error);
}

QByteArray withoutTablespaces(const QByteArray &script)
{
    // pg_dumpall writes each statement about a tablespace on a line of its own.
    static const QRegularExpression tablespace(
        QStringLiteral("^\\s*((CREATE|ALTER|DROP|COMMENT ON|SECURITY LABEL( FOR \\S+)? ON) "
                       "TABLESPACE\\b|(GRANT|REVOKE)\\b.*\\bON TABLESPACE\\b)"),
        QRegularExpression::CaseInsensitiveOption);
    QByteArray kept;
    for (const QByteArray &line : script.split('\n')) {
        if (tablespace.match(QString::fromUtf8(line)).hasMatch())
            continue;
        kept += line + '\n';
    }
    kept.chop(1);
    return kept;
}
