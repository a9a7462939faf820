#include "pulihcli.h"

#include "confbu.h"
#include "pemulihan.h"
#include "permintaan.h"
#include "sharedfiles.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QThread>

namespace pulihcli {

namespace {

// A connection of its own on a file, closed when it goes out of scope.
class Connection
{
public:
    Connection(const QString &path, bool readOnly)
        : name(QStringLiteral("sarvela-pulih-%1").arg(count().fetchAndAddRelaxed(1)))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(readOnly
                                 ? QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000")
                                 : QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
        opened = db.open();
        if (!opened)
            error = db.lastError().text();
    }
    ~Connection() { QSqlDatabase::removeDatabase(name); }
    QSqlDatabase db() const { return QSqlDatabase::database(name, false); }

    bool opened = false;
    QString error;

private:
    static QAtomicInt &count()
    {
        static QAtomicInt n;
        return n;
    }
    const QString name;
};

QString progressLine(const pemulihan::Progress &p)
{
    QString line = p.tahap;
    if (p.jumlah > 0)
        line += QStringLiteral(" %1/%2").arg(p.selesai).arg(p.jumlah);
    if (!p.tabel.isEmpty())
        line += QStringLiteral(" (tabel %1)").arg(p.tabel);
    return line;
}

QString count(qint64 rows)
{
    return rows < 0 ? QStringLiteral("-") : QString::number(rows);
}

} // namespace

QString usage()
{
    return QStringLiteral(
        "Pemakaian:\n"
        "  sarvela-pulih --database D [--file PATH] [--ke TARGET] [--identitas FILE]\n"
        "  sarvela-pulih --database D [--file PATH] --timpa --konfirmasi D [--identitas FILE]\n"
        "Memulihkan backup baik database D (tanpa --file: yang terbaru) ke database baru\n"
        "(tanpa --ke: D_pulih_YYYYMMDD_HHMM) atau, dengan --timpa, di tempat D: D yang lama\n"
        "disimpan sebagai D_sebelum_YYYYMMDD_HHMM. --identitas: file identitas age untuk\n"
        "salinan terenkripsi. Keluar 0 hanya bila pemulihan berhasil.");
}

QString parse(const QStringList &arguments, Options *options)
{
    *options = Options();
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        QString *value = a == QLatin1String("--database")     ? &options->database
                         : a == QLatin1String("--file")       ? &options->file
                         : a == QLatin1String("--ke")         ? &options->ke
                         : a == QLatin1String("--konfirmasi") ? &options->konfirmasi
                         : a == QLatin1String("--identitas")  ? &options->identitas
                                                              : nullptr;
        if (value) {
            if (i + 1 >= arguments.size())
                return QStringLiteral("%1 memerlukan nilai.").arg(a);
            *value = arguments.at(++i);
        } else if (a == QLatin1String("--timpa")) {
            options->timpa = true;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            options->help = true;
            return QString();
        } else {
            return QStringLiteral("Argumen tidak dikenal: %1").arg(a);
        }
    }
    if (options->database.isEmpty())
        return QStringLiteral("--database harus disebut.");
    if (options->timpa && !options->ke.isEmpty() && options->ke != options->database)
        return QStringLiteral("--timpa memulihkan ke database itu sendiri; --ke tidak dipakai.");
    if (options->timpa && options->konfirmasi != options->database)
        return QStringLiteral("--timpa memerlukan --konfirmasi dengan nama database yang sama.");
    return QString();
}

