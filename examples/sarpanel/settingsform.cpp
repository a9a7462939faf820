// The settings form of the main window: defaults, load from confbu.cfg,
// the output folder chooser and save-and-restart.
#include "maincontrolpanel.h"

#include "confbu.h"
#include "errortext.h"
#include "fpengaturan.h"
#include "fsalinan.h"
#include "permintaan.h"
#include "historywatch.h"
#include "messagebox.h"
#include "serviceaccount.h"
#include "servicefailure.h"
#include "sharedfiles.h"
#include "ui_maincontrolpanel.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Today's date with the editor's time of day, whole seconds, local time.
QDateTime todayAt(const QTime &time)
{
    return QDateTime(QDate::currentDate(), QTime(time.hour(), time.minute(), time.second(), 0),
                     Qt::LocalTime);
}

void showTime(QTimeEdit *editor, const QDateTime &value)
{
    // A stored value that is no date-time leaves the editor as it was.
    if (value.isValid())
        editor->setTime(value.time());
}

// Who owns a file and what its mode allows, as ls says it: "root:sarvela 0660".
QString rightsOf(const QFileInfo &file)
{
    const QFile::Permissions p = file.permissions();
    int mode = 0;
    const QFile::Permission bits[] = {QFile::ReadOwner, QFile::WriteOwner, QFile::ExeOwner,
                                      QFile::ReadGroup, QFile::WriteGroup, QFile::ExeGroup,
                                      QFile::ReadOther, QFile::WriteOther, QFile::ExeOther};
    for (QFile::Permission bit : bits)
        mode = mode * 2 + (p & bit ? 1 : 0);
    return file.owner() + QLatin1Char(':') + file.group() + QLatin1Char(' ') +
           QStringLiteral("%1").arg(mode, 4, 8, QLatin1Char('0'));
}

// Who can give the user the right that the file's group has or nobody has.
QString whoMayFix(const QFileInfo &file, QFile::Permission groupRight)
{
#ifdef Q_OS_WIN
    Q_UNUSED(file);
    Q_UNUSED(groupRight);
    return QStringLiteral("Minta administrator komputer ini memperbaiki haknya.");
#else
    if ((file.permissions() & groupRight) && !file.group().isEmpty())
        return QStringLiteral("Minta root menambahkan Anda ke grup ") + file.group() +
               QStringLiteral(", lalu login ulang.");
    return QStringLiteral("Minta root memperbaiki haknya.");
#endif
}

} // namespace

void MainControlPanel::setFormDefaults()
{
#ifdef Q_OS_WIN
    ui->tLokasi->setText(QStringLiteral("c:\\"));
#else
    ui->tLokasi->setText(QDir::rootPath());
#endif
    ui->tServer->setText(QStringLiteral("localhost"));
    ui->cbJam1->setChecked(false);
    ui->cbJam2->setChecked(false);
    ui->tmJam1->setDisplayFormat(QStringLiteral("hh:mm"));
    ui->tmJam2->setDisplayFormat(QStringLiteral("hh:mm"));
    ui->tLokasi->setReadOnly(true);
    refreshServiceStatus();
    applyCheckBoxRule();
}

void MainControlPanel::applyCheckBoxRule()
{
    ui->tmJam1->setEnabled(ui->cbJam1->isChecked());
    ui->tmJam2->setEnabled(ui->cbJam2->isChecked());
}

void MainControlPanel::on_cbJam1_stateChanged(int)
{
    applyCheckBoxRule();
}

void MainControlPanel::on_cbJam2_stateChanged(int)
{
    applyCheckBoxRule();
}

// Root refuses the settings the service refuses: SQLite would write into whatever a member
// planted there. Others open them with no more rights than their own. The file at the
// program folder's link, and why not, as "[path] reason"; empty when it may be opened.
QString MainControlPanel::settingsRefusal(const QString &path) const
{
#ifdef Q_OS_WIN
    Q_UNUSED(path)
    return QString();
#else
    if (::geteuid() != 0)
        return QString();
    const QFileInfo entry(path);
    const QString target = entry.isSymLink() ? entry.symLinkTarget() : path;
    const long service = serviceaccount::userId(serviceaccount::ofProgramDir(programDir()));
    QString refused = target;
    QString reason = sharedfiles::fileRefusal(target, service);
    if (reason.isEmpty())
        reason = sharedfiles::besideRefusal(target, &refused);
    return reason.isEmpty() ? QString() : QLatin1Char('[') + refused + QStringLiteral("] ") + reason;
#endif
}

