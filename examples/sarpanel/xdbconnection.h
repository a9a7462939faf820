// A named PostgreSQL connection that the picker holds only while it lists the
// server's databases. It shows nothing itself: a failed open leaves its reason
// in lastErrorText().
#pragma once

#include <QSqlDatabase>
#include <QString>

class XDBConnection
{
public:
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
    // The driver's text of the last error, such as the server's reason for
    // refusing the connection.
    QString lastErrorText() const;

private:
    QString user;
    QString password;
    QString host;
    QString databaseName;
    int port = 0;
    QSqlDatabase db;
};