int run(const QString &programDir, const Options &options, const Io &io)
{
    sharedfiles::guardOpens();
    const QString historyPath = confbu::joinPath(programDir, confbu::HistoryFile);
    pemulihan::Choice choice;
    choice.database = options.database;
    choice.timpa = options.timpa;
    choice.konfirmasi = options.konfirmasi;
    choice.ke = options.timpa ? options.database
                : options.ke.isEmpty()
                    ? pemulihan::defaultTarget(options.database, QDateTime::currentDateTime())
                    : options.ke;
    for (const QString &name : {choice.database, choice.ke}) {
        const QString refusal = pemulihan::nameRefusal(name);
        if (!refusal.isEmpty()) {
            io.err(QStringLiteral("Ditolak: ") + refusal + QLatin1Char('.'));
            return 1;
        }
    }
    pemulihan::Candidate chosen;
    QString recipient, error;
    {
        const Connection history(historyPath, true);
        QList<pemulihan::Candidate> all;
        if (!history.opened ||
            !pemulihan::candidates(history.db(), options.database, &all, &error)) {
            io.err(QStringLiteral("Riwayat backup [%1] tidak dapat dibaca: %2")
                       .arg(historyPath, history.opened ? error : history.error));
            return 1;
        }
        for (const pemulihan::Candidate &c : qAsConst(all))
            if (chosen.riwayatId == 0 &&
                (options.file.isEmpty() || c.file == options.file ||
                 (!c.isCopy() &&
                  QDir::cleanPath(c.file) ==
                      QDir::cleanPath(QDir::current().absoluteFilePath(options.file)))))
                chosen = c;
        if (chosen.riwayatId == 0) {
            io.err(options.file.isEmpty()
                       ? QStringLiteral("Tidak ada backup baik database [%1] di riwayat.")
                             .arg(options.database)
                       : QStringLiteral("File [%1] bukan backup baik database [%2] yang tercatat "
                                        "di riwayat.")
                             .arg(options.file, options.database));
            return 1;
        }
        if (chosen.terenkripsi && !options.identitas.isEmpty() &&
            !pemulihan::serviceRecipient(history.db(), &recipient, &error)) {
            io.err(QStringLiteral("Service belum menerbitkan kunci penerimanya; jalankan "
                                  "service terlebih dahulu."));
            return 1;
        }
    }
    choice.riwayat = chosen.riwayatId;
    choice.salinan = chosen.salinanId;
    if (!recipient.isEmpty() &&
        !pemulihan::sealIdentity(pemulihan::ageProgram(programDir), recipient, options.identitas,
                                 &choice.identitas, &error)) {
        io.err(QStringLiteral("Identitas tidak dapat dikirim: ") + error);
        return 1;
    }
    io.out(QStringLiteral("Memulihkan [%1] (%2) ke database [%3]%4.")
               .arg(chosen.file, chosen.waktu.toString(QStringLiteral("dd/MM/yyyy HH:mm")),
                    choice.ke, options.timpa ? QStringLiteral(" di tempatnya") : QString()));

    QString kunci;
    {
        const Connection settings(confbu::joinPath(programDir, confbu::SettingsFile), false);
        if (!settings.opened ||
            !permintaan::submit(settings.db(), pemulihan::Jenis, pemulihan::request(choice),
                                io.wake, &kunci, &error)) {
            io.err(QStringLiteral("Permintaan tidak dapat dikirim ke service: ") +
                   (settings.opened ? error : settings.error));
            return 1;
        }
    }

    QElapsedTimer waited;
    waited.start();
    QString shown;
    permintaan::Answer answer;
    for (;;) {
        QThread::msleep(io.pollMs);
        if (!permintaan::readAnswer(historyPath, kunci, &answer, &error)) {
            if (waited.elapsed() > io.takeWaitMs) {
                io.err(QStringLiteral("Tidak ada jawaban dari service dalam %1 detik.")
                           .arg(io.takeWaitMs / 1000));
                return 1;
            }
            continue;
        }
        if (answer.isFinished())
            break;
        const QString line = progressLine(pemulihan::Progress::fromJson(answer.kemajuan));
        if (!line.isEmpty() && line != shown)
            io.out(line);
        shown = line;
    }
    (answer.hasil == permintaan::Ok ? io.out : io.err)(answer.pesan.isEmpty() ? answer.hasil
                                                                              : answer.pesan);
    pemulihan::Restore restore;
    QList<pemulihan::TableCount> tables;
    {
        const Connection history(historyPath, true);
        if (history.opened)
            pemulihan::restoreOf(history.db(), kunci, &restore, &tables, &error);
    }
    for (const pemulihan::TableCount &t : qAsConst(tables))
        io.out(QStringLiteral("  %1: backup %2, dipulihkan %3")
                   .arg(t.tabel, count(t.backup), count(t.pulih)));
    return answer.hasil == permintaan::Ok ? 0 : 1;
}

} // namespace pulihcli
