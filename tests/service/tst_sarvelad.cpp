// End to end: an installed program directory, a throwaway PostgreSQL 15 and the real
// pg_dump. The service run with -e backs the listed databases up at the configured
// minute, and pg_restore accepts what it wrote.
#include "pgcluster.h"
#include "programdir.h"
#include "servicetestkit.h"

#include <QProcess>
#include <QtTest>

using namespace servicetest;

class TestSarvelad : public QObject
{
    Q_OBJECT

private slots:
    void backsUpAtTheConfiguredMinute();
};

void TestSarvelad::backsUpAtTheConfiguredMinute()
{
    ProgramDir program;
    PgCluster cluster;
    QTemporaryDir scratch;
    QString error;
    QVERIFY2(program.install(&error) && cluster.start(&error) &&
                 cluster.createSampleDatabase("penjualan", &error) &&
                 cluster.createSampleDatabase("data gudang", &error),
             qPrintable(error));
    const QString outputdir = scratch.filePath("backup hasil");
    QVERIFY(QDir().mkpath(outputdir));

    // The backup time must still be the current minute when the service first looks.
    if (QTime::currentTime().second() >= 40)
        QTest::qWait((61 - QTime::currentTime().second()) * 1000);
    QVariantMap settings = defaultSettings(outputdir);
    settings.insert(QVariantMap{{"server", cluster.host()},
                                {"port", cluster.port()},
                                {"user", cluster.superUser()},
                                {"pass", cluster.superPassword()},
                                {"jam1", QDateTime::currentDateTime().toString(Qt::ISODate)}});
    QVERIFY2(
        writeSettings(program.file("confbu.cfg"), {settings}, {"penjualan", "data gudang"}, &error),
        qPrintable(error));

    QProcess service;
    service.setWorkingDirectory(scratch.path()); // files must be found from the program, not here
    service.start(program.file("sarvelad"), {"-e"});
    QVERIFY2(service.waitForStarted(), qPrintable(service.errorString()));
    const QString logPath = program.file("busys.log");
    QTRY_VERIFY_WITH_TIMEOUT(logMessages(logPath).filter("Backup Database : ").size() >= 2, 90000);
    QTest::qWait(200);
    service.kill();
    service.waitForFinished();

    const QStringList log = logMessages(logPath);
    QCOMPARE(log.size(), 4);
    QCOMPARE(log.mid(0, 2), QStringList({"Read Config.", "Read List DB"}));
    const QStringList dumps =
        QDir(outputdir).entryList({"bu_penjualan_*.bu", "bu_data gudang_*.bu"});
    QCOMPARE(dumps.size(), 2);
    for (const QString &dump : dumps) {
        QVERIFY(log.contains("Backup Database : " + outputdir + '/' + dump));
        QProcess restore;
        restore.start(PgCluster::binDir() + "/pg_restore", {"--list", outputdir + '/' + dump});
        QVERIFY(restore.waitForFinished(60000) && restore.exitCode() == 0);
        const QString listing = restore.readAllStandardOutput();
        QVERIFY2(listing.contains("TABLE DATA public tblpelanggan") && !listing.contains("catatan"),
                 qPrintable(listing)); // only the tbl* tables
    }
    QVERIFY(!QFileInfo::exists(scratch.filePath("busys.log")));
}

QTEST_GUILESS_MAIN(TestSarvelad)
#include "tst_sarvelad.moc"
