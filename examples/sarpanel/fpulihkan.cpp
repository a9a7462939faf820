#include "fpulihkan.h"

#include "backupstatus.h"
#include "errortext.h"
#include "historywatch.h"
#include "messagebox.h"
#include "permintaan.h"
#include "ui_fpulihkan.h"
#include "xdbconnection.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLocale>
#include <QScreen>
#include <QSqlError>
#include <QSqlQuery>
#include <QVBoxLayout>

namespace {

const QString Shown = QStringLiteral("dd/MM/yyyy hh:mm");
const QString None = QStringLiteral("—");
const QColor Wrong(255, 214, 214);
const QColor Fine(214, 240, 214);

QString number(qint64 value)
{
    return value < 0 ? None : QLocale(QLocale::Indonesian, QLocale::Indonesia).toString(value);
}

QString drillText(const pemulihan::Candidate &candidate)
{
    if (candidate.ujiHasil.isEmpty())
        return QStringLiteral("belum");
    if (candidate.ujiBaris >= 0 && candidate.ujiHasil == riwayat::Ok)
        return candidate.ujiHasil + QStringLiteral(", ") + number(candidate.ujiBaris) +
               QStringLiteral(" baris");
    return candidate.ujiHasil;
}

QString placeText(const pemulihan::Candidate &candidate)
{
    if (!candidate.isCopy())
        return QFileInfo(candidate.file).fileName();
    return QStringLiteral("salinan luar server") +
           (candidate.terenkripsi ? QStringLiteral(", terenkripsi: ") : QStringLiteral(": ")) +
           candidate.file;
}

QString describe(const QString &database, const QString &file, const QString &ke, bool timpa)
{
    return QStringLiteral("Pemulihan database %1 dari %2 ke %3")
        .arg(database, file, timpa ? database + QStringLiteral(" (menggantikannya)") : ke);
}

// The databases the history holds good dumps of.
QStringList historyDatabases(const QString &historyPath)
{
    QStringList names;
    QString error;
    XHistoryWatch::readWith(
        historyPath,
        [&names](const QSqlDatabase &db, QString *) {
            QSqlQuery query(db);
            query.exec(QStringLiteral("select distinct dbname from riwayat where hasil = 'OK' "
                                      "and dbname is not null"));
            while (query.next())
                names << query.value(0).toString();
            return true;
        },
        &error);
    return names;
}

} // namespace

FPulihkan::FPulihkan(Wiring wiring, QWidget *parent)
    : QDialog(parent), ui(new Ui::FPulihkan), m_wiring(std::move(wiring))
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowTitle(QStringLiteral("Pulihkan Database"));
    setWindowIcon(QIcon(QStringLiteral(":/images/db.png")));
    ui->tblBackup->setColumnCount(6);
    ui->tblBackup->setHorizontalHeaderLabels(
        {QStringLiteral("Waktu backup"), QStringLiteral("Ukuran"), QStringLiteral("Terverifikasi"),
         QStringLiteral("Baris"), QStringLiteral("Uji pulih terakhir"), QStringLiteral("Tempat")});
    ui->tblHasil->setColumnCount(3);
    ui->tblHasil->setHorizontalHeaderLabels({QStringLiteral("Tabel"),
                                             QStringLiteral("Baris di backup"),
                                             QStringLiteral("Baris dipulihkan")});
    ui->tblHasil->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    ui->tblHasil->hide();
    // The result's rows get as much room as the dumps when they show.
    if (auto *column = qobject_cast<QVBoxLayout *>(layout())) {
        column->setStretchFactor(ui->tblBackup, 1);
        column->setStretchFactor(ui->tblHasil, 1);
    }
    ui->pbKemajuan->hide();
    m_poll.setInterval(PollMs);
    connect(&m_poll, &QTimer::timeout, this, &FPulihkan::poll);
    connect(ui->cmbDatabase, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &FPulihkan::showCandidates);
    connect(ui->tblBackup, &QTableWidget::itemSelectionChanged, this, &FPulihkan::candidateChanged);
    connect(ui->rbBaru, &QRadioButton::toggled, this, &FPulihkan::targetChanged);
    loadDatabases();
    if (!findRunning()) {
        showCandidates();
        showLast();
    }
}

