// One backup run against the fake pg_dump: the exact argument list and password,
// names that must never reach the tool, failed and hung tools, the output folder
// checks, and the files a run leaves behind.
#include "backupengine.h"
#include "servicetestkit.h"

#include <QtTest>

#include <sys/stat.h>

using namespace servicetest;

namespace {

const QDateTime JobTime(QDate(2013, 7, 9), QTime(5, 47, 9));

// Sets up a program folder whose settings list the given databases, and an engine
// that has read them, with a clock that starts at JobTime and moves one second per look.
struct Run
{
    ProgramFolder folder;
    QVariantMap settings;
    int ticks = 0;
    std::unique_ptr<ScopedEnv> record;

    bool prepare(const QStringList &databases, QString *error,
                 const QVariantMap &overrides = QVariantMap())
    {
        if (!folder.setUp(error))
            return false;
        settings = defaultSettings(folder.outputDir());
        for (auto it = overrides.begin(); it != overrides.end(); ++it)
            settings[it.key()] = it.value();
        record.reset(new ScopedEnv("FAKE_PG_DUMP_RECORD", QFile::encodeName(folder.recordPath())));
        return writeSettings(folder.settingsPath(), {settings}, databases, error);
    }

    std::unique_ptr<BackupEngine> engine()
    {
        auto e = std::make_unique<BackupEngine>(folder.path(),
                                                [this] { return JobTime.addSecs(ticks++); });
        if (!e->ReadConfig())
            return nullptr;
        QFile::remove(folder.logPath()); // the checks below look at the run's entries only
        return e;
    }

    QString stamp(int tick) const { return JobTime.addSecs(tick).toString("yyyyMMdd.hhmmss"); }
};

int modeOf(const QString &path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 0777);
}

} // namespace

class TestBackupRun : public QObject
{
    Q_OBJECT

private slots:
    void argumentList_data();
    void argumentList();
    void jobsRunInListOrder();
    void dangerousNamesNeverReachTheTool_data();
    void dangerousNamesNeverReachTheTool();
    void failedToolIsReported_data();
    void failedToolIsReported();
    void toolMessagesGoToTheRunLog();
    void outputFolderRefused_data();
    void outputFolderRefused();
    void emptyListRunsNothing();
    void listReadFailures_data();
    void listReadFailures();
    void dumpsAndRunLogsArePrivate();
};

void TestBackupRun::argumentList_data()
{
    QTest::addColumn<QVariantMap>("overrides");
    QTest::addColumn<QString>("database");

    QTest::newRow("plain settings") << QVariantMap() << QStringLiteral("sales");
    QTest::newRow("blanks in server, user and database stay single arguments")
        << QVariantMap{{"server", "db host"}, {"user", "back upper"}}
        << QStringLiteral("data gudang");
    QTest::newRow("quote and star in the database name are passed as they are")
        << QVariantMap() << QStringLiteral("it's \"q\" *");
    QTest::newRow("empty database name is still passed") << QVariantMap() << QString();
    QTest::newRow("empty port is passed as 0")
        << QVariantMap{{"port", QVariant()}} << QStringLiteral("sales");
    QTest::newRow("blank user and pass fall back to the defaults")
        << QVariantMap{{"user", " "}, {"pass", ""}} << QStringLiteral("sales");
}

void TestBackupRun::argumentList()
{
    QFETCH(QVariantMap, overrides);
    QFETCH(QString, database);
    Run run;
    QString error;
    QVERIFY2(run.prepare({database}, &error, overrides), qPrintable(error));
    auto engine = run.engine();
    QVERIFY(engine);
    QVERIFY(engine->RunBackup());

    const QString dump = run.folder.outputDir() + "/bu_" + database + "_" + run.stamp(0) + ".bu";
    const QList<ToolCall> calls = recordedCalls(run.folder.recordPath());
    QCOMPARE(calls.size(), 1);
    const QStringList expected{run.folder.file("dbutils/pg_dump"),
                               "--host=" + engine->server,
                               "--port=" + QString::number(run.settings["port"].toInt()),
                               "--username=" + engine->user,
                               "--format=custom",
                               "--verbose",
                               "--file=" + dump,
                               "--table=tbl*",
                               "-w",
                               database};
    QCOMPARE(calls.at(0).argv, expected);
    QVERIFY(calls.at(0).passwordSet);
    QCOMPARE(calls.at(0).password, engine->pass);
    QCOMPARE(run.folder.log(), QStringList({"Read List DB", "Backup Database : " + dump}));
    QVERIFY2(QFileInfo::exists(dump), qPrintable(dump));

    // The password travels in the environment only: not in any log or file we write.
    const QString runLog = QString(dump).replace(".bu", ".log");
    QVERIFY(!readText(run.folder.logPath()).contains(engine->pass));
    QVERIFY(!readText(runLog).contains(engine->pass));
    for (const QString &argument : calls.at(0).argv)
        QVERIFY2(!argument.contains(engine->pass), qPrintable(argument));
}