bool MainControlPanel::loadSettings()
{
    const QString path = programFile(confbu::SettingsFile);
    const QFileInfo file(path);
    settingsRead = false;
    // Said in the window before any box, and kept there: the form then shows no settings.
    auto cannotRead = [this](const QString &why) {
        settingsProblem = QStringLiteral("Pengaturan tidak dapat dibaca: ") + why;
        updateNotice();
        updateSaveButton();
    };
    // Checked first: opening a missing file would create an empty one.
    if (!file.exists()) {
        cannotRead(QStringLiteral("berkas ") + path +
                   QStringLiteral(" tidak ada. Pasang ulang Sarvela (sebagai root) untuk "
                                  "memulihkannya."));
        showInfo(QStringLiteral("Maaf file [") + path + QStringLiteral("] tidak ditemukan."), this);
        return false;
    }
    const QString refusal = settingsRefusal(path);
    if (!refusal.isEmpty()) {
        cannotRead(refusal + QStringLiteral(". Root memindahkannya, lalu membuka panel lagi."));
        showInfo(QStringLiteral("Error Load database :") + refusal, this);
        return false;
    }
    const QString unreadable = file.isReadable()
                                   ? QString()
                                   : QStringLiteral("Anda tidak berhak membaca ") + path +
                                         QStringLiteral(" (") + rightsOf(file) +
                                         QStringLiteral("). ") + whoMayFix(file, QFile::ReadGroup);
    settingsDb = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    settingsDb.setDatabaseName(path);
    if (!settingsDb.open()) {
        const QString error = errortext::inWords(settingsDb.lastError().text());
        cannotRead(unreadable.isEmpty() ? error + QLatin1Char('.') : unreadable);
        showInfo(QStringLiteral("Error Load database :") + error, this);
        return false;
    }
    QSqlQuery query(settingsDb);
    if (!query.prepare(QStringLiteral("select * from confdb; ")) || !query.exec()) {
        const QString error = errortext::inWords(query.lastError().text());
        cannotRead(unreadable.isEmpty() ? error + QLatin1Char('.') : unreadable);
        showInfo(QStringLiteral("Gagal memanggil data.\nPesan Error : ") + error, this);
        return false;
    }
    bool haveRow = false;
    backupstatus::Schedule schedule;
    // With several rows the last one stays shown; the defaults apply per row.
    while (query.next()) {
        const confbu::Settings row = confbu::fromRecord(query.record());
        ui->tLokasi->setText(row.outputdir);
        ui->tServer->setText(row.server);
        ui->cbJam1->setChecked(row.jam1st);
        ui->cbJam2->setChecked(row.jam2st);
        showTime(ui->tmJam1, row.jam1);
        showTime(ui->tmJam2, row.jam2);
        dbUser = confbu::userOrDefault(row.user, confbu::Blanks::AreText);
        dbPassword = confbu::passwordOrDefault(row.pass, confbu::Blanks::AreText);
        dbPort = row.port;
        schedule = {row.jam1.time(), row.jam2.time(), row.jam1st, row.jam2st};
        haveRow = true;
    }
    settingsRead = haveRow;
    schedule.drills = confbu::drillSchedule(settingsDb);
    // A save would update no row and say it had saved.
    settingsProblem = haveRow ? settingsWriteProblem(path)
                              : QStringLiteral("Pengaturan kosong: tabel confdb tidak berisi "
                                               "baris. Minta root memulihkan ") +
                                    path + QLatin1Char('.');
    updateNotice();
    updateSaveButton();
    history->setSchedule(schedule);
    history->setCopiesOn(salinan::read(settingsDb).isOn());
    loadBackupList();
    return haveRow;
}

QString MainControlPanel::settingsWriteProblem(const QString &path) const
{
    // Through a link, to the real file; SQLite keeps its journal in the real file's folder.
    const QFileInfo file(path);
    const QFileInfo folder(QFileInfo(file.canonicalFilePath()).absolutePath());
    const QString readOnly = QStringLiteral("Pengaturan hanya dapat dibaca: Anda tidak berhak ");
    if (!file.isWritable())
        return readOnly + QStringLiteral("mengubah ") + path + QStringLiteral(" (") +
               rightsOf(file) + QStringLiteral("). ") + whoMayFix(file, QFile::WriteGroup);
    if (!folder.isWritable())
        return readOnly + QStringLiteral("menulis di folder ") + folder.filePath() +
               QStringLiteral(" (") + rightsOf(folder) + QStringLiteral("). ") +
               whoMayFix(folder, QFile::WriteGroup);
    return QString();
}

void MainControlPanel::updateSaveButton()
{
    // Saving restarts the service: there must be one, or a manager that may know of it.
    const bool serviceThere = serviceInstalled || managerDown;
    const bool savable = settingsRead && settingsProblem.isEmpty();
    ui->butSaveRestart->setEnabled(serviceThere && savable);
    ui->butSaveRestart->setToolTip(savable ? QString() : settingsProblem);
}

void MainControlPanel::on_butSelectFolder_clicked()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, tr("Open Directory"), ui->tLokasi->text(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!folder.trimmed().isEmpty())
        ui->tLokasi->setText(folder);
}