FPulihkan::~FPulihkan() = default;

void FPulihkan::loadDatabases()
{
    QStringList names = m_wiring.databases + historyDatabases(m_wiring.historyPath);
    names.removeDuplicates();
    names.sort();
    const QSignalBlocker quiet(ui->cmbDatabase);
    ui->cmbDatabase->addItems(names);
}

void FPulihkan::chooseDatabase(const QString &db)
{
    if (!isFollowing())
        selectDatabase(db);
}

void FPulihkan::selectDatabase(const QString &db)
{
    int index = ui->cmbDatabase->findText(db);
    if (index < 0) {
        ui->cmbDatabase->addItem(db);
        index = ui->cmbDatabase->count() - 1;
    }
    const QSignalBlocker quiet(ui->cmbDatabase);
    ui->cmbDatabase->setCurrentIndex(index);
    showCandidates();
}

void FPulihkan::showCandidates()
{
    const QString db = ui->cmbDatabase->currentText();
    m_candidates.clear();
    QString error;
    if (!db.isEmpty())
        XHistoryWatch::readWith(
            m_wiring.historyPath,
            [&](const QSqlDatabase &history, QString *why) {
                return pemulihan::candidates(history, db, &m_candidates, why);
            },
            &error);
    QTableWidget *table = ui->tblBackup;
    table->setRowCount(m_candidates.size());
    for (int i = 0; i < m_candidates.size(); ++i) {
        const pemulihan::Candidate &candidate = m_candidates[i];
        const QStringList cells{candidate.waktu.toString(Shown),
                                backupstatus::sizeInWords(candidate.ukuran),
                                candidate.terverifikasi ? QStringLiteral("Ya")
                                                        : QStringLiteral("Tidak"),
                                number(candidate.baris),
                                drillText(candidate),
                                placeText(candidate)};
        for (int column = 0; column < cells.size(); ++column) {
            auto *item = new QTableWidgetItem(cells[column]);
            item->setToolTip(column == cells.size() - 1 ? candidate.file : cells[column]);
            table->setItem(i, column, item);
        }
    }
    table->resizeColumnsToContents();
    QString info;
    if (!error.isEmpty())
        info = QStringLiteral("Riwayat backup tidak dapat dibaca: ") + errortext::inWords(error);
    else if (db.isEmpty())
        info = QStringLiteral("Belum ada database di daftar backup.");
    else if (m_candidates.isEmpty())
        info = QStringLiteral("Tidak ada backup baik database %1 yang tersimpan.").arg(db);
    ui->lBackupInfo->setText(info);
    ui->lBackupInfo->setVisible(!info.isEmpty());
    if (!m_candidates.isEmpty())
        table->selectRow(0);
    const QDateTime now = QDateTime::currentDateTime();
    ui->tKe->setText(db.isEmpty() ? QString() : pemulihan::defaultTarget(db, now));
    ui->tKonfirmasi->clear();
    ui->rbTimpa->setText(QStringLiteral("Menggantikan database %1,").arg(db));
    ui->lTimpaInfo->setText(
        QStringLiteral("Menggantikan: service lebih dulu membuat backup baru database %1, "
                       "memulihkan ke database baru, dan hanya bila itu berhasil memutus semua "
                       "koneksi ke %1, mengganti namanya menjadi %2 dan memberi nama %1 kepada "
                       "hasil pemulihan. Database lama tetap ada sampai dihapus administrator.")
            .arg(db, pemulihan::beforeName(db, now)));
    candidateChanged();
}

const pemulihan::Candidate *FPulihkan::currentCandidate() const
{
    const int row = ui->tblBackup->currentRow();
    return row >= 0 && row < m_candidates.size() && ui->tblBackup->selectionModel()->hasSelection()
               ? &m_candidates[row]
               : nullptr;
}

// The identity is asked for only where it is needed, and forgotten with a choice that needs none.
void FPulihkan::candidateChanged()
{
    const pemulihan::Candidate *candidate = currentCandidate();
    const bool encrypted = candidate && candidate->terenkripsi;
    if (!encrypted) {
        m_identity.clear();
        ui->tIdentitas->clear();
    }
    for (QWidget *part :
         {static_cast<QWidget *>(ui->lIdentitas), static_cast<QWidget *>(ui->tIdentitas),
          static_cast<QWidget *>(ui->butIdentitas)})
        part->setEnabled(encrypted && !isFollowing());
}

