#include "maincontrolpanel.h"

#include "confbu.h"
#include "flog.h"
#include "historywatch.h"
#include "messagebox.h"
#include "sharedflag.h"
#include "sharedfiles.h"
#include "ui_maincontrolpanel.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {

const QString ServiceName = QStringLiteral("Sarvela DB Backup");
const QString InstanceKey = MainControlPanel::instanceKey();
constexpr int ShowRequestPollMs = 6000;
constexpr int BalloonMs = 10000;

} // namespace

// One panel per user, as a named segment is per session on Windows: in a shared /tmp, one
// user's segment (live, or left by a panel that was killed) would keep every other user's
// panel from starting.
QString MainControlPanel::instanceKey()
{
#ifdef Q_OS_WIN
    return QStringLiteral("s-ravo");
#else
    return QStringLiteral("s-ravo-%1").arg(::getuid());
#endif
}

// Outside any namespace: the resource initialiser is a global function.
static void loadResources()
{
    // The icons live in a static library; this keeps the linker from dropping them.
    Q_INIT_RESOURCE(sarpanel);
}

MainControlPanel::MainControlPanel(QWidget *parent, const QString &programDir)
    : QMainWindow(parent), ui(new Ui::MainControlPanel), serviceController(ServiceName),
      m_programDir(programDir.isEmpty() ? QCoreApplication::applicationDirPath() : programDir)
{
    loadResources();
    // Nothing planted beside the settings or the history may hold the panel in open().
    sharedfiles::guardOpens();
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setWindowTitle(QStringLiteral("Sarvela Backup Control Panel"));
    setWindowIcon(QIcon(QStringLiteral(":/images/db.png")));
    firstShown = false;
    history = new XHistoryWatch(programFile(confbu::HistoryFile), this);
    connect(history, &XHistoryWatch::changed, this, &MainControlPanel::updateTrayState);
    connect(history, &XHistoryWatch::newFailures, this, &MainControlPanel::tellFailures);
    createMenus();
    // Fixed at 532 x 491, or as much more as the desktop's font needs.
    fitToFont();
}

MainControlPanel::~MainControlPanel()
{
    delete trayMenu; // the tray's menu has no parent
    // Let the next window of this process register its own connection cleanly.
    const QString connection = settingsDb.connectionName();
    settingsDb = QSqlDatabase();
    if (!connection.isEmpty())
        QSqlDatabase::removeDatabase(connection);
}

QString MainControlPanel::programFile(const QString &name) const
{
    return confbu::joinPath(m_programDir, name);
}

bool MainControlPanel::isAlreadyRunning()
{
    auto *flag = new SharedFlag(InstanceKey, this);
    if (flag->create(QStringLiteral("no"))) {
        instanceFlag = flag;
        return false;
    }
    delete flag;
    QString error;
    if (!writeSharedFlag(InstanceKey, QStringLiteral("yes"), &error))
        showInfo(error, nullptr);
    return true;
}

void MainControlPanel::createMenus()
{
    systemMenu = new QMenu(QStringLiteral("&Sistem"), this);
    installAction = systemMenu->addAction(QStringLiteral("&Install Service"));
    uninstallAction = systemMenu->addAction(QStringLiteral("&Uninstall Service"));
    systemMenu->addSeparator();
    backupNowAction = systemMenu->addAction(QStringLiteral("&Backup Sekarang"));
    backupNowAction->setEnabled(false); // while the service runs
    QAction *advancedAction = systemMenu->addAction(QStringLiteral("&Pengaturan Lanjutan"));
    systemMenu->addSeparator();
    exitAction = systemMenu->addAction(QStringLiteral("&Keluar"));
    connect(installAction, &QAction::triggered, this, &MainControlPanel::on_menuInstal_clicked);
    connect(uninstallAction, &QAction::triggered, this, &MainControlPanel::on_menuUninstal_clicked);
    connect(backupNowAction, &QAction::triggered, this, &MainControlPanel::on_backupNow_click);
    connect(advancedAction, &QAction::triggered, this, &MainControlPanel::on_advanced_click);
    connect(exitAction, &QAction::triggered, this, &MainControlPanel::on_exit_app);

    infoMenu = new QMenu(QStringLiteral("&Informasi"), this);
    statusAction = infoMenu->addAction(QStringLiteral("Status &Backup"));
    QAction *logAction = infoMenu->addAction(QStringLiteral("&Log Sistem"));
    QAction *aboutAction = infoMenu->addAction(QStringLiteral("Tentang &Sistem"));
    connect(statusAction, &QAction::triggered, this, &MainControlPanel::on_status_click);
    connect(logAction, &QAction::triggered, this, &MainControlPanel::on_log_click);
    connect(aboutAction, &QAction::triggered, this, &MainControlPanel::on_app_about_click);

    ui->menuBar->addMenu(systemMenu);
    ui->menuBar->addMenu(infoMenu);
}

void MainControlPanel::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    startUp();
}

void MainControlPanel::startUp()
{
    if (firstShown)
        return;
    firstShown = true;
    askInstallService();
    setFormDefaults();
    loadSettings();
    history->start();
    createTrayIcon();
    createTimer();
}

