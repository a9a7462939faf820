// The control panel's main window: settings form, backup database list,
// service status and actions, tray icon and the single-instance show request.
#pragma once

#include "qtservice.h"
#include "riwayat.h"
#include "salinan.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QScopedPointer>
#include <QSqlDatabase>
#include <QSystemTrayIcon>

enum class ServiceAction;
class QAction;
class QLabel;
class QMenu;
class FPulihkan;
class FStatusBackup;
class SharedFlag;
class QTimer;
class XHistoryWatch;

namespace Ui {
class MainControlPanel;
}

class MainControlPanel : public QMainWindow
{
    Q_OBJECT
public:
    // programDir is where confbu.cfg, busys.log and sarvelad are looked for;
    // empty means the program's own folder.
    explicit MainControlPanel(QWidget *parent = nullptr, const QString &programDir = QString());
    ~MainControlPanel() override;

    // True when another panel already runs on this desktop; it is then asked
    // to show its window.
    bool isAlreadyRunning();
    // The name of the single-instance segment: "s-ravo", per user where the folder that
    // names segments is shared by all users.
    static QString instanceKey();

    QString programDir() const { return m_programDir; }

    // Settings form
    void setFormDefaults();
    bool loadSettings();
    // Backup database list
    void addBackupDatabase(const QString &name);
    // Service actions
    void refreshServiceStatus();
    void askInstallService();

    // The first start's work (install question, settings, tray icon, show-request
    // timer), done once: by the first show, or by a start that stays in the tray.
    void startUp();

    // "Pulihkan Database", with this database chosen (none: the first); a restore that runs
    // keeps its window as it is.
    void openRestore(const QString &db = QString());

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    // Asked at every close: a tray may come or go while the panel runs.
    virtual bool systemTrayAvailable() const;
    // A tray balloon, where there is a tray to show it in.
    virtual void showBalloon(const QString &title, const QString &text,
                             QSystemTrayIcon::MessageIcon icon);

private slots:
    void on_cbJam1_stateChanged(int arg1);
    void on_cbJam2_stateChanged(int arg1);
    void on_butAdd_clicked();
    void on_butSelectFolder_clicked();
    void on_butTutup_clicked();
    void on_butDel_clicked();
    void on_butSaveRestart_clicked();
    void on_butStart_clicked();
    void on_butStop_clicked();
    void on_butHelp_clicked();

private:
    // Connected explicitly to menu, tray and timer signals; kept out of the
    // slot table so that connecting by name does not look for them.
    void on_show_try_icon();
    void on_menuInstal_clicked();
    void on_menuUninstal_clicked();
    void on_exit_app();
    void on_log_click();
    void on_app_about_click();
    void on_timer_tick();
    void on_tray_activated(QSystemTrayIcon::ActivationReason reason);
    void on_status_click();
    void on_backupNow_click();
    void on_advanced_click();
    void on_copies_click();
    // Sends the service a user command: an empty text, or why it could not.
    QString sendCommand(int command);
    // Shows the window in front, also when it was minimised.
    void bringForward();
    // Asks the manager whether the service runs, and shows it when that changed.
    void lookAtService();

    void reportServiceFailure(ServiceAction action, const QtServiceController::Error &error);
    // After a start, stop or uninstall that returned done: the state, then why it failed.
    void finishServiceAction(ServiceAction action, bool done);
    // True unless a stop of the running service would cancel a job and the answer was not Yes.
    bool mayCancelRunningJobs();
    // The tray's icon and tool tip: settings, service and backups, the worst first.
    void updateTrayState();
    // The bar above the form: what keeps the panel or the service from working, and what to do.
    void updateNotice();
    // Save needs settings that were read and may be written, and a service to restart.
    void updateSaveButton();
    // The window's fixed size: the form's, and the notice bar's when it shows.
    void fitWindow();
    // Why the settings file, once read, cannot be saved over; empty when it can.
    QString settingsWriteProblem(const QString &path) const;
    // One balloon for a run that ended with failures: how many, and the first few.
    void tellFailures(const QList<riwayat::Job> &failed, int jobs);
    // One balloon for the copies off this machine that failed in a run.
    void tellCopyFailures(const QList<salinan::Copy> &failed);
    QStringList listedDatabases() const;
    // Hides the window to the tray, or minimises it where there is none.
    void putAway();
    void showBalloonOnce();
    void fitToFont();
    void createMenus();
    void createTrayIcon();
    void createTimer();
    void loadBackupList();
    void applyCheckBoxRule();
    bool prepareOutputFolder();
    void giveToService(const QString &folder) const;
    QString settingsRefusal(const QString &path) const;
    QString programFile(const QString &name) const;

    bool firstShown = false;
    QMenu *systemMenu = nullptr;
    QMenu *infoMenu = nullptr;
    QAction *installAction = nullptr;
    QAction *uninstallAction = nullptr;
    QAction *exitAction = nullptr;
    QAction *backupNowAction = nullptr; // in the tray's menu too
    QAction *statusAction = nullptr;    // in the tray's menu too
    const QScopedPointer<Ui::MainControlPanel> ui;
    QSqlDatabase settingsDb;
    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    QString dbUser;
    QString dbPassword;
    int dbPort = 0;
    QtServiceController serviceController;
    QTimer *timer = nullptr;
    int ticksSinceLook = 0;
    XHistoryWatch *history;
    FStatusBackup *statusWindow = nullptr;
    QPointer<FPulihkan> restoreWindow; // gone once closed: reopened, it reads afresh
    bool settingsRead = false;
    QString settingsProblem; // why the settings cannot be read or saved; empty when they can
    bool serviceInstalled = false;
    bool serviceRunning = false;
    bool managerDown = false; // the manager cannot be reached: nothing is known of the service
    QLabel *notice = nullptr;
    QSize formSize;
    QElapsedTimer lastTrayClick;
    SharedFlag *instanceFlag = nullptr; // held by the first panel only
    bool noTrayTold = false;
    bool balloonShown = false;
    bool instanceFlagLost = false;
    QString m_programDir;
};
