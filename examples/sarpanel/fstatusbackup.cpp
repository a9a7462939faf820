#include "fstatusbackup.h"

#include "historywatch.h"
#include "messagebox.h"
#include "permintaan.h"
#include "ui_fstatusbackup.h"
#include "wrapdelegate.h"

#include <QAction>
#include <QFileInfo>
#include <QHeaderView>
#include <QJsonObject>
#include <QLocale>
#include <QRegularExpression>
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
constexpr int MinLastChars = 20;

// The widest piece of the text that wrapping cannot break: a short word (long ones may
// break anywhere), at least the widest letter.
int unbreakableWidth(const QFontMetrics &metrics, const QString &text)
{
    int widest = 0;
    for (const QString &piece : XWrapDelegate::breakable(text).split(
             QRegularExpression(QStringLiteral("[\\s\\x{200B}]")), Qt::SkipEmptyParts))
        widest = qMax(widest, metrics.horizontalAdvance(piece));
    return widest;
}

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

// How the newest good dump is proven: read back whole (the rows it holds were counted on the
// way), and restored by the newest drill. Short, since the column is narrow; the tool tip says
// the rest.
QString proofText(const Row &row, const QDateTime &now)
{
    QStringList lines;
    if (row.lastGood.id != 0)
        lines << (!row.lastGood.terverifikasi ? QStringLiteral("Tidak")
                  : row.tables.isEmpty()
                      ? QStringLiteral("Ya")
                      : QStringLiteral("Ya, ") + number(row.baris) + QStringLiteral(" baris"));
    if (row.lastDrill.id != 0)
        lines << QStringLiteral("Uji pulih ") +
                     (row.lastDrill.hasil == riwayat::Berjalan
                          ? QStringLiteral("berjalan")
                          : row.lastDrill.hasil + QStringLiteral(", ") +
                                backupstatus::ageInWords(row.lastDrill.mulai, now));
    return lines.isEmpty() ? None : lines.join(QLatin1Char('\n'));
}

QString drillDetails(const riwayat::Drill &drill)
{
    if (drill.id == 0)
        return QStringLiteral("Belum ada uji pulih.");
    QString text = QStringLiteral("Uji pulih terakhir: ") + drill.hasil + QStringLiteral(", ") +
                   drill.mulai.toString(Shown);
    if (drill.hasil == riwayat::Ok)
        text +=
            QStringLiteral(": %1 tabel, %2 baris").arg(number(drill.tabel), number(drill.baris));
    else if (!drill.alasan.isEmpty())
        text += QStringLiteral(": ") + drill.alasan;
    return text;
}

QString proofDetails(const Row &row)
{
    QStringList lines;
    if (!row.tables.isEmpty()) {
        lines << QStringLiteral("Isi backup baik terakhir, %1 tabel:").arg(number(row.tabel));
        for (const riwayat::TableRows &table : row.tables)
            lines << QStringLiteral("%1: %2 baris").arg(table.tabel, number(table.baris));
    }
    lines << drillDetails(row.lastDrill);
    return lines.join(QLatin1Char('\n'));
}

QString dumpWhy(const Row &row, qint64 allowedSecs, qint64 drillAllowedSecs)
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
        return drillDetails(row.lastDrill);
    case Condition::DrillLate:
        return QStringLiteral("Tidak ada uji pulih yang berhasil dalam %1 hari terakhir.")
            .arg(drillAllowedSecs / (24 * 3600));
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

QString whyText(const Row &row, qint64 allowedSecs, qint64 drillAllowedSecs)
{
    const QString dump = dumpWhy(row, allowedSecs, drillAllowedSecs);
    const QString copy = copyWhy(row, allowedSecs);
    return dump.isEmpty() || copy.isEmpty() ? dump + copy : dump + QLatin1Char('\n') + copy;
}

