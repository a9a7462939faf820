// Which dumps or copies a place keeps: the newest N, and the newest of each of the last days,
// weeks and months, over a made-up history.
#include "retention.h"

#include <QtTest>

class TestRetention : public QObject
{
    Q_OBJECT

private slots:
    void toDelete_data();
    void toDelete();
};

namespace {

const QString Format = QStringLiteral("yyyy-MM-dd hh:mm");

confbu::Retention policy(int jumlah, int harian = 0, int mingguan = 0, int bulanan = 0)
{
    return {jumlah, harian, mingguan, bulanan};
}

} // namespace

Q_DECLARE_METATYPE(confbu::Retention)

void TestRetention::toDelete_data()
{
    QTest::addColumn<QStringList>("taken"); // newest first
    QTest::addColumn<confbu::Retention>("kept");
    QTest::addColumn<QString>("now");
    QTest::addColumn<QStringList>("deleted"); // oldest first

    const QStringList four{"2024-03-10 06:00", "2024-03-10 01:00", "2024-03-09 13:00",
                           "2024-03-09 01:00"};
    QTest::newRow("a count of 0 keeps all, whatever the calendar says")
        << four << policy(0, 1, 1, 1) << "2024-03-10 12:00" << QStringList();
    QTest::newRow("the newest N") << four << policy(2) << "2024-03-10 12:00"
                                  << QStringList({"2024-03-09 01:00", "2024-03-09 13:00"});
    QTest::newRow("the newest of each of the last days, today included")
        << (four + QStringList({"2024-03-08 01:00", "2024-03-07 01:00"})) << policy(1, 3)
        << "2024-03-10 12:00"
        << QStringList({"2024-03-07 01:00", "2024-03-09 01:00", "2024-03-10 01:00"});
    QTest::newRow("the newest of each week, Monday to Sunday")
        << QStringList({"2024-03-13 01:00", "2024-03-11 01:00", "2024-03-10 01:00",
                        "2024-03-04 01:00", "2024-03-03 01:00"})
        << policy(1, 0, 2) << "2024-03-13 12:00"
        << QStringList({"2024-03-03 01:00", "2024-03-04 01:00", "2024-03-11 01:00"});
    QTest::newRow("the newest of each month")
        << QStringList({"2024-03-05 01:00", "2024-03-01 01:00", "2024-02-28 01:00",
                        "2024-02-01 01:00", "2024-01-31 01:00"})
        << policy(1, 0, 0, 2) << "2024-03-05 12:00"
        << QStringList({"2024-01-31 01:00", "2024-02-01 01:00", "2024-03-01 01:00"});
    QTest::newRow("days without a backup keep nothing older in their place")
        << QStringList({"2024-03-05 01:00", "2024-03-04 01:00"}) << policy(1, 2)
        << "2024-03-10 12:00" << QStringList({"2024-03-04 01:00"});
}

void TestRetention::toDelete()
{
    QFETCH(QStringList, taken);
    QFETCH(confbu::Retention, kept);
    QFETCH(QString, now);
    QFETCH(QStringList, deleted);
    QList<Retention::Candidate> candidates;
    for (int i = 0; i < taken.size(); ++i)
        candidates << Retention::Candidate{i, QDateTime::fromString(taken[i], Format)};
    QStringList gone;
    for (qint64 key : Retention::toDelete(candidates, kept, QDateTime::fromString(now, Format)))
        gone << taken[int(key)];
    QCOMPARE(gone, deleted);
}

QTEST_GUILESS_MAIN(TestRetention)
#include "tst_retention.moc"
