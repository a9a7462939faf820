// End to end: an installed program directory, a throwaway PostgreSQL 15 and the real
// pg_dump. The service run with -e backs the listed databases up at the configured
// minute, and pg_restore accepts what it wrote.
#include "backupengine.h"
#include "pgcluster.h"
#include "programdir.h"
#include "servicetestkit.h"

#include <QProcess>
#include <QtTest>

#include <sys/stat.h>

using namespace servicetest;

class TestSarvelad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installedDirectory();
    void reinstallKeepsSettings();
    void backsUpAtTheConfiguredMinute();
    void wrongPasswordIsReportedAsFailed();

private:
    QVariantMap settingsFor(const QString &outputdir) const;
    QString restoreList(const QString &dump, QString *error) const;

    ProgramDir program;
    PgCluster cluster;
    QTemporaryDir scratch{QDir::tempPath() + QStringLiteral("/sarvela-e2e-XXXXXX")};
};

void TestSarvelad::initTestCase()
{
    QString error;
    QVERIFY2(scratch.isValid(), qPrintable(scratch.errorString()));
    QVERIFY2(program.install(&error), qPrintable(error));
    QVERIFY2(cluster.start(&error), qPrintable(error));
    QVERIFY2(cluster.createSampleDatabase("penjualan", &error), qPrintable(error));
    QVERIFY2(cluster.createSampleDatabase("data gudang", &error), qPrintable(error));
}

QVariantMap TestSarvelad::settingsFor(const QString &outputdir) const
{
    QVariantMap settings = defaultSettings(outputdir);
    settings["server"] = cluster.host();
    settings["port"] = cluster.port();
    settings["user"] = cluster.superUser();
    settings["pass"] = cluster.superPassword();
    settings["jam1st"] = 0;
    settings["jam2st"] = 0;
    return settings;
}

QString TestSarvelad::restoreList(const QString &dump, QString *error) const
{
    QProcess restore;
    restore.start(PgCluster::binDir() + "/pg_restore", {"--list", dump});
    if (!restore.waitForFinished(60000) || restore.exitStatus() != QProcess::NormalExit ||
        restore.exitCode() != 0) {
        *error = "pg_restore --list failed: " + QString::fromUtf8(restore.readAllStandardError());
        return QString();
    }
    return QString::fromUtf8(restore.readAllStandardOutput());
}

void TestSarvelad::installedDirectory()
{
    QFileInfo tool(program.file("dbutils/pg_dump"));
    QVERIFY2(tool.isSymLink() && tool.isExecutable(), qPrintable(tool.symLinkTarget()));
    QVERIFY(QFileInfo(program.file("sarvelad")).isExecutable());

    BackupEngine engine(program.path());
    QVERIFY(engine.ReadConfig());
    QCOMPARE(engine.server, QStringLiteral("localhost"));
    QCOMPARE(engine.port, 5432);
    QCOMPARE(engine.user + "/" + engine.pass, QStringLiteral("admin/5170342"));
    QVERIFY(engine.jam1.isValid() && engine.jam2.isValid());
    QVERIFY(!engine.jam1st && !engine.jam2st);
    QFile::remove(program.file("busys.log"));
}

void TestSarvelad::reinstallKeepsSettings()
{
    QString error;
    const QString settings = program.file("confbu.cfg");
    QVERIFY2(writeSettings(settings, {settingsFor("/srv/keep me")}, {"mine"}, &error),
             qPrintable(error));
    const QByteArray before = fileHash(settings);
    QVERIFY2(program.install(&error), qPrintable(error));
    QCOMPARE(fileHash(settings), before);
}

