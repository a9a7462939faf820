#include "jobhistory.h"

#include "confbu.h"
#include "programfile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMutex>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

namespace {

// Only SQLite's own verdict on the file's contents: a full disk, a lack of file descriptors
// or an I/O error says nothing about the history, which must then be kept for the next run.
bool isDamage(const QSqlError &error)
{
    constexpr int Corrupt = 11, NotADatabase = 26;
    const int code = error.nativeErrorCode().toInt() & 0xff; // the primary code of an extended one
    return code == Corrupt || code == NotADatabase;
}

} // namespace

JobHistory::JobHistory(const QString &programDir, Note note)
    : path(programfile::resolve(programDir, confbu::HistoryFile)), note(std::move(note)),
      // Backups and requests each open the history on a thread of their own.
      connection(QStringLiteral("sarvela-riwayat-%1").arg(quintptr(this)))
{
    // Two threads that both found it missing or damaged would each make it anew, the second
    // removing the file the first has just opened.
    static QMutex opening;
    const QMutexLocker locker(&opening);
    const programfile::Folder folder(QFileInfo(path).absolutePath());
    const QString name = QFileInfo(path).fileName();
    const QString journal = name + QStringLiteral("-journal");
    // SQLite would roll a journal that someone else put there back into our history.
    bool exists = false;
    QString problem;
    if (!folder.isOwn(journal, &exists) && exists)
        folder.remove(journal, &problem);
    problem.clear();

    const bool own = folder.isOwn(name, &exists);
    if (own) {
        const Opening opening = open(&problem);
        if (opening == Opening::Opened)
            return;
        if (opening == Opening::Unusable) {
            unusable(problem);
            return;
        }
    } else if (exists) {
        problem = QStringLiteral("bukan berkas milik service");
    }
    // Missing, someone else's, or no database: made anew, never written through.
    QString error;
    if (!folder.remove(name, &error) || !folder.createForGroup(name, &error)) {
        unusable(error);
        return;
    }
    QString reopened;
    if (open(&reopened) != Opening::Opened) {
        unusable(reopened);
        return;
    }
    this->note(QStringLiteral("Riwayat backup [") + path +
               (exists ? QStringLiteral("] rusak (") + problem + QStringLiteral("); dibuat ulang.")
                       : QStringLiteral("] belum ada; dibuat baru.")));
}

JobHistory::~JobHistory()
{
    QSqlDatabase::removeDatabase(connection);
}

void JobHistory::unusable(const QString &problem)
{
    note(QStringLiteral("Riwayat backup [") + path + QStringLiteral("] tidak dapat dipakai: ") +
         problem + QStringLiteral(". Backup tetap berjalan."));
}

JobHistory::Opening JobHistory::open(QString *problem)
{
    QSqlDatabase::removeDatabase(connection);
    // The file was made, with its rights, before it is opened.
    QSqlDatabase db = programfile::addSqlite(connection, path, BusyTimeoutMs);
    QSqlQuery query(db);
    bool opened = db.open();
    for (const QString &statement : riwayat::createStatements())
        opened = opened && query.exec(statement);
    opened = opened && query.exec(QStringLiteral("select ") + riwayat::ColumnList +
                                  QStringLiteral(" from riwayat limit 0"));
    if (opened)
        return Opening::Opened;
    const QSqlError error = db.isOpenError() ? db.lastError() : query.lastError();
    *problem = error.text();
    db.close();
    return isDamage(error) ? Opening::Damaged : Opening::Unusable;
}

QSqlDatabase JobHistory::database() const
{
    return QSqlDatabase::database(connection, false);
}

bool JobHistory::exec(const QString &statement, const QVariantList &values, qint64 *id)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!db.isOpen())
        return false;
    QSqlQuery query(db);
    bool ok = query.prepare(statement);
    for (const QVariant &value : values)
        query.addBindValue(value);
    ok = ok && query.exec();
    if (!ok && !writeFailed) {
        writeFailed = true; // once a run, not once a job
        note(QStringLiteral("Riwayat backup [") + path + QStringLiteral("] tidak dapat ditulis: ") +
             query.lastError().text());
    }
    if (ok && id)
        *id = query.lastInsertId().toLongLong();
    return ok;
}