void TestBackupRun::jobsRunInListOrder()
{
    Run run;
    QString error;
    QVERIFY2(run.prepare({"penjualan", "gudang", "penjualan"}, &error), qPrintable(error));
    auto engine = run.engine();
    QVERIFY(engine);
    QVERIFY(engine->RunBackup());

    const QList<ToolCall> calls = recordedCalls(run.folder.recordPath());
    QCOMPARE(calls.size(), 3);
    QStringList expectedLog{"Read List DB"};
    const QStringList names{"penjualan", "gudang", "penjualan"};
    for (int i = 0; i < 3; ++i) {
        const QString base = run.folder.outputDir() + "/bu_" + names[i] + "_" + run.stamp(i);
        QCOMPARE(calls.at(i).argv.last(), names[i]);
        QCOMPARE(calls.at(i).argv.at(6), "--file=" + base + ".bu");
        expectedLog << "Backup Database : " + base + ".bu";
        const QStringList runLog = logMessages(base + ".log");
        QCOMPARE(runLog.size(), 1);
        QVERIFY2(runLog.at(0).startsWith("Save Log : " + names[i] + " : \npg_dump: "),
                 qPrintable(runLog.at(0)));
    }
    QCOMPARE(run.folder.log(), expectedLog);
}

void TestBackupRun::dangerousNamesNeverReachTheTool_data()
{
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("shownAs");

    QTest::newRow("option") << "-Fp"
                            << "-Fp";
    QTest::newRow("long option naming a file") << "--file=/etc/passwd"
                                               << "--file=/etc/passwd";
    QTest::newRow("connection string") << "host=evil.example dbname=x"
                                       << "host=evil.example dbname=x";
    QTest::newRow("postgres URI") << "postgres://evil.example/db"
                                  << "postgres://evil.example/db";
    QTest::newRow("postgresql URI in capitals") << "POSTGRESQL://evil.example/db"
                                                << "POSTGRESQL://evil.example/db";
    QTest::newRow("line break") << "sales\nfake entry"
                                << "sales\\nfake entry";
}

void TestBackupRun::dangerousNamesNeverReachTheTool()
{
    QFETCH(QString, database);
    QFETCH(QString, shownAs);
    Run run;
    QString error;
    QVERIFY2(run.prepare({database, "sales"}, &error), qPrintable(error));
    auto engine = run.engine();
    QVERIFY(engine);
    QVERIFY(engine->RunBackup());

    // Only the harmless name after it reaches the tool.
    const QList<ToolCall> calls = recordedCalls(run.folder.recordPath());
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.at(0).argv.last(), QStringLiteral("sales"));
    const QStringList log = run.folder.log();
    QCOMPARE(log.size(), 3);
    QCOMPARE(log.at(1), "Backup Database DITOLAK : nama database [" + shownAs +
                            "] dapat dibaca pg_dump sebagai opsi atau alamat koneksi. "
                            "pg_dump tidak dijalankan.");
    QVERIFY(log.at(2).startsWith("Backup Database : "));
    QCOMPARE(QDir(run.folder.outputDir()).entryList(QDir::Files).size(), 2); // sales only
}

void TestBackupRun::failedToolIsReported_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<QString>("reason");

    QTest::newRow("non-zero exit") << QByteArray("fail") << "pg_dump selesai dengan kode keluar 3.";
    QTest::newRow("crash") << QByteArray("crash") << "pg_dump berhenti tidak normal.";
    QTest::newRow("hangs past the time bound")
        << QByteArray("hang") << "pg_dump melewati batas waktu 1 detik dan dihentikan.";
    QTest::newRow("tool missing") << QByteArray("missing") << "pg_dump tidak dapat dijalankan: ";
}

void TestBackupRun::failedToolIsReported()
{
    QFETCH(QByteArray, mode);
    QFETCH(QString, reason);
    Run run;
    QString error;
    QVERIFY2(run.prepare({"rusak", "sales"}, &error), qPrintable(error));
    ScopedEnv modeEnv("FAKE_PG_DUMP_MODE", mode);
    ScopedEnv onlyEnv("FAKE_PG_DUMP_ONLY_DB", "rusak");
    if (mode == "missing")
        QVERIFY(QFile::remove(run.folder.file("dbutils/pg_dump")));
    auto engine = run.engine();
    QVERIFY(engine);
    engine->setToolTimeoutMs(1000);
    QVERIFY(engine->RunBackup());

    const QString failed = run.folder.outputDir() + "/bu_rusak_" + run.stamp(0) + ".bu";
    const QString good = run.folder.outputDir() + "/bu_sales_" + run.stamp(1) + ".bu";
    const QStringList log = run.folder.log();
    QCOMPARE(log.size(), mode == "missing" ? 5 : 4);
    QCOMPARE(log.at(1), "Backup Database : " + failed);
    const QString failure = "Backup Database GAGAL : database [rusak], file [" + failed + "]. ";
    QVERIFY2(log.at(2).startsWith(failure + reason), qPrintable(log.at(2)));
    QCOMPARE(log.at(3), "Backup Database : " + good);

    // No half-written dump under the final name; the run log is still written.
    QVERIFY2(!QFileInfo::exists(failed), qPrintable(failed));
    QVERIFY(QFileInfo::exists(QString(failed).replace(".bu", ".log")));
    if (mode == "fail")
        QVERIFY(readText(QString(failed).replace(".bu", ".log"))
                    .contains("Save Log : rusak : \npg_dump: error: connection to server failed"));
    if (mode != "missing")
        QVERIFY2(QFileInfo::exists(good), qPrintable(good));
}

