// Service status display and the install, uninstall, start and stop actions.
// The controller's results are not shown; the refreshed status is the feedback.
#include "maincontrolpanel.h"

#include "messagebox.h"
#include "ui_maincontrolpanel.h"

#include <QDir>
#include <QFile>

void MainControlPanel::refreshServiceStatus()
{
    if (!serviceController.isInstalled()) {
        ui->butStart->setEnabled(false);
        ui->butStop->setEnabled(false);
        ui->butSaveRestart->setEnabled(false);
        ui->lStatus->setStyleSheet(QStringLiteral("QLabel{background: red;}"));
        ui->lStatus->setText(QStringLiteral("Service : Belum diinstall"));
        return;
    }
    ui->butSaveRestart->setEnabled(true);
    if (serviceController.isRunning()) {
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

void MainControlPanel::askInstallService()
{
    if (serviceController.isInstalled())
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
    if (!QFile::exists(path)) {
        showError(QStringLiteral("Gagal Instal Service.\nFile Service : ") + path +
                      QStringLiteral(", tidak ditemukan. Coba Instal ulang."),
                  this);
        return;
    }
    QtServiceController::install(path, QString(), QString());
    refreshServiceStatus();
}

void MainControlPanel::on_menuUninstal_clicked()
{
    if (!serviceController.isInstalled()) {
        showWarning(
            QStringLiteral("Service belum diisntall. Anda tidak dapat melakukan Uninstall."), this);
        return;
    }
    if (serviceController.isRunning())
        serviceController.stop();
    serviceController.uninstall();
    refreshServiceStatus();
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
    serviceController.start();
    refreshServiceStatus();
}

void MainControlPanel::on_butStop_clicked()
{
    serviceController.stop();
    refreshServiceStatus();
}