static QVariant timeText(const QDateTime &time)
{
    return time.isValid() ? QVariant(time.toString(riwayat::TimeFormat)) : QVariant();
}

static QVariant textOrNull(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

// A database's name is text, never NULL, even when it is empty: NULL names the globals.
static QVariant dbnameOf(const QString &dbname, bool globals)
{
    return globals ? QVariant(QVariant::String)
                   : QVariant(dbname.isNull() ? QStringLiteral("") : dbname);
}

qint64 JobHistory::start(const QString &dbname, const QDateTime &mulai, bool globals)
{
    qint64 id = 0;
    exec(QStringLiteral("insert into riwayat (dbname, mulai, hasil, terverifikasi) "
                        "values (?, ?, ?, 0)"),
         {dbnameOf(dbname, globals), timeText(mulai), riwayat::Berjalan}, &id);
    return id;
}

bool JobHistory::finish(qint64 id, const riwayat::Job &job, const QList<riwayat::TableRows> &tables,
                        const QString &check)
{
    const QVariantList values{timeText(job.selesai),
                              textOrNull(job.file),
                              job.file.isEmpty() ? QVariant() : QVariant(job.ukuran),
                              job.hasil,
                              textOrNull(job.alasan),
                              int(job.terverifikasi)};
    if (id <= 0)
        return exec(QStringLiteral("insert into riwayat (selesai, file, ukuran, hasil, alasan, "
                                   "terverifikasi, dbname, mulai) values (?, ?, ?, ?, ?, ?, ?, "
                                   "?)"),
                    values + QVariantList{dbnameOf(job.dbname, job.globals), timeText(job.mulai)});
    QSqlDatabase db = database();
    const bool together = !tables.isEmpty() || !check.isEmpty();
    if (together && (!db.isOpen() || !db.transaction()))
        return false;
    bool ok = exec(QStringLiteral("update riwayat set selesai = ?, file = ?, ukuran = ?, "
                                  "hasil = ?, alasan = ?, terverifikasi = ? where id = ?"),
                   values + QVariantList{id});
    if (!tables.isEmpty() && ok) {
        QSqlQuery insert(db);
        ok = insert.prepare(QStringLiteral("insert into isi (riwayat_id, tabel, baris) "
                                           "values (?, ?, ?)"));
        QVariantList ids, names, rows;
        for (const riwayat::TableRows &table : tables) {
            ids << id;
            names << table.tabel;
            rows << table.baris;
        }
        insert.addBindValue(ids);
        insert.addBindValue(names);
        insert.addBindValue(rows);
        ok = ok && insert.execBatch();
        if (!ok && !writeFailed) {
            writeFailed = true;
            note(QStringLiteral("Riwayat backup [") + path +
                 QStringLiteral("] tidak dapat ditulis: ") + insert.lastError().text());
        }
    }
    if (!check.isEmpty() && ok)
        ok = exec(QStringLiteral("insert into periksa (riwayat_id, rincian) values (?, ?)"),
                  {id, check});
    if (!together)
        return ok;
    if (ok && db.commit())
        return true;
    db.rollback();
    return false;
}

bool JobHistory::previousRows(const QString &dbname, qint64 beforeId,
                              QList<riwayat::TableRows> *tables)
{
    QSqlDatabase db = database();
    QSqlQuery query(db);
    query.prepare(QStringLiteral("select max(id) from riwayat where dbname = ? and hasil = ? "
                                 "and terverifikasi = 1 and id < ?"));
    query.addBindValue(dbname);
    query.addBindValue(riwayat::Ok);
    query.addBindValue(beforeId);
    QString error;
    if (!db.isOpen() || !query.exec() || !query.next() || query.value(0).isNull() ||
        !riwayat::tableRows(db, query.value(0).toLongLong(), tables, &error))
        return false;
    return !tables->isEmpty();
}

bool JobHistory::mayDeleteDumpsOf(const QString &dbname)
{
    QList<riwayat::Check> waiting;
    QString error;
    const QSqlDatabase db = database();
    return db.isOpen() && riwayat::pendingChecks(db, dbname, &waiting, &error) && waiting.isEmpty();
}

bool JobHistory::checkWaits(const QString &dbname)
{
    QList<riwayat::Check> waiting;
    QString error;
    const QSqlDatabase db = database();
    return db.isOpen() && riwayat::pendingChecks(db, dbname, &waiting, &error) &&
           !waiting.isEmpty();
}

int JobHistory::acceptChecks(const QString &dbname, qint64 upToId, const QString &oleh,
                             const QDateTime &when)
{
    QSqlDatabase db = database();
    if (!db.isOpen())
        return -1;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("update periksa set diterima = ?, oleh = ? where diterima is "
                                 "null and riwayat_id <= ? and riwayat_id in (select id from "
                                 "riwayat where dbname = ?)"));
    for (const QVariant &value :
         {timeText(when), QVariant(oleh), QVariant(upToId), QVariant(dbname)})
        query.addBindValue(value);
    if (!query.exec()) {
        note(QStringLiteral("Riwayat backup [") + path + QStringLiteral("] tidak dapat ditulis: ") +
             query.lastError().text());
        return -1;
    }
    return query.numRowsAffected();
}

