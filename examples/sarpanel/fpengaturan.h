// "Pengaturan Lanjutan": how many backups to keep per database, when the restore drills run,
// and the monitoring URL with a test of it. The service reads them at every run, so saving
// needs no restart.
#pragma once

#include <QDialog>
#include <QScopedPointer>
#include <QSqlDatabase>

class XMonitorCheck;

namespace Ui {
class FPengaturan;
}

class FPengaturan : public QDialog
{
    Q_OBJECT
public:
    // settings: the main window's open connection to confbu.cfg.
    explicit FPengaturan(const QSqlDatabase &settings, QWidget *parent = nullptr);
    ~FPengaturan() override;

    void setCheckTimeoutMs(int ms) { m_checkTimeoutMs = ms; }

private slots:
    void on_butTes_clicked();
    void on_butSimpan_clicked();
    void on_butBatal_clicked();

private:
    // The URL as typed (empty: no monitor); false after telling why it cannot be used.
    bool usableUrl(QUrl *url);
    void checked(bool ok, const QString &text);

    const QScopedPointer<Ui::FPengaturan> ui;
    QSqlDatabase m_settings;
    XMonitorCheck *m_check;
    int m_checkTimeoutMs;
};
