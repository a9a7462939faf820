#include "fstatusbackup.h"

#include "historywatch.h"
#include "ui_fstatusbackup.h"

#include <QHeaderView>
#include <QScreen>
#include <QScrollBar>

using backupstatus::Condition;
using backupstatus::Row;

namespace {

const QString Shown = QStringLiteral("dd/MM/yyyy hh:mm");
const QString None = QStringLiteral("—");
const QColor Attention(255, 214, 214);
const QColor Fine(214, 240, 214);
constexpr int CellMargins = 12;
constexpr int MinLastChars = 26;
constexpr int CopyColumn = 6;

QString conditionText(Condition condition)
{
    switch (condition) {
    case Condition::Good:
        return QStringLiteral("Baik");
    case Condition::Failed:
        return QStringLiteral("Gagal");
    case Condition::Late:
        return QStringLiteral("Terlambat");
    case Condition::Never:
        break;
    }
    return QStringLiteral("Belum ada backup");
}

QString jobText(const riwayat::Job &job)
{
    if (job.id == 0)
        return None;
    QString text = job.hasil + QStringLiteral(", ") + job.mulai.toString(Shown);
    if (!job.alasan.isEmpty())
        text += QStringLiteral(": ") + job.alasan;
    return text;
}

QString lastJobText(const Row &row)
{
    if (row.lastJob.hasil != riwayat::Berjalan)
        return jobText(row.lastJob);
    QString text = QStringLiteral("BERJALAN sejak ") + row.lastJob.mulai.toString(Shown);
    if (row.lastFinished.id != 0)
        text += QStringLiteral("; sebelumnya ") + jobText(row.lastFinished);
    return text;
}

QString dumpWhy(const Row &row, qint64 allowedSecs)
{
    switch (row.condition) {
    case Condition::Failed:
        return QStringLiteral("Job terakhir yang selesai: ") + jobText(row.lastFinished);
    case Condition::Late:
        return QStringLiteral("Backup baik terakhir lebih tua dari %1 jam.")
            .arg(allowedSecs / 3600);
    case Condition::Never:
        return QStringLiteral("Tidak ada backup baik yang tersimpan.");
    case Condition::Good:
        break;
    }
    return QString();
}

QString copyWhy(const Row &row, qint64 allowedSecs)
{
    if (!row.copyLate)
        return QString();
    QString text = QStringLiteral("Backup baik sejak %1 belum tersalin ke luar server lebih dari "
                                  "%2 jam.")
                       .arg(row.uncopiedSince.toString(Shown))
                       .arg(allowedSecs / 3600);
    if (row.lastCopyTry.id != 0 && row.lastCopyTry.hasil != riwayat::Ok)
        text += QStringLiteral(" Salinan terakhir ") + row.lastCopyTry.hasil +
                QStringLiteral(": ") + row.lastCopyTry.alasan;
    return text;
}

QString whyText(const Row &row, qint64 allowedSecs)
{
    const QString dump = dumpWhy(row, allowedSecs);
    const QString copy = copyWhy(row, allowedSecs);
    return dump.isEmpty() || copy.isEmpty() ? dump + copy : dump + QLatin1Char('\n') + copy;
}

QString copyTip(const Row &row)
{
    QString tip = row.lastCopy.id == 0 ? QString()
                                       : QStringLiteral("Backup ") +
                                             row.lastCopy.dumpMulai.toString(Shown) +
                                             QStringLiteral(" di ") + row.lastCopy.tujuan;
    if (row.lastCopyTry.id != 0 && row.lastCopyTry.hasil != riwayat::Ok)
        tip += (tip.isEmpty() ? QString() : QStringLiteral("\n")) +
               QStringLiteral("Salinan terakhir ") + row.lastCopyTry.hasil + QStringLiteral(": ") +
               row.lastCopyTry.alasan;
    return tip;
}

QString keadaanText(const Row &row)
{
    if (row.condition == Condition::Good && row.copyLate)
        return QStringLiteral("Salinan tertunda");
    return conditionText(row.condition);
}

// The newest verified copy off this machine: the age of the dump it holds (its time and
// place in the tool tip), narrow enough to leave the last column its room.
QString copyText(const Row &row, bool copiesOn, const QDateTime &now)
{
    if (row.lastCopy.id != 0)
        return backupstatus::ageInWords(row.lastCopy.dumpMulai, now);
    return copiesOn ? QStringLiteral("Belum ada") : QStringLiteral("Tidak diatur");
}

} // namespace

FStatusBackup::FStatusBackup(const XHistoryWatch *history, QWidget *parent)
    : QDialog(parent), ui(new Ui::FStatusBackup), m_history(history)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowTitle(QStringLiteral("Status Backup"));
    setWindowIcon(QIcon(QStringLiteral(":/images/db.png")));
    const QStringList headers{QStringLiteral("Database"),
                              QStringLiteral("Keadaan"),
                              QStringLiteral("Backup baik terakhir"),
                              QStringLiteral("Umur"),
                              QStringLiteral("Ukuran"),
                              QStringLiteral("Terverifikasi"),
                              QStringLiteral("Salinan"),
                              QStringLiteral("Jadwal berikutnya"),
                              QStringLiteral("Job terakhir")};
    ui->tableWidget->setColumnCount(headers.size());
    ui->tableWidget->setHorizontalHeaderLabels(headers);
    ui->tableWidget->horizontalHeaderItem(CopyColumn)
        ->setToolTip(QStringLiteral("Umur salinan terverifikasi terbaru di luar server"));
    // A long reason wraps in the last column, which takes the room the others leave, instead
    // of being cut where the screen ends.
    ui->tableWidget->setWordWrap(true);
    ui->tableWidget->horizontalHeader()->setStretchLastSection(false);
    m_clock.setInterval(60 * 1000);
    connect(&m_clock, &QTimer::timeout, this, &FStatusBackup::showRows);
    connect(history, &XHistoryWatch::changed, this, [this] {
        if (isVisible())
            showRows();
    });
}

