// Reading confbu.cfg: the stored forms of each column, the user/pass defaults,
// several rows, and every way the file can be unusable — which it must survive
// without ever creating or changing the file.
#include "backupengine.h"
#include "servicetestkit.h"

#include <QtTest>

using namespace servicetest;

class TestReadConfig : public QObject
{
    Q_OBJECT

private slots:
    void storedForms_data();
    void storedForms();
    void lastRowWins();
    void missingColumnsReadEmpty();
    void unusableFile_data();
    void unusableFile();
};

// The engine's settings as plain values, so rows can name the field they check.
static QVariant field(const BackupEngine &e, const QString &name)
{
    const QMap<QString, QVariant> fields{
        {"server", e.server},       {"user", e.user},     {"pass", e.pass},    {"port", e.port},
        {"outputdir", e.outputdir}, {"jam1", e.jam1},     {"jam2", e.jam2},    {"jam4", e.jam4},
        {"jam1st", e.jam1st},       {"jam2st", e.jam2st}, {"jam4st", e.jam4st}};
    return fields.value(name);
}

void TestReadConfig::storedForms_data()
{
    QTest::addColumn<QString>("column");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QVariant>("expected");

    const QDateTime at0530(QDate(2000, 1, 1), QTime(5, 30));
    QTest::newRow("blank user becomes admin") << "user" << QVariant("   ") << QVariant("admin");
    QTest::newRow("padded user keeps its blanks")
        << "user" << QVariant(" ops user ") << QVariant(" ops user ");
    QTest::newRow("blank pass becomes the default")
        << "pass" << QVariant("\t ") << QVariant("5170342");
    QTest::newRow("port as text of a number") << "port" << QVariant("6543") << QVariant(6543);
    QTest::newRow("port as words reads 0") << "port" << QVariant("lima") << QVariant(0);
    QTest::newRow("empty port reads 0") << "port" << QVariant() << QVariant(0);
    QTest::newRow("time as ISO text")
        << "jam1" << QVariant("2000-01-01T05:30:00") << QVariant(at0530);
    QTest::newRow("time with milliseconds, as the panel binds it")
        << "jam2" << QVariant("2000-01-01T05:30:00.000") << QVariant(at0530);
    QTest::newRow("time as words is invalid")
        << "jam1" << QVariant("jam lima") << QVariant(QDateTime());
    QTest::newRow("time as a number is invalid")
        << "jam4" << QVariant(530) << QVariant(QDateTime());
    QTest::newRow("switch 1 is on") << "jam1st" << QVariant(1) << QVariant(true);
    QTest::newRow("switch text FALSE is off") << "jam2st" << QVariant("FALSE") << QVariant(false);
    QTest::newRow("switch empty text is off") << "jam2st" << QVariant("") << QVariant(false);
    QTest::newRow("switch other text is on") << "jam4st" << QVariant("ya") << QVariant(true);
}

void TestReadConfig::storedForms()
{
    QFETCH(QString, column);
    QFETCH(QVariant, stored);
    QFETCH(QVariant, expected);
    ProgramFolder folder;
    QString error;
    QVERIFY2(folder.setUp(&error), qPrintable(error));
    QVariantMap row = defaultSettings(folder.outputDir());
    row[column] = stored;
    QVERIFY2(writeSettings(folder.settingsPath(), {row}, {}, &error), qPrintable(error));

    BackupEngine engine(folder.path());
    QVERIFY(engine.ReadConfig());
    const QVariant actual = field(engine, column);
    if (expected.userType() == QMetaType::QDateTime)
        QCOMPARE(actual.toDateTime().toString("hhmm"), expected.toDateTime().toString("hhmm"));
    else
        QCOMPARE(actual.toString(), expected.toString());
    QCOMPARE(folder.log(), QStringList{"Read Config."});
}

void TestReadConfig::lastRowWins()
{
    ProgramFolder folder;
    QString error;
    QVERIFY2(folder.setUp(&error), qPrintable(error));
    QVariantMap first = defaultSettings(folder.outputDir());
    QVariantMap second = first;
    second["server"] = "second.example";
    second["port"] = 7000;
    second["jam1st"] = 0;
    second["user"] = "";
    QVERIFY2(writeSettings(folder.settingsPath(), {first, second}, {}, &error), qPrintable(error));

    BackupEngine engine(folder.path());
    QVERIFY(engine.ReadConfig());
    QCOMPARE(engine.server, QStringLiteral("second.example"));
    QCOMPARE(engine.port, 7000);
    QCOMPARE(engine.jam1st, false);
    QCOMPARE(engine.user, QStringLiteral("admin"));
}

