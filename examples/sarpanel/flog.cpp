#include "flog.h"

#include "confbu.h"
#include "logtext.h"
#include "messagebox.h"
#include "ui_flog.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextCursor>
#include <QTimer>

flog::flog(QWidget *parent, const QString &programDir)
    : QDialog(parent), ui(new Ui::flog),
      m_programDir(programDir.isEmpty() ? QCoreApplication::applicationDirPath() : programDir)
{
    ui->setupUi(this);
    ui->plainTextEdit->setUndoRedoEnabled(false);
    m_feeder = new QTimer(this);
    m_feeder->setSingleShot(true);
    m_feeder->setInterval(0);
    connect(m_feeder, &QTimer::timeout, this, &flog::appendNextPart);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowTitle(QStringLiteral("Log Proses Backup"));
    // Placed now, as showing would place it: a missing log is reported before
    // the viewer shows, and that box is centred over where the viewer will be.
    adjustPosition(parentWidget());
    loadLog();
    ui->plainTextEdit->setReadOnly(true);
}

flog::~flog() = default;

QString flog::logPath() const
{
    return confbu::joinPath(m_programDir, confbu::LogFile);
}

void flog::showMissing(const QString &path)
{
    showError(QStringLiteral("File : ") + path + QStringLiteral(" tidak ditemukan."), this);
}

void flog::loadLog()
{
    m_feeder->stop();
    m_pending.clear();
    m_shownUpTo = 0;
    m_rowLength = 0;
    ui->plainTextEdit->clear();

    const QString path = logPath();
    QFile file(path);
    if (!file.exists()) {
        showMissing(path);
        return;
    }
    file.open(QIODevice::ReadOnly);
    m_pending = file.readAll();
    file.close();
    const int nul = m_pending.indexOf('\0');
    if (nul >= 0)
        m_pending.truncate(nul);
    appendNextPart();
}

void flog::appendNextPart()
{
    // A quarter of a megabyte per step: a few milliseconds of work, whatever
    // the length of its lines.
    constexpr int PartBytes = 256 * 1024;
    const int end = logtext::partEnd(m_pending, m_shownUpTo, m_shownUpTo + PartBytes);
    const QString text = logtext::breakLongRows(
        QString::fromUtf8(m_pending.constData() + m_shownUpTo, end - m_shownUpTo), &m_rowLength);
    if (m_shownUpTo == 0) {
        // As for the whole text at once: the view at the top, the cursor at
        // the start, where later parts appended at the end leave it.
        ui->plainTextEdit->setPlainText(text);
    } else {
        QTextCursor cursor(ui->plainTextEdit->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(text);
    }
    m_shownUpTo = end;
    if (m_shownUpTo < m_pending.size()) {
        m_feeder->start();
    } else {
        m_pending.clear();
        m_shownUpTo = 0;
    }
}

void flog::on_butTutup_clicked()
{
    close();
}

void flog::on_butHapus_clicked()
{
    const QString path = logPath();
    QFile file(path);
    if (!file.exists()) {
        showMissing(path);
        return;
    }
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.resize(file.pos());
    file.close();
    m_feeder->stop();
    m_pending.clear();
    m_shownUpTo = 0;
    ui->plainTextEdit->setPlainText(QString());
}
