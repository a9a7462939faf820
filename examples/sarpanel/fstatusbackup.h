// "Status Backup": one row per listed database, the ones needing attention first in red,
// kept current while open from the history the main window watches.
#pragma once

#include <QDialog>
#include <QScopedPointer>
#include <QTimer>

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

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void on_butTutup_clicked();

private:
    void fitWidth();
    void fitColumns();

    const QScopedPointer<Ui::FStatusBackup> ui;
    const XHistoryWatch *m_history;
    QTimer m_clock; // ages and the next backup time move on while the window is open
    bool m_fitted = false;
};
