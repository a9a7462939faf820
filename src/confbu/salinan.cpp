#include "salinan.h"

#include "riwayat.h"

#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

namespace salinan {

namespace {

const char CreateConfSalin[] = "CREATE TABLE IF NOT EXISTS confsalin (remote TEXT, folder TEXT, "
                               "jumlah INTEGER, penerima TEXT, harian INTEGER, mingguan INTEGER, "
                               "bulanan INTEGER)";

QVariant timeText(const QDateTime &time)
{
    return time.isValid() ? QVariant(time.toString(riwayat::TimeFormat)) : QVariant();
}

QDateTime timeOf(const QVariant &text)
{
    return QDateTime::fromString(text.toString(), riwayat::TimeFormat);
}

// The bech32 checksum's generator, as BIP 173 gives it.
quint32 polymod(const QVector<int> &values)
{
    static const quint32 generator[] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd, 0x2a1462b3};
    quint32 checksum = 1;
    for (int value : values) {
        const quint32 top = checksum >> 25;
        checksum = ((checksum & 0x1ffffff) << 5) ^ quint32(value);
        for (int i = 0; i < 5; ++i)
            if ((top >> i) & 1)
                checksum ^= generator[i];
    }
    return checksum;
}

// The key bytes of a bech32 text with the prefix "age", or nothing when the text is no such
// thing or its checksum fails.
QByteArray ageKey(const QString &text)
{
    static const QString charset = QStringLiteral("qpzry9x8gf2tvdw0s3jn54khce6mua7l");
    if (!text.startsWith(QLatin1String("age1")) || text.size() < 4 + 6 || text.size() > 90)
        return QByteArray();
    QVector<int> values;
    for (const QChar c : text.mid(4)) {
        const int value = charset.indexOf(c);
        if (value < 0)
            return QByteArray();
        values << value;
    }
    QVector<int> checked{3, 3, 3, 0, 1, 7, 5}; // "age" expanded, as the checksum covers it
    checked += values;
    if (polymod(checked) != 1)
        return QByteArray();
    QByteArray bytes;
    int accumulated = 0, bits = 0;
    for (int i = 0; i < values.size() - 6; ++i) {
        accumulated = (accumulated << 5) | values[i];
        bits += 5;
        if (bits >= 8) {
            bits -= 8;
            bytes.append(char((accumulated >> bits) & 0xff));
        }
    }
    // Padding must be short and zero.
    if (bits >= 5 || (accumulated & ((1 << bits) - 1)) != 0)
        return QByteArray();
    return bytes;
}

bool one(const QSqlDatabase &db, const QString &condition, const QVariantList &values, Copy *copy,
         QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    bool ok = query.prepare(selectCopies() + QStringLiteral(" where riwayat.dbname = ? ") +
                            condition + QStringLiteral(" limit 1"));
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!ok || !query.exec()) {
        *error = query.lastError().text();
        return false;
    }
    *copy = query.next() ? fromRecord(query.record()) : Copy();
    return true;
}

bool hasCopies(const QSqlDatabase &db)
{
    return db.tables().contains(QStringLiteral("salinan"));
}

} // namespace

QString createSettingsTable()
{
    return QLatin1String(CreateConfSalin);
}

Settings read(const QSqlDatabase &settings)
{
    QSqlQuery query(settings);
    Settings choice;
    if (!query.exec(QStringLiteral("select * from confsalin")) || !query.next())
        return choice;
    const QSqlRecord row = query.record();
    choice.remote = row.value(QStringLiteral("remote")).toString().trimmed();
    choice.folder = row.value(QStringLiteral("folder")).toString().trimmed();
    choice.penerima = row.value(QStringLiteral("penerima")).toString().trimmed();
    // A number that is none keeps every copy there.
    QString refused;
    confbu::retentionFromRecord(row, &choice.simpan, &refused);
    return choice;
}

bool write(const QSqlDatabase &settings, const Settings &choice, QString *error)
{
    QSqlDatabase db = settings;
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    QSqlQuery query(db);
    bool ok = query.exec(createSettingsTable()) &&
              confbu::addCalendarColumns(db, QStringLiteral("confsalin"), error) &&
              query.exec(QStringLiteral("delete from confsalin"));
    if (ok && choice.isOn()) {
        ok = query.prepare(
            QStringLiteral("insert into confsalin (remote, folder, jumlah, penerima, "
                           "harian, mingguan, bulanan) values (?, ?, ?, ?, ?, ?, ?)"));
        for (const QVariant &value :
             {QVariant(choice.remote.trimmed()), QVariant(choice.folder.trimmed()),
              QVariant(qMax(0, choice.simpan.jumlah)), QVariant(choice.penerima.trimmed()),
              QVariant(qMax(0, choice.simpan.harian)), QVariant(qMax(0, choice.simpan.mingguan)),
              QVariant(qMax(0, choice.simpan.bulanan))})
            query.addBindValue(value);
        ok = ok && query.exec();
    }
    if (ok && db.commit())
        return true;
    if (error->isEmpty())
        *error =
            query.lastError().text().isEmpty() ? db.lastError().text() : query.lastError().text();
    db.rollback();
    return false;
}

