// The database picker against a throwaway PostgreSQL cluster, driven as a user
// would: its buttons, keys and window close while it runs modally.
#include "fdfrdatabase.h"
#include "modalanswer.h"
#include "pgcluster.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSqlDatabase>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace {

QString quoted(const QString &name)
{
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QStringLiteral("\"\"")) +
           QLatin1Char('"');
}

// Databases that exist for one test and are dropped however it ends.
class Databases
{
public:
    explicit Databases(const PgCluster &cluster) : m_cluster(cluster) {}
    ~Databases()
    {
        QString error;
        for (const QString &name : qAsConst(m_names))
            m_cluster.sql(QStringLiteral("DROP DATABASE ") + quoted(name), &error);
    }
    bool create(const QString &name, QString *error)
    {
        if (!m_cluster.sql(QStringLiteral("CREATE DATABASE ") + quoted(name), error))
            return false;
        m_names << name;
        return true;
    }

private:
    const PgCluster &m_cluster;
    QStringList m_names;
};

QStringList listed(FDfrDatabase &dialog)
{
    QStringList names;
    auto *list = dialog.findChild<QListWidget *>(QStringLiteral("listWidget"));
    for (int row = 0; row < list->count(); ++row)
        names << list->item(row)->text();
    return names;
}

void press(FDfrDatabase &dialog, const char *button)
{
    dialog.findChild<QPushButton *>(QLatin1String(button))->click();
}

// Runs chooseDatabase; once the picker is the active modal window (any
// connection message answered), hands it to the user's action.
int runPicker(FDfrDatabase &dialog, QString &name, const std::function<void()> &action)
{
    QTimer user;
    user.setInterval(10);
    QObject::connect(&user, &QTimer::timeout, [&] {
        if (QApplication::activeModalWidget() != &dialog || !dialog.isVisible())
            return;
        user.stop();
        action();
    });
    // Guards against a picker that ignores every way out, so the run cannot hang.
    QTimer::singleShot(60000, &dialog, [&] {
        QTest::qFail("the picker did not close", __FILE__, __LINE__);
        dialog.hide();
    });
    user.start();
    return dialog.chooseDatabase(name);
}

} // namespace

class TestFDfrDatabase : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void listsServerDatabasesInNameOrder_data();
    void listsServerDatabasesInNameOrder();
    void connectionFailureShowsOneMessage_data();
    void connectionFailureShowsOneMessage();
    void userChoice_data();
    void userChoice();
    void keysDoNotCloseThePicker_data();
    void keysDoNotCloseThePicker();

private:
    PgCluster m_cluster;
};

void TestFDfrDatabase::initTestCase()
{
    QString error;
    QVERIFY2(m_cluster.start(&error), qPrintable(error));
}

void TestFDfrDatabase::cleanup()
{
    QVERIFY(!QSqlDatabase::contains(QStringLiteral("main_con")));
    const QWidgetList open = QApplication::topLevelWidgets();
    for (QWidget *widget : open)
        QVERIFY2(!widget->isVisible(), qPrintable(widget->objectName()));
}

void TestFDfrDatabase::listsServerDatabasesInNameOrder_data()
{
    QTest::addColumn<QStringList>("created");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("only the system databases") << QStringList() << QStringList();
    // Byte order: the server's catalogue names sort without a locale.
    QTest::newRow("blanks, quotes and non-ASCII letters")
        << QStringList{"gudang", "Toko Utama", "o'reilly", "café", "kas\"besar", "akuntansi"}
        << QStringList{"Toko Utama", "akuntansi", "café", "gudang", "kas\"besar", "o'reilly"};
}

void TestFDfrDatabase::listsServerDatabasesInNameOrder()
{
    QFETCH(QStringList, created);
    QFETCH(QStringList, expected);

    Databases databases(m_cluster);
    QString error;
    for (const QString &name : qAsConst(created))
        QVERIFY2(databases.create(name, &error), qPrintable(error));

    ModalAnswerer answerer;
    FDfrDatabase dialog;
    dialog.setServerInfo(m_cluster.host(), m_cluster.superUser(), m_cluster.superPassword(),
                         m_cluster.port());
    QStringList shown;
    bool connectionHeld = true;
    QString name;
    const int code = runPicker(dialog, name, [&] {
        shown = listed(dialog);
        connectionHeld = QSqlDatabase::contains(QStringLiteral("main_con"));
        press(dialog, "butTutup");
    });
    QCOMPARE(code, 0);
    QCOMPARE(name, QString());
    QCOMPARE(shown, expected);
    QVERIFY(!connectionHeld);
    QCOMPARE(answerer.seen().size(), 0);
    auto *server = dialog.findChild<QLineEdit *>(QStringLiteral("tServer"));
    auto *port = dialog.findChild<QLineEdit *>(QStringLiteral("tPort"));
    QCOMPARE(server->text(), m_cluster.host());
    QCOMPARE(port->text(), QString::number(m_cluster.port()));
    QVERIFY(!server->isEnabled());
    QVERIFY(!port->isEnabled());
}

void TestFDfrDatabase::connectionFailureShowsOneMessage_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("reason"); // what the message must tell the administrator

    QTest::newRow("wrong password") << "postgres"
                                    << "salah" << -1 << "password authentication failed";
    QTest::newRow("nothing listening on the port") << "postgres"
                                                   << "" << freeLoopbackPort() << "refused";
    QTest::newRow("port 0") << "postgres"
                            << "" << 0 << "";
}