// The state, and where copies off this machine are made (or were), the age of the newest
// verified one on a line of its own: no column of its own, which a small screen has no room for.
QString keadaanText(const Row &row, bool copiesOn, const QDateTime &now)
{
    QString text = row.condition == Condition::Good && row.copyLate
                       ? QStringLiteral("Salinan tertunda")
                       : conditionText(row.condition);
    if (row.lastCopy.id != 0)
        text += QStringLiteral("\nsalinan: ") +
                backupstatus::ageInWords(row.lastCopy.dumpMulai, now);
    else if (copiesOn)
        text += QStringLiteral("\nsalinan: belum ada");
    return text;
}

// Why, and the newest verified copy: the time of the dump it holds and where it is.
QString keadaanTip(const Row &row, qint64 allowedSecs, qint64 drillAllowedSecs)
{
    QString tip = whyText(row, allowedSecs, drillAllowedSecs);
    if (row.lastCopy.id != 0)
        tip += (tip.isEmpty() ? QString() : QStringLiteral("\n")) +
               QStringLiteral("Salinan terverifikasi terbaru: backup ") +
               row.lastCopy.dumpMulai.toString(Shown) + QStringLiteral(" di ") +
               row.lastCopy.tujuan;
    return tip;
}

} // namespace

FStatusBackup::FStatusBackup(const XHistoryWatch *history, QWidget *parent)
    : QDialog(parent), ui(new Ui::FStatusBackup), m_history(history)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowTitle(QStringLiteral("Status Backup"));
    setWindowIcon(QIcon(QStringLiteral(":/images/db.png")));
    // The next backup time is the same for every database: it is said once, above the table.
    const QStringList headers{QStringLiteral("Database"),
                              QStringLiteral("Keadaan"),
                              QStringLiteral("Backup baik\nterakhir"),
                              QStringLiteral("Umur"),
                              QStringLiteral("Ukuran"),
                              QStringLiteral("Terverifikasi"),
                              QStringLiteral("Job terakhir")};
    ui->tableWidget->setColumnCount(headers.size());
    ui->tableWidget->setHorizontalHeaderLabels(headers);
    // Every cell wraps, long names and paths too, so that all columns fit the window and the
    // reason in the last one is never cut where the screen ends.
    ui->tableWidget->setWordWrap(true);
    ui->tableWidget->setItemDelegate(new XWrapDelegate(ui->tableWidget));
    ui->tableWidget->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
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
    ui->tableWidget->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto *restore = new QAction(QStringLiteral("Pulihkan Database..."), ui->tableWidget);
    connect(restore, &QAction::triggered, this, &FStatusBackup::on_butPulihkan_clicked);
    ui->tableWidget->addAction(restore);
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
        const QStringList cells{row.dbname,
                                keadaanText(row, m_history->copiesOn(), now),
                                have ? good.mulai.toString(Shown) : None,
                                have ? backupstatus::ageInWords(good.mulai, now) : None,
                                have ? backupstatus::sizeInWords(good.ukuran) : None,
                                proofText(row, now),
                                lastJobText(row)};
        attention += row.needsAttention() ? 1 : 0;
        for (int column = 0; column < cells.size(); ++column) {
            auto *item = new QTableWidgetItem(cells[column]);
            item->setBackground(row.needsAttention() ? Attention : Fine);
            item->setForeground(Qt::black);
            item->setToolTip(column == 1   ? keadaanTip(row, allowed, drillAllowed)
                             : column == 5 ? proofDetails(row)
                                           : cells[column]);
            ui->tableWidget->setItem(i, column, item);
        }
        if (row.dbname == selected)
            ui->tableWidget->setCurrentCell(i, 0);
    }
    selectionChanged();
    fitColumns();

    QStringList summary;
    if (rows.isEmpty())
        summary << QStringLiteral("Belum ada database di daftar backup.");
    else if (attention == 0)
        summary << QStringLiteral("Semua backup baik.");
    else
        summary << QStringLiteral("%1 dari %2 database perlu diperiksa.")
                       .arg(QString::number(attention), QString::number(rows.size()));
    const bool scheduled = next.isValid();
    summary << (scheduled ? QStringLiteral("Backup berikutnya: ") + next.toString(Shown) +
                                QLatin1Char('.')
                          : backupstatus::NothingScheduled);
    if (!m_history->readError().isEmpty())
        summary << m_history->readError();
    ui->lRingkasan->setText(summary.join(QLatin1Char('\n')));
    // Green only says that every listed database is safe and will be backed up again: with
    // none listed, no backup time on, or a history that cannot be read, that is not known.
    const bool known = !rows.isEmpty() && m_history->readError().isEmpty();
    ui->lRingkasan->setStyleSheet(
        attention > 0 || !scheduled ? QStringLiteral("QLabel{background: #c62828; color: white;}")
        : known                     ? QStringLiteral("QLabel{background: #2e7d32; color: white;}")
                                    : QStringLiteral("QLabel{background: #ef6c00; color: white;}"));
}

