// Requests that an operator hands to the service (test a destination, accept a change, restore a
// dump): a row in confbu.cfg's table permintaan, which the admin group may write, followed by a
// user command that wakes the service. The service answers in riwayat.db's table of the same
// name, which only it writes and the group reads: started, its progress, and how it ended. A
// request is known by a random key, so that a settings file put back from a copy can never make
// an old answer pass for a new request's.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QSqlDatabase;
class QSqlRecord;

namespace permintaan {

// The user commands ("sarvelad -c N") that go with the table.
constexpr int WaitingCommand = 2; // requests are waiting
constexpr int CancelCommand = 3;  // the request in progress is to end now

// What an answer says; BERJALAN while the service works on it.
inline const QString Berjalan = QStringLiteral("BERJALAN");
inline const QString Ok = QStringLiteral("OK");
inline const QString Gagal = QStringLiteral("GAGAL");
inline const QString Ditolak = QStringLiteral("DITOLAK");
inline const QString Dibatalkan = QStringLiteral("DIBATALKAN");

// A request's parameters are a small JSON object; a larger one is refused unread.
constexpr int MaxIsiBytes = 64 * 1024;

struct Request
{
    QString kunci;   // random, 32 hexadecimal digits
    QString jenis;   // what is asked: the name a handler of the service is known by
    QJsonObject isi; // its parameters
    QString oleh;    // the account that asked, as the asking program gave it
    QDateTime waktu; // when it was asked
    QString cacat;   // why the row is no request the service may act on; empty when it is
};

struct Answer
{
    QString kunci;
    QString jenis;
    QString oleh;
    QDateTime diminta;
    QDateTime mulai;
    QDateTime selesai; // invalid while it runs
    QString hasil;     // one of the texts above
    QString pesan;     // the outcome in words, or why it failed
    QJsonObject kemajuan; // how far it got, in the handler's own terms
    bool isFinished() const { return hasil != Berjalan; }
};

// confbu.cfg. add() makes the table in a file made before it existed.
QString createRequestTable();
bool add(const QSqlDatabase &settings, const QString &jenis, const QJsonObject &isi,
         QString *kunci, QString *error);
// Every waiting row, oldest first; a row that cannot be a request carries the reason in cacat.
bool pending(const QSqlDatabase &settings, QList<Request> *requests, QString *error);
// removed: whether the row was still there (an asker may take a request back before it runs).
bool remove(const QSqlDatabase &settings, const QString &kunci, QString *error,
            bool *removed = nullptr);

// What the panel and the shell's restore program do: add the request, then wake the service
// (wake returns why it could not, or an empty text). A request the service was not told of is
// taken out again, so that it can never run by surprise at a later start.
bool submit(const QSqlDatabase &settings, const QString &jenis, const QJsonObject &isi,
            const std::function<QString()> &wake, QString *kunci, QString *error);

// riwayat.db.
QStringList createAnswerStatements();
// False, with an empty error, when the service has not taken the request (yet).
bool answer(const QSqlDatabase &history, const QString &kunci, Answer *answer, QString *error);
Answer answerFromRecord(const QSqlRecord &row);
// The same through a read-only connection of its own on the history at path, closed again at
// once, so that the service is never kept from writing.
bool readAnswer(const QString &historyPath, const QString &kunci, Answer *answer, QString *error);

// The name of the account this process runs under, for oleh.
QString currentAccount();

} // namespace permintaan