void TestFDfrDatabase::connectionFailureShowsOneMessage()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(int, port);
    QFETCH(QString, reason);
    if (port < 0)
        port = m_cluster.port();

    Databases databases(m_cluster);
    QString error;
    QVERIFY2(databases.create(QStringLiteral("gudang"), &error), qPrintable(error));

    ModalAnswerer answerer;
    FDfrDatabase dialog;
    dialog.setServerInfo(m_cluster.host(), user, password, port);
    QStringList shown{"not looked at"};
    QString name;
    int code = runPicker(dialog, name, [&] {
        shown = listed(dialog);
        press(dialog, "butOk"); // nothing to choose
        dialog.close();
    });
    QCOMPARE(code, -1);
    QCOMPARE(shown, QStringList());
    QCOMPARE(answerer.seen().size(), 2);
    const SeenBox connection = answerer.seen().at(0);
    const QString prefix = QStringLiteral("Maaf gagal koneksi ke server : ");
    QVERIFY2(connection.text.startsWith(prefix) && connection.text.size() > prefix.size(),
             qPrintable(connection.text));
    QVERIFY2(connection.text.contains(reason), qPrintable(connection.text));
    QCOMPARE(connection.icon, QMessageBox::Information);
    QCOMPARE(connection.title, QString());
    QCOMPARE(answerer.seen().at(1).text, QStringLiteral("Tidak ada yang dipilih"));
    QCOMPARE(dialog.findChild<QLineEdit *>(QStringLiteral("tPort"))->text(), QString::number(port));

    // A second run shows what the first loaded and does not try again.
    code = runPicker(dialog, name, [&] { press(dialog, "butTutup"); });
    QCOMPARE(code, 0);
    QCOMPARE(answerer.seen().size(), 2);
}

void TestFDfrDatabase::userChoice_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("Pilih with a database selected")
        << "select, Pilih" << 1 << "Toko Utama" << QStringList();
    QTest::newRow("Batal after selecting") << "select, Batal" << 0 << "" << QStringList();
    QTest::newRow("window closed after selecting") << "select, close" << -1 << "" << QStringList();
    QTest::newRow("Pilih with nothing selected keeps the picker open")
        << "Pilih, Batal" << 0 << "" << QStringList{"Tidak ada yang dipilih"};
}

void TestFDfrDatabase::userChoice()
{
    QFETCH(QString, action);
    QFETCH(int, code);
    QFETCH(QString, name);
    QFETCH(QStringList, messages);

    Databases databases(m_cluster);
    QString error;
    QVERIFY2(databases.create(QStringLiteral("Toko Utama"), &error), qPrintable(error));

    ModalAnswerer answerer;
    FDfrDatabase dialog;
    dialog.setServerInfo(m_cluster.host(), m_cluster.superUser(), m_cluster.superPassword(),
                         m_cluster.port());
    QString chosen = QStringLiteral("left as it was");
    const int result = runPicker(dialog, chosen, [&] {
        auto *list = dialog.findChild<QListWidget *>(QStringLiteral("listWidget"));
        for (const QString &step : action.split(QStringLiteral(", "))) {
            if (step == QLatin1String("select"))
                list->setCurrentRow(0);
            else if (step == QLatin1String("Pilih"))
                press(dialog, "butOk");
            else if (step == QLatin1String("Batal"))
                press(dialog, "butTutup");
            else
                dialog.close();
        }
    });
    QCOMPARE(result, code);
    QCOMPARE(chosen, name);
    QStringList shownMessages;
    for (const SeenBox &box : answerer.seen()) {
        QCOMPARE(box.icon, QMessageBox::Information);
        shownMessages << box.text;
    }
    QCOMPARE(shownMessages, messages);
}

void TestFDfrDatabase::keysDoNotCloseThePicker_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Escape") << int(Qt::Key_Escape);
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("Enter") << int(Qt::Key_Enter);
}

void TestFDfrDatabase::keysDoNotCloseThePicker()
{
    QFETCH(int, key);

    Databases databases(m_cluster);
    QString error;
    QVERIFY2(databases.create(QStringLiteral("gudang"), &error), qPrintable(error));

    ModalAnswerer answerer;
    FDfrDatabase dialog;
    dialog.setServerInfo(m_cluster.host(), m_cluster.superUser(), m_cluster.superPassword(),
                         m_cluster.port());
    bool stillOpen = false;
    QString name;
    const int code = runPicker(dialog, name, [&] {
        // With an item selected, a Return reaching the dialog would press "Pilih".
        auto *list = dialog.findChild<QListWidget *>(QStringLiteral("listWidget"));
        list->setCurrentRow(0);
        list->setFocus();
        QTest::keyClick(list, Qt::Key(key));
        QTest::keyClick(&dialog, Qt::Key(key));
        QCoreApplication::processEvents();
        stillOpen = dialog.isVisible();
        press(dialog, "butTutup");
    });
    QVERIFY(stillOpen);
    QCOMPARE(code, 0);
    QCOMPARE(name, QString());
    QCOMPARE(answerer.seen().size(), 0);
}

QTEST_MAIN(TestFDfrDatabase)
#include "tst_fdfrdatabase.moc"
