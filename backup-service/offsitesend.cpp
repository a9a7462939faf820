#include "offsitesend.h"

#include "outputfolder.h"
#include "stopsignal.h"
#include "writelog.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QThread>

#include <functional>

const QString DumpSender::Stopped = QStringLiteral("Service dihentikan.");

namespace {

// A run log larger than this is sent cut to its end.
constexpr int MaxRunLogBytes = 8 * 1024 * 1024;

// The file's hash in lowercase hexadecimal; empty when it could not be read whole.
QByteArray hashOf(const File &file, QCryptographicHash::Algorithm algorithm, qint64 size)
{
    QCryptographicHash hash(algorithm);
    for (qint64 offset = 0; offset < size;) {
        const QByteArray block = file.read(offset, 1 << 20);
        if (block.isEmpty())
            return QByteArray();
        hash.addData(block);
        offset += block.size();
    }
    return hash.result().toHex();
}

// Work done on a thread of its own while the calling one waits for rclone.
class Meanwhile : public QThread
{
public:
    explicit Meanwhile(std::function<void()> work) : work(std::move(work)) { start(); }
    ~Meanwhile() override { wait(); }

protected:
    void run() override { work(); }

private:
    const std::function<void()> work;
};

// rclone's messages for the run log: what it says at its debug level only where a hash was
// compared.
QByteArray withoutDebug(const QByteArray &messages)
{
    QByteArray kept;
    for (const QByteArray &line : messages.split('\n'))
        if (!line.trimmed().isEmpty() && (!line.contains(" DEBUG : ") || line.endsWith(" OK")))
            kept += line + '\n';
    return kept;
}

QString failureOf(const Rclone::Result &result)
{
    return result.stopped() ? DumpSender::Stopped : result.failure;
}

} // namespace

DumpSender::DumpSender(const Rclone &rclone, OutputFolder &folder, const QString &penerima,
                       const StopSignal *stop)
    : rclone(rclone), folder(folder), penerima(penerima), stop(stop)
{
}

QString DumpSender::runLogObject(const QString &object)
{
    static const QRegularExpression dump(QStringLiteral("\\.bu(\\.age)?$"));
    QString name = object;
    return name.replace(dump, QStringLiteral(".log\\1"));
}

bool DumpSender::isGone(const QString &object, const File &runLog) const
{
    const Rclone::Result listed =
        rclone.run({QStringLiteral("lsf"), object}, runLog, stop, 0, true);
    return listed.notFound() || (listed.succeeded() && listed.output.trimmed().isEmpty());
}

DumpSender::Outcome DumpSender::send(const QString &dumpName, const QString &temporary,
                                     const QString &object)
{
    Outcome outcome;
    QString error;
    const QString logName = dumpName.chopped(3) + QStringLiteral(".log");
    File runLog = folder.openForAppend(logName, &error);
    runLog.write(LogEntry(QStringLiteral("Salinan ke ") + object + QStringLiteral(" : ")));
    const File dump = folder.openForRead(dumpName, &error);
    if (!dump.isOpen()) {
        outcome.failure = QStringLiteral("Dump [") + folder.filePath(dumpName) +
                          QStringLiteral("] tidak dapat dibaca: ") + error + QLatin1Char('.');
    } else if (penerima.isEmpty()) {
        outcome.failure = transfer(dumpName, dump, logName, temporary, object, &outcome, runLog);
    } else {
        // Encrypted into a temporary of the output folder, which the next run removes if this
        // one never ends.
        QString sealedName;
        const File sealed =
            folder.createTemporary(dumpName + QStringLiteral(".age"), &sealedName, &error);
        if (!sealed.isOpen()) {
            outcome.failure = QStringLiteral("Berkas terenkripsi sementara tidak dapat dibuat: ") +
                              error + QLatin1Char('.');
        } else {
            const Rclone::Result aged =
                rclone.encrypt(penerima, dump, sealed, runLog, stop, dump.size());
            outcome.failure = aged.succeeded() ? transfer(sealedName, sealed, logName, temporary,
                                                          object, &outcome, runLog)
                                               : failureOf(aged);
            folder.remove(sealedName);
        }
    }
    runLog.write(QByteArrayLiteral("\n"));
    return outcome;
}