// Each column as wide as its text, as far as the window allows; where it does not, the
// widest column gives first, down to the next widest, and none below its widest unbreakable
// piece: a long name or reason wraps before a date does. Room left over goes to the reason.
// The rows then grow as tall as their wrapped text.
void FStatusBackup::fitColumns()
{
    QTableWidget *table = ui->tableWidget;
    QHeaderView *header = table->horizontalHeader();
    const QFontMetrics metrics = table->fontMetrics();
    const int columns = table->columnCount(), last = columns - 1;
    // Room left for the scroll bar that tall wrapped rows may bring.
    const int room =
        table->viewport()->width() - (table->verticalScrollBar()->isVisible()
                                          ? 0
                                          : table->verticalScrollBar()->sizeHint().width());
    table->resizeColumnsToContents();
    QVector<int> width(columns), least(columns);
    int total = 0;
    for (int column = 0; column < columns; ++column) {
        width[column] = table->columnWidth(column);
        least[column] = header->sectionSizeHint(column);
        for (int row = 0; row < table->rowCount(); ++row)
            least[column] =
                qMax(least[column],
                     unbreakableWidth(metrics, table->item(row, column)->text()) + CellMargins);
        if (column == last) // a few words a line
            least[column] = qMax(least[column], metrics.averageCharWidth() * MinLastChars);
        least[column] = qMin(least[column], width[column]);
        total += width[column];
    }
    while (total > room) {
        int widest = -1, next = 0;
        for (int column = 0; column < columns; ++column) {
            if (width[column] <= least[column])
                continue;
            if (widest < 0 || width[column] > width[widest]) {
                if (widest >= 0)
                    next = qMax(next, width[widest]);
                widest = column;
            } else {
                next = qMax(next, width[column]);
            }
        }
        if (widest < 0)
            break; // nothing can give more on so narrow a screen
        const int cut = qMax(1, qMin(total - room, width[widest] - qMax(next, least[widest])));
        width[widest] -= cut;
        total -= cut;
    }
    width[last] += qMax(0, room - total);
    for (int column = 0; column < columns; ++column)
        table->setColumnWidth(column, width[column]);
    QTimer::singleShot(0, table, &QTableWidget::resizeRowsToContents);
}

void FStatusBackup::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    fitColumns();
}

// As wide as the columns need, within the screen.
void FStatusBackup::fitWidth()
{
    if (m_fitted)
        return;
    m_fitted = true;
    QTableWidget *table = ui->tableWidget;
    table->resizeColumnsToContents();
    int needed = table->verticalHeader()->isVisible() ? table->verticalHeader()->width() : 0;
    for (int column = 0; column < table->columnCount(); ++column)
        needed += table->columnWidth(column);
    const QMargins margins = layout()->contentsMargins();
    needed += 2 * table->frameWidth() + margins.left() + margins.right() +
              table->verticalScrollBar()->sizeHint().width();
    const QScreen *screen = this->screen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, needed, height());
    resize(qMin(qMax(width(), needed), available.width() * 9 / 10),
           qMin(height(), available.height() * 9 / 10));
    fitColumns();
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

QString FStatusBackup::selectedDatabase() const
{
    const int current = ui->tableWidget->currentRow();
    const QList<Row> &rows = m_history->rows();
    return current >= 0 && current < rows.size() ? rows[current].dbname : QString();
}

void FStatusBackup::on_butPulihkan_clicked()
{
    emit restoreAsked(selectedDatabase());
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
    ui->butPulihkan->setEnabled(current >= 0 && current < rows.size());
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
