// What the panel tells about the backups without being asked: the tray's icon and tool
// tip, a balloon for each run that ends with failures while it runs, and the status window.
#include "maincontrolpanel.h"

#include "confbu.h"
#include "fpulihkan.h"
#include "fstatusbackup.h"
#include "historywatch.h"
#include "pemulihan.h"
#include "permintaan.h"
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
    // Failed jobs are counted against the run's; dumps that wait to be checked and failed
    // drills are named after them.
    int jobFailures = 0;
    bool failure = false;
    QStringList named;
    for (const riwayat::Job &job : failed) {
        const bool drill = job.hasil.startsWith(XHistoryWatch::UjiPulih);
        const QString hasil = drill ? job.hasil.mid(XHistoryWatch::UjiPulih.size()) : job.hasil;
        jobFailures += backupstatus::isFailure(job.hasil) ? 1 : 0;
        failure = failure || hasil != XHistoryWatch::PerluDiperiksa;
        const QString what = drill         ? QStringLiteral("Uji pulih database ")
                             : job.globals ? QStringLiteral("Backup globals")
                                           : QStringLiteral("Backup database ");
        named << what + job.dbname + QLatin1Char(' ') + hasil.toLower() +
                     (job.alasan.isEmpty() ? QString() : QStringLiteral(": ") + job.alasan);
    }
    QStringList lines;
    if (jobFailures > 0)
        lines << QStringLiteral("%1 dari %2 backup gagal.").arg(jobFailures).arg(jobs);
    lines += named.mid(0, NamesShown);
    if (named.size() > NamesShown)
        lines << QStringLiteral("Dan %1 lainnya; lihat Status Backup.")
                     .arg(named.size() - NamesShown);
    showBalloon(failure ? QStringLiteral("Backup gagal") : QStringLiteral("Backup perlu diperiksa"),
                lines.join(QLatin1Char('\n')),
                failure ? QSystemTrayIcon::Critical : QSystemTrayIcon::Warning);
}

void MainControlPanel::tellCopyFailures(const QList<salinan::Copy> &failed)
{
    QStringList lines;
    for (const salinan::Copy &copy : failed.mid(0, NamesShown))
        lines << QStringLiteral("Salinan database ") + copy.dbname + QStringLiteral(" ke ") +
                     copy.tujuan.section(QLatin1Char('/'), 0, -2) + QStringLiteral(" gagal") +
                     (copy.alasan.isEmpty() ? QString() : QStringLiteral(": ") + copy.alasan);
    if (failed.size() > NamesShown)
        lines << QStringLiteral("Dan %1 lainnya; lihat Status Backup.")
                     .arg(failed.size() - NamesShown);
    showBalloon(QStringLiteral("Salinan luar server gagal"), lines.join(QLatin1Char('\n')),
                QSystemTrayIcon::Critical);
}

QString MainControlPanel::sendCommand(int command)
{
    if (serviceController.sendCommand(command))
        return QString();
    refreshServiceStatus();
    return serviceRunning ? QtServiceController::lastError().text
                          : QStringLiteral("Service tidak aktif.");
}

void MainControlPanel::on_status_click()
{
    if (!statusWindow) {
        statusWindow = new FStatusBackup(history, this);
        statusWindow->setRequests([this] { return settingsDb; },
                                  [this] { return sendCommand(permintaan::WaitingCommand); });
        connect(statusWindow, &FStatusBackup::restoreAsked, this, &MainControlPanel::openRestore);
    }
    statusWindow->show();
    statusWindow->raise();
    statusWindow->activateWindow();
}

void MainControlPanel::openRestore(const QString &db)
{
    if (!restoreWindow) {
        FPulihkan::Wiring wiring;
        wiring.settings = [this] { return settingsDb; };
        wiring.historyPath = programFile(confbu::HistoryFile);
        wiring.server = {ui->tServer->text(), dbUser, dbPassword, dbPort};
        wiring.databases = listedDatabases();
        wiring.command = [this](int command) { return sendCommand(command); };
        wiring.serviceRunning = [this] { return serviceController.isRunning(); };
        wiring.agePath = pemulihan::ageProgram(programDir());
        restoreWindow = new FPulihkan(wiring, this);
        restoreWindow->setAttribute(Qt::WA_DeleteOnClose);
    }
    if (!db.isEmpty())
        restoreWindow->chooseDatabase(db);
    restoreWindow->show();
    restoreWindow->raise();
    restoreWindow->activateWindow();
}