QString shown(const QString &text)
{
    QString quoted = text.left(80);
    for (QChar &c : quoted)
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = QLatin1Char('?');
    return text.size() > 80 ? quoted + QStringLiteral("...") : quoted;
}

QString folderRefusal(const QString &folder)
{
    for (const QChar c : folder)
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            return QStringLiteral("folder [") + shown(folder) +
                   QStringLiteral("] memuat karakter kendali");
    if (folder.startsWith(QLatin1Char('/')) || folder.startsWith(QLatin1Char('\\')))
        return QStringLiteral("folder [") + shown(folder) + QStringLiteral("] diawali '/'");
    // A backslash separates folders where rclone runs on Windows.
    const QStringList parts =
        QString(folder).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
    if (parts.contains(QStringLiteral("..")))
        return QStringLiteral("folder [") + shown(folder) +
               QStringLiteral("] memuat komponen '..'");
    if (!folder.isEmpty() && (parts.contains(QString()) || parts.contains(QStringLiteral("."))))
        return QStringLiteral("folder [") + shown(folder) +
               QStringLiteral("] memuat komponen kosong atau '.'");
    return QString();
}

QString recipientRefusal(const QString &penerima)
{
    if (penerima.isEmpty() || ageKey(penerima).size() == 32)
        return QString();
    return QStringLiteral("penerima [") + shown(penerima) +
           QStringLiteral("] bukan kunci publik age (age1...)");
}

QString fingerprint(const QString &penerima)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(penerima.toUtf8(), QCryptographicHash::Sha256).toHex().left(16));
}

QString place(const Settings &choice, const QString &dbname)
{
    return choice.remote + QLatin1Char(':') +
           (choice.folder.isEmpty() ? dbname : choice.folder + QLatin1Char('/') + dbname);
}

QStringList createHistoryStatements()
{
    return {QStringLiteral("CREATE TABLE IF NOT EXISTS salinan (id INTEGER PRIMARY KEY, "
                           "riwayat_id INTEGER, tujuan TEXT, mulai TEXT, selesai TEXT, "
                           "ukuran INTEGER, hasil TEXT, alasan TEXT, terverifikasi INTEGER, "
                           "sementara TEXT, dihapus TEXT)"),
            QStringLiteral("CREATE INDEX IF NOT EXISTS salinan_riwayat ON salinan (riwayat_id)"),
            QStringLiteral("CREATE TABLE IF NOT EXISTS rclone_konfigurasi (berkas TEXT, akun TEXT, "
                           "masalah TEXT, waktu TEXT)"),
            QStringLiteral("CREATE TABLE IF NOT EXISTS rclone_remote (nama TEXT, jenis TEXT, "
                           "lokal INTEGER)")};
}

QString selectCopies()
{
    return QStringLiteral("select salinan.id, salinan.riwayat_id, riwayat.dbname, "
                          "riwayat.mulai as dump_mulai, salinan.tujuan, salinan.mulai, "
                          "salinan.selesai, salinan.ukuran, salinan.hasil, salinan.alasan, "
                          "salinan.terverifikasi, salinan.sementara, salinan.dihapus from salinan "
                          "join riwayat on riwayat.id = salinan.riwayat_id");
}

Copy fromRecord(const QSqlRecord &row)
{
    Copy copy;
    copy.id = row.value(QStringLiteral("id")).toLongLong();
    copy.riwayatId = row.value(QStringLiteral("riwayat_id")).toLongLong();
    copy.dbname = row.value(QStringLiteral("dbname")).toString();
    copy.dumpMulai = timeOf(row.value(QStringLiteral("dump_mulai")));
    copy.tujuan = row.value(QStringLiteral("tujuan")).toString();
    copy.mulai = timeOf(row.value(QStringLiteral("mulai")));
    copy.selesai = timeOf(row.value(QStringLiteral("selesai")));
    copy.ukuran = row.value(QStringLiteral("ukuran")).toLongLong();
    copy.hasil = row.value(QStringLiteral("hasil")).toString();
    copy.alasan = row.value(QStringLiteral("alasan")).toString();
    copy.terverifikasi = row.value(QStringLiteral("terverifikasi")).toBool();
    copy.sementara = row.value(QStringLiteral("sementara")).toString();
    copy.dihapus = timeOf(row.value(QStringLiteral("dihapus")));
    return copy;
}

