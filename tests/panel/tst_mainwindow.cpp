// The main window as an administrator first meets it: a window that cannot be resized,
// the start-up question, defaults without a settings file, tray and exit.
#include "panelfixture.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimeEdit>
#include <QTimer>

using namespace panel;

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void windowIsFixed();
    void startupQuestionAnsweredNo();
    void defaultsWithoutSettingsFile();
    void closeHidesToTray();
    void exitEndsWithCodeZero_data();
    void exitEndsWithCodeZero();
    void aboutText();

private:
    QTemporaryDir m_isolation;
    QScopedPointer<QTemporaryDir> m_programDir;
};

void TestMainWindow::initTestCase()
{
    QApplication::setApplicationVersion(QStringLiteral("1.5.0.0"));
    QApplication::setQuitOnLastWindowClosed(false);
    isolatePanel(m_isolation);
}

void TestMainWindow::init()
{
    m_programDir.reset(new QTemporaryDir);
}

void TestMainWindow::cleanup()
{
    const QWidgetList left = QApplication::topLevelWidgets();
    for (QWidget *w : left) {
        if (w->isVisible() && qobject_cast<QMessageBox *>(w))
            QFAIL("a message box was left open");
    }
}

void TestMainWindow::windowIsFixed()
{
    PanelWindow window(m_programDir->path());
    QCOMPARE(window.windowTitle(), QStringLiteral("Sarvela Backup Control Panel"));
    QCOMPARE(window.minimumSize(), QSize(532, 491));
    QCOMPARE(window.maximumSize(), QSize(532, 491));
    QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(window.windowIcon().pixmap(32).toImage(),
             QIcon(QStringLiteral(":/images/db.png")).pixmap(32).toImage());
    auto *status = widget<QLabel>(&window, "lStatus");
    QCOMPARE(status->font().pointSize(), 14);
    QCOMPARE(status->alignment(), Qt::AlignCenter);
    QCOMPARE(widget<QMenuBar>(&window, "menuBar")->geometry(), QRect(0, 0, 532, 21));
}

void TestMainWindow::startupQuestionAnsweredNo()
{
    ModalAnswerer answerer;
    PanelWindow window(m_programDir->path());
    showAnsweringNo(window, answerer);

    QVERIFY(!answerer.seen().isEmpty());
    const SeenBox question = answerer.seen().first();
    QCOMPARE(question.icon, QMessageBox::Question);
    QCOMPARE(question.text,
             QStringLiteral("Service belum diinstall, apakah akan install service?.\n"
                            "Pilih Yes untuk Install Service\n"
                            "Pilih No tidak install Service\n"
                            "Sistem backup otomatis akan berjalan apabila service "
                            "telah diinstall dan Aktif."));
    QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(question.defaultButton, QMessageBox::Yes);

    auto *status = widget<QLabel>(&window, "lStatus");
    QCOMPARE(status->text(), QStringLiteral("Service : Belum diinstall"));
    QCOMPARE(status->styleSheet(), QStringLiteral("QLabel{background: red;}"));
    QVERIFY(!widget<QPushButton>(&window, "butStart")->isEnabled());
    QVERIFY(!widget<QPushButton>(&window, "butStop")->isEnabled());
    QVERIFY(!widget<QPushButton>(&window, "butSaveRestart")->isEnabled());
}

