// "Status Backup": one row per listed database, the ones needing attention first in red,
// kept current while open from the history the main window watches. "Perubahan wajar" asks the
// service to accept the change of a dump that waits to be checked; "Pulihkan" (and the row's
// menu) opens the restore window with the row's database.
#pragma once

#include <QDialog>
#include <QScopedPointer>
#include <QSqlDatabase>
#include <QTimer>

#include <functional>

class XHistoryWatch;

namespace Ui {
class FStatusBackup;
}

class FStatusBackup : public QDialog
{
    Q_OBJECT
public:
    explicit FStatusBackup(const XHistoryWatch *history, QWidget *parent = nullptr);
    ~FStatusBackup() override;

    void showRows();
    // Where requests to the service go: the settings file (asked for when one is sent), and
    // what wakes the service (an empty text when it was woken, else why not).
    void setRequests(std::function<QSqlDatabase()> settings, std::function<QString()> wake);

signals:
    void restoreAsked(const QString &db);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void on_butTutup_clicked();
    void on_butWajar_clicked();
    void on_butPulihkan_clicked();

private:
    void fitWidth();
    void selectionChanged();
    QString selectedDatabase() const;
    // The answer to the request last sent, once the service has given it.
    void answerSeen();
    void fitColumns();

    const QScopedPointer<Ui::FStatusBackup> ui;
    const XHistoryWatch *m_history;
    QTimer m_clock; // ages and the next backup time move on while the window is open
    bool m_fitted = false;
    std::function<QSqlDatabase()> m_settings;
    std::function<QString()> m_wake;
    QString m_asked; // the request whose answer is awaited
};
