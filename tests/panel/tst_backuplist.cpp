// The backup database list on a real SQLite file, and adding through the
// picker from a throwaway PostgreSQL server.
#include "fdfrdatabase.h"
#include "panelfixture.h"
#include "pgcluster.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

using namespace panel;

namespace {

// Drives the picker as a user would once its list is up: records what it
// lists and shows, then picks a name or presses "Batal".
class PickerDriver : public QObject
{
public:
    explicit PickerDriver(const QString &choice) : m_choice(choice) { m_timer = startTimer(20); }

    bool seen = false;
    QStringList listed;
    QString server;

private:
    void timerEvent(QTimerEvent *) override
    {
        auto *picker = qobject_cast<FDfrDatabase *>(QApplication::activeModalWidget());
        if (!picker || !picker->isVisible() || seen)
            return;
        seen = true;
        auto *list = picker->findChild<QListWidget *>(QStringLiteral("listWidget"));
        for (int i = 0; i < list->count(); ++i)
            listed << list->item(i)->text();
        server = picker->findChild<QLineEdit *>(QStringLiteral("tServer"))->text();
        const QList<QListWidgetItem *> match = list->findItems(m_choice, Qt::MatchExactly);
        if (!m_choice.isEmpty() && !match.isEmpty()) {
            list->setCurrentItem(match.first());
            picker->findChild<QPushButton *>(QStringLiteral("butOk"))->click();
        } else {
            picker->findChild<QPushButton *>(QStringLiteral("butTutup"))->click();
        }
    }
    QString m_choice;
    int m_timer;
};

QStringList listed(QWidget *window)
{
    QStringList names;
    auto *list = widget<QListWidget>(window, "listWidget");
    for (int i = 0; i < list->count(); ++i)
        names << list->item(i)->text();
    return names;
}

} // namespace

class TestBackupList : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void listLoadsInFileOrder();
    void add_data();
    void add();
    void addWithoutSettingsFile();
    void remove_data();
    void remove();
    void pickerGetsCredentials_data();
    void pickerGetsCredentials();

private:
    QString cfg() const { return m_dir->filePath(QStringLiteral("confbu.cfg")); }
    QTemporaryDir m_isolation;
    PgCluster m_pg;
    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<ModalAnswerer> m_answerer;
};

void TestBackupList::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
    isolatePanel(m_isolation);
    QString error;
    QVERIFY2(m_pg.start(&error), qPrintable(error));
    QVERIFY2(m_pg.createSampleDatabase(QStringLiteral("penjualan"), &error), qPrintable(error));
    QVERIFY2(m_pg.createSampleDatabase(QStringLiteral("gudang"), &error), qPrintable(error));
    QVERIFY2(m_pg.createSampleDatabase(QStringLiteral("Akuntansi 2026"), &error),
             qPrintable(error));
    // The login that empty settings stand for.
    QVERIFY2(m_pg.createUser(QStringLiteral("admin"), QStringLiteral("5170342"), &error),
             qPrintable(error));
}

void TestBackupList::init()
{
    m_dir.reset(new QTemporaryDir);
    m_answerer.reset(new ModalAnswerer);
    m_answerer->answerNext(QMessageBox::No); // the start-up install question
}

void TestBackupList::cleanup()
{
    m_answerer.reset();
    m_dir.reset();
}

void TestBackupList::listLoadsInFileOrder()
{
    const QStringList names{"zeta", "alpha", "nama dengan spasi", "o'brien \"x\"", "čeština"};
    QVERIFY(SettingsFile(cfg()).create({ConfRow()}, names));
    PanelWindow window(m_dir->path());
    window.show();
    QCOMPARE(listed(&window), names);
    const QImage dbIcon = QIcon(QStringLiteral(":/images/db.png")).pixmap(16).toImage();
    QCOMPARE(widget<QListWidget>(&window, "listWidget")->item(0)->icon().pixmap(16).toImage(),
             dbIcon);
}

void TestBackupList::add_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("duplicate");
    QTest::newRow("new name appended") << "gudang" << false;
    QTest::newRow("name with blanks") << "Akuntansi 2026" << false;
    QTest::newRow("name with quotes") << "o'brien \"x\"; drop table tbldb;--" << false;
    QTest::newRow("non-ASCII letters") << "čeština_дб" << false;
    QTest::newRow("already listed") << "penjualan" << true;
}

void TestBackupList::add()
{
    QFETCH(QString, name);
    QFETCH(bool, duplicate);
    QVERIFY(SettingsFile(cfg()).create({ConfRow()}, {QStringLiteral("penjualan")}));
    PanelWindow window(m_dir->path());
    window.show();
    m_answerer->clear();

    window.addBackupDatabase(name);
    if (duplicate) {
        QCOMPARE(texts(m_answerer->seen()),
                 QStringList{QStringLiteral("Database : ") + name +
                             QStringLiteral(" sudah masuk dalam daftar.")});
        QCOMPARE(m_answerer->seen().first().icon, QMessageBox::Critical);
        QCOMPARE(listed(&window), QStringList{"penjualan"});
        QCOMPARE(SettingsFile(cfg()).databases(), QStringList{"penjualan"});
    } else {
        QVERIFY(m_answerer->seen().isEmpty()); // no message for an addition
        QCOMPARE(listed(&window), QStringList({"penjualan", name}));
        QCOMPARE(SettingsFile(cfg()).databases(), QStringList({"penjualan", name}));
    }
}

void TestBackupList::addWithoutSettingsFile()
{
    PanelWindow window(m_dir->path());
    window.show();
    m_answerer->clear();
    window.addBackupDatabase(QStringLiteral("gudang"));
    const QStringList shown = texts(m_answerer->seen());
    QCOMPARE(shown.size(), 1);
    QVERIFY2(shown.first().startsWith(QStringLiteral("Gagal mengecek data.\nPesan Error : ")),
             qPrintable(shown.first()));
    QCOMPARE(listed(&window), QStringList());
    QVERIFY(!QFile::exists(cfg()));
}

