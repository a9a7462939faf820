#include "maincontrolpanel.h"

#include "confbu.h"
#include "errortext.h"
#include "flog.h"
#include "historywatch.h"
#include "messagebox.h"
#include "servicefailure.h"
#include "sharedflag.h"
#include "sharedfiles.h"
#include "showrequests.h"
#include "ui_maincontrolpanel.h"
#include "wrapdelegate.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {

const QString ServiceName = QStringLiteral("Sarvela DB Backup");
const QString InstanceKey = MainControlPanel::instanceKey();
constexpr int ShowRequestPollMs = 6000;
constexpr int TicksPerLookFromTray = 10;
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
    // A bar above the form, shown only while something keeps the panel or the service from
    // working; the form below it keeps its drawn layout.
    notice = new QLabel;
    notice->setObjectName(QStringLiteral("lPemberitahuan"));
    notice->setWordWrap(true);
    notice->setMargin(6);
    notice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    notice->setStyleSheet(QStringLiteral("QLabel{background: #fde2e1; color: #7a1712;}"));
    notice->hide();
    QWidget *form = takeCentralWidget();
    auto *page = new QWidget;
    auto *column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(notice);
    column->addWidget(form);
    setCentralWidget(page);
    XWrapDelegate::wrapItems(ui->listWidget); // names of up to 63 bytes, whole
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setWindowTitle(QStringLiteral("Sarvela Backup Control Panel"));
    setWindowIcon(QIcon(QStringLiteral(":/images/db.png")));
    firstShown = false;
    history = new XHistoryWatch(programFile(confbu::HistoryFile), this);
    connect(history, &XHistoryWatch::changed, this, &MainControlPanel::updateTrayState);
    connect(history, &XHistoryWatch::runFailed, this, &MainControlPanel::tellFailures);
    connect(history, &XHistoryWatch::runCopiesFailed, this,
            &MainControlPanel::tellCopyFailures);
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
    // A running panel that takes the request shows itself at once.
    if (XShowRequests::ask())
        return true;
    auto *flag = new SharedFlag(InstanceKey, this);
    if (flag->create(QStringLiteral("no"))) {
        instanceFlag = flag;
        auto *requests = new XShowRequests(this);
        connect(requests, &XShowRequests::showRequested, this, &MainControlPanel::bringForward);
        if (!requests->listen())
            qWarning("Second starts reach this panel through the shared flag only.");
        return false;
    }
    delete flag;
    QString error;
    if (!writeSharedFlag(InstanceKey, QStringLiteral("yes"), &error))
        showInfo(errortext::inWords(error), nullptr);
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
    QAction *copiesAction = systemMenu->addAction(QStringLiteral("&Salinan Luar Server"));
    QAction *restoreAction = systemMenu->addAction(QStringLiteral("Pulihkan &Database"));
    systemMenu->addSeparator();
    exitAction = systemMenu->addAction(QStringLiteral("&Keluar"));
    connect(installAction, &QAction::triggered, this, &MainControlPanel::on_menuInstal_clicked);
    connect(uninstallAction, &QAction::triggered, this, &MainControlPanel::on_menuUninstal_clicked);
    connect(backupNowAction, &QAction::triggered, this, &MainControlPanel::on_backupNow_click);
    connect(advancedAction, &QAction::triggered, this, &MainControlPanel::on_advanced_click);
    connect(copiesAction, &QAction::triggered, this, &MainControlPanel::on_copies_click);
    connect(restoreAction, &QAction::triggered, this, [this] { openRestore(); });
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
    // Shown again from the tray: the state as it is now, not as last looked at.
    if (firstShown)
        lookAtService();
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

void MainControlPanel::updateNotice()
{
    QStringList lines;
    if (!settingsProblem.isEmpty())
        lines << settingsProblem;
    if (managerDown)
        lines << managerDownText(m_programDir);
    // A long path in it wraps too.
    const QString text = XWrapDelegate::breakable(lines.join(QLatin1Char('\n')));
    if (text == notice->text() && notice->isHidden() == text.isEmpty())
        return;
    notice->setText(text);
    notice->setHidden(text.isEmpty());
    fitWindow();
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
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainControlPanel::on_tray_activated);
    // From the tray the service is looked at only now and then: fresh when the menu opens.
    connect(trayMenu, &QMenu::aboutToShow, this, &MainControlPanel::lookAtService);
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
    // window and in the tray. Each look is a few questions to the manager, each of which
    // wakes the panel: at every tick while the window shows the state, else every few.
    if (isVisible() || ++ticksSinceLook >= TicksPerLookFromTray)
        lookAtService();
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

void MainControlPanel::lookAtService()
{
    ticksSinceLook = 0;
    const bool running = serviceController.isRunning();
    const bool down = !running && QtServiceController::lastError().managerUnreachable();
    if (running != serviceRunning || down != managerDown)
        refreshServiceStatus();
}

// A click shows or hides the window; the double click that a second click makes of it is
// the same gesture, which the first click has already answered.
void MainControlPanel::on_tray_activated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick && lastTrayClick.isValid() &&
        lastTrayClick.elapsed() <= QApplication::doubleClickInterval())
        return;
    if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick)
        return;
    lastTrayClick.start();
    if (isVisible() && !isMinimized())
        putAway();
    else
        bringForward();
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
