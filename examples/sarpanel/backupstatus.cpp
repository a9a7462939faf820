#include "backupstatus.h"

#include <QLocale>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <algorithm>

namespace backupstatus {

namespace {

constexpr qint64 Day = 24 * 60 * 60;

QList<int> minutesOn(const Schedule &s)
{
    QList<int> minutes;
    if (s.jam1st)
        minutes << s.jam1.hour() * 60 + s.jam1.minute();
    if (s.jam2st)
        minutes << s.jam2.hour() * 60 + s.jam2.minute();
    std::sort(minutes.begin(), minutes.end());
    return minutes;
}

// The newest job of dbname that meets condition, or a job with id 0.
bool newest(const QSqlDatabase &db, const QString &from, const QString &condition,
            const QVariantList &values, riwayat::Job *job, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    bool ok = query.prepare(QStringLiteral("select ") + riwayat::ColumnList + from +
                            QStringLiteral(" where dbname = ? ") + condition +
                            QStringLiteral(" order by riwayat.id desc limit 1"));
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!ok || !query.exec()) {
        *error = query.lastError().text();
        return false;
    }
    *job = query.next() ? riwayat::fromRecord(query.record()) : riwayat::Job();
    return true;
}

// What the history says of the rows, drills and checks of the database's dumps.
bool proof(const QSqlDatabase &db, Row *row, QString *error)
{
    QSqlQuery first(db);
    first.setForwardOnly(true);
    first.prepare(QStringLiteral("select mulai from riwayat where id = (select min(id) from "
                                 "riwayat where dbname = ?)"));
    first.addBindValue(row->dbname);
    if (!first.exec()) {
        *error = first.lastError().text();
        return false;
    }
    if (first.next())
        row->firstJob = QDateTime::fromString(first.value(0).toString(), riwayat::TimeFormat);
    if (row->lastGood.id != 0 && !riwayat::tableRows(db, row->lastGood.id, &row->tables, error))
        return false;
    row->tabel = row->tables.size();
    for (const riwayat::TableRows &table : qAsConst(row->tables))
        row->baris += table.baris;
    return riwayat::newestDrill(db, row->dbname, false, &row->lastDrill, error) &&
           riwayat::newestDrill(db, row->dbname, true, &row->lastGoodDrill, error) &&
           riwayat::pendingChecks(db, row->dbname, &row->checks, error);
}

} // namespace

QDateTime nextRun(const Schedule &schedule, const QDateTime &now)
{
    QDateTime next;
    for (int minute : minutesOn(schedule)) {
        QDateTime at(now.date(), QTime(minute / 60, minute % 60));
        if (at <= now)
            at = at.addDays(1);
        if (!next.isValid() || at < next)
            next = at;
    }
    return next;
}

qint64 allowedAgeSecs(const Schedule &schedule)
{
    const QList<int> minutes = minutesOn(schedule);
    if (minutes.size() < 2)
        return 2 * Day;
    int longest = minutes.first() + 24 * 60 - minutes.last();
    for (int i = 1; i < minutes.size(); ++i)
        longest = qMax(longest, minutes[i] - minutes[i - 1]);
    return Day + qint64(longest) * 60;
}

qint64 drillAllowedSecs(const Schedule &schedule)
{
    switch (schedule.drills.jadwal) {
    case confbu::DrillSchedule::Weekly:
        return 2 * 7 * Day;
    case confbu::DrillSchedule::EveryRun:
        return 2 * (allowedAgeSecs(schedule) - Day);
    default:
        return 0;
    }
}

bool isDrillFailure(const riwayat::Drill &drill)
{
    return drill.id != 0 && (drill.hasil == riwayat::Gagal || drill.hasil == riwayat::Ditolak);
}

bool isFailure(const QString &hasil)
{
    // A cancelled job was stopped on purpose; lateness still shows if nothing follows it.
    return hasil == riwayat::Gagal || hasil == riwayat::Ditolak;
}

