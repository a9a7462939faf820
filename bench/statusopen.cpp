// What the status window costs on a long history (run by panel-idle.sh, never by the tests):
// the read that fills it, as at the panel's start; the window shown with its rows; and a
// read after a change, as while the panel runs. Prints the median of ROUNDS rounds in ms.
//
//   statusopen HISTORY DB1,DB2,... [ROUNDS]
#include "fstatusbackup.h"
#include "historywatch.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>

namespace {

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s HISTORY DB1,DB2,... [ROUNDS]\n", argv[0]);
        return 2;
    }
    const QString history = QString::fromLocal8Bit(argv[1]);
    const QStringList databases = QString::fromLocal8Bit(argv[2]).split(',');
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 7;
    QList<double> firstRead, open, reread;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        XHistoryWatch watch(history);
        watch.setSchedule({QTime(1, 0), QTime(13, 0), true, true});
        watch.setDatabases(databases);
        watch.start();
        firstRead << clock.nsecsElapsed() / 1e6;
        FStatusBackup window(&watch);
        window.show();
        QCoreApplication::processEvents();
        open << clock.nsecsElapsed() / 1e6;
        if (watch.rows().size() != databases.size() || !watch.readError().isEmpty()) {
            std::fprintf(stderr, "read failed: %s\n", qPrintable(watch.readError()));
            return 1;
        }
        clock.restart();
        watch.setDatabases(databases); // reads again, as a change does
        reread << clock.nsecsElapsed() / 1e6;
    }
    std::printf("first read %.1f ms, window open with its rows %.1f ms, read after a change "
                "%.1f ms (median of %d)\n",
                median(firstRead), median(open), median(reread), rounds);
    return 0;
}
