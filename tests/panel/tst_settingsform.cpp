// The settings form on real SQLite files: what it loads, how a save is
// validated, what it writes, and that the service reads back what was saved.
#include "backupengine.h"
#include "panelfixture.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimeEdit>
#include <QTimer>

using namespace panel;

Q_DECLARE_METATYPE(QList<ConfRow>)

class TestSettingsForm : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void load_data();
    void load();
    void unreadableFile_data();
    void unreadableFile();
    void saveRefused_data();
    void saveRefused();
    void saveWrites_data();
    void saveWrites();
    void saveWithoutRows();
    void saveWhileFileLocked();
    void chooseFolder_data();
    void chooseFolder();

private:
    QString cfg() const { return m_dir->filePath(QStringLiteral("confbu.cfg")); }
    void save(MainControlPanel &window)
    {
        QVERIFY(QMetaObject::invokeMethod(&window, "on_butSaveRestart_clicked"));
    }
    QTemporaryDir m_isolation;
    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<ModalAnswerer> m_answerer;
};

void TestSettingsForm::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
    isolatePanel(m_isolation);
}

void TestSettingsForm::init()
{
    m_dir.reset(new QTemporaryDir);
    m_answerer.reset(new ModalAnswerer);
    m_answerer->answerNext(QMessageBox::No); // the start-up install question
}

void TestSettingsForm::cleanup()
{
    m_answerer.reset();
    m_dir.reset();
}

void TestSettingsForm::load_data()
{
    QTest::addColumn<QList<ConfRow>>("rows");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("on1");
    QTest::addColumn<bool>("on2");
    QTest::addColumn<QTime>("time1");
    QTest::addColumn<QTime>("time2");

    ConfRow a;
    a.outputdir = QStringLiteral("/srv/cadangan");
    a.server = QStringLiteral("10.0.0.5");
    a.jam1 = QStringLiteral("2026-01-02T07:30:00");
    a.jam2 = QStringLiteral("2026-01-02T19:45:00");
    a.jam1st = 1;
    a.jam2st = 0;
    QTest::newRow("one row, time 1 on")
        << QList<ConfRow>{a} << "/srv/cadangan"
        << "10.0.0.5" << true << false << QTime(7, 30) << QTime(19, 45);

    ConfRow b = a;
    b.outputdir = QStringLiteral("/data/bu");
    b.server = QStringLiteral("  db host  ");
    b.jam1st = 0;
    b.jam2st = 1;
    b.jam2 = QStringLiteral("2000-01-01T23:05:00");
    QTest::newRow("several rows: the last one shows")
        << QList<ConfRow>{a, b} << "/data/bu"
        << "  db host  " << false << true << QTime(7, 30) << QTime(23, 5);

    ConfRow odd;
    odd.outputdir = 42;
    odd.server = QString();
    odd.jam1 = QStringLiteral("bukan jam");
    odd.jam2 = 17;
    odd.jam1st = QStringLiteral("ya");
    odd.jam2st = QStringLiteral("false");
    odd.port = QStringLiteral("abc");
    QTest::newRow("columns of unexpected types")
        << QList<ConfRow>{odd} << "42"
        << "" << true << false << QTime(0, 0) << QTime(0, 0);
}

void TestSettingsForm::load()
{
    QFETCH(QList<ConfRow>, rows);
    QVERIFY(SettingsFile(cfg()).create(rows, {QStringLiteral("penjualan")}));

    PanelWindow window(m_dir->path());
    window.show();
    QCOMPARE(m_answerer->seen().size(), 1); // only the install question

    QTEST(widget<QLineEdit>(&window, "tLokasi")->text(), "folder");
    QTEST(widget<QLineEdit>(&window, "tServer")->text(), "server");
    QTEST(widget<QCheckBox>(&window, "cbJam1")->isChecked(), "on1");
    QTEST(widget<QCheckBox>(&window, "cbJam2")->isChecked(), "on2");
    QTEST(widget<QTimeEdit>(&window, "tmJam1")->isEnabled(), "on1");
    QTEST(widget<QTimeEdit>(&window, "tmJam2")->isEnabled(), "on2");
    QTEST(widget<QTimeEdit>(&window, "tmJam1")->time(), "time1");
    QTEST(widget<QTimeEdit>(&window, "tmJam2")->time(), "time2");
    QCOMPARE(widget<QListWidget>(&window, "listWidget")->count(), 1);
}

void TestSettingsForm::unreadableFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("withoutConfdb");
    QTest::newRow("not an SQLite file") << QByteArray("server=localhost\n") << false;
    QTest::newRow("no confdb table") << QByteArray() << true;
}

