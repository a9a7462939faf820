#include "xdbconnection.h"

#include <QMessageBox>
#include <QSqlError>

void XDBConnection::setParentWidget(QWidget *widget)
{
    parentWidget = widget;
}

void XDBConnection::addConnection(const QString &name)
{
    db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
}

void XDBConnection::removeConnection(const QString &name)
{
    QSqlDatabase::removeDatabase(name);
}

void XDBConnection::setHost(const QString &value)
{
    host = value;
}

void XDBConnection::setDatabaseName(const QString &value)
{
    databaseName = value;
}

void XDBConnection::setUser(const QString &value)
{
    user = value;
}

void XDBConnection::setPassword(const QString &value)
{
    password = value;
}

void XDBConnection::setPort(int value)
{
    port = value;
}

bool XDBConnection::open()
{
    db.setHostName(host);
    db.setDatabaseName(databaseName);
    db.setUserName(user);
    db.setPassword(password);
    db.setPort(port);
    if (db.open())
        return true;
    QMessageBox box(parentWidget);
    box.setIcon(QMessageBox::Information);
    box.setText(QStringLiteral("Maaf gagal koneksi ke server : ") + db.lastError().text());
    box.exec();
    return false;
}

void XDBConnection::close()
{
    db.close();
}

QSqlDatabase XDBConnection::database() const
{
    return db;
}