bool newestVerified(const QSqlDatabase &history, const QString &dbname, Copy *copy, QString *error)
{
    *copy = Copy();
    return !hasCopies(history) ||
           one(history,
               QStringLiteral("and salinan.hasil = ? and salinan.terverifikasi = 1 and "
                              "salinan.dihapus is null order by salinan.riwayat_id desc, "
                              "salinan.id desc"),
               {dbname, riwayat::Ok}, copy, error);
}

bool newestFinished(const QSqlDatabase &history, const QString &dbname, Copy *copy, QString *error)
{
    *copy = Copy();
    return !hasCopies(history) ||
           one(history, QStringLiteral("and salinan.hasil <> ? order by salinan.id desc"),
               {dbname, riwayat::Berjalan}, copy, error);
}

bool uncopiedSince(const QSqlDatabase &history, const QString &dbname, QDateTime *since,
                   QString *error)
{
    *since = QDateTime();
    if (!hasCopies(history))
        return true;
    Copy newest;
    if (!newestVerified(history, dbname, &newest, error))
        return false;
    // Copies deleted by retention were verified too: the newest of any counts.
    QSqlQuery query(history);
    query.setForwardOnly(true);
    bool ok = query.prepare(
        QStringLiteral("select (select min(salinan.mulai) from salinan join riwayat on riwayat.id "
                       "= salinan.riwayat_id where riwayat.dbname = :db), (select mulai from "
                       "riwayat where dbname = :db and hasil = :ok and file is not null and id > "
                       "coalesce((select max(salinan.riwayat_id) from salinan join riwayat on "
                       "riwayat.id = salinan.riwayat_id where riwayat.dbname = :db and "
                       "salinan.hasil = :ok and salinan.terverifikasi = 1), 0) order by id "
                       "limit 1)"));
    query.bindValue(QStringLiteral(":db"), dbname);
    query.bindValue(QStringLiteral(":ok"), riwayat::Ok);
    if (!ok || !query.exec() || !query.next()) {
        *error = query.lastError().text();
        return false;
    }
    const QDateTime firstTried = timeOf(query.value(0));
    const QDateTime firstUncopied = timeOf(query.value(1));
    if (firstTried.isValid() && firstUncopied.isValid())
        *since = qMax(firstTried, firstUncopied);
    return true;
}

bool publish(const QSqlDatabase &history, const Published &published, QString *error)
{
    QSqlDatabase db = history;
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    QSqlQuery query(db);
    bool ok = query.exec(QStringLiteral("delete from rclone_konfigurasi")) &&
              query.exec(QStringLiteral("delete from rclone_remote")) &&
              query.prepare(QStringLiteral("insert into rclone_konfigurasi (berkas, akun, masalah, "
                                           "waktu) values (?, ?, ?, ?)"));
    query.addBindValue(published.berkas);
    query.addBindValue(published.akun);
    query.addBindValue(published.masalah.isEmpty() ? QVariant() : QVariant(published.masalah));
    query.addBindValue(timeText(published.waktu));
    ok = ok && query.exec();
    for (const Remote &remote : published.remotes) {
        ok = ok && query.prepare(QStringLiteral(
                       "insert into rclone_remote (nama, jenis, lokal) values (?, ?, ?)"));
        query.addBindValue(remote.nama);
        query.addBindValue(remote.jenis);
        query.addBindValue(int(remote.lokal));
        ok = ok && query.exec();
    }
    if (ok && db.commit())
        return true;
    *error = query.lastError().text().isEmpty() ? db.lastError().text() : query.lastError().text();
    db.rollback();
    return false;
}

bool readPublished(const QSqlDatabase &history, Published *published, QString *error)
{
    *published = Published();
    if (!history.tables().contains(QStringLiteral("rclone_konfigurasi")))
        return false;
    QSqlQuery query(history);
    if (!query.exec(
            QStringLiteral("select berkas, akun, masalah, waktu from rclone_konfigurasi"))) {
        *error = query.lastError().text();
        return false;
    }
    if (!query.next())
        return false;
    published->berkas = query.value(0).toString();
    published->akun = query.value(1).toString();
    published->masalah = query.value(2).toString();
    published->waktu = timeOf(query.value(3));
    if (!query.exec(QStringLiteral("select nama, jenis, lokal from rclone_remote order by nama"))) {
        *error = query.lastError().text();
        return false;
    }
    while (query.next())
        published->remotes << Remote{query.value(0).toString(), query.value(1).toString(),
                                     query.value(2).toBool()};
    return true;
}

} // namespace salinan
