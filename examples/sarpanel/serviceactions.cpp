// Service status display and the install, uninstall, start and stop actions.
// The refreshed status shows the outcome; a refused or failed action also says why.
#include "maincontrolpanel.h"

#include "confbu.h"
#include "historywatch.h"
#include "messagebox.h"
#include "serviceaccount.h"
#include "servicefailure.h"
#include "ui_maincontrolpanel.h"

#include <QDir>
#include <QFile>

namespace {

// The service runs a whole backup at once when it receives this user command.
constexpr int BackupNowCommand = 1;

// The service program reports only its exit code: the manager's reason, when it has one now.
QtServiceController::Error installFailure(const QtServiceController &controller)
{
    controller.isInstalled();
    QtServiceController::Error error = QtServiceController::lastError();
    if (error.code != ServiceDoesNotExist && error.code != 0)
        return error;
    return {0, QStringLiteral("Program service tidak dapat mendaftarkan service.")};
}

} // namespace

void MainControlPanel::reportServiceFailure(ServiceAction action,
                                            const QtServiceController::Error &error)
{
    showError(serviceFailureText(action, error, m_programDir), this);
}

// The manager's reason is taken before the status query that follows replaces it; the
// window shows the new state before the failure is told.
void MainControlPanel::finishServiceAction(ServiceAction action, bool done)
{
    const QtServiceController::Error error = QtServiceController::lastError();
    refreshServiceStatus();
    if (!done)
        reportServiceFailure(action, error);
}

void MainControlPanel::refreshServiceStatus()
{
    serviceInstalled = serviceController.isInstalled();
    // Not reaching the manager is no answer: the service may well be installed.
    managerDown = !serviceInstalled && QtServiceController::lastError().managerUnreachable();
    serviceRunning = serviceInstalled && serviceController.isRunning();
    if (serviceInstalled && !serviceRunning &&
        QtServiceController::lastError().managerUnreachable())
        managerDown = true; // gone between the two questions
    backupNowAction->setEnabled(serviceRunning);
    updateTrayState();
    updateNotice();
    updateSaveButton();
    ui->lStatus->setToolTip(managerDown ? managerDownText(m_programDir) : QString());
    if (managerDown || !serviceInstalled) {
        ui->butStart->setEnabled(false);
        ui->butStop->setEnabled(false);
        ui->lStatus->setStyleSheet(QStringLiteral("QLabel{background: red;}"));
        ui->lStatus->setText(managerDown ? QStringLiteral("Manager tidak berjalan")
                                         : QStringLiteral("Service : Belum diinstall"));
        return;
    }
    if (serviceRunning) {
        ui->butStart->setEnabled(false);
        ui->butStop->setEnabled(true);
        ui->lStatus->setStyleSheet(QStringLiteral("QLabel{background: green;}"));
        ui->lStatus->setText(QStringLiteral("Service : Aktif"));
    } else {
        ui->butStart->setEnabled(true);
        ui->butStop->setEnabled(false);
        ui->lStatus->setStyleSheet(QStringLiteral("QLabel{background: red;}"));
        ui->lStatus->setText(QStringLiteral("Service : Tidak Aktif"));
    }
}

bool MainControlPanel::mayCancelRunningJobs()
{
    QList<riwayat::Job> jobs;
    QString error;
    // A history that cannot be read now does not hold up a stop.
    if (!serviceController.isRunning() ||
        !XHistoryWatch::runningJobs(programFile(confbu::HistoryFile), &jobs, &error) ||
        jobs.isEmpty())
        return true;
    QStringList names;
    for (const riwayat::Job &job : jobs)
        names << job.dbname;
    names.removeDuplicates();
    // Return alone must not cancel a backup: No is the default.
    return askYes(QStringLiteral("Backup database %1 sedang berjalan dan akan dibatalkan karena "
                                 "service dihentikan.\nLanjutkan?")
                      .arg(names.join(QStringLiteral(", "))),
                  this, QMessageBox::No);
}

