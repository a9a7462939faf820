// Shared by the tests that run the service's threads on a program folder: the folder backing a
// real cluster up with its real tools, and a thread that is stopped and waited for however the
// test ends.
#pragma once

#include "pgcluster.h"
#include "servicetestkit.h"
#include "thbackup.h"

#include <QElapsedTimer>
#include <QMutex>

#include <sys/stat.h>

namespace servicetest {

inline QString pgTool(const QString &tool)
{
    return PgCluster::binDir() + '/' + tool;
}

// A program folder that backs the cluster's databases up with the real tools, as user. The
// scratch clusters of its drills run as postgres (the tests run as root), which must pass
// through the folders above its own.
inline bool prepareOn(ProgramFolder &folder, const PgCluster &cluster, const QStringList &databases,
                      int keep = 0, const confbu::DrillSchedule &drills = NoDrills,
                      const QString &user = "postgres", const QString &password = "sarvela-test-pw")
{
    bool ok = folder.prepare(
        {{"server", cluster.host()}, {"port", cluster.port()}, {"user", user}, {"pass", password}}, databases,
        keep, QString(), drills);
    for (const QString tool : {"pg_dump", "pg_restore", "pg_dumpall", "psql"}) {
        QFile::remove(folder.file("dbutils/" + tool));
        ok = ok && QFile::link(pgTool(tool), folder.file("dbutils/" + tool));
    }
    return ok && ::chmod(QFile::encodeName(folder.path()).constData(), 0711) == 0 &&
           ::chmod(QFile::encodeName(folder.file("data")).constData(), 03771) == 0;
}

// A service thread (ThBackup, ThPermintaan), stopped and waited for when it goes.
template <class T> struct Stopped : T
{
    using T::T;
    ~Stopped()
    {
        T::stop();
        T::wait();
    }
    // Whether a stop ends the thread within the two seconds the service is given.
    bool stopsInTime()
    {
        QElapsedTimer stopping;
        stopping.start();
        T::stop();
        return T::wait(2000) && stopping.elapsed() < 2000;
    }
};

// A backup worker on the folder whose clock says start until the test moves it by later
// seconds, asked for requests backups before it starts, and who looks every tenth of a second.
// What it hands to the system's log is kept.
class Worker
{
public:
    Worker(const ProgramFolder &folder, const QDateTime &start, int requests = 0)
        : thread(
              folder.path(), [this, start] { return start.addSecs(later); }, 100,
              [this](const QString &message) {
                  QMutexLocker locker(&mutex);
                  reports << message;
              })
    {
        while (requests-- > 0)
            thread.requestBackup();
        thread.start();
    }
    QStringList reported()
    {
        QMutexLocker locker(&mutex);
        return reports;
    }

private:
    QMutex mutex;
    QStringList reports;

public:
    std::atomic<int> later{0};
    Stopped<ThBackup> thread; // last: stopped before what it uses goes
};

} // namespace servicetest