void MainControlPanel::closeEvent(QCloseEvent *event)
{
    // The panel keeps running; only "Keluar" ends it.
    event->ignore();
    putAway();
}

bool MainControlPanel::systemTrayAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void MainControlPanel::putAway()
{
    if (systemTrayAvailable()) {
        hide();
        return;
    }
    // A hidden window could only come back through a second start.
    if (!noTrayTold) {
        noTrayTold = true;
        showInfo(QStringLiteral("Desktop ini tidak memiliki system tray, jadi jendela hanya "
                                "diperkecil (minimize) dan program tetap berjalan. Untuk menutup "
                                "program pilih menu Sistem > Keluar."),
                 this);
    }
    showMinimized();
}

// Once per run, as soon as there is a tray to show it in.
void MainControlPanel::showBalloonOnce()
{
    if (balloonShown || !trayIcon || !systemTrayAvailable())
        return;
    balloonShown = true;
    showBalloon(QStringLiteral("Sarvela Auto Backup"),
                QStringLiteral("Program Auto Backup database Sarvela PosgreSQL."),
                QSystemTrayIcon::Information);
}

void MainControlPanel::showBalloon(const QString &title, const QString &text,
                                   QSystemTrayIcon::MessageIcon icon)
{
    if (trayIcon && systemTrayAvailable())
        trayIcon->showMessage(title, text, icon, BalloonMs);
}

void MainControlPanel::createTrayIcon()
{
    const QIcon icon(QStringLiteral(":/images/db.png"));
    trayIcon = new QSystemTrayIcon(icon, this);
    trayIcon->setToolTip(QStringLiteral("Sarvela Backup Database"));
    auto *quitAction = new QAction(QStringLiteral("Keluar"), trayIcon);
    auto *showAction = new QAction(QStringLiteral("Tampilkan Window"), trayIcon);
    connect(quitAction, &QAction::triggered, this, &MainControlPanel::on_exit_app);
    connect(showAction, &QAction::triggered, this, &MainControlPanel::on_show_try_icon);
    trayMenu = new QMenu;
    trayMenu->addAction(showAction);
    trayMenu->addAction(statusAction);
    trayMenu->addAction(backupNowAction);
    trayMenu->addAction(quitAction);
    trayIcon->setContextMenu(trayMenu);
    updateTrayState();
    // Shown also without a tray: the icon appears when one does.
    trayIcon->show();
    showBalloonOnce();
}

void MainControlPanel::createTimer()
{
    timer = new QTimer(this);
    timer->setInterval(ShowRequestPollMs);
    connect(timer, &QTimer::timeout, this, &MainControlPanel::on_timer_tick);
    timer->start();
}

void MainControlPanel::on_timer_tick()
{
    showBalloonOnce();
    // A service that stopped or crashed on its own, or was started elsewhere, shows in the
    // window and in the tray. One question to the manager, the least a tick can ask.
    if (serviceController.isRunning() != serviceRunning)
        refreshServiceStatus();
    // A tray that went away must not leave the window out of reach.
    if (!isVisible() && !systemTrayAvailable())
        showMinimized();
    if (!instanceFlag)
        return;
    // Read through the segment this panel holds: a lost key file must not
    // bring up a box every few seconds, also while the window is hidden.
    QString error;
    if (!instanceFlag->keepReachable(&error) && !instanceFlagLost) {
        instanceFlagLost = true; // said once; tried again at every tick
        qWarning("The single-instance segment cannot be made again: %s", qUtf8Printable(error));
    }
    if (instanceFlag->read() == QLatin1String("yes")) {
        bringForward();
        instanceFlag->write(QStringLiteral("no"));
    }
}

void MainControlPanel::bringForward()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void MainControlPanel::on_show_try_icon()
{
    bringForward();
}

void MainControlPanel::on_butTutup_clicked()
{
    putAway();
}

void MainControlPanel::on_exit_app()
{
    hide(); // all that closing would do, without the tray's questions
    QCoreApplication::exit(0);
}

void MainControlPanel::on_app_about_click()
{
    const QString text = QStringLiteral("Sarvela Auto Backup\n") + QStringLiteral("Versi : ") +
                         QCoreApplication::applicationVersion() + QLatin1Char('\n') +
                         QStringLiteral("Dibuat oleh : Tim Pengembang Sarvela\n") +
                         QStringLiteral("Dibangun dengan C++ dan Qt 5\n") +
                         QStringLiteral("Lisensi : bebas dipakai dan disebarkan tanpa biaya");
    showInfo(text, this);
}

void MainControlPanel::on_butHelp_clicked()
{
#ifdef Q_OS_WIN
    const QString path = programFile(QStringLiteral("bantuan.chm"));
#else
    // Few Linux desktops open compiled help; any browser shows the HTML copy, which
    // says the same.
    QString path = programFile(QStringLiteral("bantuan.html"));
    if (!QFile::exists(path))
        path = programFile(QStringLiteral("bantuan.chm"));
#endif
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void MainControlPanel::on_log_click()
{
    flog dialog(this, m_programDir);
    dialog.exec();
}