qint64 JobHistory::startDrill(qint64 riwayatId, const QDateTime &mulai)
{
    qint64 id = 0;
    exec(QStringLiteral("insert into ujipulih (riwayat_id, mulai, hasil) values (?, ?, ?)"),
         {riwayatId, timeText(mulai), riwayat::Berjalan}, &id);
    return id;
}

bool JobHistory::finishDrill(qint64 id, const riwayat::Drill &drill)
{
    return exec(QStringLiteral("update ujipulih set selesai = ?, hasil = ?, alasan = ?, tabel = ?, "
                               "baris = ? where id = ?"),
                {timeText(drill.selesai), drill.hasil, textOrNull(drill.alasan),
                 drill.hasil == riwayat::Ok ? QVariant(drill.tabel) : QVariant(),
                 drill.hasil == riwayat::Ok ? QVariant(drill.baris) : QVariant(), id});
}

bool JobHistory::drilledOn(const QString &dbname, const QDate &day)
{
    QSqlDatabase db = database();
    QSqlQuery query(db);
    query.prepare(QStringLiteral("select count(*) from ujipulih join riwayat on riwayat.id = "
                                 "ujipulih.riwayat_id where dbname = ? and ujipulih.hasil <> ? "
                                 "and substr(ujipulih.mulai, 1, 10) = ?"));
    query.addBindValue(dbname);
    query.addBindValue(riwayat::Dibatalkan);
    query.addBindValue(day.toString(QStringLiteral("yyyy-MM-dd")));
    return db.isOpen() && query.exec() && query.next() && query.value(0).toInt() > 0;
}

void JobHistory::closeAbandonedDrills(const std::function<QDateTime()> &now, const QString &reason)
{
    QSqlDatabase db = database();
    QSqlQuery running(db);
    if (!db.isOpen() ||
        !running.exec(QStringLiteral("select count(*) from ujipulih where hasil = '") +
                      riwayat::Berjalan + QLatin1Char('\'')) ||
        !running.next() || running.value(0).toInt() == 0)
        return;
    exec(QStringLiteral("update ujipulih set selesai = ?, hasil = ?, alasan = ? where hasil = ?"),
         {timeText(now()), riwayat::Dibatalkan, reason, riwayat::Berjalan});
}

QList<riwayat::Job> JobHistory::keptDumps(const QString &dbname)
{
    QList<riwayat::Job> dumps;
    QString error;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!db.isOpen() || !riwayat::verifiedDumps(db, dbname, &dumps, &error))
        return {};
    return dumps;
}

QList<riwayat::Job> JobHistory::keptGlobals()
{
    QList<riwayat::Job> dumps;
    QString error;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!db.isOpen() || !riwayat::globalsDumps(db, &dumps, &error))
        return {};
    return dumps;
}