// The output folder must be named; a missing one is made, parents included.
// Whether that worked is not checked here: the service reports a missing folder.
bool MainControlPanel::prepareOutputFolder()
{
    const QString folder = ui->tLokasi->text().trimmed();
    if (folder.isEmpty()) {
        showError(QStringLiteral("Pilih Lokasi backup database."), this);
        ui->butSelectFolder->setFocus();
        return false;
    }
    if (!QDir(folder).exists() && QDir().mkpath(folder))
        giveToService(folder);
    return true;
}

// A folder that root has just made on an installed system is made the way the service takes
// it: its own user's, of the group that edits the settings, writable by no one else.
void MainControlPanel::giveToService(const QString &folder) const
{
#ifdef Q_OS_WIN
    Q_UNUSED(folder)
#else
    const long service = serviceaccount::userId(serviceaccount::ofProgramDir(programDir()));
    const QFileInfo settings(programFile(confbu::SettingsFile));
    struct stat info = {};
    if (::geteuid() != 0 || service < 0 ||
        ::stat(QFile::encodeName(settings.absoluteFilePath()).constData(), &info) != 0)
        return;
    // Changed through a handle: the name could have become a link meanwhile.
    const int made = ::open(QFile::encodeName(folder).constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (made < 0)
        return;
    if (::fchown(made, uid_t(service), info.st_gid) == 0)
        ::fchmod(made, 02750);
    ::close(made);
#endif
}

void MainControlPanel::on_butSaveRestart_clicked()
{
    const QDateTime jam1 = todayAt(ui->tmJam1->time());
    const QDateTime jam2 = todayAt(ui->tmJam2->time());

    // Never over a file whose settings the form does not show.
    if (!settingsRead || !settingsProblem.isEmpty()) {
        showError(settingsProblem, this);
        return;
    }
    if (!prepareOutputFolder())
        return;
    if (ui->tServer->text().trimmed().isEmpty()) {
        showError(QStringLiteral("Tentukan Lokasi Server/IP Address Database"), this);
        ui->tServer->setFocus();
        return;
    }
    if (ui->listWidget->count() == 0) {
        showError(QStringLiteral("Pilih database yang akan dibackup."), this);
        ui->butAdd->setFocus();
        return;
    }
    if (!mayCancelRunningJobs())
        return;

    QSqlQuery query(settingsDb);
    query.prepare(QStringLiteral("update confdb set ") +
                  QStringLiteral("server = :server, jam1 = :jam1, jam2 = :jam2, ") +
                  QStringLiteral("jam1st = :jam1st, jam2st = :jam2st, outputdir = :outputdir; "));
    query.bindValue(QStringLiteral(":server"), ui->tServer->text().trimmed());
    query.bindValue(QStringLiteral(":jam1"), jam1);
    query.bindValue(QStringLiteral(":jam2"), jam2);
    query.bindValue(QStringLiteral(":jam1st"), ui->cbJam1->isChecked());
    query.bindValue(QStringLiteral(":jam2st"), ui->cbJam2->isChecked());
    query.bindValue(QStringLiteral(":outputdir"), ui->tLokasi->text());
    if (!query.exec()) {
        showInfo(QStringLiteral("Gagal Simpan data.\nPesan Error : ") +
                     errortext::inWords(query.lastError().text()),
                 this);
        return;
    }
    history->setSchedule({jam1.time(), jam2.time(), ui->cbJam1->isChecked(),
                          ui->cbJam2->isChecked(), confbu::drillSchedule(settingsDb)});

    // The service reads its settings only when it starts. The first refusal
    // is told after the save's own message: the settings are stored either way.
    ServiceAction failed = ServiceAction::Stop;
    QtServiceController::Error error;
    bool restarted = true;
    if (serviceController.isRunning() && !serviceController.stop()) {
        error = QtServiceController::lastError();
        restarted = false;
    }
    refreshServiceStatus();
    if (!serviceController.start() && restarted) {
        error = QtServiceController::lastError();
        failed = ServiceAction::Start;
        restarted = false;
    }
    refreshServiceStatus();
    showInfo(QStringLiteral("Data Berhasil disimpan."), this);
    if (!restarted)
        reportServiceFailure(failed, error);
}

void MainControlPanel::on_advanced_click()
{
    FPengaturan dialog(settingsDb, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    backupstatus::Schedule schedule = history->schedule();
    schedule.drills = confbu::drillSchedule(settingsDb);
    history->setSchedule(schedule);
}

void MainControlPanel::on_copies_click()
{
    FSalinan dialog(settingsDb, programFile(confbu::HistoryFile),
                    [this] { return sendCommand(permintaan::WaitingCommand); }, this);
    if (dialog.exec() == QDialog::Accepted)
        history->setCopiesOn(salinan::read(settingsDb).isOn());
}
