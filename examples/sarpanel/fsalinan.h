// "Salinan Luar Server": where every good dump is copied off this machine. The destinations are
// root's (the service publishes their names and types); a member chooses one, a folder in it,
// how many copies it keeps and the age recipient the copies are encrypted to. "Tes" asks the
// service to write, read back and delete a small file there, and shows its answer. The service
// reads the choice at every run, so saving needs no restart.
#pragma once

#include "salinan.h"

#include <QDialog>
#include <QScopedPointer>
#include <QSqlDatabase>
#include <QTimer>

#include <functional>

namespace Ui {
class FSalinan;
}

class FSalinan : public QDialog
{
    Q_OBJECT
public:
    // How long "Tes" waits for the service's answer.
    static constexpr int AnswerWaitMs = 3 * 60 * 1000;

    // settings: the main window's open connection to confbu.cfg; historyPath: riwayat.db as the
    // program directory names it; wake: tells the service that a request waits (an empty text),
    // or says why it cannot.
    FSalinan(const QSqlDatabase &settings, const QString &historyPath,
             std::function<QString()> wake, QWidget *parent = nullptr);
    ~FSalinan() override;

private slots:
    void on_butTes_clicked();
    void on_butSimpan_clicked();
    void on_butBatal_clicked();

private:
    void loadDestinations();
    void showChoice();
    void judgeRecipient();
    void pollAnswer();
    void testEnded(const QString &text, bool good);
    // The choice as the form holds it; false after telling why it cannot be used.
    bool formChoice(salinan::Settings *choice);

    const QScopedPointer<Ui::FSalinan> ui;
    QSqlDatabase m_settings;
    const QString m_historyPath;
    const std::function<QString()> m_wake;
    salinan::Published m_published;
    QTimer m_poll;
    QString m_kunci; // the test waiting for its answer
    int m_waitedMs = 0;
};