void TestBackupList::remove_data()
{
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<int>("select"); // -1: nothing selected
    QTest::addColumn<int>("answer"); // QMessageBox::Yes or No
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("listAfter");
    QTest::addColumn<QStringList>("fileAfter");

    const QString ask = QStringLiteral("Apakah database '%1' akan dihapus dari daftar backup ?");
    QTest::newRow("Yes removes it from list and file")
        << QStringList{"penjualan", "gudang"} << 1 << int(QMessageBox::Yes)
        << QStringList{ask.arg("gudang"), "Data berhasil dihapus."} << QStringList{"penjualan"}
        << QStringList{"penjualan"};
    QTest::newRow("No keeps both")
        << QStringList{"penjualan", "gudang"} << 0 << int(QMessageBox::No)
        << QStringList{ask.arg("penjualan")} << QStringList{"penjualan", "gudang"}
        << QStringList{"penjualan", "gudang"};
    QTest::newRow("nothing selected") << QStringList{"penjualan"} << -1 << int(QMessageBox::Yes)
                                      << QStringList{"Tidak ada yang dipilih"}
                                      << QStringList{"penjualan"} << QStringList{"penjualan"};
    QTest::newRow("name stored twice: both rows go, one entry goes")
        << QStringList{"gudang", "penjualan", "gudang"} << 2 << int(QMessageBox::Yes)
        << QStringList{ask.arg("gudang"), "Data berhasil dihapus."}
        << QStringList{"gudang", "penjualan"} << QStringList{"penjualan"};
    QTest::newRow("name with a quote") << QStringList{"o'brien"} << 0 << int(QMessageBox::Yes)
                                       << QStringList{ask.arg("o'brien"), "Data berhasil dihapus."}
                                       << QStringList{} << QStringList{};
}

void TestBackupList::remove()
{
    QFETCH(QStringList, stored);
    QFETCH(int, select);
    QFETCH(int, answer);
    QVERIFY(SettingsFile(cfg()).create({ConfRow()}, stored));
    PanelWindow window(m_dir->path());
    window.show();
    m_answerer->clear();
    if (select >= 0)
        widget<QListWidget>(&window, "listWidget")->setCurrentRow(select);

    m_answerer->answerNext(QMessageBox::StandardButton(answer));
    widget<QPushButton>(&window, "butDel")->click();
    QTEST(texts(m_answerer->seen()), "messages");
    if (select >= 0) {
        const SeenBox question = m_answerer->seen().first();
        QCOMPARE(question.icon, QMessageBox::Question);
        QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(question.defaultButton, QMessageBox::Yes);
    }
    QTEST(listed(&window), "listAfter");
    QTEST(SettingsFile(cfg()).databases(), "fileAfter");
}

void TestBackupList::pickerGetsCredentials_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("pass");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<bool>("connects");
    QTest::addColumn<QStringList>("listAfter");
    QTest::addColumn<bool>("serverDown");

    const QString su = QStringLiteral("postgres"), suPass = QStringLiteral("sarvela-test-pw");
    const QStringList unchanged{"penjualan"};
    QTest::newRow("empty user and password stand for admin, pick one")
        << ""
        << ""
        << "gudang" << true << QStringList{"penjualan", "gudang"} << false;
    QTest::newRow("superuser, pick a name with blanks")
        << su << suPass << "Akuntansi 2026" << true << QStringList{"penjualan", "Akuntansi 2026"}
        << false;
    QTest::newRow("picking a listed one is refused")
        << su << suPass << "penjualan" << true << unchanged << false;
    QTest::newRow("Batal adds nothing") << ""
                                        << ""
                                        << "" << true << unchanged << false;
    QTest::newRow("blank user reaches the server unchanged")
        << "  "
        << ""
        << "gudang" << false << unchanged << false;
    QTest::newRow("blank password reaches the server unchanged")
        << ""
        << "  "
        << "gudang" << false << unchanged << false;
    QTest::newRow("wrong password") << su << "salah"
                                    << "gudang" << false << unchanged << false;
    QTest::newRow("server down") << su << suPass << "gudang" << false << unchanged << true;
}

void TestBackupList::pickerGetsCredentials()
{
    QFETCH(QString, user);
    QFETCH(QString, pass);
    QFETCH(QString, choice);
    QFETCH(bool, connects);
    ConfRow row;
    row.server = QStringLiteral("localhost"); // saved; the picker must get the typed one
    row.user = user;
    row.pass = pass;
    QFETCH(bool, serverDown);
    row.port = serverDown ? freeLoopbackPort() : m_pg.port();
    QVERIFY(SettingsFile(cfg()).create({row}, {QStringLiteral("penjualan")}));
    PanelWindow window(m_dir->path());
    window.show();
    widget<QLineEdit>(&window, "tServer")->setText(m_pg.host()); // typed, not saved
    m_answerer->clear();

    PickerDriver driver(choice);
    widget<QPushButton>(&window, "butAdd")->click();
    QVERIFY(driver.seen);
    QCOMPARE(driver.server, m_pg.host());
    if (connects) {
        QCOMPARE(driver.listed, QStringList({"Akuntansi 2026", "gudang", "penjualan"}));
    } else {
        QCOMPARE(driver.listed, QStringList());
        QCOMPARE(m_answerer->seen().size(), 1); // the picker's one connection message
    }
    QTEST(listed(&window), "listAfter");
    QTEST(SettingsFile(cfg()).databases(), "listAfter");
}

QTEST_MAIN(TestBackupList)
#include "tst_backuplist.moc"
