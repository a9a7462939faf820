// The service actions against the real stand-in service manager and the real
// sarvelad of an installed program directory: install, start, stop, uninstall,
// save-and-restart, and a save whose backup time the restarted service keeps.
#include "panelfixture.h"
#include "programdir.h"
#include "svcmgrdaemon.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QTimeEdit>

using namespace panel;

namespace {

struct Status
{
    QString text;
    QString style;
    bool start, stop, save;
};

const Status NotInstalled{QStringLiteral("Service : Belum diinstall"),
                          QStringLiteral("QLabel{background: red;}"), false, false, false};
const Status Stopped{QStringLiteral("Service : Tidak Aktif"),
                     QStringLiteral("QLabel{background: red;}"), true, false, true};
const Status Running{QStringLiteral("Service : Aktif"),
                     QStringLiteral("QLabel{background: green;}"), false, true, true};

bool statusIs(QWidget *window, const Status &expected, QString *seen)
{
    auto *label = widget<QLabel>(window, "lStatus");
    const Status actual{label->text(), label->styleSheet(),
                        widget<QPushButton>(window, "butStart")->isEnabled(),
                        widget<QPushButton>(window, "butStop")->isEnabled(),
                        widget<QPushButton>(window, "butSaveRestart")->isEnabled()};
    *seen = QStringLiteral("%1 / %2 / start %3 stop %4 save %5")
                .arg(actual.text, actual.style)
                .arg(actual.start)
                .arg(actual.stop)
                .arg(actual.save);
    return actual.text == expected.text && actual.style == expected.style &&
           actual.start == expected.start && actual.stop == expected.stop &&
           actual.save == expected.save;
}

#define VERIFY_STATUS(window, expected)                                                            \
    do {                                                                                           \
        QString seen_;                                                                             \
        QVERIFY2(statusIs(window, expected, &seen_), qPrintable(seen_));                           \
    } while (0)

// A service that has only just been started may not accept a stop yet; the
// cases wait until it reports running before they act on it again.
bool serviceReportsRunning()
{
    QProcess client;
    client.start(buildBinDir() + QStringLiteral("/svcmgrclient"),
                 {QStringLiteral("query-status"), QStringLiteral("Sarvela DB Backup")});
    client.waitForFinished(10000);
    return client.readAllStandardOutput().contains("state=4");
}

bool logHas(const QString &logPath, const QByteArray &text)
{
    QFile log(logPath);
    return log.open(QIODevice::ReadOnly) && log.readAll().contains(text);
}

int readConfigCount(const QString &logPath)
{
    QFile log(logPath);
    return log.open(QIODevice::ReadOnly) ? int(log.readAll().count("Read Config.")) : 0;
}

QAction *systemAction(QWidget *window, int index)
{
    return widget<QMenuBar>(window, "menuBar")->actions().first()->menu()->actions().at(index);
}

} // namespace

class TestServiceActions : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void installStartStopUninstall();
    void installWithoutServiceProgram();
    void startRefused_data();
    void startRefused();
    void saveRestartsService();
    void savedTimeIsWhenServiceBacksUp();

private:
    // Fresh settings in the installed directory: output folder, one listed database.
    void writeSettings(const QString &outputdir, const QStringList &databases);
    QTemporaryDir m_isolation;
    ProgramDir m_programDir;
    QTemporaryDir m_output;
    QScopedPointer<SvcMgrDaemon> m_daemon;
};

void TestServiceActions::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
    isolatePanel(m_isolation);
    QString error;
    QVERIFY2(m_programDir.install(&error), qPrintable(error));
    QVERIFY2(m_programDir.useFakePgDump(&error), qPrintable(error));
}

void TestServiceActions::init()
{
    QFile::remove(m_programDir.file(QStringLiteral("busys.log")));
    m_daemon.reset(new SvcMgrDaemon(m_programDir.path()));
    QString error;
    QVERIFY2(m_daemon->start(&error), qPrintable(error));
    writeSettings(m_output.path() + QStringLiteral("/dumps"), {QStringLiteral("penjualan")});
}

void TestServiceActions::cleanup()
{
    // Leave no service behind for the next case: the daemon goes with its services.
    m_daemon.reset();
}

void TestServiceActions::writeSettings(const QString &outputdir, const QStringList &databases)
{
    const QString path = m_programDir.file(QStringLiteral("confbu.cfg"));
    QFile::remove(path);
    ConfRow row;
    row.outputdir = outputdir;
    QVERIFY(SettingsFile(path).create({row}, databases));
}

void TestServiceActions::installStartStopUninstall()
{
    ModalAnswerer answerer;
    answerer.answerNext(QMessageBox::Yes); // install at the start-up question
    PanelWindow window(m_programDir.path());
    window.show();
    QCOMPARE(answerer.seen().size(), 1);
    VERIFY_STATUS(&window, Stopped);

    QTest::mouseClick(widget<QPushButton>(&window, "butStart"), Qt::LeftButton);
    VERIFY_STATUS(&window, Running);
    QVERIFY(QDir(m_output.path() + QStringLiteral("/dumps")).exists());
    QTRY_VERIFY_WITH_TIMEOUT(serviceReportsRunning(), 20000);

    QTest::mouseClick(widget<QPushButton>(&window, "butStop"), Qt::LeftButton);
    VERIFY_STATUS(&window, Stopped);

    systemAction(&window, 0)->trigger(); // install again
    QCOMPARE(answerer.seen().last().text, QStringLiteral("Service sudah diinstall sebelumnya."));
    QCOMPARE(answerer.seen().last().icon, QMessageBox::Warning);
    VERIFY_STATUS(&window, Stopped);

    // Uninstalling a running service stops it first.
    QTest::mouseClick(widget<QPushButton>(&window, "butStart"), Qt::LeftButton);
    VERIFY_STATUS(&window, Running);
    QTRY_VERIFY_WITH_TIMEOUT(serviceReportsRunning(), 20000);
    answerer.clear();
    systemAction(&window, 1)->trigger();
    QVERIFY(answerer.seen().isEmpty()); // no confirmation
    VERIFY_STATUS(&window, NotInstalled);

    systemAction(&window, 1)->trigger();
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen().last().text,
             QStringLiteral("Service belum diisntall. Anda tidak dapat melakukan Uninstall."));
    QCOMPARE(answerer.seen().last().icon, QMessageBox::Warning);

    // And the menu installs it again.
    systemAction(&window, 0)->trigger();
    VERIFY_STATUS(&window, Stopped);
}

