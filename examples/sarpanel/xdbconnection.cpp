#include "xdbconnection.h"

#include <QSqlError>

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
    return db.open();
}

void XDBConnection::close()
{
    db.close();
}

QSqlDatabase XDBConnection::database() const
{
    return db;
}

QString XDBConnection::lastErrorText() const
{
    return db.lastError().text();
}
