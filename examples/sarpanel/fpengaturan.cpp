#include "fpengaturan.h"

#include "confbu.h"
#include "errortext.h"
#include "messagebox.h"
#include "monitorcheck.h"
#include "ui_fpengaturan.h"

#include <QUrl>

FPengaturan::FPengaturan(const QSqlDatabase &settings, QWidget *parent)
    : QDialog(parent), ui(new Ui::FPengaturan), m_settings(settings),
      m_check(new XMonitorCheck(this)), m_checkTimeoutMs(XMonitorCheck::TimeoutMs)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowTitle(QStringLiteral("Pengaturan Lanjutan"));
    setWindowIcon(QIcon(QStringLiteral(":/images/db.png")));
    // The line that says a test runs keeps its room while empty, so that nothing moves.
    ui->lTes->setMinimumHeight(ui->lTes->fontMetrics().height());
    // Tall enough for the wrapped notes in the desktop's font.
    resize(width(), qMax(height(), heightForWidth(width())));
    const confbu::Retention kept = confbu::localRetention(m_settings);
    ui->sbJumlah->setValue(kept.jumlah);
    ui->sbHarian->setValue(kept.harian);
    ui->sbMingguan->setValue(kept.mingguan);
    ui->sbBulanan->setValue(kept.bulanan);
    // The calendar keeps dumps besides the newest N; with all kept it has nothing to add.
    const auto calendar = [this](int jumlah) {
        for (QSpinBox *box : {ui->sbHarian, ui->sbMingguan, ui->sbBulanan})
            box->setEnabled(jumlah > 0);
    };
    connect(ui->sbJumlah, QOverload<int>::of(&QSpinBox::valueChanged), this, calendar);
    calendar(kept.jumlah);
    const confbu::DrillSchedule drills = confbu::drillSchedule(m_settings);
    ui->cbUji->setCurrentIndex(drills.jadwal);
    ui->cbHari->setCurrentIndex(drills.hari);
    // The day only counts for weekly drills.
    const auto dayApplies = [this] {
        ui->cbHari->setEnabled(ui->cbUji->currentIndex() == confbu::DrillSchedule::Weekly);
    };
    connect(ui->cbUji, QOverload<int>::of(&QComboBox::currentIndexChanged), this, dayApplies);
    dayApplies();
    ui->tUrl->setText(confbu::monitorUrl(m_settings));
    connect(m_check, &XMonitorCheck::finished, this, &FPengaturan::checked);
}

FPengaturan::~FPengaturan() = default;

bool FPengaturan::usableUrl(QUrl *url)
{
    const QString text = ui->tUrl->text().trimmed();
    *url = QUrl(text, QUrl::StrictMode);
    if (text.isEmpty() ||
        (url->isValid() && !url->host().isEmpty() &&
         (url->scheme() == QLatin1String("http") || url->scheme() == QLatin1String("https"))))
        return true;
    showError(QStringLiteral("URL pemantau harus lengkap dan diawali http:// atau https://."),
              this);
    ui->tUrl->setFocus();
    return false;
}

void FPengaturan::on_butTes_clicked()
{
    QUrl url;
    if (!usableUrl(&url))
        return;
    if (url.isEmpty()) {
        showError(QStringLiteral("Isi URL pemantau terlebih dahulu."), this);
        ui->tUrl->setFocus();
        return;
    }
    ui->butTes->setEnabled(false);
    ui->lTes->setText(QStringLiteral("Menguji..."));
    setCursor(Qt::BusyCursor);
    m_check->start(url, m_checkTimeoutMs);
}

void FPengaturan::checked(bool ok, const QString &text)
{
    ui->butTes->setEnabled(true);
    ui->lTes->clear();
    unsetCursor();
    if (ok)
        showInfo(QStringLiteral("Tes berhasil: server pemantau menjawab ") + text +
                     QLatin1Char('.'),
                 this);
    else
        showError(QStringLiteral("Tes gagal.\nPesan Error : ") + errortext::inWords(text), this);
}

void FPengaturan::on_butSimpan_clicked()
{
    QUrl url;
    if (!usableUrl(&url))
        return;
    QString error;
    confbu::Retention kept;
    kept.jumlah = ui->sbJumlah->value();
    kept.harian = ui->sbHarian->value();
    kept.mingguan = ui->sbMingguan->value();
    kept.bulanan = ui->sbBulanan->value();
    if (!confbu::setLocalRetention(m_settings, kept, &error) ||
        !confbu::setDrillSchedule(
            m_settings, {ui->cbUji->currentIndex(), ui->cbHari->currentIndex()}, &error) ||
        !confbu::setMonitorUrl(m_settings, ui->tUrl->text(), &error)) {
        showInfo(QStringLiteral("Gagal Simpan data.\nPesan Error : ") + errortext::inWords(error),
                 this);
        return;
    }
    showInfo(QStringLiteral("Data Berhasil disimpan."), this);
    accept();
}

void FPengaturan::on_butBatal_clicked()
{
    reject();
}
