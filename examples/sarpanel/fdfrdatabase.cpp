#include "fdfrdatabase.h"

#include "errortext.h"
#include "messagebox.h"
#include "ui_fdfrdatabase.h"
#include "wrapdelegate.h"
#include "xdbconnection.h"

#include <QCloseEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QListWidgetItem>
#include <QShowEvent>
#include <QSqlQuery>

FDfrDatabase::FDfrDatabase(QWidget *parent) : QDialog(parent), ui(new Ui::FDfrDatabase)
{
    ui->setupUi(this);
    ui->listWidget->setSelectionMode(QAbstractItemView::SingleSelection);
    XWrapDelegate::wrapItems(ui->listWidget); // names of up to 63 bytes, whole
    setWindowIcon(QIcon(QStringLiteral(":/images/db.png")));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowTitle(QStringLiteral("Daftar Database"));
    setMinimumSize(331, 361);
}

FDfrDatabase::~FDfrDatabase() = default;

void FDfrDatabase::setServerInfo(const QString &server, const QString &user,
                                 const QString &password, int port)
{
    this->server = server;
    this->user = user;
    this->password = password;
    this->port = port;
    ui->tServer->setText(server);
    ui->tPort->setText(QString::number(port));
}

int FDfrDatabase::chooseDatabase(QString &name)
{
    // The outcome is carried by resultCode, not by exec()'s accept/reject.
    exec();
    name = selectedName;
    return resultCode;
}

void FDfrDatabase::showEvent(QShowEvent *)
{
    if (listLoaded)
        return;
    ui->tServer->setEnabled(false);
    ui->tPort->setEnabled(false);
    loadDatabaseList();
    listLoaded = true;
}

void FDfrDatabase::loadDatabaseList()
{
    const QString name = QStringLiteral("main_con");
    connection = new XDBConnection;
    connection->addConnection(name);
    connection->setHost(server);
    connection->setPort(port);
    connection->setUser(user);
    connection->setPassword(password);
    connection->setDatabaseName(QStringLiteral("postgres"));
    // After a failed open the query yields no rows: the list stays empty.
    if (!connection->open())
        showInfo(QStringLiteral("Maaf gagal koneksi ke server : ") +
                     errortext::inWords(connection->lastErrorText()),
                 this);

    QString statement;
    statement.append(QStringLiteral("SELECT datname AS dbname "));
    statement.append(QStringLiteral("FROM pg_database "));
    statement.append(
        QStringLiteral("WHERE datname NOT IN ('postgres', 'template0', 'template1') "));
    statement.append(QStringLiteral("ORDER BY datname "));
    {
        QSqlQuery query(connection->database());
        query.prepare(statement);
        query.exec();
        const QIcon icon(QStringLiteral(":/images/db.png"));
        while (query.next())
            ui->listWidget->addItem(new QListWidgetItem(icon, query.value(0).toString()));
    }

    // Every handle of the connection must be gone before it leaves the registry.
    connection->close();
    delete connection;
    connection = nullptr;
    XDBConnection::removeConnection(name);
}

void FDfrDatabase::on_butOk_clicked()
{
    const QList<QListWidgetItem *> selected = ui->listWidget->selectedItems();
    pick(selected.isEmpty() ? QString() : selected.first()->text());
}

void FDfrDatabase::on_listWidget_itemActivated(QListWidgetItem *item)
{
    pick(item->text());
}

void FDfrDatabase::pick(const QString &name)
{
    if (name.isEmpty()) {
        showInfo(QStringLiteral("Tidak ada yang dipilih"), this);
        return;
    }
    resultCode = 1;
    selectedName = name;
    close();
}

void FDfrDatabase::on_butTutup_clicked()
{
    close();
    resultCode = 0;
}

// Escape closes the picker as it closes every dialog, choosing nothing. No other
// key reaches the dialog's own handling: Return must not press a button the user
// did not choose. The list takes Return and Enter itself, to pick.
void FDfrDatabase::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    event->ignore();
}

// Closing only hides the dialog, which ends exec(); the outcome is already
// in resultCode.
void FDfrDatabase::closeEvent(QCloseEvent *event)
{
    event->accept();
}