void MainControlPanel::askInstallService()
{
    if (serviceController.isInstalled())
        return;
    // Nothing can be installed while the manager is down, and only who may install is
    // asked to; the status and the install menu say the rest.
    if (QtServiceController::lastError().managerUnreachable() || !QtServiceController::mayInstall())
        return;
    const QString text =
        QStringLiteral("Service belum diinstall, apakah akan install service?.\n") +
        QStringLiteral("Pilih Yes untuk Install Service\n") +
        QStringLiteral("Pilih No tidak install Service\n") +
        QStringLiteral("Sistem backup otomatis akan berjalan apabila service "
                       "telah diinstall dan Aktif.");
    if (askYes(text, this, QMessageBox::Yes))
        on_menuInstal_clicked();
}

void MainControlPanel::on_menuInstal_clicked()
{
#ifdef Q_OS_WIN
    const QString path = programFile(QStringLiteral("sarvelad.exe"));
#else
    const QString path = programFile(QStringLiteral("sarvelad"));
#endif
    if (serviceController.isInstalled()) {
        showWarning(QStringLiteral("Service sudah diinstall sebelumnya."), this);
        return;
    }
    // A manager that is down or refuses this user is told before anything runs.
    if (!QtServiceController::mayInstall()) {
        finishServiceAction(ServiceAction::Install, false);
        return;
    }
    if (!QFile::exists(path)) {
        showError(QStringLiteral("Gagal Instal Service.\nFile Service : ") + path +
                      QStringLiteral(", tidak ditemukan. Coba Instal ulang."),
                  this);
        return;
    }
    // On an installed system the service runs as the user made for it, never as root.
    const bool installed = QtServiceController::install(
        path, serviceaccount::ofProgramDir(programDir()), QString());
    const QtServiceController::Error error =
        installed ? QtServiceController::Error() : installFailure(serviceController);
    refreshServiceStatus();
    if (!installed)
        reportServiceFailure(ServiceAction::Install, error);
}

void MainControlPanel::on_menuUninstal_clicked()
{
    if (!serviceController.isInstalled()) {
        if (QtServiceController::lastError().managerUnreachable())
            finishServiceAction(ServiceAction::Uninstall, false);
        else
            showWarning(
                QStringLiteral("Service belum diisntall. Anda tidak dapat melakukan Uninstall."),
                this);
        return;
    }
    if (!mayCancelRunningJobs())
        return;
    // Uninstalled first: a user who may not uninstall must not be left with
    // the service stopped. A running service marked for removal goes once stopped.
    if (!serviceController.uninstall()) {
        finishServiceAction(ServiceAction::Uninstall, false);
        return;
    }
    if (!serviceController.isRunning()) {
        refreshServiceStatus();
        return;
    }
    finishServiceAction(ServiceAction::Stop, serviceController.stop());
}

void MainControlPanel::on_butStart_clicked()
{
    if (!prepareOutputFolder())
        return;
    if (ui->listWidget->count() == 0) {
        showError(QStringLiteral("Pilih database yang akan dibackup."), this);
        ui->butAdd->setFocus();
        return;
    }
    // The service starts with the stored settings; Return alone must not start one that
    // would back up nothing by itself.
    if (settingsRead && !history->schedule().anyTimeOn() &&
        !askYes(QStringLiteral("Tidak ada jam backup yang aktif di pengaturan tersimpan, jadi "
                               "service tidak akan membuat backup terjadwal (hanya Backup "
                               "Sekarang).\nTetap jalankan service?"),
                this, QMessageBox::No))
        return;
    finishServiceAction(ServiceAction::Start, serviceController.start());
}

void MainControlPanel::on_butStop_clicked()
{
    if (!mayCancelRunningJobs())
        return;
    finishServiceAction(ServiceAction::Stop, serviceController.stop());
}

void MainControlPanel::on_backupNow_click()
{
    if (serviceController.sendCommand(BackupNowCommand)) {
        showInfo(QStringLiteral("Permintaan backup sudah dikirim ke service. Hasilnya dapat "
                                "dilihat di Status Backup."),
                 this);
        return;
    }
    QtServiceController::Error error = QtServiceController::lastError();
    refreshServiceStatus();
    if (!serviceRunning && !managerDown) // stopped since the last look: the manager was not asked
        error = {0, QStringLiteral("Service tidak aktif.")};
    reportServiceFailure(ServiceAction::BackupNow, error);
}