bool read(const QSqlDatabase &history, const QStringList &dbnames, QList<Row> *rows, QString *error)
{
    const bool deletions = history.tables().contains(QStringLiteral("terhapus"));
    const QString all = QStringLiteral(" from riwayat");
    const QString kept = deletions ? QStringLiteral(" from riwayat left join terhapus on "
                                                    "terhapus.riwayat_id = riwayat.id")
                                   : all;
    const QString notDeleted =
        deletions ? QStringLiteral(" and terhapus.riwayat_id is null") : QString();
    QList<Row> result;
    for (const QString &name : dbnames) {
        Row row;
        row.dbname = name;
        if (!newest(history, all, QString(), {name}, &row.lastJob, error))
            return false;
        row.lastFinished = row.lastJob;
        if (row.lastJob.hasil == riwayat::Berjalan &&
            !newest(history, all, QStringLiteral("and hasil <> ?"), {name, riwayat::Berjalan},
                    &row.lastFinished, error))
            return false;
        if (row.lastJob.id != 0 &&
            !newest(history, kept,
                    QStringLiteral("and hasil = ? and file is not null and file <> ''") +
                        notDeleted,
                    {name, riwayat::Ok}, &row.lastGood, error))
            return false;
        if (row.lastJob.id != 0 &&
            (!proof(history, &row, error) ||
             !salinan::newestVerified(history, name, &row.lastCopy, error) ||
             !salinan::newestFinished(history, name, &row.lastCopyTry, error) ||
             !salinan::uncopiedSince(history, name, &row.uncopiedSince, error)))
            return false;
        result << row;
    }
    *rows = result;
    return true;
}

QDateTime judge(QList<Row> *rows, const Schedule &schedule, const QDateTime &now, bool copiesOn)
{
    const qint64 allowed = allowedAgeSecs(schedule);
    const qint64 drillAllowed = drillAllowedSecs(schedule);
    QDateTime firstLate;
    for (Row &row : *rows) {
        // A copy is as late as a dump would be: by then a later run had its chance to try again.
        const QDateTime copyDue = row.uncopiedSince.addSecs(allowed);
        row.copyLate = copiesOn && copyDue.isValid() && now > copyDue;
        if (copiesOn && copyDue.isValid() && !row.copyLate &&
            (!firstLate.isValid() || copyDue < firstLate))
            firstLate = copyDue;
        const QDateTime late = row.lastGood.mulai.addSecs(allowed);
        // Drills are owed from the first job on, or from the last one that went well.
        const QDateTime drillSince =
            row.lastGoodDrill.id != 0 ? row.lastGoodDrill.mulai : row.firstJob;
        const QDateTime drillLate = drillAllowed > 0 && drillSince.isValid()
                                        ? drillSince.addSecs(drillAllowed)
                                        : QDateTime();
        if (row.lastFinished.id != 0 && isFailure(row.lastFinished.hasil)) {
            row.condition = Condition::Failed;
        } else if (!row.checks.isEmpty()) {
            row.condition = Condition::Check;
        } else if (row.lastGood.id == 0) {
            row.condition = Condition::Never;
        } else if (!late.isValid() || now > late) {
            row.condition = Condition::Late;
        } else if (drillAllowed > 0 && isDrillFailure(row.lastDrill)) {
            row.condition = Condition::DrillFailed;
        } else if (drillLate.isValid() && now > drillLate) {
            row.condition = Condition::DrillLate;
        } else {
            row.condition = Condition::Good;
            for (const QDateTime &turn : {late, drillLate})
                if (turn.isValid() && (!firstLate.isValid() || turn < firstLate))
                    firstLate = turn;
        }
    }
    std::stable_partition(rows->begin(), rows->end(),
                          [](const Row &row) { return row.needsAttention(); });
    return firstLate;
}

QString ageInWords(const QDateTime &then, const QDateTime &now)
{
    const qint64 secs = then.secsTo(now);
    if (secs < 60)
        return QStringLiteral("baru saja");
    if (secs < 60 * 60)
        return QStringLiteral("%1 menit lalu").arg(secs / 60);
    if (secs < Day)
        return QStringLiteral("%1 jam lalu").arg(secs / (60 * 60));
    return QStringLiteral("%1 hari lalu").arg(secs / Day);
}

QString sizeInWords(qint64 bytes)
{
    return QLocale(QLocale::Indonesian, QLocale::Indonesia)
        .formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

} // namespace backupstatus