void TestServiceActions::installWithoutServiceProgram()
{
    QTemporaryDir bare; // a program directory without sarvelad
    ModalAnswerer answerer;
    answerer.answerNext(QMessageBox::Yes);
    PanelWindow window(bare.path());
    window.show();
    QVERIFY(answerer.seen().size() >= 2);
    const SeenBox box = answerer.seen().at(1);
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text, QStringLiteral("Gagal Instal Service.\nFile Service : ") + bare.path() +
                           QStringLiteral("/sarvelad, tidak ditemukan. Coba Instal ulang."));
    VERIFY_STATUS(&window, NotInstalled);
}

void TestServiceActions::startRefused_data()
{
    QTest::addColumn<bool>("emptyFolder");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus");
    QTest::newRow("empty output folder") << true << QStringLiteral("Pilih Lokasi backup database.")
                                         << QStringLiteral("butSelectFolder");
    QTest::newRow("empty database list")
        << false << QStringLiteral("Pilih database yang akan dibackup.")
        << QStringLiteral("butAdd");
}

void TestServiceActions::startRefused()
{
    QFETCH(bool, emptyFolder);
    QFETCH(QString, message);
    QFETCH(QString, focus);
    if (emptyFolder)
        writeSettings(QStringLiteral("  "), {QStringLiteral("penjualan")});
    else
        writeSettings(m_output.path(), {});

    ModalAnswerer answerer;
    answerer.answerNext(QMessageBox::Yes);
    PanelWindow window(m_programDir.path());
    window.show();
    VERIFY_STATUS(&window, Stopped);
    answerer.clear();

    QTest::mouseClick(widget<QPushButton>(&window, "butStart"), Qt::LeftButton);
    QCOMPARE(texts(answerer.seen()), QStringList{message});
    QCOMPARE(answerer.seen().first().icon, QMessageBox::Critical);
    QCOMPARE(window.focusWidget()->objectName(), focus);
    VERIFY_STATUS(&window, Stopped);
}

void TestServiceActions::saveRestartsService()
{
    ModalAnswerer answerer;
    answerer.answerNext(QMessageBox::Yes);
    PanelWindow window(m_programDir.path());
    window.show();
    VERIFY_STATUS(&window, Stopped);

    // Stopped: the save starts it.
    answerer.clear();
    QTest::mouseClick(widget<QPushButton>(&window, "butSaveRestart"), Qt::LeftButton);
    QCOMPARE(texts(answerer.seen()), QStringList{QStringLiteral("Data Berhasil disimpan.")});
    VERIFY_STATUS(&window, Running);
    const QString log = m_programDir.file(QStringLiteral("busys.log"));
    QTRY_VERIFY_WITH_TIMEOUT(serviceReportsRunning() && readConfigCount(log) == 1, 20000);

    // Running: stopped and started again, so it reads the settings once more.
    QTest::mouseClick(widget<QPushButton>(&window, "butSaveRestart"), Qt::LeftButton);
    QCOMPARE(answerer.seen().last().text, QStringLiteral("Data Berhasil disimpan."));
    VERIFY_STATUS(&window, Running);
    QTRY_COMPARE_WITH_TIMEOUT(readConfigCount(log), 2, 20000);
}

void TestServiceActions::savedTimeIsWhenServiceBacksUp()
{
    const QString outputdir = m_output.path() + QStringLiteral("/roundtrip");
    ModalAnswerer answerer;
    answerer.answerNext(QMessageBox::Yes);
    PanelWindow window(m_programDir.path());
    window.show();
    VERIFY_STATUS(&window, Stopped);

    // Save a backup time of the current minute, far enough from its end that
    // the restarted service still sees it.
    if (QTime::currentTime().second() > 40)
        QTest::qWait((61 - QTime::currentTime().second()) * 1000);
    const QTime now = QTime::currentTime();
    widget<QCheckBox>(&window, "cbJam1")->setChecked(true);
    widget<QTimeEdit>(&window, "tmJam1")->setTime(QTime(now.hour(), now.minute()));
    widget<QLineEdit>(&window, "tLokasi")->setText(outputdir);
    QTest::mouseClick(widget<QPushButton>(&window, "butSaveRestart"), Qt::LeftButton);
    QCOMPARE(answerer.seen().last().text, QStringLiteral("Data Berhasil disimpan."));
    VERIFY_STATUS(&window, Running);

    // The service fires in that minute: one dump per listed database.
    const QString stamp = QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) +
                          now.toString(QStringLiteral(".hhmm"));
    QTRY_VERIFY_WITH_TIMEOUT(
        !QDir(outputdir)
             .entryList({QStringLiteral("bu_penjualan_") + stamp + QStringLiteral("??.bu")})
             .isEmpty(),
        45000);
    // Its entry follows once the tool has ended.
    QTRY_VERIFY_WITH_TIMEOUT(
        logHas(m_programDir.file(QStringLiteral("busys.log")), "Backup Database : "), 20000);
}

QTEST_MAIN(TestServiceActions)
#include "tst_serviceactions.moc"
