#include "flog.h"

#include "confbu.h"
#include "logtext.h"
#include "messagebox.h"
#include "sharedfiles.h"
#include "ui_flog.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
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

// The log behind the program folder's link, opened as itself: what a member of the group put
// there while it was missing (a FIFO, a link to a file of root's) is neither waited on nor
// emptied. False, after saying so, when it is missing or no such file.
bool flog::openLog(QFile *file, QIODevice::OpenMode mode)
{
    const QString path = logPath();
    if (!QFile::exists(path) && !QFileInfo(path).isSymLink()) {
        showMissing(path);
        return false;
    }
    const QFileInfo entry(path);
    const QString target = entry.isSymLink() ? entry.symLinkTarget() : path;
    QString why;
    if (sharedfiles::openRegular(file, target, mode, &why))
        return true;
    showError(QStringLiteral("File : ") + path + QStringLiteral(" tidak dapat dibuka: ") + why +
                  QLatin1Char('.'),
              this);
    return false;
}

void flog::loadLog()
{
    m_feeder->stop();
    m_pending.clear();
    m_shownUpTo = 0;
    m_rowLength = 0;
    ui->plainTextEdit->clear();

    QFile file;
    if (!openLog(&file, QIODevice::ReadOnly))
        return;
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
    QFile file;
    if (!openLog(&file, QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    file.close();
    m_feeder->stop();
    m_pending.clear();
    m_shownUpTo = 0;
    ui->plainTextEdit->setPlainText(QString());
}
