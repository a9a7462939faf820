// "Pulihkan Database": the administrator picks a database, one of its good dumps (or a verified
// copy off this machine) and where it goes (a new database, or in place of the database), and
// the service is asked to restore it. The service does the work and checks the request again;
// this window only asks, then follows the answer: progress while it runs, and at the end the
// result with each table's rows against what the dump held. Closed and opened again, it finds a
// restore that still runs (or waits to be taken) and follows that one.
#pragma once

#include "pemulihan.h"

#include <QDialog>
#include <QList>
#include <QScopedPointer>
#include <QSqlDatabase>
#include <QTimer>

#include <functional>

namespace Ui {
class FPulihkan;
}

class FPulihkan : public QDialog
{
    Q_OBJECT
public:
    // Where the panel's PostgreSQL server is, to see whether a new target's name is taken.
    struct Server
    {
        QString host, user, password;
        int port = 0;
    };
    // What the window needs of the main window. settings: the open confbu.cfg (asked for when a
    // request is sent); command: sends the service a user command, returns an empty text or why
    // it could not; agePath: the age program that seals an identity for the service.
    struct Wiring
    {
        std::function<QSqlDatabase()> settings;
        QString historyPath;
        Server server;
        QStringList databases; // the backup list; the history's databases are added
        std::function<QString(int)> command;
        QString agePath;
        std::function<bool()> serviceRunning; // asked now and then while a restore is followed
    };

    static constexpr int PollMs = 500;
    static constexpr int ServiceLookPolls = 10;

    explicit FPulihkan(Wiring wiring, QWidget *parent = nullptr);
    ~FPulihkan() override;

    // Shows this database's dumps, unless a restore is followed.
    void chooseDatabase(const QString &db);
    // The age identity file for the next request only (what "Pilih..." picks).
    void useIdentity(const QString &file);
    // A restore asked and not yet ended is followed.
    bool isFollowing() const { return !m_kunci.isEmpty(); }

private slots:
    void on_butPulihkan_clicked();
    void on_butBatalkan_clicked();
    void on_butTutup_clicked();
    void on_butIdentitas_clicked();

private:
    void loadDatabases();
    void selectDatabase(const QString &db);
    void showCandidates();
    void candidateChanged();
    void targetChanged();
    // The restore the history records under kunci, with its tables' counts when asked.
    bool readRestore(const QString &kunci, pemulihan::Restore *restore,
                     QList<pemulihan::TableCount> *tables = nullptr) const;
    // Finds a restore that runs or waits; true when one is followed now.
    bool findRunning();
    void follow(const QString &kunci, const QString &database, const QString &file,
                const QString &ke, bool timpa);
    void poll();
    void showProgress(const pemulihan::Progress &progress);
    // What is followed, as the first line of the step shown.
    QString heading() const;
    void showResult(const QString &hasil, const QString &pesan);
    void showLast();
    // The outcome of the restore of kunci: text, and each table's rows.
    void showOutcome(const QString &kunci, const QString &hasil, const QString &text);
    void showAsked(const QString &database, const QString &file, const QString &ke, bool timpa);
    void setChoosing(bool choosing);
    // The request as the form holds it; false after telling why it cannot be sent.
    bool formChoice(pemulihan::Choice *choice);
    // Whether a database of this name is on the server; false with the reason when it cannot
    // be asked.
    bool existsOnServer(const QString &name, bool *exists, QString *error) const;
    const pemulihan::Candidate *currentCandidate() const;

    const QScopedPointer<Ui::FPulihkan> ui;
    const Wiring m_wiring;
    QList<pemulihan::Candidate> m_candidates;
    QString m_identity; // the identity file picked for the next request only
    QTimer m_poll;
    QString m_kunci; // the request followed
    QString m_what;
    int m_polls = 0;
    bool m_serviceDown = false; // and what it restores, in words
};