void FPulihkan::targetChanged()
{
    const bool inPlace = ui->rbTimpa->isChecked();
    ui->tKe->setEnabled(!inPlace && !isFollowing());
    ui->tKonfirmasi->setEnabled(inPlace && !isFollowing());
    if (inPlace)
        ui->tKonfirmasi->setFocus();
}

void FPulihkan::on_butIdentitas_clicked()
{
    const QString file = QFileDialog::getOpenFileName(
        this, QStringLiteral("Pilih berkas identitas age"), QString(),
        QStringLiteral("Identitas age (*.txt *.key *.age);;Semua berkas (*)"));
    if (!file.isEmpty())
        useIdentity(file);
}

void FPulihkan::useIdentity(const QString &file)
{
    m_identity = file;
    ui->tIdentitas->setText(file);
}

bool FPulihkan::existsOnServer(const QString &name, bool *exists, QString *error) const
{
    static int count = 0;
    const QString connection = QStringLiteral("sarpanel-pulihkan-%1").arg(++count);
    bool asked = false;
    {
        XDBConnection server;
        server.addConnection(connection);
        server.setHost(m_wiring.server.host);
        server.setPort(m_wiring.server.port);
        server.setUser(m_wiring.server.user);
        server.setPassword(m_wiring.server.password);
        server.setDatabaseName(QStringLiteral("postgres"));
        // A server that does not answer must not hold the window.
        server.database().setConnectOptions(QStringLiteral("connect_timeout=5"));
        if (server.open()) {
            QSqlQuery query(server.database());
            query.prepare(QStringLiteral("select 1 from pg_database where datname = ?"));
            query.addBindValue(name);
            asked = query.exec();
            *exists = asked && query.next();
            if (!asked)
                *error = query.lastError().text();
        } else {
            *error = server.lastErrorText();
        }
        server.close();
    }
    XDBConnection::removeConnection(connection);
    return asked;
}

bool FPulihkan::formChoice(pemulihan::Choice *choice)
{
    const pemulihan::Candidate *candidate = currentCandidate();
    const auto refuse = [this](const QString &text, QWidget *where) {
        showError(text, this);
        if (where)
            where->setFocus();
        return false;
    };
    if (!candidate)
        return refuse(QStringLiteral("Pilih backup yang akan dipulihkan."), ui->tblBackup);
    choice->database = ui->cmbDatabase->currentText();
    choice->riwayat = candidate->isCopy() ? 0 : candidate->riwayatId;
    choice->salinan = candidate->salinanId;
    choice->timpa = ui->rbTimpa->isChecked();
    if (candidate->terenkripsi && m_identity.isEmpty())
        return refuse(QStringLiteral("Backup ini terenkripsi. Pilih berkas identitas age yang "
                                     "dapat membukanya."),
                      ui->butIdentitas);
    if (choice->timpa) {
        choice->ke = choice->database;
        choice->konfirmasi = ui->tKonfirmasi->text();
        if (choice->konfirmasi != choice->database)
            return refuse(QStringLiteral("Untuk menggantikan database, ketik namanya (%1) persis "
                                         "di kolom konfirmasi.")
                              .arg(choice->database),
                          ui->tKonfirmasi);
        return true;
    }
    choice->ke = ui->tKe->text().trimmed();
    const QString refusal = pemulihan::nameRefusal(choice->ke);
    if (!refusal.isEmpty())
        return refuse(QStringLiteral("Nama database tujuan tidak dapat dipakai: ") + refusal +
                          QLatin1Char('.'),
                      ui->tKe);
    bool exists = false;
    QString error;
    if (choice->ke == choice->database || (existsOnServer(choice->ke, &exists, &error) && exists))
        return refuse(QStringLiteral("Database %1 sudah ada di server. Pilih nama lain, atau "
                                     "pilih \"Menggantikan database %2\".")
                          .arg(choice->ke, choice->database),
                      ui->tKe);
    // Unasked, the service still refuses a name that is taken.
    return true;
}

