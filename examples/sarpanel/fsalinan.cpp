#include "fsalinan.h"

#include "historywatch.h"
#include "messagebox.h"
#include "permintaan.h"
#include "ui_fsalinan.h"

namespace {

constexpr int PollMs = 300;
const QString TestKind = QStringLiteral("uji-salinan");

QString stepText(const QString &langkah)
{
    if (langkah == QLatin1String("tulis"))
        return QStringLiteral(" (menulis berkas uji)");
    if (langkah == QLatin1String("baca"))
        return QStringLiteral(" (membaca kembali)");
    if (langkah == QLatin1String("hapus"))
        return QStringLiteral(" (menghapus berkas uji)");
    return QString();
}

} // namespace

FSalinan::FSalinan(const QSqlDatabase &settings, const QString &historyPath,
                   std::function<QString()> wake, QWidget *parent)
    : QDialog(parent), ui(new Ui::FSalinan), m_settings(settings), m_historyPath(historyPath),
      m_wake(std::move(wake))
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowTitle(QStringLiteral("Salinan Luar Server"));
    setWindowIcon(QIcon(QStringLiteral(":/images/db.png")));
    m_poll.setInterval(PollMs);
    connect(&m_poll, &QTimer::timeout, this, &FSalinan::pollAnswer);
    loadDestinations();
    showChoice();
    connect(ui->tPenerima, &QLineEdit::textChanged, this, &FSalinan::judgeRecipient);
    connect(ui->cmbRemote, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &FSalinan::judgeRecipient);
    // The calendar keeps copies besides the newest N; with all kept it has nothing to add.
    const auto calendar = [this](int jumlah) {
        for (QSpinBox *box : {ui->sbHarian, ui->sbMingguan, ui->sbBulanan})
            box->setEnabled(jumlah > 0);
    };
    connect(ui->sbJumlah, QOverload<int>::of(&QSpinBox::valueChanged), this, calendar);
    calendar(ui->sbJumlah->value());
    judgeRecipient();
    // Tall enough for the wrapped notes in the desktop's font.
    resize(width(), qMax(height(), heightForWidth(width())));
}

FSalinan::~FSalinan() = default;

void FSalinan::loadDestinations()
{
    QString error;
    const bool read = XHistoryWatch::readDestinations(m_historyPath, &m_published, &error);
    ui->cmbRemote->addItem(QStringLiteral("(tidak ada: salinan tidak dibuat)"), QString());
    for (const salinan::Remote &remote : qAsConst(m_published.remotes))
        ui->cmbRemote->addItem(
            remote.nama + QStringLiteral(" (") + remote.jenis +
                (remote.lokal ? QStringLiteral(", disk mesin ini)") : QStringLiteral(")")),
            remote.nama);
    QString info;
    if (!read && !error.isEmpty())
        info = QStringLiteral("Daftar tujuan tidak dapat dibaca: ") + error;
    else if (!read)
        info = QStringLiteral("Service belum pernah membaca daftar tujuan. Jalankan service, lalu "
                              "buka jendela ini lagi.");
    else if (m_published.remotes.isEmpty())
        info = QStringLiteral("Belum ada tujuan salinan. Root menambahkannya dengan:\n"
                              "runuser -u %1 -- rclone config --config %2\n"
                              "lalu menjalankan ulang service.")
                   .arg(m_published.akun, m_published.berkas);
    if (!m_published.masalah.isEmpty())
        info += (info.isEmpty() ? QString() : QStringLiteral("\n")) + m_published.masalah + '.';
    ui->lTujuanInfo->setText(info);
    ui->lTujuanInfo->setVisible(!info.isEmpty());
}

void FSalinan::showChoice()
{
    const salinan::Settings choice = salinan::read(m_settings);
    int index = ui->cmbRemote->findData(choice.remote);
    // A destination root has since removed stays shown, so that it is not dropped unseen.
    if (index < 0) {
        ui->cmbRemote->addItem(choice.remote + QStringLiteral(" (tidak ada di konfigurasi root)"),
                               choice.remote);
        index = ui->cmbRemote->count() - 1;
    }
    ui->cmbRemote->setCurrentIndex(index);
    ui->tFolder->setText(choice.folder);
    ui->sbJumlah->setValue(choice.simpan.jumlah);
    ui->sbHarian->setValue(choice.simpan.harian);
    ui->sbMingguan->setValue(choice.simpan.mingguan);
    ui->sbBulanan->setValue(choice.simpan.bulanan);
    ui->tPenerima->setText(choice.penerima);
}

