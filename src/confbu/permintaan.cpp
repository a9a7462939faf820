#include "permintaan.h"

#include "riwayat.h"

#include <QAtomicInt>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#ifdef Q_OS_WIN
#include <QProcessEnvironment>
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace permintaan {

namespace {

QString randomKey()
{
    QString key;
    for (int i = 0; i < 4; ++i)
        key += QStringLiteral("%1").arg(QRandomGenerator::system()->generate(), 8, 16,
                                        QLatin1Char('0'));
    return key;
}

bool isKey(const QString &text)
{
    if (text.size() != 32)
        return false;
    for (const QChar c : text)
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    return true;
}

QVariant timeText(const QDateTime &time)
{
    return time.isValid() ? QVariant(time.toString(riwayat::TimeFormat)) : QVariant();
}

QDateTime timeOf(const QVariant &text)
{
    return QDateTime::fromString(text.toString(), riwayat::TimeFormat);
}

} // namespace

QString createRequestTable()
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS permintaan (id INTEGER PRIMARY KEY, "
                          "kunci TEXT, jenis TEXT, isi TEXT, oleh TEXT, waktu TEXT)");
}

bool add(const QSqlDatabase &settings, const QString &jenis, const QJsonObject &isi,
         QString *kunci, QString *error)
{
    QSqlQuery query(settings);
    *kunci = randomKey();
    bool ok = query.exec(createRequestTable()) &&
              query.prepare(QStringLiteral("insert into permintaan (kunci, jenis, isi, oleh, "
                                           "waktu) values (?, ?, ?, ?, ?)"));
    for (const QVariant &value :
         {QVariant(*kunci), QVariant(jenis),
          QVariant(QString::fromUtf8(QJsonDocument(isi).toJson(QJsonDocument::Compact))),
          QVariant(currentAccount()), timeText(QDateTime::currentDateTime())})
        query.addBindValue(value);
    ok = ok && query.exec();
    if (!ok)
        *error = query.lastError().text();
    return ok;
}

// Whatever a member of the admin group wrote is read as text and judged here; the service acts
// only on a row without a flaw.
bool pending(const QSqlDatabase &settings, QList<Request> *requests, QString *error)
{
    requests->clear();
    if (!settings.tables().contains(QStringLiteral("permintaan")))
        return true;
    QSqlQuery query(settings);
    if (!query.exec(QStringLiteral("select kunci, jenis, substr(isi, 1, %1), length(isi), oleh, "
                                   "waktu from permintaan order by id")
                        .arg(MaxIsiBytes + 1))) {
        *error = query.lastError().text();
        return false;
    }
    while (query.next()) {
        Request request;
        request.kunci = query.value(0).toString();
        request.jenis = query.value(1).toString();
        request.oleh = query.value(4).toString().left(64);
        request.waktu = timeOf(query.value(5));
        QJsonParseError parsed{};
        const QJsonDocument isi = query.value(3).toLongLong() > MaxIsiBytes
                                      ? QJsonDocument()
                                      : QJsonDocument::fromJson(query.value(2).toByteArray(), &parsed);
        if (!isKey(request.kunci))
            request.cacat = QStringLiteral("kunci permintaan tidak sah");
        else if (!request.waktu.isValid())
            request.cacat = QStringLiteral("waktu permintaan tidak sah");
        else if (!isi.isObject())
            request.cacat = QStringLiteral("isi permintaan tidak sah");
        request.isi = isi.object();
        requests->append(request);
    }
    return true;
}

bool submit(const QSqlDatabase &settings, const QString &jenis, const QJsonObject &isi,
            const std::function<QString()> &wake, QString *kunci, QString *error)
{
    if (!add(settings, jenis, isi, kunci, error))
        return false;
    *error = wake();
    if (error->isEmpty())
        return true;
    QString ignored;
    remove(settings, *kunci, &ignored);
    return false;
}

bool remove(const QSqlDatabase &settings, const QString &kunci, QString *error, bool *removed)
{
    QSqlQuery query(settings);
    query.prepare(QStringLiteral("delete from permintaan where kunci = ?"));
    query.addBindValue(kunci);
    if (query.exec()) {
        if (removed)
            *removed = query.numRowsAffected() > 0;
        return true;
    }
    *error = query.lastError().text();
    return false;
}

QStringList createAnswerStatements()
{
    return {QStringLiteral("CREATE TABLE IF NOT EXISTS permintaan (id INTEGER PRIMARY KEY, "
                           "kunci TEXT UNIQUE, jenis TEXT, oleh TEXT, diminta TEXT, mulai TEXT, "
                           "selesai TEXT, hasil TEXT, pesan TEXT, kemajuan TEXT)")};
}

Answer answerFromRecord(const QSqlRecord &row)
{
    Answer a;
    a.kunci = row.value(QStringLiteral("kunci")).toString();
    a.jenis = row.value(QStringLiteral("jenis")).toString();
    a.oleh = row.value(QStringLiteral("oleh")).toString();
    a.diminta = timeOf(row.value(QStringLiteral("diminta")));
    a.mulai = timeOf(row.value(QStringLiteral("mulai")));
    a.selesai = timeOf(row.value(QStringLiteral("selesai")));
    a.hasil = row.value(QStringLiteral("hasil")).toString();
    a.pesan = row.value(QStringLiteral("pesan")).toString();
    a.kemajuan =
        QJsonDocument::fromJson(row.value(QStringLiteral("kemajuan")).toByteArray()).object();
    return a;
}

bool answer(const QSqlDatabase &history, const QString &kunci, Answer *found, QString *error)
{
    error->clear();
    if (!history.tables().contains(QStringLiteral("permintaan")))
        return false;
    QSqlQuery query(history);
    query.prepare(QStringLiteral("select * from permintaan where kunci = ?"));
    query.addBindValue(kunci);
    if (!query.exec()) {
        *error = query.lastError().text();
        return false;
    }
    if (!query.next())
        return false;
    *found = answerFromRecord(query.record());
    return true;
}

bool readAnswer(const QString &historyPath, const QString &kunci, Answer *found, QString *error)
{
    static QAtomicInt count;
    const QString name = QStringLiteral("permintaan-jawaban-%1").arg(count.fetchAndAddRelaxed(1));
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(historyPath);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=250"));
        if (!db.open())
            *error = db.lastError().text();
        else
            ok = answer(db, kunci, found, error);
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

QString currentAccount()
{
#ifdef Q_OS_WIN
    return QProcessEnvironment::systemEnvironment().value(QStringLiteral("USERNAME"));
#else
    const struct passwd *entry = ::getpwuid(::geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(::geteuid());
#endif
}

} // namespace permintaan
