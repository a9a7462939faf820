// The list of databases to back up, mirrored one to one in tbldb.
#include "maincontrolpanel.h"

#include "errortext.h"
#include "fdfrdatabase.h"
#include "historywatch.h"
#include "messagebox.h"
#include "ui_maincontrolpanel.h"

#include <QSqlError>
#include <QSqlQuery>

namespace {

QListWidgetItem *databaseItem(const QString &name)
{
    return new QListWidgetItem(QIcon(QStringLiteral(":/images/db.png")), name);
}

} // namespace

void MainControlPanel::loadBackupList()
{
    QSqlQuery query(settingsDb);
    if (!query.prepare(QStringLiteral("select * from tbldb; ")) || !query.exec()) {
        showInfo(QStringLiteral("Gagal memanggil data.\nPesan Error : ") +
                     errortext::inWords(query.lastError().text()),
                 this);
        return;
    }
    while (query.next())
        ui->listWidget->addItem(databaseItem(query.value(QStringLiteral("dbname")).toString()));
    history->setDatabases(listedDatabases());
}

void MainControlPanel::on_butAdd_clicked()
{
    FDfrDatabase picker(this); // centred over the window
    picker.setServerInfo(ui->tServer->text(), dbUser, dbPassword, dbPort);
    QString name;
    if (picker.chooseDatabase(name) == 1)
        addBackupDatabase(name);
}

void MainControlPanel::addBackupDatabase(const QString &name)
{
    QSqlQuery check(settingsDb);
    check.prepare(QStringLiteral("select * from tbldb where dbname = :dbname ; "));
    check.bindValue(QStringLiteral(":dbname"), name);
    if (!check.exec()) {
        showInfo(QStringLiteral("Gagal mengecek data.\nPesan Error : ") +
                     errortext::inWords(check.lastError().text()),
                 this);
        return;
    }
    bool listed = false;
    while (check.next())
        listed = true;
    if (listed) {
        showError(QStringLiteral("Database : ") + name +
                      QStringLiteral(" sudah masuk dalam daftar."),
                  this);
        return;
    }
    QSqlQuery insert(settingsDb);
    insert.prepare(QStringLiteral("insert into tbldb(dbname) values(:data); "));
    insert.bindValue(QStringLiteral(":data"), name);
    if (!insert.exec()) {
        showInfo(QStringLiteral("Gagal Simpan Data.\nPesan Error : ") +
                     errortext::inWords(insert.lastError().text()),
                 this);
        return;
    }
    ui->listWidget->addItem(databaseItem(name));
    history->setDatabases(listedDatabases());
}

void MainControlPanel::on_butDel_clicked()
{
    const QList<QListWidgetItem *> selected = ui->listWidget->selectedItems();
    if (selected.isEmpty() || selected.first()->text().isEmpty()) {
        showInfo(QStringLiteral("Tidak ada yang dipilih"), this);
        return;
    }
    const QString name = selected.first()->text();

    // Return alone must not delete: No is the default.
    if (!askYes(QStringLiteral("Apakah database '%1' akan dihapus dari daftar backup ?").arg(name),
                this, QMessageBox::No))
        return;

    QSqlQuery remove(settingsDb);
    remove.prepare(QStringLiteral("delete from tbldb where dbname = :dbname ; "));
    remove.bindValue(QStringLiteral(":dbname"), name);
    if (!remove.exec()) {
        showInfo(QStringLiteral("Gagal menghapus data.\nPesan Error : ") +
                     errortext::inWords(remove.lastError().text()),
                 this);
        return;
    }
    delete ui->listWidget->takeItem(ui->listWidget->row(selected.first()));
    history->setDatabases(listedDatabases());
    showInfo(QStringLiteral("Data berhasil dihapus."), this);
}