void TestBackupRun::toolMessagesGoToTheRunLog()
{
    Run run;
    QString error;
    QVERIFY2(run.prepare({"besar"}, &error), qPrintable(error));
    ScopedEnv modeEnv("FAKE_PG_DUMP_MODE", "stderr");
    auto engine = run.engine();
    QVERIFY(engine);
    QVERIFY(engine->RunBackup());
    const QString runLog = run.folder.outputDir() + "/bu_besar_" + run.stamp(0) + ".log";
    const QStringList entries = logMessages(runLog);
    QCOMPARE(entries.size(), 1);
    const QStringList lines = entries.at(0).split('\n');
    QCOMPARE(lines.size(), 201);
    QCOMPARE(lines.at(0), QStringLiteral("Save Log : besar : "));
    QCOMPARE(lines.at(200), QStringLiteral("pg_dump: dumping contents of table \"public.tbl200\""));
}

void TestBackupRun::outputFolderRefused_data()
{
    QTest::addColumn<QString>("outputdir");
    QTest::newRow("folder missing") << QStringLiteral("/nonexistent/sarvela backups");
    QTest::newRow("empty setting would mean the root or the working folder") << QString();
}

void TestBackupRun::outputFolderRefused()
{
    QFETCH(QString, outputdir);
    Run run;
    QString error;
    QVERIFY2(run.prepare({"sales"}, &error, {{"outputdir", outputdir}}), qPrintable(error));
    auto engine = run.engine();
    QVERIFY(engine);
    QVERIFY(!engine->RunBackup());
    QCOMPARE(run.folder.log(),
             QStringList{"Lokasi backup [" + outputdir + "] tidak ditemukan. Proses dibatalkan."});
    QVERIFY(!QFileInfo::exists(run.folder.recordPath()));
}

void TestBackupRun::emptyListRunsNothing()
{
    Run run;
    QString error;
    QVERIFY2(run.prepare({}, &error), qPrintable(error));
    auto engine = run.engine();
    QVERIFY(engine);
    QVERIFY(!engine->RunBackup());
    QCOMPARE(run.folder.log(), QStringList{"Read List DB"});
    QVERIFY(!QFileInfo::exists(run.folder.recordPath()));
}

void TestBackupRun::listReadFailures_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("expected"); // "%1" is the settings path
    QTest::newRow("settings file removed since the start")
        << "remove"
        << "Read Database BU. Maaf file [%1] tidak ditemukan.";
    QTest::newRow("list table gone")
        << "drop"
        << "Read Database BU. Gagal memanggil data.\nPesan Error : no such table";
    QTest::newRow("folder in place of the file") << "folder"
                                                 << "Read Database BU. Error Load database :";
}

void TestBackupRun::listReadFailures()
{
    QFETCH(QString, damage);
    QFETCH(QString, expected);
    Run run;
    QString error;
    QVERIFY2(run.prepare({"sales"}, &error), qPrintable(error));
    auto engine = run.engine();
    QVERIFY(engine);
    const QString path = run.folder.settingsPath();
    QVERIFY(QFile::remove(path));
    if (damage == "drop") {
        QVERIFY2(writeSettings(path, {run.settings}, {}, &error), qPrintable(error));
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "dropper");
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QVERIFY(QSqlQuery(db).exec("drop table tbldb"));
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("dropper");
    } else if (damage == "folder") {
        QVERIFY(QDir().mkpath(path));
    }

    QVERIFY(!engine->RunBackup());
    const QStringList log = run.folder.log();
    QCOMPARE(log.size(), 2);
    QCOMPARE(log.at(0), QStringLiteral("Read List DB"));
    QVERIFY2(log.at(1).startsWith(QString(expected).replace("%1", path)), qPrintable(log.at(1)));
    QCOMPARE(QFileInfo::exists(path), damage != "remove");
    QVERIFY(!QFileInfo::exists(run.folder.recordPath()));
}

void TestBackupRun::dumpsAndRunLogsArePrivate()
{
    Run run;
    QString error;
    QVERIFY2(run.prepare({"sales"}, &error), qPrintable(error));
    auto engine = run.engine();
    QVERIFY(engine);
    const mode_t oldMask = ::umask(0);
    engine->RunBackup();
    ::umask(oldMask);
    const QString base = run.folder.outputDir() + "/bu_sales_" + run.stamp(0);
    QCOMPARE(modeOf(base + ".bu") & 07, 0);
    QCOMPARE(modeOf(base + ".log") & 07, 0);
    QVERIFY(modeOf(base + ".bu") & 0400);
}

QTEST_GUILESS_MAIN(TestBackupRun)
#include "tst_backuprun.moc"