void TestSettingsForm::unreadableFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, withoutConfdb);
    if (withoutConfdb) {
        SettingsFile file(cfg());
        QVERIFY(file.exec(QStringLiteral("CREATE TABLE tbldb (dbname TEXT)")));
        QVERIFY(file.exec(QStringLiteral("INSERT INTO tbldb VALUES ('penjualan')")));
    } else {
        QFile file(cfg());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QFile before(cfg());
    QVERIFY(before.open(QIODevice::ReadOnly));
    const QByteArray bytes = before.readAll();
    before.close();

    {
        PanelWindow window(m_dir->path());
        window.show();
        const QStringList shown = texts(m_answerer->seen()).mid(1);
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown.first().startsWith(QStringLiteral("Gagal memanggil data.\nPesan Error : ")),
                 qPrintable(shown.first()));
        QVERIFY(shown.first().size() > 40); // the driver's reason follows
        QCOMPARE(widget<QListWidget>(&window, "listWidget")->count(), 0);
        QCOMPARE(widget<QLineEdit>(&window, "tServer")->text(), QStringLiteral("localhost"));
    }
    QVERIFY(before.open(QIODevice::ReadOnly));
    QCOMPARE(before.readAll(), bytes);
}

void TestSettingsForm::saveRefused_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("listed");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus");
    QTest::newRow("output folder blank") << "   "
                                         << "localhost" << true << "Pilih Lokasi backup database."
                                         << "butSelectFolder";
    QTest::newRow("server blank") << "/tmp"
                                  << " \t " << true << "Tentukan Lokasi Server/IP Address Database"
                                  << "tServer";
    QTest::newRow("database list empty")
        << "/tmp"
        << "localhost" << false << "Pilih database yang akan dibackup."
        << "butAdd";
}

void TestSettingsForm::saveRefused()
{
    QFETCH(QString, folder);
    QFETCH(QString, server);
    QFETCH(bool, listed);
    QFETCH(QString, message);
    QFETCH(QString, focus);
    ConfRow row;
    row.outputdir = folder;
    QVERIFY(SettingsFile(cfg()).create({row}, listed ? QStringList{"penjualan"} : QStringList{}));
    const QList<QVariantList> stored =
        SettingsFile(cfg()).rows(QStringLiteral("select * from confdb"));

    PanelWindow window(m_dir->path());
    window.show();
    widget<QLineEdit>(&window, "tServer")->setText(server);
    m_answerer->clear();
    save(window);
    QCOMPARE(texts(m_answerer->seen()), QStringList{message});
    QCOMPARE(m_answerer->seen().first().icon, QMessageBox::Critical);
    QCOMPARE(window.focusWidget()->objectName(), focus);
    QCOMPARE(SettingsFile(cfg()).rows(QStringLiteral("select * from confdb")), stored);
}

void TestSettingsForm::saveWrites_data()
{
    QTest::addColumn<int>("rowCount");
    QTest::addColumn<QString>("typedServer");
    QTest::addColumn<QString>("storedServer");
    QTest::newRow("one row, server typed with blanks stored trimmed") << 1 << "  db.contoh.id \t"
                                                                      << "db.contoh.id";
    QTest::newRow("several rows all overwritten") << 3 << "10.1.2.3"
                                                  << "10.1.2.3";
}

void TestSettingsForm::saveWrites()
{
    QFETCH(int, rowCount);
    QFETCH(QString, typedServer);
    QFETCH(QString, storedServer);
    QList<ConfRow> rows;
    for (int i = 0; i < rowCount; ++i) {
        ConfRow row;
        row.user = QStringLiteral("pemakai%1").arg(i);
        row.pass = QStringLiteral("rahasia");
        row.port = 5433 + i;
        rows << row;
    }
    QVERIFY(SettingsFile(cfg()).create(rows, {QStringLiteral("penjualan")}));
    const QString folder = m_dir->filePath(QStringLiteral("baru/sekali/di sini"));

    {
        PanelWindow window(m_dir->path());
        window.show();
        widget<QLineEdit>(&window, "tLokasi")->setText(folder);
        widget<QLineEdit>(&window, "tServer")->setText(typedServer);
        widget<QCheckBox>(&window, "cbJam1")->setChecked(true);
        widget<QCheckBox>(&window, "cbJam2")->setChecked(false);
        widget<QTimeEdit>(&window, "tmJam1")->setTime(QTime(6, 15));
        widget<QTimeEdit>(&window, "tmJam2")->setTime(QTime(18, 40, 30));
        m_answerer->clear();
        save(window);
        QCOMPARE(texts(m_answerer->seen()), QStringList{QStringLiteral("Data Berhasil disimpan.")});
        QCOMPARE(m_answerer->seen().first().icon, QMessageBox::Information);
    }
    QVERIFY2(QDir(folder).exists(), "the output folder is created with its parents");

    const QString today = QDate::currentDate().toString(Qt::ISODate);
    const QList<QVariantList> stored = SettingsFile(cfg()).rows(QStringLiteral(
        "select server, outputdir, jam1, jam2, jam1st, jam2st, user, pass, port from confdb"));
    QCOMPARE(stored.size(), rowCount);
    for (int i = 0; i < rowCount; ++i) {
        const QVariantList &r = stored.at(i);
        QCOMPARE(r.at(0).toString(), storedServer);
        QCOMPARE(r.at(1).toString(), folder);
        QCOMPARE(r.at(2).toString().left(19), today + QStringLiteral("T06:15:00"));
        QCOMPARE(r.at(3).toString().left(19), today + QStringLiteral("T18:40:30"));
        QCOMPARE(r.at(4).toInt(), 1);
        QCOMPARE(r.at(5).toInt(), 0);
        // Columns the form does not own keep their values.
        QCOMPARE(r.at(6).toString(), QStringLiteral("pemakai%1").arg(i));
        QCOMPARE(r.at(7).toString(), QStringLiteral("rahasia"));
        QCOMPARE(r.at(8).toInt(), 5433 + i);
    }

    // The service reads exactly what the panel saved.
    BackupEngine engine(m_dir->path());
    QVERIFY(engine.ReadConfig());
    QCOMPARE(engine.server, storedServer);
    QCOMPARE(engine.outputdir, folder);
    QCOMPARE(engine.jam1.time(), QTime(6, 15));
    QCOMPARE(engine.jam2.time(), QTime(18, 40, 30));
    QCOMPARE(engine.jam1.date(), QDate::currentDate());
    QVERIFY(engine.jam1st);
    QVERIFY(!engine.jam2st);
    QCOMPARE(engine.port, 5433 + rowCount - 1);
    QSqlDatabase::removeDatabase(QSqlDatabase::defaultConnection);
}

