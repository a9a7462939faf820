// Copies of a run's good dumps off this machine, to the destination that the admin group chose
// among root's: encrypted to the recipient when one is set, sent under a temporary name,
// compared by hash with what was sent, and only then given the final name
// FOLDER/DATABASE/bu_D_S.bu (.bu.age when encrypted), with the run log beside it. A copy that
// fails never touches the dump; the newest good dump without a verified copy is tried again at
// every later run. The copies that the policy no longer keeps go once a newer one is verified.
#pragma once

#include "rclonetool.h"
#include "salinan.h"

#include <QDateTime>
#include <QJsonObject>
#include <QSet>
#include <QString>

#include <functional>

class JobHistory;
class OutputFolder;
class StopSignal;
namespace riwayat {
struct Job;
}

class OffsiteCopies
{
public:
    struct Hooks
    {
        std::function<void(const QString &)> log;  // busys.log
        std::function<void(const QString &)> fail; // busys.log and the system's log
        std::function<QDateTime()> clock;
        // Whether retention must leave the database's copies alone now.
        std::function<bool(const QString &dbname)> held;
    };

    // outputdir: the output folder as the settings name it (the dumps' recorded paths);
    // settingsPath: confbu.cfg itself, for the rule that a folder on this machine must meet.
    OffsiteCopies(const salinan::Settings &choice, const Rclone &rclone, JobHistory &history,
                  OutputFolder &folder, const QString &outputdir, const QString &settingsPath,
                  const StopSignal *stop, Hooks hooks);

    // At the run's start: reads root's configuration and publishes its destinations, judges the
    // chosen one (every copy of the run fails with the reason when it is refused), completes
    // copies that a process which died left running, and removes what such copies left under a
    // temporary name.
    void prepare();
    // The job's good dump; true when its copy was verified.
    bool copy(const riwayat::Job &job);
    // Before the run ends: the newest good dump of each database that has no verified copy
    // here, the newest first; true when each was copied.
    bool copyPending(const QStringList &databases);

private:
    bool finish(salinan::Copy &row, const QString &hasil, const QString &alasan);
    void removeTemporaries();
    void removeOlderCopies(const QString &dbname, qint64 newest);
    bool hasVerifiedCopy(qint64 riwayatId);
    QString place(const QString &dbname) const;

    const salinan::Settings choice;
    const Rclone rclone;
    JobHistory &history;
    OutputFolder &folder;
    const QString outputdir;
    const QString settingsPath;
    const StopSignal *const stop;
    const Hooks hooks;
    QJsonObject config;
    QString refused;        // why no copy may go to the chosen destination; empty when they may
    QSet<qint64> attempted; // jobs whose dumps this run copied, or tried to
};

// What the service publishes of root's configuration for the panel: the destinations' names
// and types, and whether each lands on this machine. config: what was read, when it was.
salinan::Published describeDestinations(const Rclone &rclone, const StopSignal *stop,
                                        QJsonObject *config);
