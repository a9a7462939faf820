// What the job history says about each listed database: its newest good backup and the rows it
// holds, its newest job, its newest restore drill, a dump that waits to be checked, whether it
// needs attention, and when the schedule runs it next. No widgets.
#pragma once

#include "confbu.h"
#include "riwayat.h"
#include "salinan.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class QSqlDatabase;

namespace backupstatus {

// The backup times as the service reads them: hour and minute, each with its switch; and when
// the restore drills run.
struct Schedule
{
    Schedule(QTime jam1 = QTime(), QTime jam2 = QTime(), bool jam1st = false, bool jam2st = false,
             confbu::DrillSchedule drills = confbu::DrillSchedule())
        : jam1(jam1), jam2(jam2), jam1st(jam1st), jam2st(jam2st), drills(drills)
    {
    }
    QTime jam1, jam2;
    bool jam1st, jam2st;
    confbu::DrillSchedule drills;
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
// How long a database may go without a good restore drill: two of the drills' periods (a week,
// or the longest wait between backup times); 0 when drills are off.
qint64 drillAllowedSecs(const Schedule &schedule);

// The worst first.
enum class Condition { Good, Failed, Check, Late, Never, DrillFailed, DrillLate };

struct Row
{
    QString dbname;
    riwayat::Job lastGood;     // id 0: none, or its dump was deleted
    riwayat::Job lastJob;      // the newest, possibly still running; id 0: none
    riwayat::Job lastFinished; // the newest that ended; id 0: none
    QDateTime firstJob;        // when the database's first job started; invalid: none
    int tabel = 0;             // of the last good backup: its tables and their rows
    qint64 baris = 0;
    QList<riwayat::TableRows> tables;
    riwayat::Drill lastDrill;     // the newest restore drill; id 0: none
    riwayat::Drill lastGoodDrill; // the newest that succeeded; id 0: none
    QList<riwayat::Check> checks; // dumps that wait for an administrator's word, oldest first
    Condition condition = Condition::Never;
    // Off this machine: the newest verified copy that is kept, the newest copy that ended, and
    // since when a good dump has waited for a copy (invalid: none waits, or none was tried).
    salinan::Copy lastCopy;
    salinan::Copy lastCopyTry;
    QDateTime uncopiedSince;
    // Copies are made and a good dump has waited for one longer than a dump may grow old.
    bool copyLate = false;
    bool needsAttention() const { return condition != Condition::Good || copyLate; }
};

// One row per name, in the order given, from a history opened read-only. Each question asks
// for the newest matching job only, so a long history is read backwards no further than the
// answer; a history without the deletion table has deleted nothing.
bool read(const QSqlDatabase &history, const QStringList &dbnames, QList<Row> *rows,
          QString *error);
// Judges every row at now and puts the ones needing attention first, each group in its
// order. Returns when the first good row turns late, its backup, its drill or its copy
// (invalid: none will). copiesOn: a destination for copies off this machine is chosen, so that
// a dump without one is late too.
QDateTime judge(QList<Row> *rows, const Schedule &schedule, const QDateTime &now,
                bool copiesOn = false);

bool isFailure(const QString &hasil);
// Whether the drill failed or was refused (a cancelled one says nothing of the dump).
bool isDrillFailure(const riwayat::Drill &drill);
QString ageInWords(const QDateTime &then, const QDateTime &now);
QString sizeInWords(qint64 bytes);

} // namespace backupstatus
