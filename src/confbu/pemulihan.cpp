#include "pemulihan.h"

#include "confbu.h"
#include "riwayat.h"
#include "salinan.h"

#include <QFileInfo>
#include <QJsonValue>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

namespace pemulihan {

namespace {

// An age identity file holds a line or a few; anything larger is not one.
constexpr qint64 MaxIdentityBytes = 16 * 1024;
constexpr int SealTimeoutMs = 30 * 1000;

QVariant timeText(const QDateTime &time)
{
    return time.isValid() ? QVariant(time.toString(riwayat::TimeFormat)) : QVariant();
}

QDateTime timeOf(const QVariant &text)
{
    return QDateTime::fromString(text.toString(), riwayat::TimeFormat);
}

using riwayat::run;

// A whole positive number in a JSON value; 0 when it is none.
qint64 idOf(const QJsonValue &value)
{
    const double number = value.toDouble(0);
    return number >= 1 && number < 9e15 && qint64(number) == number ? qint64(number) : 0;
}

QString stamp(const QDateTime &now)
{
    return now.toString(QStringLiteral("yyyyMMdd_HHmm"));
}

// The drill and the counted rows of a job's dump, where the history has them.
bool addCounts(const QSqlDatabase &history, Candidate *candidate, QString *error)
{
    QSqlQuery query(history);
    const QStringList tables = history.tables();
    if (tables.contains(QStringLiteral("ujipulih"))) {
        if (!run(query,
                 QStringLiteral("select hasil, baris from ujipulih where riwayat_id = ? "
                                "order by id desc limit 1"),
                 {candidate->riwayatId}, error))
            return false;
        if (query.next()) {
            candidate->ujiHasil = query.value(0).toString();
            if (!query.value(1).isNull())
                candidate->ujiBaris = query.value(1).toLongLong();
        }
    }
    if (tables.contains(QStringLiteral("isi"))) {
        if (!run(query, QStringLiteral("select count(*), sum(baris) from isi where riwayat_id = ?"),
                 {candidate->riwayatId}, error))
            return false;
        if (query.next() && query.value(0).toLongLong() > 0)
            candidate->baris = query.value(1).toLongLong();
    }
    return true;
}

} // namespace

QJsonObject request(const Choice &choice)
{
    QJsonObject isi{{QStringLiteral("database"), choice.database},
                    {QStringLiteral("ke"), choice.ke},
                    {QStringLiteral("timpa"), choice.timpa}};
    if (choice.salinan > 0)
        isi.insert(QStringLiteral("salinan"), double(choice.salinan));
    else
        isi.insert(QStringLiteral("riwayat"), double(choice.riwayat));
    if (choice.timpa)
        isi.insert(QStringLiteral("konfirmasi"), choice.konfirmasi);
    if (!choice.identitas.isEmpty())
        isi.insert(QStringLiteral("identitas"), choice.identitas);
    return isi;
}

QString fromRequest(const QJsonObject &isi, Choice *choice)
{
    *choice = Choice();
    const auto text = [&isi](const char *key) { return isi.value(QLatin1String(key)).toString(); };
    choice->database = text("database");
    choice->ke = text("ke");
    choice->konfirmasi = text("konfirmasi");
    choice->identitas = text("identitas");
    choice->timpa = isi.value(QStringLiteral("timpa")).toBool(false);
    choice->riwayat = idOf(isi.value(QStringLiteral("riwayat")));
    choice->salinan = idOf(isi.value(QStringLiteral("salinan")));
    const bool hasRiwayat = isi.contains(QStringLiteral("riwayat"));
    const bool hasSalinan = isi.contains(QStringLiteral("salinan"));
    if (choice->database.isEmpty())
        return QStringLiteral("database sumber tidak disebut");
    if (hasRiwayat == hasSalinan || (choice->riwayat == 0 && choice->salinan == 0))
        return QStringLiteral("file backup tidak disebut dengan benar");
    if (choice->timpa && choice->ke.isEmpty())
        choice->ke = choice->database;
    if (choice->ke.isEmpty())
        return QStringLiteral("database tujuan tidak disebut");
    if (choice->timpa && choice->ke != choice->database)
        return QStringLiteral("pemulihan di tempat harus ke database [") +
               salinan::shown(choice->database) + QLatin1Char(']');
    return QString();
}

QString defaultTarget(const QString &db, const QDateTime &now)
{
    return db + QStringLiteral("_pulih_") + stamp(now);
}

QString beforeName(const QString &db, const QDateTime &now)
{
    return db + QStringLiteral("_sebelum_") + stamp(now);
}

QString nameRefusal(const QString &name)
{
    if (name.toUtf8().size() > confbu::DatabaseNameBytes)
        return QStringLiteral("nama database [") + salinan::shown(name) +
               QStringLiteral("] lebih dari %1 byte").arg(confbu::DatabaseNameBytes);
    if (confbu::isDangerousDatabaseName(name))
        return QStringLiteral("nama database [") + salinan::shown(name) +
               QStringLiteral("] dapat dibaca sebagai opsi atau alamat koneksi");
    if (confbu::leavesOutputFolder(name))
        return QStringLiteral("nama database [") + salinan::shown(name) +
               QStringLiteral("] kosong atau menunjuk ke luar lokasi backup");
    return QString();
}

bool candidates(const QSqlDatabase &history, const QString &db, QList<Candidate> *found,
                QString *error)
{
    found->clear();
    error->clear();
    if (!history.tables().contains(QStringLiteral("riwayat")))
        return true;
    QList<riwayat::Job> jobs;
    if (!riwayat::verifiedDumps(history, db, &jobs, error))
        return false;
    for (const riwayat::Job &job : qAsConst(jobs)) {
        Candidate c;
        c.riwayatId = job.id;
        c.dbname = job.dbname;
        c.file = job.file;
        c.waktu = job.mulai;
        c.ukuran = job.ukuran;
        c.terverifikasi = true;
        if (!addCounts(history, &c, error))
            return false;
        found->append(c);
    }
    if (!history.tables().contains(QStringLiteral("salinan")))
        return true;
    QSqlQuery query(history);
    if (!run(query,
             salinan::selectCopies() +
                 QStringLiteral(" where riwayat.dbname = ? and salinan.hasil = ? and "
                                "salinan.terverifikasi = 1 and salinan.dihapus is null "
                                "order by salinan.riwayat_id desc, salinan.id desc"),
             {db, riwayat::Ok}, error))
        return false;
    QList<Candidate> copies;
    while (query.next()) {
        const salinan::Copy copy = salinan::fromRecord(query.record());
        Candidate c;
        c.riwayatId = copy.riwayatId;
        c.salinanId = copy.id;
        c.dbname = copy.dbname;
        c.file = copy.tujuan;
        c.waktu = copy.dumpMulai;
        c.ukuran = copy.ukuran;
        c.terverifikasi = copy.terverifikasi;
        c.terenkripsi = copy.tujuan.endsWith(QLatin1String(".age"));
        copies.append(c);
    }
    for (Candidate &c : copies)
        if (!addCounts(history, &c, error))
            return false;
    found->append(copies);
    return true;
}

bool candidateOf(const QSqlDatabase &history, const Choice &choice, Candidate *found,
                 QString *refusal)
{
    QList<Candidate> all;
    if (!candidates(history, choice.database, &all, refusal))
        return false;
    for (const Candidate &c : qAsConst(all)) {
        if ((choice.salinan > 0 && c.salinanId == choice.salinan) ||
            (choice.salinan == 0 && !c.isCopy() && c.riwayatId == choice.riwayat)) {
            *found = c;
            refusal->clear();
            return true;
        }
    }
    *refusal = choice.salinan > 0
                   ? QStringLiteral("salinan %1 bukan salinan terverifikasi dari database [%2] "
                                    "yang tercatat di riwayat")
                         .arg(choice.salinan)
                         .arg(salinan::shown(choice.database))
                   : QStringLiteral("backup %1 bukan backup baik dari database [%2] yang "
                                    "tercatat di riwayat")
                         .arg(choice.riwayat)
                         .arg(salinan::shown(choice.database));
    return false;
}

QStringList createHistoryStatements()
{
    return {QStringLiteral("CREATE TABLE IF NOT EXISTS pemulihan (id INTEGER PRIMARY KEY, "
                           "kunci TEXT, oleh TEXT, diminta TEXT, mulai TEXT, selesai TEXT, "
                           "dbname TEXT, file TEXT, ke TEXT, timpa INTEGER, sebelum TEXT, "
                           "hasil TEXT, alasan TEXT, baris INTEGER, langkah TEXT, kerja TEXT)"),
            QStringLiteral("CREATE INDEX IF NOT EXISTS pemulihan_kunci ON pemulihan (kunci)"),
            QStringLiteral("CREATE TABLE IF NOT EXISTS pemulihan_isi (pemulihan_id INTEGER, "
                           "tabel TEXT, backup INTEGER, pulih INTEGER)"),
            QStringLiteral("CREATE TABLE IF NOT EXISTS penerima (penerima TEXT, waktu TEXT)")};
}

bool publishRecipient(const QSqlDatabase &history, const QString &recipient, QString *error)
{
    QSqlDatabase db = history;
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    QSqlQuery query(db);
    if (query.exec(QStringLiteral("delete from penerima")) &&
        run(query, QStringLiteral("insert into penerima (penerima, waktu) values (?, ?)"),
            {recipient, timeText(QDateTime::currentDateTime())}, error) &&
        db.commit())
        return true;
    if (error->isEmpty())
        *error =
            query.lastError().text().isEmpty() ? db.lastError().text() : query.lastError().text();
    db.rollback();
    return false;
}

bool serviceRecipient(const QSqlDatabase &history, QString *recipient, QString *error)
{
    recipient->clear();
    error->clear();
    if (!history.tables().contains(QStringLiteral("penerima")))
        return false;
    QSqlQuery query(history);
    if (!run(query, QStringLiteral("select penerima from penerima limit 1"), {}, error))
        return false;
    if (query.next())
        *recipient = query.value(0).toString();
    return !recipient->isEmpty();
}

bool sealIdentity(const QString &agePath, const QString &recipient, const QString &identityFile,
                  QString *sealed, QString *error)
{
    sealed->clear();
    const QString refused = salinan::recipientRefusal(recipient);
    if (recipient.isEmpty() || !refused.isEmpty()) {
        *error = QStringLiteral("kunci penerima layanan tidak sah");
        return false;
    }
    const QFileInfo info(identityFile);
    if (!info.isFile() || info.size() == 0 || info.size() > MaxIdentityBytes) {
        *error = QStringLiteral("file identitas [") + salinan::shown(identityFile) +
                 QStringLiteral("] bukan file identitas age");
        return false;
    }
    QProcess age;
    age.setProgram(agePath);
    age.setArguments({QStringLiteral("-r"), recipient, QStringLiteral("-a")});
    age.setStandardInputFile(identityFile);
    age.start();
    if (!age.waitForFinished(SealTimeoutMs)) {
        age.kill();
        age.waitForFinished(1000);
        *error = QStringLiteral("age tidak dapat mengenkripsi identitas: ") + age.errorString();
        return false;
    }
    const QByteArray output = age.readAllStandardOutput();
    if (age.exitStatus() != QProcess::NormalExit || age.exitCode() != 0 || output.isEmpty()) {
        *error = QStringLiteral("age tidak dapat mengenkripsi identitas: ") +
                 QString::fromLocal8Bit(age.readAllStandardError()).trimmed();
        return false;
    }
    *sealed = QString::fromLatin1(output);
    return true;
}

QJsonObject Progress::toJson() const
{
    return {{QStringLiteral("tahap"), tahap},
            {QStringLiteral("selesai"), selesai},
            {QStringLiteral("jumlah"), jumlah},
            {QStringLiteral("tabel"), tabel}};
}

Progress Progress::fromJson(const QJsonObject &kemajuan)
{
    Progress p;
    p.tahap = kemajuan.value(QStringLiteral("tahap")).toString();
    p.selesai = kemajuan.value(QStringLiteral("selesai")).toInt();
    p.jumlah = kemajuan.value(QStringLiteral("jumlah")).toInt();
    p.tabel = kemajuan.value(QStringLiteral("tabel")).toString();
    return p;
}

QString okLine(const QString &file, const QString &target, qint64 rows)
{
    return QStringLiteral("Pulihkan Database OK : dari file [") + file +
           QStringLiteral("] ke database [") + target + QStringLiteral("], ") +
           QString::number(rows) + QStringLiteral(" baris.");
}

QString failLine(const QString &file, const QString &target, const QString &reason)
{
    return QStringLiteral("Pulihkan Database GAGAL : dari file [") + file +
           QStringLiteral("] ke database [") + target + QStringLiteral("]. ") + reason;
}

QString cancelLine(const QString &file, const QString &target)
{
    return QStringLiteral("Pulihkan Database DIBATALKAN : dari file [") + file +
           QStringLiteral("] ke database [") + target + QStringLiteral("].");
}

QString refusalLine(const QString &reason)
{
    return QStringLiteral("Pulihkan Database DITOLAK : ") + reason;
}

namespace {

Restore restoreFromRecord(const QSqlRecord &row)
{
    Restore r;
    r.id = row.value(QStringLiteral("id")).toLongLong();
    r.kunci = row.value(QStringLiteral("kunci")).toString();
    r.oleh = row.value(QStringLiteral("oleh")).toString();
    r.diminta = timeOf(row.value(QStringLiteral("diminta")));
    r.mulai = timeOf(row.value(QStringLiteral("mulai")));
    r.selesai = timeOf(row.value(QStringLiteral("selesai")));
    r.database = row.value(QStringLiteral("dbname")).toString();
    r.file = row.value(QStringLiteral("file")).toString();
    r.ke = row.value(QStringLiteral("ke")).toString();
    r.timpa = row.value(QStringLiteral("timpa")).toBool();
    r.sebelum = row.value(QStringLiteral("sebelum")).toString();
    r.hasil = row.value(QStringLiteral("hasil")).toString();
    r.alasan = row.value(QStringLiteral("alasan")).toString();
    const QVariant baris = row.value(QStringLiteral("baris"));
    r.baris = baris.isNull() ? -1 : baris.toLongLong();
    r.langkah = row.value(QStringLiteral("langkah")).toString();
    r.kerja = row.value(QStringLiteral("kerja")).toString();
    return r;
}

bool oneRestore(const QSqlDatabase &history, const QString &condition, const QVariantList &values,
                Restore *found, QString *error)
{
    error->clear();
    if (!history.tables().contains(QStringLiteral("pemulihan")))
        return false;
    QSqlQuery query(history);
    if (!run(query, QStringLiteral("select * from pemulihan ") + condition, values, error) ||
        !query.next())
        return false;
    *found = restoreFromRecord(query.record());
    return true;
}

} // namespace

bool restoreOf(const QSqlDatabase &history, const QString &kunci, Restore *found,
               QList<TableCount> *tables, QString *error)
{
    if (!oneRestore(history, QStringLiteral("where kunci = ? order by id desc limit 1"), {kunci},
                    found, error))
        return false;
    if (!tables)
        return true;
    tables->clear();
    QSqlQuery query(history);
    if (!run(query,
             QStringLiteral("select tabel, backup, pulih from pemulihan_isi where "
                            "pemulihan_id = ? order by rowid"),
             {found->id}, error))
        return false;
    while (query.next())
        tables->append({query.value(0).toString(),
                        query.value(1).isNull() ? -1 : query.value(1).toLongLong(),
                        query.value(2).isNull() ? -1 : query.value(2).toLongLong()});
    return true;
}

bool running(const QSqlDatabase &history, Restore *found, QString *error)
{
    return oneRestore(history, QStringLiteral("where hasil = ? order by id desc limit 1"),
                      {riwayat::Berjalan}, found, error);
}

QString ageProgram(const QString &programDir)
{
#ifdef Q_OS_WIN
    return confbu::joinPath(programDir, QStringLiteral("age.exe"));
#else
    Q_UNUSED(programDir)
    return QStringLiteral("/usr/bin/age");
#endif
}

} // namespace pemulihan
