// What the job history says about each listed database: its newest good backup, its newest
// job, whether it needs attention, and when the schedule runs it next. No widgets.
#pragma once

#include "riwayat.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class QSqlDatabase;

namespace backupstatus {

// The backup times as the service reads them: hour and minute, each with its switch.
struct Schedule
{
    QTime jam1, jam2;
    bool jam1st = false, jam2st = false;
    bool anyTimeOn() const { return jam1st || jam2st; }
};

// Why nothing will be backed up by the schedule, for the tray and the status window.
inline const QString NothingScheduled =
    QStringLiteral("Tidak ada jam backup yang aktif: service tidak akan membuat backup terjadwal.");

// The next minute at which a switched-on backup time comes round after now; invalid when
// both are off.
QDateTime nextRun(const Schedule &schedule, const QDateTime &now);
// How old the newest good backup may grow before it counts as late: a day, plus the longest
// wait from one backup time to the next (a day when only one, or none, is on).
qint64 allowedAgeSecs(const Schedule &schedule);

enum class Condition { Good, Failed, Late, Never };

struct Row
{
    QString dbname;
    riwayat::Job lastGood;     // id 0: none, or its dump was deleted
    riwayat::Job lastJob;      // the newest, possibly still running; id 0: none
    riwayat::Job lastFinished; // the newest that ended; id 0: none
    Condition condition = Condition::Never;
    bool needsAttention() const { return condition != Condition::Good; }
};

// One row per name, in the order given, from a history opened read-only. Each question asks
// for the newest matching job only, so a long history is read backwards no further than the
// answer; a history without the deletion table has deleted nothing.
bool read(const QSqlDatabase &history, const QStringList &dbnames, QList<Row> *rows,
          QString *error);
// Judges every row at now and puts the ones needing attention first, each group in its
// order. Returns when the first good row turns late (invalid: none will).
QDateTime judge(QList<Row> *rows, const Schedule &schedule, const QDateTime &now);

bool isFailure(const QString &hasil);
QString ageInWords(const QDateTime &then, const QDateTime &now);
QString sizeInWords(qint64 bytes);

} // namespace backupstatus
