// Which dumps or copies a place keeps: the newest N, and the newest of each of the last days,
// weeks and months, over a made-up history.
#include "retention.h"
#include "texttable.h"

#include <QtTest>

class TestRetention : public QObject
{
    Q_OBJECT

private slots:
    // taken: newest first; kept: the number, days, weeks and months; deleted: oldest first
    void toDelete_data()
    {
        const QString four = "2024-03-10 06:00,2024-03-10 01:00,2024-03-09 13:00,2024-03-09 01:00";
        textTable(
            {"taken", "kept", "now", "deleted"},
            {{"a count of 0 keeps all, whatever the calendar says", four, "0 1 1 1", "2024-03-10 12:00", ""},
             {"the newest N", four, "2", "2024-03-10 12:00", "2024-03-09 01:00,2024-03-09 13:00"},
             {"the newest of each of the last days, today included",
              four + ",2024-03-08 01:00,2024-03-07 01:00", "1 3", "2024-03-10 12:00",
              "2024-03-07 01:00,2024-03-09 01:00,2024-03-10 01:00"},
             {"the newest of each week, Monday to Sunday",
              "2024-03-13 01:00,2024-03-11 01:00,2024-03-10 01:00,2024-03-04 01:00,2024-03-03 01:00", "1 0 2",
              "2024-03-13 12:00", "2024-03-03 01:00,2024-03-04 01:00,2024-03-11 01:00"},
             {"the newest of each month",
              "2024-03-05 01:00,2024-03-01 01:00,2024-02-28 01:00,2024-02-01 01:00,2024-01-31 01:00",
              "1 0 0 2", "2024-03-05 12:00", "2024-01-31 01:00,2024-02-01 01:00,2024-03-01 01:00"},
             {"days without a backup keep nothing older in their place", "2024-03-05 01:00,2024-03-04 01:00",
              "1 2", "2024-03-10 12:00", "2024-03-04 01:00"}});
    }
    void toDelete()
    {
        const QString format = "yyyy-MM-dd hh:mm";
        const QStringList taken = cell("taken").split(','), kept = cell("kept").split(' ');
        QList<Retention::Candidate> candidates;
        for (int i = 0; i < taken.size(); ++i)
            candidates << Retention::Candidate{i, QDateTime::fromString(taken[i], format)};
        const confbu::Retention policy{kept.value(0).toInt(), kept.value(1).toInt(), kept.value(2).toInt(),
                                       kept.value(3).toInt()};
        QStringList gone;
        for (qint64 key : Retention::toDelete(candidates, policy, QDateTime::fromString(cell("now"), format)))
            gone << taken[int(key)];
        QCOMPARE(gone.join(','), cell("deleted"));
    }
};

QTEST_GUILESS_MAIN(TestRetention)
#include "tst_retention.moc"
