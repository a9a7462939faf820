// The service actions against the real stand-in service manager and the real
// sarvelad of an installed program directory; what the panel says when the
// manager refuses a user who lacks the right, or cannot be reached.
#include "backupstatus.h"
#include "panelfixture.h"
#include "svcmgrdaemon.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace panel;

namespace {

// Label text, its colour, and which of Start / Stop / Save can be pressed.
const QString NotInstalled = "Service : Belum diinstall / QLabel{background: red;} / 000";
const QString Stopped = "Service : Tidak Aktif / QLabel{background: red;} / 101";
const QString Running = "Service : Aktif / QLabel{background: green;} / 011";
const QString ManagerDown = "Manager tidak berjalan / QLabel{background: red;} / 001";

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

QString serviceState()
{
    QtServiceController service("Sarvela DB Backup");
    return !service.isInstalled() ? "none" : service.isRunning() ? "running" : "stopped";
}

// Brings the service to "none" (not installed), "stopped" or "running", as root.
bool putService(const QString &state, const QString &serviceProgram)
{
    QtServiceController service("Sarvela DB Backup");
    if (state == "none")
        service.uninstall();
    else if (!service.isInstalled() && !QtServiceController::install(serviceProgram))
        return false;
    state == "running" ? service.start() : service.stop();
    return QTest::qWaitFor(
        [&] { return serviceState() == state && (state != "running" || serviceReportsRunning()); }, 20000);
}

// The panel as a process at start-up, or after steps of the probe ("no" answers the install
// question); what it shows: a box, or status / notice / tray ("%1" the program folder).
// The service's state before and after; manager false: none can be reached; rootOnlySettings:
// confbu.cfg 0600, root's.
struct Start
{
    QString state = {};
    bool asOtherUser = false, manager = true;
    QStringList steps = {};
    QString shows = {};
    bool rootOnlySettings = false;
};

} // namespace

Q_DECLARE_METATYPE(Start)

class TestServiceActions : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void installWithoutServiceProgram();
    void installStartStopUninstall();
    void asProcess_data();
    void asProcess();
    void backupNowAndTray();
    void askBeforeCancellingJob_data();
    void askBeforeCancellingJob();

private:
    // Settings of ours in place of the delivered ones, and no history.
    bool freshFiles(const QString &outputdir, const QStringList &names = {"penjualan"})
    {
        // A backup time that does not come round while the test runs.
        const QString later = QDateTime::currentDateTime().addSecs(6 * 3600).toString(Qt::ISODate);
        const ConfRow row{"localhost", "", "", 5432, outputdir, later, "2000-01-01T13:00:00", 1};
        QFile::remove(m_programDir.file("confbu.cfg"));
        QFile::remove(m_programDir.file("riwayat.db"));
        return createSettings(m_programDir.file("confbu.cfg"), {row}, names);
    }
    ProgramDir m_programDir;
    QTemporaryDir m_output, m_noManager, m_panelTmp{"/tmp/sarpanel-XXXXXX"};
    QScopedPointer<SvcMgrDaemon> m_daemon;
    Isolation m_isolation;
};

void TestServiceActions::initTestCase()
{
    QString error;
    QVERIFY2(m_programDir.install(&error), qPrintable(error));
    QVERIFY2(m_programDir.useFakePgDump(&error), qPrintable(error));
    // The same fake reads its own dumps back as pg_restore.
    const QString restore = m_programDir.file("dbutils/pg_restore");
    QVERIFY(QFile::remove(restore) && QFile::copy(m_programDir.file("dbutils/pg_dump"), restore));
    // Another user runs the panel from it, and reaches the daemon in the
    // private temporary folder.
    // The panel's own temporary folder is open to it (the test's own is private).
    QVERIFY(QFile::setPermissions(m_panelTmp.path(), QFileDevice::Permissions(0x7777)));
    for (const QString &dir : {m_programDir.path(), m_isolation.path()})
        QVERIFY(QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ExeOther | QFile::ReadOther));
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
    QCOMPARE(answerer.seen().value(1).icon, QMessageBox::Critical);
    QCOMPARE(texts(answerer.seen()).value(1), "Gagal Instal Service.\nFile Service : " + bare.path() +
                                                  "/sarvelad, tidak ditemukan. Coba Instal ulang.");
    QCOMPARE(status(&window), NotInstalled);
}