void TestSettingsForm::saveWithoutRows()
{
    QVERIFY(SettingsFile(cfg()).create({}, {QStringLiteral("penjualan")}));
    PanelWindow window(m_dir->path());
    window.show();
    m_answerer->clear();
    save(window);
    QCOMPARE(texts(m_answerer->seen()), QStringList{QStringLiteral("Data Berhasil disimpan.")});
    QCOMPARE(SettingsFile(cfg()).rows(QStringLiteral("select * from confdb")).size(), 0);
}

void TestSettingsForm::saveWhileFileLocked()
{
    ConfRow row;
    row.outputdir = m_dir->path();
    QVERIFY(SettingsFile(cfg()).create({row}, {QStringLiteral("penjualan")}));
    PanelWindow window(m_dir->path());
    window.show();
    widget<QLineEdit>(&window, "tServer")->setText(QStringLiteral("server-baru"));

    // Another process holds a write lock, as a writer in the middle of its work would.
    SettingsFile other(cfg());
    QVERIFY(other.exec(QStringLiteral("BEGIN IMMEDIATE")));
    m_answerer->clear();
    save(window);
    QVERIFY(other.exec(QStringLiteral("ROLLBACK")));

    const QStringList shown = texts(m_answerer->seen());
    QCOMPARE(shown.size(), 1);
    QVERIFY2(shown.first().startsWith(QStringLiteral("Gagal Simpan data.\nPesan Error : ")),
             qPrintable(shown.first()));
    QCOMPARE(m_answerer->seen().first().icon, QMessageBox::Information);
    QCOMPARE(SettingsFile(cfg()).rows(QStringLiteral("select server from confdb")).first().first(),
             QVariant(QStringLiteral("localhost")));
}

void TestSettingsForm::chooseFolder_data()
{
    QTest::addColumn<bool>("accept");
    QTest::newRow("a chosen folder is shown") << true;
    QTest::newRow("cancelling keeps the old folder") << false;
}

void TestSettingsForm::chooseFolder()
{
    QFETCH(bool, accept);
    ConfRow row;
    row.outputdir = m_dir->path();
    QVERIFY(SettingsFile(cfg()).create({row}, {}));
    const QString chosen = m_dir->filePath(QStringLiteral("pilihan"));
    QVERIFY(QDir().mkpath(chosen));

    PanelWindow window(m_dir->path());
    window.show();
    QString startedIn;
    QTimer driver;
    connect(&driver, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        driver.stop();
        startedIn = dialog->directory().absolutePath();
        if (accept) {
            // Typed into the name field, as a user would: no wait for the
            // dialog's directory listing, which fills in the background.
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            if (!name) {
                dialog->reject(); // the comparison below then reports it
                return;
            }
            name->setText(chosen);
            QMetaObject::invokeMethod(dialog, "accept");
        } else {
            dialog->reject();
        }
    });
    driver.start(20);
    widget<QPushButton>(&window, "butSelectFolder")->click();
    QCOMPARE(startedIn, m_dir->path());
    QCOMPARE(widget<QLineEdit>(&window, "tLokasi")->text(), accept ? chosen : m_dir->path());
}

QTEST_MAIN(TestSettingsForm)
#include "tst_settingsform.moc"