void FPulihkan::on_butPulihkan_clicked()
{
    pemulihan::Choice choice;
    if (!formChoice(&choice))
        return;
    const pemulihan::Candidate candidate = *currentCandidate();
    if (choice.timpa &&
        !askYes(QStringLiteral("Database %1 akan digantikan oleh isi backup %2.\n\nSemua koneksi "
                               "ke database %1 akan diputus saat penggantian. Database yang "
                               "sekarang tetap disimpan dengan nama %3.\n\nLanjutkan?")
                    .arg(choice.database, candidate.waktu.toString(Shown),
                         pemulihan::beforeName(choice.database, QDateTime::currentDateTime())),
                this, QMessageBox::No))
        return;
    QString error;
    if (candidate.terenkripsi) {
        QString recipient;
        const bool published = XHistoryWatch::readWith(
            m_wiring.historyPath,
            [&recipient](const QSqlDatabase &history, QString *why) {
                return pemulihan::serviceRecipient(history, &recipient, why);
            },
            &error);
        if (!published || recipient.isEmpty()) {
            showError(error.isEmpty()
                          ? QStringLiteral("Service belum siap menerima identitas age. Jalankan "
                                           "service, lalu coba lagi.")
                          : QStringLiteral("Kunci penerima service tidak dapat dibaca: ") + error,
                      this);
            return;
        }
        // The identity leaves this program only sealed, and is forgotten here at once.
        const bool sealed = pemulihan::sealIdentity(m_wiring.agePath, recipient, m_identity,
                                                    &choice.identitas, &error);
        m_identity.clear();
        ui->tIdentitas->clear();
        if (!sealed) {
            showError(QStringLiteral("Berkas identitas tidak dapat dipakai: ") + error, this);
            return;
        }
    }
    QString kunci;
    if (!permintaan::submit(
            m_wiring.settings(), pemulihan::Jenis, pemulihan::request(choice),
            [this] { return m_wiring.command(permintaan::WaitingCommand); }, &kunci, &error)) {
        showError(QStringLiteral("Permintaan tidak dapat dikirim ke service.\nPesan Error : ") +
                      error,
                  this);
        return;
    }
    follow(kunci, choice.database, candidate.file, choice.ke, choice.timpa);
}

bool FPulihkan::findRunning()
{
    pemulihan::Restore restore;
    QString error;
    if (XHistoryWatch::readWith(
            m_wiring.historyPath,
            [&restore](const QSqlDatabase &history, QString *why) {
                return pemulihan::running(history, &restore, why);
            },
            &error)) {
        follow(restore.kunci, restore.database, restore.file, restore.ke, restore.timpa);
        return true;
    }
    // Taken, and still checked before the service records it.
    QString taken;
    XHistoryWatch::readWith(
        m_wiring.historyPath,
        [&taken](const QSqlDatabase &history, QString *) {
            QSqlQuery query(history);
            query.prepare(QStringLiteral("select kunci from permintaan where jenis = ? and "
                                         "hasil = ? order by id desc limit 1"));
            query.addBindValue(pemulihan::Jenis);
            query.addBindValue(permintaan::Berjalan);
            if (query.exec() && query.next())
                taken = query.value(0).toString();
            return true;
        },
        &error);
    if (!taken.isEmpty()) {
        follow(taken, QString(), QString(), QString(), false);
        return true;
    }
    // Asked, and not yet taken by the service.
    QList<permintaan::Request> waiting;
    if (!permintaan::pending(m_wiring.settings(), &waiting, &error))
        return false;
    for (int i = waiting.size() - 1; i >= 0; --i) {
        pemulihan::Choice choice;
        if (waiting[i].jenis != pemulihan::Jenis ||
            !pemulihan::fromRequest(waiting[i].isi, &choice).isEmpty())
            continue;
        pemulihan::Candidate candidate;
        QString refusal;
        XHistoryWatch::readWith(
            m_wiring.historyPath,
            [&](const QSqlDatabase &history, QString *) {
                return pemulihan::candidateOf(history, choice, &candidate, &refusal);
            },
            &error);
        follow(waiting[i].kunci, choice.database, candidate.file, choice.ke, choice.timpa);
        return true;
    }
    return false;
}

