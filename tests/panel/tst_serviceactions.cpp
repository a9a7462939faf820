// The service actions against the real stand-in service manager and the real
// sarvelad of an installed program directory.
#include "panelfixture.h"
#include "programdir.h"
#include "svcmgrdaemon.h"

#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>

using namespace panel;

namespace {

// Label text, its colour, and which of Start / Stop / Save can be pressed.
const QString NotInstalled = "Service : Belum diinstall / QLabel{background: red;} / 000";
const QString Stopped = "Service : Tidak Aktif / QLabel{background: red;} / 101";
const QString Running = "Service : Aktif / QLabel{background: green;} / 011";

QString status(QWidget *window)
{
    auto *label = widget<QLabel>(window, "lStatus");
    QString buttons;
    for (const char *name : {"butStart", "butStop", "butSaveRestart"})
        buttons += widget<QPushButton>(window, name)->isEnabled() ? '1' : '0';
    return label->text() + " / " + label->styleSheet() + " / " + buttons;
}

// A service that has only just been started may not accept a stop yet.
bool serviceReportsRunning()
{
    QProcess client;
    client.start(buildBinDir() + "/svcmgrclient", {"query-status", "Sarvela DB Backup"});
    client.waitForFinished(10000);
    return client.readAllStandardOutput().contains("state=4");
}

} // namespace

class TestServiceActions : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void installWithoutServiceProgram();
    void installStartStopUninstall();

private:
    QTemporaryDir m_isolation;
    ProgramDir m_programDir;
    QTemporaryDir m_output;
    QScopedPointer<SvcMgrDaemon> m_daemon;
};

void TestServiceActions::initTestCase()
{
    isolatePanel(m_isolation);
    QString error;
    QVERIFY2(m_programDir.install(&error), qPrintable(error));
    QVERIFY2(m_programDir.useFakePgDump(&error), qPrintable(error));
    m_daemon.reset(new SvcMgrDaemon(m_programDir.path()));
    QVERIFY2(m_daemon->start(&error), qPrintable(error));
}

void TestServiceActions::installWithoutServiceProgram()
{
    QTemporaryDir bare;
    ModalAnswerer answerer;
    answerer.answerNext(QMessageBox::Yes);
    PanelWindow window(bare.path());
    window.show();
    QCOMPARE(answerer.seen().at(1).icon, QMessageBox::Critical);
    QCOMPARE(answerer.seen().at(1).text, "Gagal Instal Service.\nFile Service : " + bare.path() +
                                             "/sarvelad, tidak ditemukan. Coba Instal ulang.");
    QCOMPARE(status(&window), NotInstalled);
}

void TestServiceActions::installStartStopUninstall()
{
    ConfRow row;
    row.outputdir = m_output.filePath("dumps");
    QFile::remove(m_programDir.file("confbu.cfg")); // the delivered one, replaced by ours
    QVERIFY(createSettings(m_programDir.file("confbu.cfg"), {row}, {}));
    ModalAnswerer answerer;
    answerer.answerNext(QMessageBox::Yes); // install at the start-up question
    PanelWindow window(m_programDir.path());
    window.show();
    QCOMPARE(status(&window), Stopped);
    auto click = [&](const char *button) {
        answerer.clear();
        widget<QPushButton>(&window, button)->click();
    };
    auto menu = [&](int index) { // 0 install, 1 uninstall
        answerer.clear();
        widget<QMenuBar>(&window, "menuBar")->actions()[0]->menu()->actions()[index]->trigger();
    };
    auto refused = [&](const QString &message, const QString &focus) {
        click("butStart");
        QCOMPARE(texts(answerer.seen()), QStringList{message});
        QCOMPARE(answerer.seen().first().icon, QMessageBox::Critical);
        QCOMPARE(window.focusWidget()->objectName(), focus);
        QCOMPARE(status(&window), Stopped);
    };

    widget<QLineEdit>(&window, "tLokasi")->setText("  ");
    refused("Pilih Lokasi backup database.", "butSelectFolder");
    widget<QLineEdit>(&window, "tLokasi")->setText(row.outputdir.toString());
    refused("Pilih database yang akan dibackup.", "butAdd");
    window.addBackupDatabase("penjualan");

    click("butStart");
    QCOMPARE(status(&window), Running);
    QVERIFY(QDir(row.outputdir.toString()).exists());
    QTRY_VERIFY_WITH_TIMEOUT(serviceReportsRunning(), 20000);

    // Saving while it runs restarts it, so that it reads the saved settings again.
    auto settingsReads = [&] {
        QFile log(m_programDir.file("busys.log"));
        return log.open(QIODevice::ReadOnly) ? QString(log.readAll()).count("Read Config.") : 0;
    };
    QTRY_COMPARE_WITH_TIMEOUT(settingsReads(), 1, 20000);
    click("butSaveRestart");
    QCOMPARE(texts(answerer.seen()), QStringList{"Data Berhasil disimpan."});
    QCOMPARE(status(&window), Running);
    QTRY_COMPARE_WITH_TIMEOUT(settingsReads(), 2, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(serviceReportsRunning(), 20000);

    click("butStop");
    QCOMPARE(status(&window), Stopped);

    // Uninstalling a running service stops it first, without a confirmation.
    click("butStart");
    QTRY_VERIFY_WITH_TIMEOUT(serviceReportsRunning(), 20000);
    menu(1);
    QVERIFY(answerer.seen().isEmpty());
    QCOMPARE(status(&window), NotInstalled);
    menu(0); // and installs it again
    QCOMPARE(status(&window), Stopped);
}

QTEST_MAIN(TestServiceActions)
#include "tst_serviceactions.moc"