void TestMainWindow::defaultsWithoutSettingsFile()
{
    ModalAnswerer answerer;
    PanelWindow window(m_programDir->path());
    showAnsweringNo(window, answerer);

    const QString path = m_programDir->path() + QStringLiteral("/confbu.cfg");
    QCOMPARE(texts(answerer.seen()).mid(1), QStringList{QStringLiteral("Maaf file [") + path +
                                                        QStringLiteral("] tidak ditemukan.")});
    QCOMPARE(answerer.seen().at(1).icon, QMessageBox::Information);
    QVERIFY2(!QFile::exists(path), "loading must not create the settings file");

    QCOMPARE(widget<QLineEdit>(&window, "tLokasi")->text(), QStringLiteral("/"));
    QVERIFY(widget<QLineEdit>(&window, "tLokasi")->isReadOnly());
    QCOMPARE(widget<QLineEdit>(&window, "tServer")->text(), QStringLiteral("localhost"));
    QVERIFY(!widget<QCheckBox>(&window, "cbJam1")->isChecked());
    QVERIFY(!widget<QCheckBox>(&window, "cbJam2")->isChecked());
    QVERIFY(!widget<QTimeEdit>(&window, "tmJam1")->isEnabled());
    QVERIFY(!widget<QTimeEdit>(&window, "tmJam2")->isEnabled());
    QCOMPARE(widget<QTimeEdit>(&window, "tmJam1")->displayFormat(), QStringLiteral("hh:mm"));
    QCOMPARE(widget<QListWidget>(&window, "listWidget")->count(), 0);

    // The check box alone decides whether its time can be edited.
    widget<QCheckBox>(&window, "cbJam2")->setChecked(true);
    QVERIFY(widget<QTimeEdit>(&window, "tmJam2")->isEnabled());
    QVERIFY(!widget<QTimeEdit>(&window, "tmJam1")->isEnabled());
}

void TestMainWindow::closeHidesToTray()
{
    ModalAnswerer answerer;
    PanelWindow window(m_programDir->path());
    showAnsweringNo(window, answerer);
    const int boxesAtStart = answerer.seen().size();

    QVERIFY(!window.close());
    QVERIFY(!window.isVisible());
    auto *tray = window.findChild<QSystemTrayIcon *>();
    QVERIFY(tray);
    QCOMPARE(tray->toolTip(), QStringLiteral("Sarvela Backup Database"));
    QStringList entries;
    for (QAction *a : tray->contextMenu()->actions())
        entries << a->text();
    QCOMPARE(entries, QStringList({"Tampilkan Window", "Keluar"}));

    tray->contextMenu()->actions().first()->trigger();
    QVERIFY(window.isVisible());
    QCOMPARE(answerer.seen().size(), boxesAtStart); // no second start-up question

    QTest::mouseClick(widget<QPushButton>(&window, "butTutup"), Qt::LeftButton);
    QVERIFY(!window.isVisible());
}

void TestMainWindow::exitEndsWithCodeZero_data()
{
    QTest::addColumn<bool>("fromTray");
    QTest::newRow("menu Keluar") << false;
    QTest::newRow("tray Keluar") << true;
}

void TestMainWindow::exitEndsWithCodeZero()
{
    QFETCH(bool, fromTray);
    ModalAnswerer answerer;
    PanelWindow window(m_programDir->path());
    showAnsweringNo(window, answerer);

    QAction *exit = nullptr;
    if (fromTray) {
        exit = window.findChild<QSystemTrayIcon *>()->contextMenu()->actions().last();
    } else {
        QMenu *system = widget<QMenuBar>(&window, "menuBar")->actions().first()->menu();
        exit = system->actions().last();
    }
    QCOMPARE(exit->text(), fromTray ? QStringLiteral("Keluar") : QStringLiteral("&Keluar"));
    QTimer::singleShot(0, exit, &QAction::trigger);
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); }); // only if exit failed
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!window.isVisible());
}

void TestMainWindow::aboutText()
{
    ModalAnswerer answerer;
    PanelWindow window(m_programDir->path());
    showAnsweringNo(window, answerer);
    answerer.clear();

    QMenu *info = widget<QMenuBar>(&window, "menuBar")->actions().last()->menu();
    info->actions().last()->trigger();
    QCOMPARE(answerer.seen().size(), 1);
    const QStringList lines = answerer.seen().first().text.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines[0], QStringLiteral("Sarvela Auto Backup"));
    QCOMPARE(lines[1], QStringLiteral("Versi : 1.5.0.0"));
    QCOMPARE(answerer.seen().first().icon, QMessageBox::Information);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