void FSalinan::judgeRecipient()
{
    const QString penerima = ui->tPenerima->text().trimmed();
    const QString refusal = salinan::recipientRefusal(penerima);
    if (penerima.isEmpty())
        ui->lSidikJari->setText(QStringLiteral("Tanpa penerima: salinan tidak dienkripsi."));
    else if (refusal.isEmpty())
        ui->lSidikJari->setText(QStringLiteral("Sidik jari kunci: ") +
                                salinan::fingerprint(penerima));
    else
        ui->lSidikJari->setText(QStringLiteral("Bukan kunci publik age (age1...)."));
    ui->lSidikJari->setStyleSheet(refusal.isEmpty() ? QString()
                                                    : QStringLiteral("QLabel{color: #c62828;}"));

    bool local = false;
    const QString remote = ui->cmbRemote->currentData().toString();
    for (const salinan::Remote &known : qAsConst(m_published.remotes))
        local = local || (known.nama == remote && known.lokal);
    const bool warn = !remote.isEmpty() && !local && penerima.isEmpty();
    ui->lPeringatan->setText(
        warn ? QStringLiteral("Peringatan: salinan dikirim ke mesin lain tanpa enkripsi. Siapa "
                              "pun yang dapat membaca tujuan itu dapat membaca seluruh isi "
                              "database. Isi kunci publik age penerima.")
             : QString());
    ui->lPeringatan->setStyleSheet(QStringLiteral("QLabel{color: #c62828;}"));
    ui->lPeringatan->setVisible(warn);
}

bool FSalinan::formChoice(salinan::Settings *choice)
{
    choice->remote = ui->cmbRemote->currentData().toString();
    choice->folder = ui->tFolder->text().trimmed();
    choice->penerima = ui->tPenerima->text().trimmed();
    choice->simpan.jumlah = ui->sbJumlah->value();
    choice->simpan.harian = ui->sbHarian->value();
    choice->simpan.mingguan = ui->sbMingguan->value();
    choice->simpan.bulanan = ui->sbBulanan->value();
    QString refusal = salinan::folderRefusal(choice->folder);
    QWidget *wrong = ui->tFolder;
    if (refusal.isEmpty()) {
        refusal = salinan::recipientRefusal(choice->penerima);
        wrong = ui->tPenerima;
    }
    if (refusal.isEmpty())
        return true;
    showError(QStringLiteral("Tidak dapat dipakai: ") + refusal + QLatin1Char('.'), this);
    wrong->setFocus();
    return false;
}

void FSalinan::on_butTes_clicked()
{
    salinan::Settings choice;
    if (!formChoice(&choice))
        return;
    if (!choice.isOn()) {
        showError(QStringLiteral("Pilih tujuan salinan terlebih dahulu."), this);
        ui->cmbRemote->setFocus();
        return;
    }
    QString error;
    if (!permintaan::submit(m_settings, TestKind,
                            QJsonObject{{QStringLiteral("remote"), choice.remote},
                                        {QStringLiteral("folder"), choice.folder}},
                            m_wake, &m_kunci, &error)) {
        testEnded(QStringLiteral("Tes tidak dapat dikirim ke service: ") + error, false);
        return;
    }
    ui->butTes->setEnabled(false);
    ui->lTes->setStyleSheet(QString());
    ui->lTes->setText(QStringLiteral("Menguji..."));
    m_waitedMs = 0;
    m_poll.start();
}

void FSalinan::pollAnswer()
{
    m_waitedMs += PollMs;
    permintaan::Answer answer;
    QString error;
    if (permintaan::readAnswer(m_historyPath, m_kunci, &answer, &error)) {
        if (answer.isFinished()) {
            testEnded(answer.pesan.isEmpty() ? answer.hasil : answer.pesan,
                      answer.hasil == permintaan::Ok);
            return;
        }
        ui->lTes->setText(QStringLiteral("Menguji...") +
                          stepText(answer.kemajuan.value(QStringLiteral("langkah")).toString()));
    }
    if (m_waitedMs >= AnswerWaitMs)
        testEnded(QStringLiteral("Tidak ada jawaban dari service dalam %1 menit.")
                      .arg(AnswerWaitMs / 60000),
                  false);
}

void FSalinan::testEnded(const QString &text, bool good)
{
    m_poll.stop();
    m_kunci.clear();
    ui->butTes->setEnabled(true);
    ui->lTes->setText((good ? QStringLiteral("Tes berhasil: ") : QStringLiteral("Tes gagal: ")) +
                      text);
    ui->lTes->setStyleSheet(good ? QStringLiteral("QLabel{color: #2e7d32;}")
                                 : QStringLiteral("QLabel{color: #c62828;}"));
}

void FSalinan::on_butSimpan_clicked()
{
    salinan::Settings choice;
    if (!formChoice(&choice))
        return;
    QString error;
    if (!salinan::write(m_settings, choice, &error)) {
        showInfo(QStringLiteral("Gagal Simpan data.\nPesan Error : ") + error, this);
        return;
    }
    showInfo(QStringLiteral("Data Berhasil disimpan."), this);
    accept();
}

void FSalinan::on_butBatal_clicked()
{
    reject();
}