void TestSarvelad::backsUpAtTheConfiguredMinute()
{
    QString error;
    const QString outputdir = scratch.filePath("backup hasil");
    QVERIFY(QDir().mkpath(outputdir));
    QFile::remove(program.file("busys.log"));

    // The backup time must still be the current minute when the service first looks.
    if (QTime::currentTime().second() >= 40)
        QTest::qWait((61 - QTime::currentTime().second()) * 1000);
    QVariantMap settings = settingsFor(outputdir);
    settings["jam1"] = QDateTime::currentDateTime().toString(Qt::ISODate);
    settings["jam1st"] = 1;
    const QString settingsPath = program.file("confbu.cfg");
    QVERIFY2(writeSettings(settingsPath, {settings}, {"penjualan", "data gudang"}, &error),
             qPrintable(error));
    const QByteArray settingsHash = fileHash(settingsPath);

    QProcess service;
    service.setWorkingDirectory(scratch.path()); // files must be found from the program, not here
    service.start(program.file("sarvelad"), {"-e"});
    QVERIFY2(service.waitForStarted(), qPrintable(service.errorString()));
    auto entries = [&] { return program.file("busys.log"); };
    QTRY_VERIFY_WITH_TIMEOUT(logMessages(entries()).filter("Backup Database : ").size() >= 2,
                             90000);
    QTest::qWait(200);
    service.kill();
    service.waitForFinished();

    const QStringList log = logMessages(entries());
    QCOMPARE(log.size(), 4);
    QCOMPARE(log.mid(0, 2), QStringList({"Read Config.", "Read List DB"}));
    const QStringList names{"penjualan", "data gudang"};
    for (int i = 0; i < 2; ++i) {
        const QString prefix = "Backup Database : " + outputdir + "/bu_" + names[i] + "_";
        QVERIFY2(log.at(2 + i).startsWith(prefix) && log.at(2 + i).endsWith(".bu"),
                 qPrintable(log.at(2 + i)));
        const QString dump = log.at(2 + i).mid(18);
        const QString listing = restoreList(dump, &error);
        QVERIFY2(!listing.isEmpty(), qPrintable(error));
        QVERIFY2(listing.contains("TABLE public tblbarang") &&
                     listing.contains("TABLE DATA public tblpelanggan"),
                 qPrintable(listing));
        QVERIFY2(!listing.contains("catatan"), "a table outside tbl* was dumped");

        const QString runLog = QString(dump).replace(QRegularExpression("\\.bu$"), ".log");
        const QString runText = readText(runLog);
        QVERIFY2(runText.contains("Save Log : " + names[i] + " : \npg_dump: "),
                 qPrintable(runText));
        QVERIFY(!runText.contains(cluster.superPassword()));
        struct stat info
        {
        };
        QCOMPARE(::stat(QFile::encodeName(dump).constData(), &info), 0);
        QCOMPARE(int(info.st_mode & 07), 0);
    }
    QVERIFY(!readText(entries()).contains(cluster.superPassword()));
    QCOMPARE(fileHash(settingsPath), settingsHash);
    QVERIFY(!QFileInfo::exists(scratch.filePath("busys.log")));
    QCOMPARE(service.readAllStandardOutput(), QByteArray());
}

// The real tool refuses the login: the job is reported failed and leaves no dump.
void TestSarvelad::wrongPasswordIsReportedAsFailed()
{
    QString error;
    const QString outputdir = scratch.filePath("salah");
    QVERIFY(QDir().mkpath(outputdir));
    QVariantMap settings = settingsFor(outputdir);
    settings["pass"] = "bukan sandinya";
    QVERIFY2(writeSettings(program.file("confbu.cfg"), {settings}, {"penjualan"}, &error),
             qPrintable(error));
    QFile::remove(program.file("busys.log"));

    BackupEngine engine(program.path());
    QVERIFY(engine.ReadConfig());
    QVERIFY(engine.RunBackup());
    const QStringList log = logMessages(program.file("busys.log"));
    QCOMPARE(log.size(), 4);
    QVERIFY2(log.at(3).startsWith("Backup Database GAGAL : database [penjualan], file [" +
                                  outputdir + "/bu_penjualan_"),
             qPrintable(log.at(3)));
    QVERIFY2(log.at(3).endsWith("]. pg_dump selesai dengan kode keluar 1."), qPrintable(log.at(3)));
    const QStringList left = QDir(outputdir).entryList(QDir::Files);
    QCOMPARE(left.size(), 1);
    QVERIFY2(left.at(0).endsWith(".log"), qPrintable(left.at(0)));
    QVERIFY(readText(outputdir + "/" + left.at(0)).contains("password authentication failed"));
}

QTEST_GUILESS_MAIN(TestSarvelad)
#include "tst_sarvelad.moc"