void FPulihkan::follow(const QString &kunci, const QString &database, const QString &file,
                       const QString &ke, bool timpa)
{
    m_kunci = kunci;
    m_what.clear();
    if (!database.isEmpty())
        showAsked(database, file, ke, timpa);
    setChoosing(false);
    ui->tblHasil->hide();
    ui->tblHasil->setRowCount(0);
    ui->lTahap->setStyleSheet(QString());
    m_polls = 0;
    m_serviceDown = false;
    ui->lTahap->setText(heading() + QStringLiteral("menunggu service..."));
    ui->pbKemajuan->setRange(0, 0); // busy until the archive's list is known
    ui->pbKemajuan->show();
    m_poll.start();
    poll();
}

// The form shows what was asked, not a choice of its own.
void FPulihkan::showAsked(const QString &database, const QString &file, const QString &ke,
                          bool timpa)
{
    m_what = describe(database, file, ke, timpa);
    selectDatabase(database);
    for (int row = 0; row < m_candidates.size(); ++row)
        if (m_candidates[row].file == file)
            ui->tblBackup->selectRow(row);
    (timpa ? ui->rbTimpa : ui->rbBaru)->setChecked(true);
    (timpa ? ui->tKonfirmasi : ui->tKe)->setText(timpa ? database : ke);
}

void FPulihkan::setChoosing(bool choosing)
{
    for (QWidget *part :
         {static_cast<QWidget *>(ui->cmbDatabase), static_cast<QWidget *>(ui->tblBackup),
          static_cast<QWidget *>(ui->gbTujuan), static_cast<QWidget *>(ui->butPulihkan)})
        part->setEnabled(choosing);
    ui->butBatalkan->setEnabled(!choosing);
    candidateChanged();
    targetChanged();
}

void FPulihkan::poll()
{
    // A service that died or was stopped does not answer: said, not left to look as if it ran.
    if (m_wiring.serviceRunning && ++m_polls % ServiceLookPolls == 0)
        m_serviceDown = !m_wiring.serviceRunning();
    permintaan::Answer answer;
    QString error;
    if (!permintaan::readAnswer(m_wiring.historyPath, m_kunci, &answer, &error)) {
        // Not taken yet, or the history is busy: the next poll reads again.
        ui->lTahap->setText(heading() + (m_serviceDown
                                             ? QStringLiteral("service tidak berjalan; permintaan "
                                                              "menunggu sampai service dijalankan.")
                                             : QStringLiteral("menunggu service...")));
        return;
    }
    if (answer.isFinished()) {
        showResult(answer.hasil, answer.pesan);
        return;
    }
    if (m_what.isEmpty()) {
        pemulihan::Restore restore;
        if (readRestore(m_kunci, &restore))
            showAsked(restore.database, restore.file, restore.ke, restore.timpa);
    }
    showProgress(pemulihan::Progress::fromJson(answer.kemajuan));
}

QString FPulihkan::heading() const
{
    return (m_what.isEmpty() ? QStringLiteral("Pemulihan database") : m_what) +
           QStringLiteral(":\n");
}

void FPulihkan::showProgress(const pemulihan::Progress &progress)
{
    QString text =
        heading() + (progress.tahap.isEmpty() ? QStringLiteral("berjalan") : progress.tahap);
    if (!progress.tabel.isEmpty())
        text += QStringLiteral("\nTabel: ") + progress.tabel;
    if (m_serviceDown)
        text += QStringLiteral("\nService tidak berjalan: pemulihan ini dihentikan, dan ditutup "
                               "sebagai dibatalkan saat service dijalankan lagi.");
    ui->lTahap->setText(text);
    if (progress.jumlah > 0) {
        ui->pbKemajuan->setRange(0, progress.jumlah);
        ui->pbKemajuan->setValue(qMin(progress.selesai, progress.jumlah));
    }
}

void FPulihkan::showResult(const QString &hasil, const QString &pesan)
{
    m_poll.stop();
    showOutcome(m_kunci, hasil, pesan.isEmpty() ? hasil : pesan);
    m_kunci.clear();
    setChoosing(true);
    showCandidates();
}

