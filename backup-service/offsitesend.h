// One dump's way off this machine, once the history knows of it: encrypted to the recipient when
// one is set (into a temporary of the output folder), sent under a temporary name, checked to
// hold what was sent, moved to its final name, and its run log sent beside it. Knows rclone and
// age; the history and the policy are the caller's.
#pragma once

#include "rclonetool.h"

#include <QString>

class OutputFolder;
class StopSignal;

class DumpSender
{
public:
    // What a stopped copy gives as its failure.
    static const QString Stopped;

    struct Outcome
    {
        QString failure;            // why it failed (Stopped after a stop); empty when it is there
        qint64 size = 0;            // what was, or was to be, sent
        bool temporaryLeft = false; // the temporary object may still be there
        QString logFailure;         // why the run log beside it could not be sent
    };

    DumpSender(const Rclone &rclone, OutputFolder &folder, const QString &penerima,
               const StopSignal *stop);

    // Sends the output folder's dump under temporary, then moves it to object; rclone's and
    // age's messages go into the run log beside the dump.
    Outcome send(const QString &dumpName, const QString &temporary, const QString &object);

    // Whether the object is not there (rclone's exit code for a path it does not find).
    bool isGone(const QString &object, const File &runLog) const;
    // The run log's name beside a copy: bu_D_S.bu[.age] gives bu_D_S.log[.age].
    static QString runLogObject(const QString &object);

private:
    QString transfer(const QString &sourceName, const File &source, const QString &logName,
                     const QString &temporary, const QString &object, Outcome *outcome,
                     File &runLog);
    QString verify(const QByteArray &messages, const QString &sourceName, const QString &temporary,
                   const File &source, qint64 size, const File &runLog);
    QString sendRunLog(const QString &name, const QString &object, QByteArray *messages) const;

    const Rclone &rclone;
    OutputFolder &folder;
    const QString penerima;
    const StopSignal *const stop;
};