void TestServiceActions::installStartStopUninstall()
{
    const QString output = m_output.filePath("dumps");
    QVERIFY(freshFiles(output, {}));
    ModalAnswerer answerer;
    answerer.answerNext(QMessageBox::Yes); // install at the start-up question
    PanelWindow window(m_programDir.path());
    window.show();
    QCOMPARE(status(&window), Stopped);
    // Presses a button or a menu entry; then the status and the boxes it brought.
    auto act = [&](const QString &what) {
        answerer.clear();
        what.startsWith("&") ? menuAction(&window, what)->trigger()
                             : widget<QPushButton>(&window, what)->click();
        return status(&window) + " " + texts(answerer.seen()).join('|');
    };
    widget<QLineEdit>(&window, "tLokasi")->setText(output);
    window.addBackupDatabase("penjualan");
    QCOMPARE(act("butStart"), Running + " ");
    QVERIFY(QDir(output).exists());
    QTRY_VERIFY_WITH_TIMEOUT(serviceReportsRunning(), 20000);

    // Saving while it runs restarts it, so that it reads the saved settings again.
    auto settingsReads = [&] { return readText(m_programDir.file("busys.log")).count("Read Config."); };
    QTRY_COMPARE_WITH_TIMEOUT(settingsReads(), 1, 20000);
    QCOMPARE(act("butSaveRestart"), Running + " Data Berhasil disimpan.");
    QTRY_COMPARE_WITH_TIMEOUT(settingsReads(), 2, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(serviceReportsRunning(), 20000);
    QCOMPARE(act("butStop"), Stopped + " ");

    // Uninstalling a running service stops it first, without a confirmation; then installed again.
    QCOMPARE(act("butStart"), Running + " ");
    QTRY_VERIFY_WITH_TIMEOUT(serviceReportsRunning(), 20000);
    QCOMPARE(act("&Uninstall Service"), NotInstalled + " ");
    QCOMPARE(act("&Install Service"), Stopped + " ");

    // The window follows the manager going away and coming back, with the bar that says so.
    auto *notice = widget<QLabel>(&window, "lPemberitahuan");
    answerer.clear();
    m_daemon->stop();
    QTRY_COMPARE_WITH_TIMEOUT(status(&window), ManagerDown, 15000);
    QVERIFY(notice->isVisible());
    QString error;
    QVERIFY2(m_daemon->start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(status(&window) != ManagerDown, 15000);
    QVERIFY(!notice->isVisible() && answerer.seen().isEmpty());
}

void TestServiceActions::asProcess_data()
{
    QTest::addColumn<Start>("start");
    auto row = [](const char *tag, const QString &state, bool asOtherUser, bool manager,
                  const QStringList &steps, const QString &shows, bool rootOnly = false) {
        QTest::newRow(tag) << Start{state, asOtherUser, manager, steps, shows, rootOnly};
    };
    const QString tip = " / Sarvela Backup Database|", box = "box: ", state = "state: ";
    const QString root = " Jalankan Sarvela Backup Control Panel sebagai root (sudo)";
    const QString admin = root + " atau sebagai anggota grup admin Sarvela.";
    const QString noManager = "Service manager tidak berjalan", no = box + "Anda tidak memiliki hak untuk ";
    const QString rights = " Minta root memperbaiki haknya." + tip;
    const QString startIt = "Jalankan sebagai root: systemctl start svcmgrd (tanpa systemd: %1/svcmgrd).";
    row("manager not running: said with how to start it, nothing asked", "running", false, false, {"state"},
        state + "Manager tidak berjalan / " + noManager + ". " + startIt + tip + noManager + ".");
    row("not installed: root is asked", "none", false, true, {"no", "state"},
        state + "Service : Belum diinstall / " + tip + "Service belum diinstall.");
    row("not installed: a user who may not install is not asked", "none", true, true, {"state"},
        state +
            "Service : Belum diinstall / Pengaturan hanya dapat dibaca: Anda tidak berhak mengubah "
            "%1/confbu.cfg (root:root 0644)." +
            rights + "Service belum diinstall.");
    row("settings only root may read: said, with the file's rights", "stopped", true, true, {"state"},
        state +
            "Service : Tidak Aktif / Pengaturan tidak dapat dibaca: Anda tidak berhak membaca "
            "%1/confbu.cfg (root:root 0600)." +
            rights + "Pengaturan (confbu.cfg) tidak dapat dibaca.",
        true);
    row("install refused to another user", "none", true, true, {"menu:&Install Service"},
        no + "menginstall service." + root + ".");
    row("start refused to another user", "stopped", true, true, {"click:butStart"},
        no + "menjalankan service." + admin);
    row("stop refused to another user", "running", true, true, {"click:butStop"},
        no + "menghentikan service." + admin);
    row("install without a service manager", "none", false, false, {"menu:&Install Service"},
        box + "Gagal Instal Service.\nPesan Error : " + noManager + " (The RPC server is unavailable.)\n" +
            startIt);
}

// The panel as a process of its own at start-up and refused or failed actions.
void TestServiceActions::asProcess()
{
    QFETCH(Start, start);
    if (start.asOtherUser && ::geteuid() != 0)
        QSKIP("running the panel as another user needs root");
    QVERIFY(putService(start.state, m_programDir.file("sarvelad")));
    QVERIFY(freshFiles(QDir::tempPath())); // there, and not to be made
    QVERIFY(!start.rootOnlySettings ||
            QFile::setPermissions(m_programDir.file("confbu.cfg"), QFile::ReadOwner | QFile::WriteOwner));
    // The panel as a process of its own (as another user when asked), so that the manager
    // judges it by its own credentials.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", m_panelTmp.path());
    if (!start.manager)
        env.insert("SVCMGR_DIR", m_noManager.path());
    const QStringList user{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    Probe run((start.asOtherUser ? user : QStringList()) +
                  QStringList{buildBinDir() + "/panelprobe", m_programDir.path()} + start.steps,
              env);
    const QString kind = start.shows.section(": ", 0, 0) + ": ";
    const QString shows = start.shows.mid(kind.size()).replace("%1", m_programDir.path());
    QVERIFY2(run.shows(shows, true, kind.toUtf8()), run.said().constData());
    QCOMPARE(run.out.contains("box: Service belum diinstall"), start.steps.contains("no"));
    QVERIFY(run.terminate());
    QCOMPARE(serviceState(), start.state);
}

// Backup now is offered while the service runs; the tray follows the service and the
// backups, also when the service stops without the panel.
void TestServiceActions::backupNowAndTray()
{
    QVERIFY(putService("stopped", m_programDir.file("sarvelad")));
    QVERIFY(freshFiles(m_output.path()));
    addJob(m_programDir.file("riwayat.db"), {"penjualan", 1});
    ModalAnswerer answerer;
    PanelWindow window(m_programDir.path());
    window.show();
    QAction *backupNow = menuAction(&window, "&Backup Sekarang");
    auto *tray = window.findChild<QSystemTrayIcon *>();
    QList<QImage> icons{tray->icon().pixmap(32).toImage()};
    // The tray's tip says TEXT, and " +" when Backup Sekarang is offered.
    auto tip = [&](const QString &text) {
        const QString shown = tray->toolTip() + (backupNow->isEnabled() ? " +" : "");
        const QImage icon = tray->icon().pixmap(32).toImage();
        if (shown == "Sarvela Backup Database\n" + text && !icons.contains(icon))
            icons << icon;
        return shown == "Sarvela Backup Database\n" + text;
    };
    QVERIFY(tip("Service tidak aktif."));
    widget<QPushButton>(&window, "butStart")->click();
    QVERIFY(tip("Semua backup baik. +"));
    QTRY_VERIFY_WITH_TIMEOUT(serviceReportsRunning(), 20000);
    backupNow->trigger();
    QCOMPARE(texts(answerer.seen()), QStringList{"Permintaan backup sudah dikirim ke service. "
                                                 "Hasilnya dapat dilihat di Status Backup."});
    // The service ran a backup for it: the history holds a second good job.
    const QString good = "select count(*) from riwayat where hasil = 'OK'";
    QTRY_VERIFY2_WITH_TIMEOUT(sql(m_programDir.file("riwayat.db"), good) == QList<QVariantList>{{2}},
                              readBytes(m_programDir.file("busys.log")).constData(), 20000);

    addJob(m_programDir.file("riwayat.db"), {"penjualan", 0, "GAGAL", "kode 1"});
    QTRY_VERIFY(tip("Backup perlu diperiksa: penjualan. +"));
    // Running with no backup time on is worse, and said first.
    widget<QCheckBox>(&window, "cbJam1")->setChecked(false);
    answerer.clear();
    widget<QPushButton>(&window, "butSaveRestart")->click();
    QCOMPARE(texts(answerer.seen()), QStringList{"Data Berhasil disimpan."});
    QTRY_VERIFY(tip(backupstatus::NothingScheduled + QString(" +")));
    QTRY_VERIFY_WITH_TIMEOUT(serviceReportsRunning(), 20000); // restarted, and may be stopped
    QtServiceController("Sarvela DB Backup").stop();          // by another tool
    QTRY_VERIFY_WITH_TIMEOUT(tip("Service tidak aktif."), 15000);
    QCOMPARE(icons.size(), 3); // one for each kind of state

    // Start asks before it starts a service that will back up nothing by itself.
    answerer.clear();
    answerer.answerNext(QMessageBox::No);
    widget<QPushButton>(&window, "butStart")->click();
    QCOMPARE(texts(answerer.seen()).join('|'),
             "Tidak ada jam backup yang aktif di pengaturan tersimpan, jadi service tidak akan "
             "membuat backup terjadwal (hanya Backup Sekarang).\nTetap jalankan service?");
    QCOMPARE(answerer.seen().value(0).defaultButton, QMessageBox::No);
    QCOMPARE(serviceState(), "stopped");

    // Running with nothing listed is no good state either.
    QVERIFY(QtServiceController("Sarvela DB Backup").start());
    widget<QListWidget>(&window, "listWidget")->setCurrentRow(0);
    answerer.answerNext(QMessageBox::Yes);
    widget<QPushButton>(&window, "butDel")->click();
    QTRY_VERIFY_WITH_TIMEOUT(tip("Belum ada database di daftar backup. +"), 15000);
}

void TestServiceActions::askBeforeCancellingJob_data()
{
    columns<QString, bool, QString>({"button", "yes", "after"});
    row("stop, No: the backup goes on", "butStop", false, "running");
    row("stop, Yes: stopped", "butStop", true, "stopped");
    row("save and restart, No: nothing saved, the backup goes on", "butSaveRestart", false, "running");
}

void TestServiceActions::askBeforeCancellingJob()
{
    QFETCH(QString, button);
    QFETCH(bool, yes);
    QVERIFY(putService("stopped", m_programDir.file("sarvelad")));
    // A worker of ours holds the run lock, so the service leaves the running job alone.
    const int lock = ::open(QFile::encodeName(m_programDir.file("sarvelad.lock")).constData(),
                            O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    const auto unlock = qScopeGuard([lock] { ::close(lock); });
    QVERIFY(lock >= 0 && ::flock(lock, LOCK_EX) == 0);
    QVERIFY(freshFiles(m_output.path()));
    addJob(m_programDir.file("riwayat.db"), {"penjualan", 0, "BERJALAN"});
    QVERIFY(putService("running", m_programDir.file("sarvelad")));
    const QList<QVariantList> stored = sql(m_programDir.file("confbu.cfg"), "select * from confdb");

    ModalAnswerer answerer;
    PanelWindow window(m_programDir.path());
    window.show();
    widget<QLineEdit>(&window, "tServer")->setText("lain");
    answerer.answerNext(yes ? QMessageBox::Yes : QMessageBox::No);
    widget<QPushButton>(&window, button)->click();
    QCOMPARE(answerer.seen().value(0).defaultButton, QMessageBox::No);
    QCOMPARE(texts(answerer.seen()).join('|').section('|', 0, yes ? 0 : -1),
             "Backup database penjualan sedang berjalan dan akan dibatalkan karena service "
             "dihentikan.\nLanjutkan?");
    QTEST(serviceState(), "after");
    QVERIFY(yes || sql(m_programDir.file("confbu.cfg"), "select * from confdb") == stored);
}

QTEST_MAIN(TestServiceActions)
#include "tst_serviceactions.moc"
