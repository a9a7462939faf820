#include "rclonetool.h"

#include "confbu.h"
#include "pemulihan.h"
#include "programfile.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>

namespace {

// More than any answer the service reads from rclone; the rest is not kept.
constexpr int MaxOutputBytes = 4 * 1024 * 1024;

} // namespace

QString lastMessageLine(const QByteArray &messages)
{
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d(\\.\\d+)? "));
    const QStringList lines =
        QString::fromUtf8(messages).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // What rclone says at its debug and info levels is no reason.
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        const QString text = QString(*line).remove(stamp).simplified();
        if (!text.isEmpty() && !text.startsWith(QLatin1String("DEBUG : ")) &&
            !text.startsWith(QLatin1String("INFO : ")))
            return text.left(1000);
    }
    return QString();
}

Rclone::Rclone(const QString &configPath, const Limits &limits) : config(configPath), bounds(limits)
{
}

QString Rclone::program(const QString &programDir)
{
#ifdef Q_OS_WIN
    return confbu::joinPath(programDir, QStringLiteral("rclone.exe"));
#else
    Q_UNUSED(programDir)
    return QStringLiteral("/usr/bin/rclone");
#endif
}

QString Rclone::ageProgram(const QString &programDir)
{
    return pemulihan::ageProgram(programDir);
}

int Rclone::boundMs(qint64 bytes) const
{
    const qint64 ms = bounds.baseMs + bytes * 1000 / qMax<qint64>(1, bounds.bytesPerSec);
    return int(qMin<qint64>(ms, 7 * 24 * 3600 * 1000LL));
}

// Only what the tools need to run; HOME is the configuration's folder, where rclone may keep
// what it caches.
QProcessEnvironment Rclone::environment() const
{
    QProcessEnvironment clean;
#ifdef Q_OS_WIN
    const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"SystemRoot", "SystemDrive", "TEMP", "TMP", "USERPROFILE"})
        if (system.contains(QLatin1String(name)))
            clean.insert(QLatin1String(name), system.value(QLatin1String(name)));
#else
    clean.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    clean.insert(QStringLiteral("HOME"), QFileInfo(config).absolutePath());
    clean.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
#endif
    return clean;
}

Rclone::Result Rclone::runProgram(const QString &programPath, const QStringList &arguments,
                                  const File &runLog, const StopSignal *stop, int timeoutMs,
                                  bool keepOutput, const File *input, const File *output) const
{
    Result result;
    // Without a run log the messages are kept apart, for the reason they give.
    QString error;
    File apart;
    if (!runLog.isOpen())
        apart = memoryFile(QByteArray(), &error);
    const File &messages = runLog.isOpen() ? runLog : apart;
    const qint64 before = messages.isOpen() ? messages.size() : 0;
    ToolStreams streams;
    streams.input = input;
    streams.outputFile = output;
    streams.errorFile = &messages;
    if (keepOutput && !output)
        streams.output = [&result](const char *data, qint64 size) {
            if (result.output.size() < MaxOutputBytes)
                result.output.append(data, int(qMin<qint64>(size, MaxOutputBytes - result.output.size())));
        };
    const QString name = QFileInfo(programPath).completeBaseName();
    result.tool =
        runTool(ToolCommand{programPath, arguments, environment()}, streams, timeoutMs, stop);
    if (apart.isOpen())
        result.messages = apart.read(0, int(qMin<qint64>(apart.size(), MaxOutputBytes)));
    if (result.succeeded())
        return result;
    const qint64 from = qMax(before, messages.isOpen() ? messages.size() - 65536 : 0);
    const QString said =
        messages.isOpen() ? lastMessageLine(messages.read(from, 65536)) : QString();
    switch (result.tool.status) {
    case ToolResult::Finished:
        result.failure = said.isEmpty() ? toolFailure(name, result.tool, timeoutMs) : said;
        break;
    case ToolResult::Crashed:
    case ToolResult::TimedOut:
        result.failure = toolFailure(name, result.tool, timeoutMs) +
                         (said.isEmpty() ? QString() : QStringLiteral(" ") + said);
        break;
    default:
        result.failure = toolFailure(name, result.tool, timeoutMs);
        break;
    }
    return result;
}

Rclone::Result Rclone::run(const QStringList &arguments, const File &runLog, const StopSignal *stop,
                           qint64 bytes, bool keepOutput, const File *input) const
{
    QStringList all{QStringLiteral("--config"), config, QStringLiteral("--contimeout"),
                    QStringLiteral("%1s").arg(bounds.connectSecs), QStringLiteral("--timeout"),
                    QStringLiteral("%1s").arg(bounds.idleSecs),
                    // A failure is told at once; the next run tries again.
                    QStringLiteral("--retries"), QStringLiteral("1"),
                    QStringLiteral("--low-level-retries"), QStringLiteral("3"),
                    // Nothing read from the service's terminal, there is none.
                    QStringLiteral("--ask-password=false")};
    if (!bounds.bandwidth.isEmpty())
        all << QStringLiteral("--bwlimit") << bounds.bandwidth;
    return runProgram(program(programDir), all + arguments, runLog, stop, boundMs(bytes),
                      keepOutput, input, nullptr);
}

Rclone::Result Rclone::encrypt(const QString &recipient, const File &input, const File &output,
                               const File &runLog, const StopSignal *stop, qint64 bytes) const
{
    return runProgram(ageProgram(programDir), {QStringLiteral("-r"), recipient}, runLog, stop,
                      boundMs(bytes), false, &input, &output);
}

bool Rclone::readConfig(QJsonObject *configuration, QString *problem, const StopSignal *stop) const
{
    *configuration = QJsonObject();
    const QFileInfo file(config);
    if (!file.exists() && !file.isSymLink()) {
        *problem =
            QStringLiteral("berkas konfigurasi rclone [") + config + QStringLiteral("] belum ada");
        return false;
    }
    // Whoever could write it could send root's dumps anywhere; whoever could read it, read
    // the destinations' credentials.
    QString why;
    if (!programfile::isPrivateFile(config, &why)) {
        *problem = QStringLiteral("berkas konfigurasi rclone [") + config +
                   QStringLiteral("] tidak dipakai: ") + why;
        return false;
    }
    const Result dumped =
        run({QStringLiteral("config"), QStringLiteral("dump")}, File(), stop, 0, true);
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(dumped.output, &parse);
    // rclone's own words could quote a line of the file, secrets included, and this reason is
    // published to the admin group: root reads them with the command named here.
    if (!dumped.succeeded() || !document.isObject()) {
        *problem =
            QStringLiteral("berkas konfigurasi rclone [") + config +
            QStringLiteral("] tidak terbaca (") +
            (dumped.tool.status == ToolResult::Finished
                 ? QStringLiteral("rclone selesai dengan kode keluar %1").arg(dumped.tool.exitCode)
             : dumped.tool.status == ToolResult::NotStarted
                 ? QStringLiteral("rclone tidak dapat dijalankan: ") + dumped.tool.error
                 : QStringLiteral("rclone tidak selesai")) +
            QStringLiteral("); periksa sebagai root: rclone --config ") + config +
            QStringLiteral(" config show");
        return false;
    }
    *configuration = document.object();
    return true;
}