FStatusBackup::~FStatusBackup() = default;

void FStatusBackup::showRows()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QList<Row> &rows = m_history->rows();
    const QDateTime next = backupstatus::nextRun(m_history->schedule(), now);
    const qint64 allowed = backupstatus::allowedAgeSecs(m_history->schedule());
    int attention = 0;
    ui->tableWidget->setRowCount(rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        const riwayat::Job &good = row.lastGood;
        const bool have = good.id != 0;
        const QStringList cells{
            row.dbname,
            keadaanText(row),
            have ? good.mulai.toString(Shown) : None,
            have ? backupstatus::ageInWords(good.mulai, now) : None,
            have ? backupstatus::sizeInWords(good.ukuran) : None,
            have ? (good.terverifikasi ? QStringLiteral("Ya") : QStringLiteral("Tidak")) : None,
            copyText(row, m_history->copiesOn(), now),
            next.isValid() ? next.toString(Shown) : QStringLiteral("Tidak terjadwal"),
            lastJobText(row)};
        attention += row.needsAttention() ? 1 : 0;
        for (int column = 0; column < cells.size(); ++column) {
            auto *item = new QTableWidgetItem(cells[column]);
            item->setBackground(row.needsAttention() ? Attention : Fine);
            item->setForeground(Qt::black);
            item->setToolTip(column == 1   ? whyText(row, allowed)
                             : column == CopyColumn ? copyTip(row)
                                           : cells[column]);
            ui->tableWidget->setItem(i, column, item);
        }
    }
    ui->tableWidget->resizeColumnsToContents();
    fitRows();

    QString summary;
    if (rows.isEmpty())
        summary = QStringLiteral("Belum ada database di daftar backup.");
    else if (attention == 0)
        summary = QStringLiteral("Semua backup baik.");
    else
        summary = QStringLiteral("%1 dari %2 database perlu diperiksa.")
                      .arg(QString::number(attention), QString::number(rows.size()));
    if (!m_history->readError().isEmpty())
        summary += QLatin1Char('\n') + m_history->readError();
    ui->lRingkasan->setText(summary);
    // Green only says that every listed database is safe: with none listed, or a history that
    // cannot be read, nothing is known to be.
    const bool known = !rows.isEmpty() && m_history->readError().isEmpty();
    ui->lRingkasan->setStyleSheet(
        attention > 0 ? QStringLiteral("QLabel{background: #c62828; color: white;}")
        : known       ? QStringLiteral("QLabel{background: #2e7d32; color: white;}")
                      : QStringLiteral("QLabel{background: #ef6c00; color: white;}"));
}

// The last column takes the room the others leave, but never less than a few words; its
// rows are then as tall as their wrapped text.
void FStatusBackup::fitRows()
{
    QTableWidget *table = ui->tableWidget;
    const int last = table->columnCount() - 1;
    int room = table->viewport()->width();
    for (int column = 0; column < last; ++column)
        room -= table->columnWidth(column);
    table->setColumnWidth(last, qMax(room, table->fontMetrics().averageCharWidth() * MinLastChars));
    QTimer::singleShot(0, table, &QTableWidget::resizeRowsToContents);
}

void FStatusBackup::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    fitRows();
}

// As wide as the columns need, within the screen.
void FStatusBackup::fitWidth()
{
    if (m_fitted)
        return;
    m_fitted = true;
    QTableWidget *table = ui->tableWidget;
    int needed = table->verticalHeader()->isVisible() ? table->verticalHeader()->width() : 0;
    const int last = table->columnCount() - 1;
    for (int column = 0; column < last; ++column)
        needed += table->columnWidth(column);
    int lastWidth = table->horizontalHeader()->sectionSizeHint(last);
    for (int row = 0; row < table->rowCount(); ++row)
        lastWidth =
            qMax(lastWidth, table->fontMetrics().horizontalAdvance(table->item(row, last)->text()) +
                                CellMargins);
    needed += lastWidth;
    const QMargins margins = layout()->contentsMargins();
    needed += 2 * table->frameWidth() + margins.left() + margins.right() +
              table->verticalScrollBar()->sizeHint().width();
    const QScreen *screen = this->screen();
    const int room = screen ? screen->availableGeometry().width() * 9 / 10 : needed;
    resize(qBound(width(), needed, room), height());
}

void FStatusBackup::showEvent(QShowEvent *event)
{
    showRows();
    fitWidth();
    ui->butTutup->setFocus();
    m_clock.start();
    QDialog::showEvent(event);
}

void FStatusBackup::hideEvent(QHideEvent *event)
{
    m_clock.stop();
    QDialog::hideEvent(event);
}

void FStatusBackup::on_butTutup_clicked()
{
    close();
}
