#include "ujisalinan.h"

#include "offsitecopy.h"
#include "offsitetarget.h"
#include "programfile.h"
#include "salinan.h"

#include <QDateTime>
#include <QJsonValue>
#include <QRandomGenerator>

namespace ujisalinan {

namespace {

// Someone waits at the panel: shorter than a copy's bounds.
Rclone::Limits interactive()
{
    Rclone::Limits limits;
    limits.connectSecs = 15;
    limits.idleSecs = 30;
    limits.baseMs = 60 * 1000;
    return limits;
}

} // namespace

ThPermintaan::Outcome run(const permintaan::Request &request, ThPermintaan::Context &context)
{
    BackupEngine &engine = context.engine;
    const QJsonValue remoteValue = request.isi.value(QStringLiteral("remote"));
    const QJsonValue folderValue = request.isi.value(QStringLiteral("folder"));
    if (!remoteValue.isString() || !(folderValue.isString() || folderValue.isUndefined()))
        return {permintaan::Ditolak, QStringLiteral("isi permintaan tidak sah")};
    salinan::Settings choice;
    choice.remote = remoteValue.toString().trimmed();
    choice.folder = folderValue.toString().trimmed();
    const QString where = choice.remote + QLatin1Char(':') + choice.folder;

    Rclone rclone(engine.rclone().configPath(), interactive());
    rclone.setProgramDirectory(engine.programDirectory());
    QJsonObject config;
    QString refusal = salinan::folderRefusal(choice.folder);
    if (refusal.isEmpty() && !rclone.readConfig(&config, &refusal, &context.stop) &&
        context.stop.requested())
        return {permintaan::Dibatalkan, QStringLiteral("Tes dibatalkan.")};
    if (refusal.isEmpty())
        refusal = offsitetarget::refusal(
            config, choice.remote, choice.folder,
            programfile::resolve(engine.programDirectory(), confbu::SettingsFile));
    if (!refusal.isEmpty()) {
        engine.log(QStringLiteral("Uji Salinan DITOLAK : tujuan [") + where +
                   QStringLiteral("]. ") + refusal);
        return {permintaan::Ditolak, refusal};
    }

    const QString object =
        choice.remote + QLatin1Char(':') +
        (choice.folder.isEmpty() ? QString() : choice.folder + QLatin1Char('/')) +
        QStringLiteral("sarvela-uji-%1.txt")
            .arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'));
    const QByteArray content = "Sarvela DB Backup: berkas uji tujuan salinan, " +
                               QDateTime::currentDateTime().toString(Qt::ISODate).toUtf8() + '\n';
    QString failure, error;
    const File input = memoryFile(content, &error);
    const auto step = [&](const char *langkah) {
        context.progress(QJsonObject{{QStringLiteral("langkah"), QLatin1String(langkah)}});
    };
    step("tulis");
    Rclone::Result result = rclone.run({QStringLiteral("rcat"), object}, File(), &context.stop,
                                       content.size(), false, &input);
    if (!result.succeeded()) {
        failure = QStringLiteral("Berkas uji tidak dapat ditulis: ") + result.failure;
    } else {
        step("baca");
        result = rclone.run({QStringLiteral("cat"), object}, File(), &context.stop, content.size(),
                            true);
        if (!result.succeeded())
            failure = QStringLiteral("Berkas uji tidak dapat dibaca kembali: ") + result.failure;
        else if (result.output != content)
            failure = QStringLiteral("Isi berkas uji yang dibaca kembali berbeda.");
        // Removed even when the read failed, which may have been a stop.
        step("hapus");
        const Rclone::Result removed =
            rclone.run({QStringLiteral("deletefile"), object}, File(), nullptr);
        if (!removed.succeeded() && failure.isEmpty())
            failure = QStringLiteral("Berkas uji tidak dapat dihapus: ") + removed.failure;
    }
    if (context.stop.requested())
        return {permintaan::Dibatalkan, QStringLiteral("Tes dibatalkan.")};
    if (!failure.isEmpty()) {
        engine.log(QStringLiteral("Uji Salinan GAGAL : tujuan [") + where + QStringLiteral("]. ") +
                   failure);
        return {permintaan::Gagal, failure};
    }
    engine.log(QStringLiteral("Uji Salinan OK : tujuan [") + where + QStringLiteral("]."));
    return {permintaan::Ok, QStringLiteral("Berkas uji ditulis, dibaca kembali dan dihapus di ") +
                                where + QLatin1Char('.')};
}

} // namespace ujisalinan
