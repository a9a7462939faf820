// The panel's first appearance: as usual, hidden in the tray (--tray, the login
// start) with everything else done as at a shown start, or minimised where the
// desktop has no tray.
#include "panelfixture.h"
#include "startmode.h"

#include <QMenu>
#include <QSystemTrayIcon>

using namespace panel;

class TestStartMode : public QObject
{
    Q_OBJECT
private slots:
    void appearance_data();
    void appearance();
    void trayStartShowsOnRequest();
    void trayClick_data();
    void trayClick();

private:
    Isolation m_isolation;
};

void TestStartMode::appearance_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("trayAvailable");
    QTest::addColumn<QString>("window"); // hidden, minimised or shown
    const QString panel = "/opt/sarvela/sarpanel";
    QTest::newRow("no option: shown") << QStringList{panel} << true << "shown";
    QTest::newRow("--tray: hidden") << QStringList{panel, "--tray"} << true << "hidden";
    QTest::newRow("--tray after another option")
        << QStringList{panel, "-x", "--tray"} << true << "hidden";
    QTest::newRow("--tray without a tray: minimised")
        << QStringList{panel, "--tray"} << false << "minimised";
    QTest::newRow("no tray and no option: shown as usual")
        << QStringList{panel} << false << "shown";
    QTest::newRow("a program called --tray is no option")
        << QStringList{"--tray"} << true << "shown";
    QTest::newRow("a longer option is another one")
        << QStringList{panel, "--tray=1"} << true << "shown";
}

void TestStartMode::appearance()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, trayAvailable);
    QTemporaryDir dir;
    QVERIFY(createSettings(dir.filePath("confbu.cfg"), {ConfRow{"10.0.0.5"}}, {"penjualan"}));
    ModalAnswerer answerer;
    PanelWindow window(dir.path());

    showAtStart(window, startsInTray(arguments), trayAvailable);

    const QString state = !window.isVisible()                          ? "hidden"
                          : window.windowState() & Qt::WindowMinimized ? "minimised"
                                                                       : "shown";
    QTEST(state, "window");
    // Whichever way it starts, the start-up work is done, and nothing is asked.
    QCOMPARE(formState(&window).section(" | ", 1, 1), QString("10.0.0.5"));
    QCOMPARE(listed(&window), QStringList{"penjualan"});
    const QList<QSystemTrayIcon *> trays = window.findChildren<QSystemTrayIcon *>();
    QCOMPARE(trays.size(), 1);
    QVERIFY(trays.first()->isVisible());
    QTest::qWait(100);
    QVERIFY(answerer.seen().isEmpty());
}

void TestStartMode::trayStartShowsOnRequest()
{
    QTemporaryDir dir;
    ModalAnswerer answerer;
    PanelWindow window(dir.path());
    showAtStart(window, true, true);
    QTRY_COMPARE(answerer.seen().size(), 1); // the missing settings file
    QVERIFY(!window.isVisible());
    // Without settings nothing else can be told.
    QCOMPARE(window.findChild<QSystemTrayIcon *>()->toolTip(),
             "Sarvela Backup Database\nPengaturan (confbu.cfg) tidak dapat dibaca.");

    window.findChild<QSystemTrayIcon *>()->contextMenu()->actions().first()->trigger();
    QVERIFY(window.isVisible());
    QTest::qWait(100);
    QCOMPARE(answerer.seen().size(), 1); // shown later, nothing is asked again
}

void TestStartMode::trayClick_data()
{
    QTest::addColumn<bool>("shownBefore");
    QTest::addColumn<QList<int>>("clicks"); // as the tray reports them, in order
    QTest::addColumn<bool>("shownAfter");
    const int click = QSystemTrayIcon::Trigger, twice = QSystemTrayIcon::DoubleClick;
    QTest::newRow("a click shows the hidden window") << false << QList<int>{click} << true;
    QTest::newRow("a click hides the shown window") << true << QList<int>{click} << false;
    QTest::newRow("a double click, which begins with a click, shows it once")
        << false << QList<int>{click, twice} << true;
    QTest::newRow("a double click alone shows it") << false << QList<int>{twice} << true;
    QTest::newRow("a middle click leaves it")
        << false << QList<int>{QSystemTrayIcon::MiddleClick} << false;
}

void TestStartMode::trayClick()
{
    QFETCH(bool, shownBefore);
    QFETCH(QList<int>, clicks);
    QTemporaryDir dir;
    ModalAnswerer answerer;
    PanelWindow window(dir.path());
    showAtStart(window, !shownBefore, true);
    auto *tray = window.findChild<QSystemTrayIcon *>();
    for (int reason : clicks)
        emit tray->activated(QSystemTrayIcon::ActivationReason(reason));
    QTEST(window.isVisible() && !window.isMinimized(), "shownAfter");
}

QTEST_MAIN(TestStartMode)
#include "tst_startmode.moc"
