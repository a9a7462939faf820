#include "fstatusbackup.h"

#include "historywatch.h"
#include "messagebox.h"
#include "permintaan.h"
#include "ui_fstatusbackup.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QJsonObject>
#include <QLocale>
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
constexpr int MinLastChars = 32;

QString conditionText(Condition condition)
{
    switch (condition) {
    case Condition::Good:
        return QStringLiteral("Baik");
    case Condition::Failed:
        return QStringLiteral("Gagal");
    case Condition::Late:
        return QStringLiteral("Terlambat");
    case Condition::Check:
        return QStringLiteral("Perlu diperiksa");
    case Condition::DrillFailed:
        return QStringLiteral("Uji pulih gagal");
    case Condition::DrillLate:
        return QStringLiteral("Uji pulih terlambat");
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

QString number(qint64 value)
{
    return QLocale(QLocale::Indonesian, QLocale::Indonesia).toString(value);
}

QString rowsText(const Row &row)
{
    if (row.lastGood.id == 0 || row.tables.isEmpty())
        return None;
    return number(row.baris) + QStringLiteral(" baris");
}

QString tablesText(const Row &row)
{
    if (row.tables.isEmpty())
        return rowsText(row);
    QStringList lines{QStringLiteral("%1 tabel:").arg(number(row.tabel))};
    for (const riwayat::TableRows &table : row.tables)
        lines << QStringLiteral("%1: %2 baris").arg(table.tabel, number(table.baris));
    return lines.join(QLatin1Char('\n'));
}

// The cell says how and how long ago, its tool tip the rest: the window stays narrow.
QString drillText(const riwayat::Drill &drill, const QDateTime &now)
{
    if (drill.id == 0)
        return None;
    if (drill.hasil == riwayat::Berjalan)
        return QStringLiteral("BERJALAN");
    return drill.hasil + QStringLiteral(", ") + backupstatus::ageInWords(drill.mulai, now);
}

QString drillDetails(const riwayat::Drill &drill)
{
    if (drill.id == 0)
        return None;
    QString text = drill.hasil + QStringLiteral(", ") + drill.mulai.toString(Shown);
    if (drill.hasil == riwayat::Ok)
        text +=
            QStringLiteral(": %1 tabel, %2 baris").arg(number(drill.tabel), number(drill.baris));
    else if (!drill.alasan.isEmpty())
        text += QStringLiteral(": ") + drill.alasan;
    return text;
}

QString whyText(const Row &row, qint64 allowedSecs, qint64 drillAllowedSecs)
{
    switch (row.condition) {
    case Condition::Failed:
        return QStringLiteral("Job terakhir yang selesai: ") + jobText(row.lastFinished);
    case Condition::Late:
        return QStringLiteral("Backup baik terakhir lebih tua dari %1 jam.")
            .arg(allowedSecs / 3600);
    case Condition::Never:
        return QStringLiteral("Tidak ada backup baik yang tersimpan.");
    case Condition::Check:
        return QStringLiteral("Backup %1 PERLU DIPERIKSA: %2 Bila perubahan itu memang "
                              "disengaja, pilih \"Perubahan wajar\"; sampai itu backup lama "
                              "database ini tidak dihapus.")
            .arg(row.checks.last().mulai.toString(Shown), row.checks.last().rincian);
    case Condition::DrillFailed:
        return QStringLiteral("Uji pulih terakhir: ") + drillDetails(row.lastDrill);
    case Condition::DrillLate:
        return QStringLiteral("Tidak ada uji pulih yang berhasil dalam %1 hari terakhir.")
            .arg(drillAllowedSecs / (24 * 3600));
    case Condition::Good:
        break;
    }
    return QString();
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
                              QStringLiteral("Isi"),
                              QStringLiteral("Uji pulih terakhir"),
                              QStringLiteral("Jadwal berikutnya"),
                              QStringLiteral("Job terakhir")};
    ui->tableWidget->setColumnCount(headers.size());
    ui->tableWidget->setHorizontalHeaderLabels(headers);
    // A long reason wraps in the last column, which takes the room the others leave, instead
    // of being cut where the screen ends.
    ui->tableWidget->setWordWrap(true);
    ui->tableWidget->horizontalHeader()->setStretchLastSection(false);
    m_clock.setInterval(60 * 1000);
    connect(&m_clock, &QTimer::timeout, this, &FStatusBackup::showRows);
    connect(history, &XHistoryWatch::changed, this, [this] {
        if (isVisible())
            showRows();
        answerSeen();
    });
    connect(ui->tableWidget, &QTableWidget::itemSelectionChanged, this,
            &FStatusBackup::selectionChanged);
}

void FStatusBackup::setRequests(std::function<QSqlDatabase()> settings,
                                std::function<QString()> wake)
{
    m_settings = std::move(settings);
    m_wake = std::move(wake);
}

FStatusBackup::~FStatusBackup() = default;

void FStatusBackup::showRows()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QList<Row> &rows = m_history->rows();
    const QDateTime next = backupstatus::nextRun(m_history->schedule(), now);
    const qint64 allowed = backupstatus::allowedAgeSecs(m_history->schedule());
    const qint64 drillAllowed = backupstatus::drillAllowedSecs(m_history->schedule());
    const QString selected = ui->tableWidget->currentRow() >= 0 &&
                                     ui->tableWidget->item(ui->tableWidget->currentRow(), 0)
                                 ? ui->tableWidget->item(ui->tableWidget->currentRow(), 0)->text()
                                 : QString();
    int attention = 0;
    ui->tableWidget->setRowCount(rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        const riwayat::Job &good = row.lastGood;
        const bool have = good.id != 0;
        const QStringList cells{
            row.dbname,
            conditionText(row.condition),
            have ? good.mulai.toString(Shown) : None,
            have ? backupstatus::ageInWords(good.mulai, now) : None,
            have ? backupstatus::sizeInWords(good.ukuran) : None,
            have ? (good.terverifikasi ? QStringLiteral("Ya") : QStringLiteral("Tidak")) : None,
            rowsText(row),
            drillText(row.lastDrill, now),
            next.isValid() ? next.toString(Shown) : QStringLiteral("Tidak terjadwal"),
            lastJobText(row)};
        attention += row.needsAttention() ? 1 : 0;
        for (int column = 0; column < cells.size(); ++column) {
            auto *item = new QTableWidgetItem(cells[column]);
            item->setBackground(row.needsAttention() ? Attention : Fine);
            item->setForeground(Qt::black);
            item->setToolTip(column == 1   ? whyText(row, allowed, drillAllowed)
                             : column == 6 ? tablesText(row)
                             : column == 7 ? drillDetails(row.lastDrill)
                                           : cells[column]);
            ui->tableWidget->setItem(i, column, item);
        }
        if (row.dbname == selected)
            ui->tableWidget->setCurrentCell(i, 0);
    }
    selectionChanged();
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
    // At least what fitRows() gives it, or the window would scroll sideways.
    int lastWidth = qMax(table->horizontalHeader()->sectionSizeHint(last),
                         table->fontMetrics().averageCharWidth() * MinLastChars);
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

// Offered for a database whose dump waits to be checked.
void FStatusBackup::selectionChanged()
{
    const int current = ui->tableWidget->currentRow();
    const QList<Row> &rows = m_history->rows();
    ui->butWajar->setEnabled(m_wake && m_asked.isEmpty() && current >= 0 && current < rows.size() &&
                             !rows[current].checks.isEmpty());
}

// The administrator says the change was meant: the service records who and when, and its
// retention deletes the old dumps of the database again.
void FStatusBackup::on_butWajar_clicked()
{
    const int current = ui->tableWidget->currentRow();
    const QList<Row> &rows = m_history->rows();
    if (current < 0 || current >= rows.size() || rows[current].checks.isEmpty())
        return;
    const Row &row = rows[current];
    const riwayat::Check &check = row.checks.last();
    if (!askYes(QStringLiteral("Backup database %1 dari %2 PERLU DIPERIKSA: %3\n\nTerima "
                               "sebagai perubahan wajar? Backup lama database ini akan "
                               "dihapus lagi sesuai pengaturan.")
                    .arg(row.dbname, check.mulai.toString(Shown), check.rincian),
                this, QMessageBox::No))
        return;
    QString kunci, error;
    if (!permintaan::submit(m_settings(), QStringLiteral("terima-perubahan"),
                            {{QStringLiteral("dbname"), row.dbname},
                             {QStringLiteral("riwayat_id"), double(check.riwayatId)}},
                            m_wake, &kunci, &error)) {
        showError(QStringLiteral("Gagal mengirim permintaan.\nPesan Error : ") + error, this);
        return;
    }
    m_asked = kunci;
    selectionChanged();
}

void FStatusBackup::answerSeen()
{
    if (m_asked.isEmpty())
        return;
    permintaan::Answer answer;
    QString error;
    if (!permintaan::readAnswer(m_history->path(), m_asked, &answer, &error) ||
        !answer.isFinished())
        return;
    m_asked.clear();
    selectionChanged();
    if (answer.hasil != permintaan::Ok)
        showWarning(QStringLiteral("Perubahan tidak diterima service.\nPesan Error : ") +
                        answer.pesan,
                    this);
}