// Sends the output folder's file under the temporary name, makes sure the object holds what was
// sent, and gives it its final name; why that failed, or an empty text.
QString DumpSender::transfer(const QString &sourceName, const File &source, const QString &logName,
                             const QString &temporary, const QString &object, Outcome *outcome,
                             File &runLog)
{
    outcome->size = source.size();
    outcome->temporaryLeft = true;
    // Where the destination keeps a hash, rclone compares it with the file's once the object is
    // there, and says so at its debug level; those words are read, not kept.
    const Rclone::Result uploaded =
        rclone.run({QStringLiteral("copyto"), folder.filePath(sourceName), temporary,
                    QStringLiteral("--no-check-dest"), QStringLiteral("-vv")},
                   File(), stop, outcome->size);
    runLog.write(withoutDebug(uploaded.messages));
    QString failure = uploaded.succeeded() ? verify(uploaded.messages, sourceName, temporary,
                                                    source, outcome->size, runLog)
                                           : failureOf(uploaded);
    if (failure.isEmpty()) {
        // The run log travels while the copy gets its final name.
        QByteArray logMessages;
        Meanwhile sending([&] { outcome->logFailure = sendRunLog(logName, object, &logMessages); });
        const Rclone::Result moved =
            rclone.run({QStringLiteral("moveto"), temporary, object}, runLog, stop);
        sending.wait();
        runLog.write(logMessages);
        if (moved.succeeded()) {
            outcome->temporaryLeft = false;
            return QString();
        }
        failure = failureOf(moved);
        // No run log stays beside a copy that is not there.
        if (outcome->logFailure.isEmpty() && !moved.stopped())
            rclone.run({QStringLiteral("deletefile"), runLogObject(object)}, runLog, stop);
    }
    // What a failed copy left it removes now; a stop leaves it to the next run, which the
    // stop's time could not wait for.
    if (failure != Stopped &&
        (rclone.run({QStringLiteral("deletefile"), temporary}, runLog, stop).succeeded() ||
         isGone(temporary, runLog)))
        outcome->temporaryLeft = false;
    return failure;
}

// Why the object is not what was sent, or an empty text. Where the destination keeps MD5 or
// SHA-1, rclone compared it with the file's own once the object was there; where it keeps
// neither, the object is read back whole and its MD5 compared with the file's.
QString DumpSender::verify(const QByteArray &messages, const QString &sourceName,
                           const QString &temporary, const File &source, qint64 size,
                           const File &runLog)
{
    // rclone names the file it compared as it is called here.
    const QRegularExpression compared(QStringLiteral("DEBUG : ") +
                                      QRegularExpression::escape(sourceName) +
                                      QStringLiteral(": (md5|sha1) = [0-9a-f]+ OK$"));
    for (const QByteArray &line : messages.split('\n'))
        if (compared.match(QString::fromUtf8(line.trimmed())).hasMatch())
            return QString();
    QByteArray expected;
    Meanwhile hashing([&] { expected = hashOf(source, QCryptographicHash::Md5, size); });
    const Rclone::Result summed = rclone.run(
        {QStringLiteral("hashsum"), QStringLiteral("MD5"), temporary, QStringLiteral("--download")},
        runLog, stop, size, true);
    hashing.wait();
    if (!summed.succeeded())
        return failureOf(summed);
    if (expected.isEmpty())
        return QStringLiteral("Berkas [") + folder.filePath(sourceName) +
               QStringLiteral("] tidak terbaca utuh untuk dibandingkan.");
    const QByteArray found = summed.output.trimmed().split(' ').value(0).toLower();
    if (found != expected)
        return QStringLiteral("hash MD5 salinan [%1] berbeda dengan berkas yang dikirim [%2].")
            .arg(QString::fromLatin1(found.left(64)), QString::fromLatin1(expected));
    return QString();
}

// The run log goes beside the copy, encrypted as the copy is, from a snapshot: rclone's messages
// go on being added to it. Why it could not be sent, or an empty text; rclone's messages into
// messages. Runs beside the calling thread: it touches nothing but the folder, read only.
QString DumpSender::sendRunLog(const QString &name, const QString &object,
                               QByteArray *messages) const
{
    QString error;
    const File log = folder.openForRead(name, &error);
    if (!log.isOpen())
        return error;
    const qint64 size = log.size();
    const File snapshot =
        memoryFile(log.read(qMax<qint64>(0, size - MaxRunLogBytes), MaxRunLogBytes), &error);
    if (!snapshot.isOpen())
        return error;
    File sealed;
    if (!penerima.isEmpty()) {
        sealed = memoryFile(QByteArray(), &error);
        if (!sealed.isOpen())
            return error;
        const Rclone::Result aged = rclone.encrypt(penerima, snapshot, sealed, File(), stop, size);
        *messages += aged.messages;
        if (!aged.succeeded())
            return aged.failure;
    }
    const Rclone::Result sent =
        rclone.run({QStringLiteral("rcat"), runLogObject(object)}, File(), stop, size, false,
                   sealed.isOpen() ? &sealed : &snapshot);
    *messages += sent.messages;
    return sent.succeeded() ? QString() : sent.failure;
}
