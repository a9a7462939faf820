// The log viewer: shows the service's activity log and what the service adds to it while
// the viewer is open, and can empty it.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QFileSystemWatcher>
#include <QIODevice>
#include <QScopedPointer>

class QFile;
class QTimer;

namespace Ui {
class flog;
}

class flog : public QDialog
{
    Q_OBJECT
public:
    // programDir names the folder holding busys.log; empty means the
    // program's own folder.
    explicit flog(QWidget *parent = nullptr, const QString &programDir = QString());
    ~flog() override;

    void loadLog();

private slots:
    void on_butTutup_clicked();
    void on_butHapus_clicked();

private:
    QString logPath() const;
    void showMissing(const QString &path);
    // The log behind the program folder's link, opened as itself; why not in *why.
    bool openTarget(QFile *file, QIODevice::OpenMode mode, QString *why) const;
    bool openLog(QFile *file, QIODevice::OpenMode mode);
    void appendNextPart();
    // Reads what the log holds beyond what was shown; from its start again when it was
    // rotated (copied away and emptied) or emptied elsewhere.
    void follow();
    // Takes bytes read from the log at m_readUpTo: shown up to a first NUL, after which
    // nothing more is followed.
    void take(QByteArray bytes);

    const QScopedPointer<Ui::flog> ui;
    QString m_programDir;
    // A large log is shown part by part from the event loop, so the dialog
    // opens at once and stays responsive while the rest arrives.
    QByteArray m_pending;
    int m_shownUpTo = 0;
    int m_rowLength = 0; // of the last row shown, for breaking long lines
    QTimer *m_feeder;
    bool m_viewStarted = false; // the first part replaces the view's text, the rest append
    bool m_loaded = false;      // the log as it was at opening is in the view
    QFileSystemWatcher m_watcher;
    qint64 m_readUpTo = 0;  // bytes of the log taken so far
    QByteArray m_lastBytes; // the last of them, to know the file for the same one later
    bool m_stopped = false; // a NUL byte ended the text
};