bool JobHistory::globalsInUse(QSet<qint64> *ids)
{
    QSqlDatabase db = database();
    QSqlQuery query(db);
    query.setForwardOnly(true);
    ids->clear();
    if (!db.isOpen() ||
        !query.exec(QStringLiteral(
            "select distinct (select max(g.id) from riwayat g left join terhapus gt on "
            "gt.riwayat_id = g.id where g.dbname is null and g.hasil = 'OK' and g.file is not "
            "null and gt.riwayat_id is null and g.id < d.id) from riwayat d left join terhapus t "
            "on t.riwayat_id = d.id where d.dbname is not null and d.hasil = 'OK' and "
            "d.terverifikasi = 1 and d.file is not null and t.riwayat_id is null")))
        return false;
    while (query.next())
        if (!query.value(0).isNull())
            ids->insert(query.value(0).toLongLong());
    return true;
}

bool JobHistory::recordDeletion(const QList<qint64> &ids, const QDateTime &when)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!db.isOpen() || !db.transaction())
        return false;
    bool ok = true;
    for (qint64 id : ids)
        ok = ok && exec(QStringLiteral("insert into terhapus (riwayat_id, waktu) values (?, ?)"),
                        {id, timeText(when)});
    if (ok && db.commit())
        return true;
    db.rollback();
    return false;
}

void JobHistory::forgetDeletion(const QList<qint64> &ids)
{
    for (qint64 id : ids)
        exec(QStringLiteral("delete from terhapus where riwayat_id = ?"), {id});
}

QMap<int, QDateTime> JobHistory::takenTimes()
{
    QMap<int, QDateTime> taken;
    QSqlQuery query(QSqlDatabase::database(connection, false));
    if (!query.exec(QStringLiteral("select jam, waktu from jadwal")))
        return taken;
    // Wall-clock times: read as they were written, whatever the zone says of them now.
    while (query.next()) {
        const QString text = query.value(1).toString();
        const QDateTime at(QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd")),
                           QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss")), Qt::UTC);
        if (at.isValid())
            taken.insert(query.value(0).toInt(), at);
    }
    return taken;
}

bool JobHistory::recordTakenTime(int slot, const QDateTime &at)
{
    return exec(QStringLiteral("insert or replace into jadwal (jam, waktu) values (?, ?)"),
                {slot, at.toString(riwayat::TimeFormat)});
}

QList<riwayat::Job> JobHistory::closeAbandoned(const std::function<QDateTime()> &now,
                                               const QString &reason)
{
    QList<riwayat::Job> running;
    QString error;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!db.isOpen() || !riwayat::runningJobs(db, &running, &error))
        return {};
    for (riwayat::Job &job : running) {
        job.selesai = now();
        job.hasil = riwayat::Gagal;
        job.alasan = reason;
        finish(job.id, job);
    }
    return running;
}

bool JobHistory::isAnswered(const QString &kunci)
{
    permintaan::Answer found;
    QString error;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    return db.isOpen() && permintaan::answer(db, kunci, &found, &error);
}

bool JobHistory::startAnswer(const permintaan::Request &request, const QDateTime &mulai)
{
    return exec(QStringLiteral("insert into permintaan (kunci, jenis, oleh, diminta, mulai, hasil) "
                               "values (?, ?, ?, ?, ?, ?)"),
                {request.kunci.left(64), request.jenis.left(64), request.oleh,
                 timeText(request.waktu), timeText(mulai), permintaan::Berjalan});
}

void JobHistory::setProgress(const QString &kunci, const QJsonObject &kemajuan)
{
    exec(QStringLiteral("update permintaan set kemajuan = ? where kunci = ?"),
         {QString::fromUtf8(QJsonDocument(kemajuan).toJson(QJsonDocument::Compact)),
          kunci.left(64)});
}

bool JobHistory::endAnswer(const QString &kunci, const QDateTime &selesai, const QString &hasil,
                           const QString &pesan)
{
    return exec(QStringLiteral("update permintaan set selesai = ?, hasil = ?, pesan = ? "
                               "where kunci = ?"),
                {timeText(selesai), hasil, textOrNull(pesan), kunci.left(64)});
}

void JobHistory::closeAbandonedAnswers(const QDateTime &now, const QString &reason)
{
    exec(QStringLiteral("update permintaan set selesai = ?, hasil = ?, pesan = ? where hasil = ?"),
         {timeText(now), permintaan::Gagal, reason, permintaan::Berjalan});
}