// A restore that ended while the window was closed is still seen when it opens.
void FPulihkan::showLast()
{
    QString kunci, error;
    XHistoryWatch::readWith(
        m_wiring.historyPath,
        [&kunci](const QSqlDatabase &history, QString *) {
            QSqlQuery query(history);
            if (query.exec(QStringLiteral("select kunci from pemulihan where selesai is not null "
                                          "order by id desc limit 1")) &&
                query.next())
                kunci = query.value(0).toString();
            return true;
        },
        &error);
    permintaan::Answer answer;
    if (kunci.isEmpty() || !permintaan::readAnswer(m_wiring.historyPath, kunci, &answer, &error) ||
        !answer.isFinished())
        return;
    pemulihan::Restore restore;
    if (readRestore(kunci, &restore))
        selectDatabase(restore.database);
    showOutcome(kunci, answer.hasil,
                QStringLiteral("Pemulihan terakhir, ") + answer.selesai.toString(Shown) +
                    QStringLiteral(":\n") + (answer.pesan.isEmpty() ? answer.hasil : answer.pesan));
}

bool FPulihkan::readRestore(const QString &kunci, pemulihan::Restore *restore,
                            QList<pemulihan::TableCount> *tables) const
{
    QString error;
    return XHistoryWatch::readWith(
        m_wiring.historyPath,
        [&](const QSqlDatabase &history, QString *why) {
            return pemulihan::restoreOf(history, kunci, restore, tables, why);
        },
        &error);
}

void FPulihkan::showOutcome(const QString &kunci, const QString &hasil, const QString &text)
{
    pemulihan::Restore restore;
    QList<pemulihan::TableCount> tables;
    readRestore(kunci, &restore, &tables);
    const bool good = hasil == permintaan::Ok;
    ui->pbKemajuan->hide();
    ui->lTahap->setText(text);
    ui->lTahap->setStyleSheet(good ? QStringLiteral("QLabel{color: #2e7d32;}")
                                   : QStringLiteral("QLabel{color: #c62828;}"));
    QTableWidget *table = ui->tblHasil;
    table->setRowCount(tables.size());
    for (int i = 0; i < tables.size(); ++i) {
        const pemulihan::TableCount &count = tables[i];
        // Red only where both are known and differ, or nothing came back of a known table.
        const bool known = count.backup >= 0;
        const bool same = count.backup == count.pulih;
        const QStringList cells{count.tabel, number(count.backup), number(count.pulih)};
        for (int column = 0; column < cells.size(); ++column) {
            auto *item = new QTableWidgetItem(cells[column]);
            if (column > 0)
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            if (known) {
                item->setBackground(same ? Fine : Wrong);
                item->setForeground(Qt::black);
            }
            table->setItem(i, column, item);
        }
    }
    table->resizeColumnsToContents();
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    table->setVisible(!tables.isEmpty());
    // Taller by the rows, as far as the screen allows.
    const QScreen *screen = this->screen();
    const int room = screen ? screen->availableGeometry().height() * 9 / 10 : height();
    if (!tables.isEmpty() && height() < room)
        resize(width(), qMin(room, qMax(height(), sizeHint().height())));
}

void FPulihkan::on_butBatalkan_clicked()
{
    if (!isFollowing() ||
        !askYes(QStringLiteral("Batalkan pemulihan? Database tujuan yang setengah jadi dihapus; "
                               "database yang ada tidak diubah."),
                this, QMessageBox::No))
        return;
    QString error;
    permintaan::Answer answer;
    bool taken = permintaan::readAnswer(m_wiring.historyPath, m_kunci, &answer, &error);
    if (!taken) {
        // Not taken yet: the request is taken back, unless the service took it meanwhile.
        if (!permintaan::remove(m_wiring.settings(), m_kunci, &error)) {
            showError(QStringLiteral("Permintaan tidak dapat dibatalkan: ") + error, this);
            return;
        }
        taken = permintaan::readAnswer(m_wiring.historyPath, m_kunci, &answer, &error);
        if (!taken) {
            showResult(permintaan::Dibatalkan,
                       QStringLiteral("Pemulihan dibatalkan sebelum diambil service."));
            return;
        }
    }
    if (answer.isFinished()) {
        poll();
        return;
    }
    // The command ends the request in progress, which is this one.
    const QString refusal = m_wiring.command(permintaan::CancelCommand);
    if (!refusal.isEmpty())
        showError(QStringLiteral("Service tidak dapat diminta membatalkan: ") + refusal, this);
}

void FPulihkan::on_butTutup_clicked()
{
    close();
}
