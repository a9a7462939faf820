// The log viewer: shows the service's activity log and can empty it.
#pragma once

#include <QByteArray>
#include <QDialog>
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
    bool openLog(QFile *file, QIODevice::OpenMode mode);
    void appendNextPart();

    const QScopedPointer<Ui::flog> ui;
    QString m_programDir;
    // A large log is shown part by part from the event loop, so the dialog
    // opens at once and stays responsive while the rest arrives.
    QByteArray m_pending;
    int m_shownUpTo = 0;
    int m_rowLength = 0; // of the last row shown, for breaking long lines
    QTimer *m_feeder;
};
