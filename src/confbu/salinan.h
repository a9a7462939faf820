// Copies of the good dumps off this machine, through rclone. Root alone defines where copies may
// go (rclone's configuration, which members never read); the admin group chooses one of those
// destinations in confbu.cfg's table confsalin. The service records every copy in riwayat.db's
// table salinan, and publishes there the names and types of root's destinations, never a
// secret, so that the panel can offer them. The one place that knows these tables.
#pragma once

#include "confbu.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class QSqlDatabase;
class QSqlRecord;

namespace salinan {

// confbu.cfg's choice: a destination of root's, a folder in it, how many copies it keeps and
// an age recipient that they are encrypted to.
struct Settings
{
    QString remote;   // the name of a destination in root's rclone configuration; empty: none
    QString folder;   // inside it; the copies go to folder/DATABASE/
    QString penerima; // an age recipient (age1...); empty: the copies are not encrypted
    confbu::Retention simpan;
    bool isOn() const { return !remote.isEmpty(); }
    bool operator==(const Settings &o) const
    {
        return remote == o.remote && folder == o.folder && penerima == o.penerima &&
               simpan == o.simpan;
    }
};

QString createSettingsTable();
// A file made before the table, or one without a row, makes no copies.
Settings read(const QSqlDatabase &settings);
bool write(const QSqlDatabase &settings, const Settings &choice, QString *error);

// A member's text as a reason may quote it: control characters shown as '?', at most 80
// characters, so that it can neither break a line of a log nor fill one.
QString shown(const QString &text);

// Why the service must not use the folder (a "..", a leading "/" and the like): a member's
// text must never lead rclone outside the destination root defined. Empty when usable.
QString folderRefusal(const QString &folder);
// Why the text is no age recipient; empty when it is one, or empty.
QString recipientRefusal(const QString &penerima);
// Sixteen hexadecimal digits that tell one recipient from another at a glance: the start of
// the SHA-256 of its text (printf %s RECIPIENT | sha256sum).
QString fingerprint(const QString &penerima);

// Where a database's copies go: REMOTE:FOLDER/DATABASE.
QString place(const Settings &choice, const QString &dbname);

// riwayat.db.
QStringList createHistoryStatements();

// One copy of a dump: its row in salinan, with the dump's database and time.
struct Copy
{
    qint64 id = 0;
    qint64 riwayatId = 0;
    QString dbname;
    QDateTime dumpMulai; // when the dump's job started
    QString tujuan;      // REMOTE:PATH of the object under its final name
    QDateTime mulai;
    QDateTime selesai; // invalid while it runs
    qint64 ukuran = 0; // bytes sent
    QString hasil;     // riwayat's texts: BERJALAN, OK, GAGAL, DIBATALKAN
    QString alasan;
    bool terverifikasi = false;
    QString sementara; // an object under a temporary name that may still be there; empty: none
    QDateTime dihapus; // when retention deleted it; invalid while kept
};
Copy fromRecord(const QSqlRecord &row);

// The columns of salinan as read with the dump's database and time; readers join on riwayat.
QString selectCopies();

// The newest verified copy of any of the database's dumps that retention has not deleted; id 0
// when there is none.
bool newestVerified(const QSqlDatabase &history, const QString &dbname, Copy *copy, QString *error);
// The newest copy of the database's dumps that ended; id 0 when there is none.
bool newestFinished(const QSqlDatabase &history, const QString &dbname, Copy *copy, QString *error);
// Since when the database has had a good dump without a verified copy of it or of a newer one,
// counted from its first attempted copy at the earliest: invalid when it has none such, or
// copies were never tried.
bool uncopiedSince(const QSqlDatabase &history, const QString &dbname, QDateTime *since,
                   QString *error);

// The destinations of root's configuration as the service last read it.
struct Remote
{
    QString nama;
    QString jenis;      // rclone's type: sftp, s3, drive, alias...
    bool lokal = false; // lands on this machine's own disks
};
struct Published
{
    QString berkas;  // the configuration file
    QString akun;    // the account the service runs under, which must be able to read it
    QString masalah; // why it could not be read; empty when it was
    QDateTime waktu;
    QList<Remote> remotes;
};
// Replaces what was published, in one transaction.
bool publish(const QSqlDatabase &history, const Published &published, QString *error);
// False with an empty error when the service never published anything.
bool readPublished(const QSqlDatabase &history, Published *published, QString *error);

} // namespace salinan
