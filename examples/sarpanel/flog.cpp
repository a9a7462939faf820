#include "flog.h"

#include "confbu.h"
#include "logtext.h"
#include "messagebox.h"
#include "sharedfiles.h"
#include "ui_flog.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>

namespace {

// Enough of the last bytes taken to tell the same file from one that was emptied and
// filled again past the same length.
constexpr int Fingerprint = 64;

} // namespace

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
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &flog::follow);
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

// What a member of the group put there while the log was missing (a FIFO, a link to a file of
// root's) is neither waited on nor emptied.
bool flog::openTarget(QFile *file, QIODevice::OpenMode mode, QString *why) const
{
    const QFileInfo entry(logPath());
    return sharedfiles::openRegular(file, entry.isSymLink() ? entry.symLinkTarget() : logPath(),
                                    mode, why);
}

// False, after saying so, when the log is missing or no such file.
bool flog::openLog(QFile *file, QIODevice::OpenMode mode)
{
    const QString path = logPath();
    if (!QFile::exists(path) && !QFileInfo(path).isSymLink()) {
        showMissing(path);
        return false;
    }
    QString why;
    if (openTarget(file, mode, &why))
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
    m_viewStarted = false;
    m_loaded = false;
    m_readUpTo = 0;
    m_lastBytes.clear();
    m_stopped = false;
    ui->plainTextEdit->clear();

    QFile file;
    if (!openLog(&file, QIODevice::ReadOnly))
        return;
    // Watched through a link to the real file, which the service appends to.
    m_watcher.addPath(logPath());
    take(file.readAll());
    file.close();
    appendNextPart();
}

void flog::take(QByteArray bytes)
{
    m_readUpTo += bytes.size();
    m_lastBytes = (m_lastBytes + bytes).right(Fingerprint);
    const int nul = bytes.indexOf('\0');
    if (nul >= 0) {
        bytes.truncate(nul);
        m_stopped = true;
        m_watcher.removePaths(m_watcher.files());
    }
    m_pending += bytes;
}

void flog::follow()
{
    const QString path = logPath();
    // A file replaced or removed drops out of the watcher: the new one is watched anew.
    if (!m_watcher.files().contains(path) && QFile::exists(path))
        m_watcher.addPath(path);
    QFile file;
    QString why;
    if (m_stopped || !openTarget(&file, QIODevice::ReadOnly, &why))
        return;
    // Rotated (copied away and emptied, then written again) or emptied elsewhere: what it holds
    // now starts at its beginning. Also when it has grown past the old length meanwhile.
    bool same = file.size() >= m_readUpTo;
    if (same && !m_lastBytes.isEmpty()) {
        file.seek(m_readUpTo - m_lastBytes.size());
        same = file.read(m_lastBytes.size()) == m_lastBytes;
    }
    if (!same) {
        m_readUpTo = 0;
        m_lastBytes.clear();
    }
    file.seek(m_readUpTo);
    const QByteArray bytes = file.readAll();
    // Whole letters only: the rest of one comes with the next write.
    take(bytes.left(logtext::wholeLetters(bytes)));
    if (!m_feeder->isActive() && m_shownUpTo < m_pending.size())
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
    QPlainTextEdit *view = ui->plainTextEdit;
    if (!m_viewStarted) {
        // As for the whole text at once: the view at the top, the cursor at
        // the start, where later parts appended at the end leave it.
        view->setPlainText(text);
        m_viewStarted = true;
    } else {
        // A reader at the end keeps seeing the newest lines as they come.
        QScrollBar *bar = view->verticalScrollBar();
        const bool atEnd = m_loaded && bar->value() == bar->maximum();
        QTextCursor cursor(view->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(text);
        if (atEnd)
            bar->setValue(bar->maximum());
    }
    m_shownUpTo = end;
    if (m_shownUpTo < m_pending.size()) {
        m_feeder->start();
    } else {
        m_pending.clear();
        m_shownUpTo = 0;
        m_loaded = true;
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
    m_rowLength = 0;
    m_readUpTo = 0;
    m_lastBytes.clear();
    m_viewStarted = false;
    m_loaded = true;
    ui->plainTextEdit->setPlainText(QString());
}
