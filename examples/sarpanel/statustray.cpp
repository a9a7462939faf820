// What the panel tells about the backups without being asked: the tray's icon and tool
// tip, a balloon for each run that ends with failures while it runs, and the status window.
#include "maincontrolpanel.h"

#include "fstatusbackup.h"
#include "historywatch.h"
#include "ui_maincontrolpanel.h"

namespace {

// A tool tip names this many databases at most.
constexpr int NamesShown = 3;

QString someNames(const QStringList &names)
{
    QString text = names.mid(0, NamesShown).join(QStringLiteral(", "));
    if (names.size() > NamesShown)
        text += QStringLiteral(" dan %1 lainnya").arg(names.size() - NamesShown);
    return text;
}

} // namespace

QStringList MainControlPanel::listedDatabases() const
{
    QStringList names;
    for (int i = 0; i < ui->listWidget->count(); ++i)
        names << ui->listWidget->item(i)->text();
    return names;
}

void MainControlPanel::updateTrayState()
{
    if (!trayIcon)
        return;
    QString icon, text;
    QStringList attention;
    for (const backupstatus::Row &row : history->rows())
        if (row.needsAttention())
            attention << row.dbname;
    if (!settingsRead) {
        icon = QStringLiteral("tray-rusak");
        text = QStringLiteral("Pengaturan (confbu.cfg) tidak dapat dibaca.");
    } else if (managerDown) {
        icon = QStringLiteral("tray-mati");
        text = QStringLiteral("Service manager tidak berjalan.");
    } else if (!serviceRunning) {
        icon = QStringLiteral("tray-mati");
        text = serviceInstalled ? QStringLiteral("Service tidak aktif.")
                                : QStringLiteral("Service belum diinstall.");
    } else if (history->rows().isEmpty()) { // running, and backing up nothing
        icon = QStringLiteral("tray-gagal");
        text = QStringLiteral("Belum ada database di daftar backup.");
    } else if (!history->schedule().anyTimeOn()) { // running, and waiting for nothing
        icon = QStringLiteral("tray-gagal");
        text = backupstatus::NothingScheduled;
    } else if (!attention.isEmpty()) {
        icon = QStringLiteral("tray-gagal");
        text = QStringLiteral("Backup perlu diperiksa: ") + someNames(attention) + QLatin1Char('.');
    } else {
        icon = QStringLiteral("tray-baik");
        text = QStringLiteral("Semua backup baik.");
    }
    trayIcon->setIcon(QIcon(QStringLiteral(":/images/") + icon + QStringLiteral(".png")));
    trayIcon->setToolTip(QStringLiteral("Sarvela Backup Database\n") + text);
}

void MainControlPanel::tellFailures(const QList<riwayat::Job> &failed, int jobs)
{
    QStringList lines{QStringLiteral("%1 dari %2 backup gagal.").arg(failed.size()).arg(jobs)};
    for (const riwayat::Job &job : failed.mid(0, NamesShown))
        lines << QStringLiteral("Backup database ") + job.dbname + QLatin1Char(' ') +
                     job.hasil.toLower() +
                     (job.alasan.isEmpty() ? QString() : QStringLiteral(": ") + job.alasan);
    if (failed.size() > NamesShown)
        lines << QStringLiteral("Dan %1 lainnya; lihat Status Backup.")
                     .arg(failed.size() - NamesShown);
    showBalloon(QStringLiteral("Backup gagal"), lines.join(QLatin1Char('\n')),
                QSystemTrayIcon::Critical);
}

void MainControlPanel::on_status_click()
{
    if (!statusWindow)
        statusWindow = new FStatusBackup(history, this);
    statusWindow->show();
    statusWindow->raise();
    statusWindow->activateWindow();
}
