// Helpers shared by the control panel's tests: settings files made on the spot,
// widgets looked up by their object names, a service manager that is not there.
#pragma once

#include "maincontrolpanel.h"
#include "modalanswer.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>
#include <QVariant>

namespace panel {

// One confdb row, as a settings file may hold it.
struct ConfRow
{
    QVariant server = QStringLiteral("localhost");
    QVariant user = QString();
    QVariant pass = QString();
    QVariant port = 5432;
    QVariant outputdir = QStringLiteral("/var/backups/sarvela");
    QVariant jam1 = QStringLiteral("2000-01-01T01:00:00");
    QVariant jam2 = QStringLiteral("2000-01-01T13:00:00");
    QVariant jam1st = 0;
    QVariant jam2st = 0;
};

// Runs statements on a settings file through a private connection, so the
// window's own default connection is left alone.
class SettingsFile
{
public:
    explicit SettingsFile(const QString &path)
        : m_name(QStringLiteral("fixture-") + QUuid::createUuid().toString())
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.open();
    }
    ~SettingsFile() { QSqlDatabase::removeDatabase(m_name); }

    QSqlDatabase db() const { return QSqlDatabase::database(m_name); }

    bool exec(const QString &sql, const QVariantList &values = {}) const
    {
        QSqlQuery query(db());
        query.prepare(sql);
        for (const QVariant &v : values)
            query.addBindValue(v);
        if (!query.exec()) {
            qWarning() << sql << query.lastError().text();
            return false;
        }
        return true;
    }

    // The delivered file's tables, with the given rows.
    bool create(const QList<ConfRow> &rows, const QStringList &databases) const
    {
        bool ok = exec(QStringLiteral(
                      "CREATE TABLE confdb (server TEXT, user TEXT, pass TEXT, port INTEGER, "
                      "outputdir TEXT, jam1 TEXT, jam2 TEXT, jam3 TEXT, jam4 TEXT, jam1st INTEGER, "
                      "jam2st INTEGER, jam3st INTEGER, jam4st INTEGER)")) &&
                  exec(QStringLiteral("CREATE TABLE tbldb (dbname TEXT)"));
        for (const ConfRow &r : rows)
            ok = ok && exec(QStringLiteral("INSERT INTO confdb VALUES (?, ?, ?, ?, ?, ?, ?, "
                                           "'2000-01-01T00:00:00', '2000-01-01T00:00:00', ?, ?, "
                                           "0, 0)"),
                            {r.server, r.user, r.pass, r.port, r.outputdir, r.jam1, r.jam2,
                             r.jam1st, r.jam2st});
        for (const QString &name : databases)
            ok = ok && exec(QStringLiteral("INSERT INTO tbldb VALUES (?)"), {name});
        return ok;
    }

    QList<QVariantList> rows(const QString &sql) const
    {
        QList<QVariantList> result;
        QSqlQuery query(db());
        if (!query.exec(sql))
            return result;
        while (query.next()) {
            QVariantList row;
            for (int i = 0; i < query.record().count(); ++i)
                row << query.value(i);
            result << row;
        }
        return result;
    }

    QStringList databases() const
    {
        QStringList names;
        for (const QVariantList &row : rows(QStringLiteral("select dbname from tbldb")))
            names << row.value(0).toString();
        return names;
    }

private:
    QString m_name;
};

template <typename T> T *widget(QWidget *window, const char *name)
{
    T *w = window->findChild<T *>(QLatin1String(name));
    if (!w)
        qFatal("no widget %s", name);
    return w;
}

// Keeps a test program's panels to themselves: the service controller looks in
// a folder where no service manager listens (every service reads as not
// installed, until a test starts its own daemon), and the single-instance
// segment's key file lives in a private temporary folder.
inline void isolatePanel(const QTemporaryDir &dir)
{
    qputenv("SVCMGR_DIR", (dir.path() + QStringLiteral("/no-manager")).toLocal8Bit());
    qputenv("TMPDIR", dir.path().toLocal8Bit());
}

// A window that holds the single-instance segment, as the program's own does,
// so that its show-request poll finds the flag however long a case runs.
class PanelWindow : public MainControlPanel
{
public:
    explicit PanelWindow(const QString &programDir) : MainControlPanel(nullptr, programDir)
    {
        isAlreadyRunning();
    }
};

// Shows the window and answers the start-up install question with No.
inline void showAnsweringNo(MainControlPanel &window, ModalAnswerer &answerer)
{
    answerer.answerNext(QMessageBox::No);
    window.show();
}

inline QStringList texts(const QList<SeenBox> &boxes)
{
    QStringList result;
    for (const SeenBox &box : boxes)
        result << box.text;
    return result;
}

} // namespace panel
