// A named PostgreSQL connection that the picker holds only while it lists the
// server's databases; it reports a failed open to the user itself.
#pragma once

#include <QSqlDatabase>
#include <QString>

class QWidget;

class XDBConnection
{
public:
    void setParentWidget(QWidget *widget);
    void addConnection(const QString &name);
    static void removeConnection(const QString &name);

    // Stored only; open() applies them to the connection.
    void setHost(const QString &value);
    void setDatabaseName(const QString &value);
    void setUser(const QString &value);
    void setPassword(const QString &value);
    void setPort(int value);

    bool open();
    void close();
    QSqlDatabase database() const;

private:
    QWidget *parentWidget = nullptr;
    QString user;
    QString password;
    QString host;
    QString databaseName;
    int port = 0;
    QSqlDatabase db;
};