void TestReadConfig::missingColumnsReadEmpty()
{
    ProgramFolder folder;
    QString error;
    QVERIFY2(folder.setUp(&error), qPrintable(error));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "narrow");
        db.setDatabaseName(folder.settingsPath());
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec("create table confdb (server text, jam1 text, jam1st integer)"));
        QVERIFY(query.exec("insert into confdb values ('h', '2000-01-01T05:30:00', 1)"));
        db.close();
    }
    QSqlDatabase::removeDatabase("narrow");

    BackupEngine engine(folder.path());
    QVERIFY(engine.ReadConfig());
    QCOMPARE(engine.server, QStringLiteral("h"));
    QCOMPARE(engine.port, 0);
    QCOMPARE(engine.outputdir, QString());
    QVERIFY(!engine.jam2.isValid());
    QVERIFY(!engine.jam2st);
    QCOMPARE(engine.user, QStringLiteral("admin"));
}

void TestReadConfig::unusableFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expectedSecondEntry"); // "%1" is the settings path

    QTest::newRow("missing file is reported, not created") << "missing"
                                                           << "Maaf file [%1] tidak ditemukan.";
    QTest::newRow("folder in place of the file cannot be opened") << "folder"
                                                                  << "Error Load database :";
    QTest::newRow("file that is no database") << "garbage"
                                              << "Gagal memanggil data.\nPesan Error : ";
    QTest::newRow("empty file has no confdb") << "empty"
                                              << "Gagal memanggil data.\nPesan Error : ";
    QTest::newRow("confdb without rows") << "norows"
                                         << "";
}

void TestReadConfig::unusableFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, expectedSecondEntry);
    ProgramFolder folder;
    QString error;
    QVERIFY2(folder.setUp(&error), qPrintable(error));
    const QString path = folder.settingsPath();
    if (kind == "folder") {
        QVERIFY(QDir().mkpath(path));
    } else if (kind == "garbage" || kind == "empty") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (kind == "garbage")
            file.write(QByteArray(4096, 'x'));
    } else if (kind == "norows") {
        QVERIFY2(writeSettings(path, {}, {"db"}, &error), qPrintable(error));
    } else if (kind == "locked") {
        QVERIFY2(writeSettings(path, {defaultSettings("/tmp")}, {}, &error), qPrintable(error));
    }
    // Another program holding the file locked, as the control panel does while it saves.
    QSqlDatabase locker = QSqlDatabase::addDatabase("QSQLITE", "locker");
    auto releaseLock = qScopeGuard([&locker] {
        locker.close();
        locker = QSqlDatabase();
        QSqlDatabase::removeDatabase("locker");
    });
    if (kind == "locked") {
        locker.setDatabaseName(path);
        QVERIFY(locker.open());
        QVERIFY(QSqlQuery(locker).exec("begin exclusive"));
    }
    const QByteArray hashBefore = fileHash(path);
    const QStringList filesBefore = QDir(folder.path()).entryList(QDir::Files);

    BackupEngine engine(folder.path());
    QVERIFY(!engine.ReadConfig());

    const QStringList log = folder.log();
    QCOMPARE(log.value(0), QStringLiteral("Read Config."));
    if (expectedSecondEntry.isEmpty()) {
        QCOMPARE(log.size(), 1);
    } else {
        QCOMPARE(log.size(), 2);
        QVERIFY2(log.at(1).startsWith(QString(expectedSecondEntry).replace("%1", path)),
                 qPrintable(log.at(1)));
    }
    // The service never creates or changes the settings file, nor leaves files beside it.
    QCOMPARE(QFileInfo::exists(path), kind != "missing");
    if (kind == "locked")
        QVERIFY(QSqlQuery(locker).exec("rollback"));
    QCOMPARE(fileHash(path), hashBefore);
    QStringList filesAfter = QDir(folder.path()).entryList(QDir::Files);
    filesAfter.removeAll("busys.log");
    QCOMPARE(filesAfter, filesBefore);
}

QTEST_GUILESS_MAIN(TestReadConfig)
#include "tst_readconfig.moc"
