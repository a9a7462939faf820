// Restoring a good dump into PostgreSQL: what the panel and sarvela-pulih ask of the service
// (a request of jenis "pulihkan" through permintaan), what they may offer (the good dumps the
// history records and the verified copies off this machine), and how the service records what
// it did (riwayat.db's pemulihan and pemulihan_isi), so that a program closed and opened again
// finds a restore that still runs. The service restores; the askers only ask and read.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

class QSqlDatabase;

namespace pemulihan {

inline const QString Jenis = QStringLiteral("pulihkan");

// The request's parameters: exactly one of riwayat (a history job whose good dump is restored)
// or salinan (a recorded verified copy off this machine).
struct Choice
{
    QString database;   // the source database D
    qint64 riwayat = 0; // riwayat.id
    qint64 salinan = 0; // salinan.id
    QString ke;         // the target; D itself when timpa
    bool timpa = false; // in place of D
    QString konfirmasi; // the name typed to confirm in place; must be D
    QString identitas;  // an encrypted copy's age identity, sealed to the service's recipient
};
QJsonObject request(const Choice &choice);
// The choice a request holds, or why it is no restore request (empty when it is one). Only the
// shape is judged here; the service checks the rest against the history and the server.
QString fromRequest(const QJsonObject &isi, Choice *choice);

// D_pulih_YYYYMMDD_HHMM and D_sebelum_YYYYMMDD_HHMM.
QString defaultTarget(const QString &db, const QDateTime &now);
QString beforeName(const QString &db, const QDateTime &now);

// Why a name may be neither a source nor a target: the rules backups apply to a database's
// name. Empty when it passes.
QString nameRefusal(const QString &name);

// A dump that can be restored: a local good dump (riwayatId, file) or a verified copy off this
// machine (salinanId, tujuan in file).
struct Candidate
{
    qint64 riwayatId = 0; // the job whose dump it is (a copy's too)
    qint64 salinanId = 0; // 0: the local dump
    QString dbname;
    QString file;      // the dump's path, or REMOTE:PATH of the copy
    QDateTime waktu;   // when the dump's job started
    qint64 ukuran = 0; // bytes
    bool terverifikasi = false;
    bool terenkripsi = false; // an age copy: restoring it needs the identity
    QString ujiHasil;         // the newest restore drill of the dump; empty: never drilled
    qint64 ujiBaris = -1;     // the rows that drill restored; -1: unknown
    qint64 baris = -1;        // the rows the dump holds by the history; -1: not counted
    bool isCopy() const { return salinanId != 0; }
};
// The database's candidates, newest first: the local good dumps, then the verified copies.
bool candidates(const QSqlDatabase &history, const QString &db, QList<Candidate> *found,
                QString *error);
// The candidate a choice names, checked against the same records; false with the reason (empty
// on success) when the history does not offer it for the database.
bool candidateOf(const QSqlDatabase &history, const Choice &choice, Candidate *found,
                 QString *refusal);

// riwayat.db's tables of restores and of the service's recipient.
QStringList createHistoryStatements();

// The service's recipient for identities: an age public key of a pair made at its start, whose
// identity lives only in the service's memory. Published in riwayat.db; empty before.
bool publishRecipient(const QSqlDatabase &history, const QString &recipient, QString *error);
bool serviceRecipient(const QSqlDatabase &history, QString *recipient, QString *error);
// The identity file the administrator picked, encrypted to recipient with age -r -a: only the
// service can read what a request carries. The file is read by age alone, never kept.
// The age program: beside the programs on Windows, the system's own elsewhere (an absolute path,
// never one that the environment's PATH puts first).
QString ageProgram(const QString &programDir);
bool sealIdentity(const QString &agePath, const QString &recipient, const QString &identityFile,
                  QString *sealed, QString *error);

// The answer's kemajuan.
struct Progress
{
    QString tahap;   // what the service does now, in words
    int selesai = 0; // items of the archive's list restored
    int jumlah = 0;  // of all
    QString tabel;   // whose data is on its way
    QJsonObject toJson() const;
    static Progress fromJson(const QJsonObject &kemajuan);
};

// The log lines (and the answer's pesan).
QString okLine(const QString &file, const QString &target, qint64 rows);
QString failLine(const QString &file, const QString &target, const QString &reason);
QString cancelLine(const QString &file, const QString &target);
QString refusalLine(const QString &reason);

// One restore as the history records it.
struct Restore
{
    qint64 id = 0;
    QString kunci; // the request's
    QString oleh;
    QDateTime diminta, mulai;
    QDateTime selesai; // invalid while it runs
    QString database;
    QString file;
    QString ke;
    bool timpa = false;
    QString sebelum; // in place: the name the old database got
    QString hasil;   // riwayat's texts
    QString alasan;
    qint64 baris = -1;
    // Where it stands: periksa, dibuat (kerja made by it), dipulihkan, tukar (in place: the
    // renames under way), selesai.
    QString langkah;
    QString kerja; // the database it restores into: ke, or in place a new one swapped in after
};
// Each table's rows: what the dump held (-1: not known) and what was restored.
struct TableCount
{
    QString tabel;
    qint64 backup = -1;
    qint64 pulih = -1;
};
// The restore of a request; false with an empty error when there is none (yet).
bool restoreOf(const QSqlDatabase &history, const QString &kunci, Restore *found,
               QList<TableCount> *tables, QString *error);
// The newest restore that still runs; false with an empty error when none does.
bool running(const QSqlDatabase &history, Restore *found, QString *error);

} // namespace pemulihan
