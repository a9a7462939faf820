// The database picker against a throwaway PostgreSQL cluster, driven as a user
// would while it runs modally.
#include "fdfrdatabase.h"
#include "modalanswer.h"
#include "pgcluster.h"

#include <QListWidget>
#include <QPushButton>
#include <QtTest>

class TestFDfrDatabase : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void picker_data();
    void picker();

private:
    PgCluster m_cluster;
};

void TestFDfrDatabase::initTestCase()
{
    QString error;
    QVERIFY2(m_cluster.start(&error), qPrintable(error));
    for (const char *name :
         {"gudang", "\"Toko Utama\"", "\"o'reilly\"", "café", "\"kas\"\"besar\"", "akuntansi"})
        QVERIFY2(
            m_cluster.sql(QStringLiteral("CREATE DATABASE ") + QString::fromUtf8(name), &error),
            qPrintable(error));
}

void TestFDfrDatabase::picker_data()
{
    // Steps: "select", "double-click", "close", a button's name, or a key
    // pressed on the list ("list Return") or on the dialog itself ("Escape", which alone closes
    // it).
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("messages"); // pattern for the messages shown, each ended by "|"
    QTest::addColumn<QString>("fault");    // "password", "port" or none
    auto row = [](const char *tag, const QStringList &steps, int code, const char *name,
                  const QString &messages = "^$", const char *fault = "") {
        QTest::newRow(tag) << steps << code << name << messages << fault;
    };

    const QString nothing = QStringLiteral("Tidak ada yang dipilih\\|$");
    row("Pilih with a database selected", {"select", "butOk"}, 1, "Toko Utama");
    row("double-click picks", {"double-click"}, 1, "Toko Utama");
    row("Return on the list picks", {"select", "list Return"}, 1, "Toko Utama");
    row("keypad Enter on the list picks", {"select", "list Enter"}, 1, "Toko Utama");
    row("Batal after selecting", {"select", "butTutup"}, 0, "");
    row("window closed after selecting", {"select", "close"}, -1, "");
    row("Pilih with nothing selected keeps the picker open", {"butOk", "butTutup"}, 0, "",
        "^" + nothing);
    row("Escape closes it, choosing nothing", {"select", "Escape"}, -1, "");
    row("Return that no widget takes does not press Pilih", {"select", "Return", "butTutup"}, 0,
        "");
    const QString failed = QStringLiteral("^Maaf gagal koneksi ke server : .*");
    // The driver's words come second, in brackets, after the panel's own.
    row("wrong password", {"butOk", "close"}, -1, "",
        failed + "Nama pengguna atau kata sandi salah \\(.*password authentication failed.*\\)\\|" +
            nothing,
        "password");
    row("nothing listening on the port", {"butOk", "close"}, -1, "",
        failed + "Koneksi ditolak.* \\(.*refused.*\\)\\|" + nothing, "port");
}

void TestFDfrDatabase::picker()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, fault);
    ModalAnswerer answerer;
    FDfrDatabase dialog;
    dialog.setServerInfo(m_cluster.host(), m_cluster.superUser(),
                         fault == QLatin1String("password") ? "salah" : m_cluster.superPassword(),
                         fault == QLatin1String("port") ? freeLoopbackPort() : m_cluster.port());
    auto *list = dialog.findChild<QListWidget *>(QStringLiteral("listWidget"));
    QStringList shown;
    // Acts once the picker is the active modal window, i.e. after any
    // connection message was answered.
    QTimer user;
    connect(&user, &QTimer::timeout, [&] {
        if (QApplication::activeModalWidget() != &dialog || !dialog.isVisible())
            return;
        user.stop();
        for (const QListWidgetItem *item : list->findItems(QStringLiteral("*"), Qt::MatchWildcard))
            shown << item->text();
        for (const QString &step : steps) {
            const Qt::Key key = Qt::Key(QKeySequence(step.section(' ', -1))[0]);
            if (step == "select") {
                list->setCurrentRow(0);
            } else if (step == "double-click") {
                const QPoint at = list->visualItemRect(list->item(0)).center();
                // As the system delivers it: a click, then the double-click.
                QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
                QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
            } else if (step.startsWith("list ")) {
                QTest::keyClick(list, key);
            } else if (step == "close") {
                dialog.close();
            } else if (auto *button = dialog.findChild<QPushButton *>(step)) {
                button->click();
            } else { // a key that no widget takes
                QTest::keyClick(&dialog, key);
                QVERIFY2(dialog.isVisible() == (key != Qt::Key_Escape), qPrintable(step));
            }
        }
    });
    // A picker that ignores every way out must not hang the run.
    QTimer::singleShot(60000, &dialog, [&] { dialog.hide(); });
    user.start(10);
    QString chosen = QStringLiteral("left as it was");
    QTEST(dialog.chooseDatabase(chosen), "code");
    QTEST(chosen, "name");
    // Byte order, without the server's own databases.
    const QStringList all{"Toko Utama", "akuntansi", "café", "gudang", "kas\"besar", "o'reilly"};
    QCOMPARE(shown, fault.isEmpty() ? all : QStringList());
    QString texts;
    for (const SeenBox &box : answerer.seen())
        texts += box.text + '|';
    QFETCH(QString, messages);
    QVERIFY2(texts.contains(
                 QRegularExpression(messages, QRegularExpression::DotMatchesEverythingOption)),
             qPrintable(texts));
}

QTEST_MAIN(TestFDfrDatabase)
#include "tst_fdfrdatabase.moc"
