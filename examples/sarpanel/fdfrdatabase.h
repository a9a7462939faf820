// Lets the administrator pick one of the PostgreSQL server's databases. The
// list is read once, at the first show, over a connection that is closed again
// before the user chooses.
#pragma once

#include <QDialog>
#include <QScopedPointer>
#include <QString>

class QCloseEvent;
class QKeyEvent;
class QListWidgetItem;
class QShowEvent;
class XDBConnection;

namespace Ui {
class FDfrDatabase;
}

class FDfrDatabase : public QDialog
{
    Q_OBJECT
public:
    explicit FDfrDatabase(QWidget *parent = nullptr);
    ~FDfrDatabase() override;

    void setServerInfo(const QString &server, const QString &user, const QString &password,
                       int port);
    // 1: a database was chosen and name holds it; 0: "Batal"; -1: closed otherwise.
    int chooseDatabase(QString &name);

private slots:
    void on_butOk_clicked();
    void on_butTutup_clicked();
    // Double-click and Return or Enter on the list pick the database there.
    void on_listWidget_itemActivated(QListWidgetItem *item);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void loadDatabaseList();
    void pick(const QString &name);

    const QScopedPointer<Ui::FDfrDatabase> ui;
    int port = 0;
    QString server;
    QString user;
    QString password;
    bool listLoaded = false;
    XDBConnection *connection = nullptr;
    int resultCode = -1;
    QString selectedName;
};
