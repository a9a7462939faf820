// End to end: an installed program directory, a throwaway PostgreSQL 15 and the real
// pg_dump and pg_restore. The service run with -e backs the listed databases up at the
// configured minute, reads each dump back, and keeps only what reads back whole.
#include "pgcluster.h"
#include "programdir.h"
#include "servicetestkit.h"

#include <QProcess>
#include <QtTest>

using namespace servicetest;

namespace {

QString pgTool(const QString &tool)
{
    return PgCluster::binDir() + '/' + tool;
}

} // namespace

class TestSarvelad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void backsUpAtTheConfiguredMinute();
    void dumpsThatDoNotReadBackAreKeptAside_data();
    void dumpsThatDoNotReadBackAreKeptAside();

private:
    // Settings for the cluster whose first backup time is the current minute, with room
    // for the service to start within it.
    bool writeSettingsNow(const ProgramDir &program, const QString &outputdir,
                          const QStringList &databases, QString *error);
    // Runs the installed service with -e until the log has count entries naming what.
    QStringList
    runUntil(const ProgramDir &program, const QString &what, int count,
             const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

    PgCluster cluster;
    QTemporaryDir scratch;
};

void TestSarvelad::initTestCase()
{
    QString error;
    QVERIFY2(cluster.start(&error) && cluster.createSampleDatabase("penjualan", &error) &&
                 cluster.createSampleDatabase("data gudang", &error),
             qPrintable(error));
}

bool TestSarvelad::writeSettingsNow(const ProgramDir &program, const QString &outputdir,
                                    const QStringList &databases, QString *error)
{
    if (QTime::currentTime().second() >= 40)
        QTest::qWait((61 - QTime::currentTime().second()) * 1000);
    QVariantMap settings = defaultSettings(outputdir);
    settings.insert(QVariantMap{{"server", cluster.host()},
                                {"port", cluster.port()},
                                {"user", cluster.superUser()},
                                {"pass", cluster.superPassword()},
                                {"jam1", QDateTime::currentDateTime().toString(Qt::ISODate)}});
    return QDir().mkpath(outputdir) &&
           writeSettings(program.file("confbu.cfg"), {settings}, databases, error);
}

QStringList TestSarvelad::runUntil(const ProgramDir &program, const QString &what, int count,
                                   const QProcessEnvironment &environment)
{
    QProcess service;
    service.setProcessEnvironment(environment);
    service.setWorkingDirectory(scratch.path()); // files must be found from the program
    service.start(program.file("sarvelad"), {"-e"});
    const QString logPath = program.file("busys.log");
    QElapsedTimer waited;
    waited.start();
    while (logMessages(logPath).filter(what).size() < count && waited.elapsed() < 90000)
        QTest::qWait(100);
    QTest::qWait(200);
    service.kill();
    service.waitForFinished();
    return logMessages(logPath);
}

void TestSarvelad::backsUpAtTheConfiguredMinute()
{
    ProgramDir program;
    QString error;
    const QString outputdir = scratch.filePath("backup hasil");
    QVERIFY2(program.install(&error) &&
                 writeSettingsNow(program, outputdir, {"penjualan", "data gudang"}, &error),
             qPrintable(error));

    const QStringList log = runUntil(program, "Backup Database OK : ", 2);
    QCOMPARE(log.size(), 6);
    QCOMPARE(log.mid(0, 2), QStringList({"Read Config.", "Read List DB"}));
    const QStringList dumps =
        QDir(outputdir).entryList({"bu_penjualan_*.bu", "bu_data gudang_*.bu"});
    QCOMPARE(dumps.size(), 2);
    for (const QString &dump : dumps) {
        const QString path = outputdir + '/' + dump;
        QVERIFY(log.contains("Backup Database : " + path));
        QVERIFY2(log.contains(QString("Backup Database OK : database [%1], file [%2], %3 byte, "
                                      "terverifikasi.")
                                  .arg(dump.section('_', 1, -2), path)
                                  .arg(QFileInfo(path).size())),
                 qPrintable(log.join('\n')));
        QProcess restore;
        restore.start(pgTool("pg_restore"), {"--list", path});
        QVERIFY(restore.waitForFinished(60000) && restore.exitCode() == 0);
        const QString listing = restore.readAllStandardOutput();
        QVERIFY2(listing.contains("TABLE DATA public tblpelanggan") && !listing.contains("catatan"),
                 qPrintable(listing)); // only the tbl* tables
    }
    QCOMPARE(QDir(outputdir).entryList({"*.tmp-*", "*.rusak"}), QStringList());
    QVERIFY(!QFileInfo::exists(scratch.filePath("busys.log")));
}

void TestSarvelad::dumpsThatDoNotReadBackAreKeptAside_data()
{
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("tableOfContentsReads");

    QTest::newRow("archive cut short: its table of contents still reads")
        << "potong"
        << "pg_restore: error: could not read from input file: end of file" << true;
    QTest::newRow("no archive at all")
        << "sampah"
        << "pg_restore: error: input file does not appear to be a valid archive (too short?)"
        << false;
}

// pg_dump ended with code 0, yet what it left is not a whole archive: the real pg_restore
// finds it, the job fails, and the file is kept only under a name no one takes for a dump.
void TestSarvelad::dumpsThatDoNotReadBackAreKeptAside()
{
    QFETCH(QString, database);
    QFETCH(QString, reason);
    QFETCH(bool, tableOfContentsReads);
    ProgramDir program;
    QString error;
    const QString outputdir = scratch.filePath("tidak utuh " + database);
    QVERIFY2(program.install(&error) && program.useFakePgDump(&error) &&
                 writeSettingsNow(program, outputdir, {database}, &error),
             qPrintable(error));
    const QString source = scratch.filePath("penjualan.bu");
    if (!QFileInfo::exists(source)) {
        QProcess dump;
        QProcessEnvironment withPassword = QProcessEnvironment::systemEnvironment();
        withPassword.insert("PGPASSWORD", cluster.superPassword());
        dump.setProcessEnvironment(withPassword);
        dump.start(pgTool("pg_dump"),
                   {"--host=" + cluster.host(), "--port=" + QString::number(cluster.port()),
                    "--username=" + cluster.superUser(), "--format=custom", "--file=" + source,
                    "--table=tbl*", "penjualan"});
        QVERIFY(dump.waitForFinished(60000) && dump.exitCode() == 0);
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("FAKE_PG_DUMP_SOURCE", source);

    const QStringList log = runUntil(program, "Backup Database GAGAL : ", 1, environment);
    const QStringList kept = QDir(outputdir).entryList({"bu_*"}, QDir::Files);
    QCOMPARE(kept.size(), 2); // the run log and the dump kept aside
    const QString path = outputdir + '/' + kept.filter(".bu").value(0).chopped(6);
    QCOMPARE(log.filter("Backup Database GAGAL : "),
             QStringList("Backup Database GAGAL : database [" + database + "], file [" + path +
                         "]. dump tidak terbaca utuh: " + reason));
    QVERIFY2(kept.contains(path.section('/', -1) + ".rusak"), qPrintable(kept.join(' ')));
    QVERIFY(readText(path.chopped(3) + ".log").contains(reason));

    QProcess list;
    list.start(pgTool("pg_restore"), {"--list", path + ".rusak"});
    QVERIFY(list.waitForFinished(60000));
    QCOMPARE(list.exitCode() == 0, tableOfContentsReads);
}

QTEST_GUILESS_MAIN(TestSarvelad)
#include "tst_sarvelad.moc"
