// The scheduler: which checks start a backup run, once per matching minute, and the
// worker thread's start and stop. Runs are counted by their "Read List DB" entries.
#include "backupengine.h"
#include "servicetestkit.h"
#include "thbackup.h"

#include <QtTest>

using namespace servicetest;

class TestSchedule : public QObject
{
    Q_OBJECT

private slots:
    void runsOncePerMatchingMinute_data();
    void runsOncePerMatchingMinute();
    void slowRunMakesTheOtherSlotMiss();
    void workerEndsWhenSettingsUnreadable();
    void workerStopsWhenAsked();
};

void TestSchedule::runsOncePerMatchingMinute_data()
{
    QTest::addColumn<QVariantMap>("overrides");
    QTest::addColumn<QStringList>("checks"); // "d hh:mm:ss", d = day of the month
    QTest::addColumn<int>("runs");

    const QVariantMap slot1{{"jam1", "2000-01-01T05:30:00"}, {"jam1st", 1}};
    QTest::newRow("four checks in the minute run once")
        << slot1 << QStringList{"1 05:30:00", "1 05:30:15", "1 05:30:30", "1 05:30:45"} << 1;
    QTest::newRow("start late in the minute runs at the first check")
        << slot1 << QStringList{"1 05:30:59"} << 1;
    QTest::newRow("minute before and after do not run")
        << slot1 << QStringList{"1 05:29:59", "1 05:31:00", "1 17:30:00"} << 0;
    QTest::newRow("the same time the next day runs again")
        << slot1 << QStringList{"1 05:30:10", "1 05:31:10", "2 05:30:10"} << 2;
    QTest::newRow("date of the stored time plays no part")
        << QVariantMap{{"jam1", "1999-12-31T05:30:00"}, {"jam1st", 1}} << QStringList{"9 05:30:00"}
        << 1;
    QTest::newRow("disabled slot never runs")
        << QVariantMap{{"jam1", "2000-01-01T05:30:00"}, {"jam1st", 0}} << QStringList{"1 05:30:00"}
        << 0;
    QTest::newRow("unreadable time never runs")
        << QVariantMap{{"jam1", "setengah enam"}, {"jam1st", 1}}
        << QStringList{"1 05:30:00", "1 00:00:00"} << 0;
    QTest::newRow("two equal slots run twice in one check")
        << QVariantMap{{"jam1", "2000-01-01T05:30:00"},
                       {"jam1st", 1},
                       {"jam2", "2000-01-01T05:30:00"},
                       {"jam2st", 1}}
        << QStringList{"1 05:30:00", "1 05:30:15"} << 2;
    QTest::newRow("both slots at their own minutes")
        << QVariantMap{{"jam1", "2000-01-01T05:30:00"},
                       {"jam1st", 1},
                       {"jam2", "2000-01-01T21:05:00"},
                       {"jam2st", 1}}
        << QStringList{"1 05:30:00", "1 12:00:00", "1 21:05:30", "1 21:05:45"} << 2;
    QTest::newRow("third and fourth times never run")
        << QVariantMap{{"jam1st", 0},
                       {"jam3", "2000-01-01T05:30:00"},
                       {"jam3st", 1},
                       {"jam4", "2000-01-01T05:30:00"},
                       {"jam4st", 1}}
        << QStringList{"1 05:30:00"} << 0;
}

void TestSchedule::runsOncePerMatchingMinute()
{
    QFETCH(QVariantMap, overrides);
    QFETCH(QStringList, checks);
    QFETCH(int, runs);
    ProgramFolder folder;
    QString error;
    QVERIFY2(folder.setUp(&error), qPrintable(error));
    QVariantMap settings = defaultSettings(folder.outputDir());
    settings["jam1st"] = 0;
    for (auto it = overrides.begin(); it != overrides.end(); ++it)
        settings[it.key()] = it.value();
    QVERIFY2(writeSettings(folder.settingsPath(), {settings}, {}, &error), qPrintable(error));

    QDateTime now;
    BackupEngine engine(folder.path(), [&now] { return now; });
    QVERIFY(engine.ReadConfig());
    for (const QString &check : checks) {
        const QStringList parts = check.split(' ');
        now = QDateTime(QDate(2024, 3, parts[0].toInt()), QTime::fromString(parts[1], "hh:mm:ss"));
        engine.CheckSchedule();
    }
    QCOMPARE(folder.log().count(QStringLiteral("Read List DB")), runs);
}

// A run that lasts from 05:30 to 05:32 means the 05:31 slot is never seen that day.
void TestSchedule::slowRunMakesTheOtherSlotMiss()
{
    ProgramFolder folder;
    QString error;
    QVERIFY2(folder.setUp(&error), qPrintable(error));
    QVariantMap settings = defaultSettings(folder.outputDir());
    settings["jam1"] = "2000-01-01T05:30:00";
    settings["jam2"] = "2000-01-01T05:31:00";
    settings["jam2st"] = 1;
    QVERIFY2(writeSettings(folder.settingsPath(), {settings}, {"sales"}, &error),
             qPrintable(error));
    ScopedEnv record("FAKE_PG_DUMP_RECORD", QFile::encodeName(folder.recordPath()));

    QDateTime now(QDate(2024, 3, 1), QTime(5, 30, 50));
    // The job looks at the clock once, for its file names; after that the run has "taken" 70 s.
    int looks = 0;
    BackupEngine engine(folder.path(), [&] {
        const QDateTime at = now;
        if (++looks == 2)
            now = now.addSecs(70);
        return at;
    });
    QVERIFY(engine.ReadConfig());
    engine.CheckSchedule(); // 05:30:50: slot 1 runs until 05:32:00
    engine.CheckSchedule(); // 05:32:00: slot 2's minute is gone
    QCOMPARE(folder.log().count(QStringLiteral("Read List DB")), 1);
    QCOMPARE(recordedCalls(folder.recordPath()).size(), 1);
}

void TestSchedule::workerEndsWhenSettingsUnreadable()
{
    ProgramFolder folder;
    QString error;
    QVERIFY2(folder.setUp(&error), qPrintable(error));
    ThBackup worker(folder.path(), BackupEngine::Clock(), 10);
    worker.start();
    QVERIFY2(worker.wait(20000), "the worker kept running without settings");
    QCOMPARE(folder.log(), QStringList({"Read Config.", "Maaf file [" + folder.settingsPath() +
                                                            "] tidak ditemukan."}));
    QVERIFY(!QFileInfo::exists(folder.settingsPath()));
}

void TestSchedule::workerStopsWhenAsked()
{
    ProgramFolder folder;
    QString error;
    QVERIFY2(folder.setUp(&error), qPrintable(error));
    QVariantMap settings = defaultSettings(folder.outputDir());
    settings["jam1st"] = 1;
    QVERIFY2(writeSettings(folder.settingsPath(), {settings}, {}, &error), qPrintable(error));
    const QDateTime match(QDate(2024, 3, 1), QTime(5, 30));

    // A check interval far longer than the test: the stop must wake the sleeping worker.
    ThBackup worker(
        folder.path(), [match] { return match; }, 24 * 60 * 60 * 1000);
    worker.start();
    QTRY_COMPARE_WITH_TIMEOUT(folder.log().count("Read List DB"), 1, 20000);
    worker.stop();
    QVERIFY2(worker.wait(20000), "the worker did not stop");
    QCOMPARE(folder.log(), QStringList({"Read Config.", "Read List DB"}));
}

QTEST_GUILESS_MAIN(TestSchedule)
#include "tst_schedule.moc"
