// Helpers shared by the control panel's tests: settings files made on the spot,
// widgets looked up by their object names, a service manager that is not there.
#pragma once

#include "confbu.h"
#include "maincontrolpanel.h"
#include "modalanswer.h"
#include "programdir.h"
#include "riwayat.h"
#include "testfiles.h"

#include <QtSql>
#include <QtTest>
#include <QtWidgets>

#include <signal.h>

namespace panel {

struct ConfRow
{
    QVariant server = "localhost", user = "", pass = "", port = 5432, outputdir = "/var/bu";
    QVariant jam1 = "2000-01-01T01:00:00", jam2 = "2000-01-01T13:00:00", jam1st = 0, jam2st = 0;
};

// Runs one statement on a settings file through a private connection, so the
// window's own default connection is left alone; returns the rows it yields.
inline QList<QVariantList> sql(const QString &path, const QString &statement, const QVariantList &values = {})
{
    QList<QVariantList> rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "fixture");
        db.setDatabaseName(path);
        db.open();
        QSqlQuery query(db);
        query.prepare(statement);
        for (const QVariant &v : values)
            query.addBindValue(v);
        query.exec();
        while (query.next()) {
            rows.append(QVariantList());
            for (int i = 0; i < query.record().count(); ++i)
                rows.last() << query.value(i);
        }
    }
    QSqlDatabase::removeDatabase("fixture");
    return rows;
}

// The listed databases in their stored order, joined with ",".
inline QString databases(const QString &path)
{
    const QString joined = "select group_concat(dbname) from (select dbname from tbldb order by rowid)";
    return sql(path, joined)[0][0].toString();
}

// The delivered file's tables, with the given rows.
inline bool createSettings(const QString &path, const QList<ConfRow> &rows, const QStringList &names)
{
    for (const QString &statement : confbu::schema())
        sql(path, statement);
    for (const ConfRow &r : rows)
        sql(path,
            "INSERT INTO confdb VALUES (?, ?, ?, ?, ?, ?, ?, '2000-01-01T00:00:00', "
            "'2000-01-01T00:00:00', ?, ?, 0, 0)",
            {r.server, r.user, r.pass, r.port, r.outputdir, r.jam1, r.jam2, r.jam1st, r.jam2st});
    for (const QString &name : names)
        sql(path, "INSERT INTO tbldb VALUES (?)", {name});
    return sql(path, "select * from confdb").size() == rows.size() && databases(path) == names.join(',');
}

// One job of a history as the service writes it, placed in time relative to now.
struct Job
{
    QString dbname;
    int hoursAgo = 0;
    QString hasil = riwayat::Ok;
    QString alasan = {};
    bool deleted = false;  // its dump deleted to keep only the newest ones
    QString uji = {};      // the result of a drill of its dump, an hour after it; empty: none
    QString periksa = {};  // why its dump waits to be checked; empty: it does not
    bool diterima = false; // an administrator accepted that change
};

// Adds the job to the history at path (made when missing); returns its id.
inline qint64 addJob(const QString &path, const Job &job)
{
    for (const QString &statement : riwayat::createStatements())
        sql(path, statement);
    const QDateTime mulai = QDateTime::currentDateTime().addSecs(-3600 * job.hoursAgo);
    const auto at = [mulai](int secs) { return mulai.addSecs(secs).toString(riwayat::TimeFormat); };
    const bool ok = job.hasil == riwayat::Ok, ended = job.hasil != riwayat::Berjalan;
    const QString file = "/var/bu/bu_" + job.dbname + mulai.toString("_yyyyMMdd.hhmmss") + ".bu";
    sql(path,
        "insert into riwayat (dbname, mulai, selesai, file, ukuran, hasil, alasan, terverifikasi) "
        "values (?, ?, ?, ?, ?, ?, ?, ?)",
        {job.dbname, at(0), ended ? at(60) : QVariant(), ok ? file : QVariant(), ok ? 12345678 : QVariant(),
         job.hasil, job.alasan.isEmpty() ? QVariant() : job.alasan, int(ok)});
    const qint64 id = sql(path, "select max(id) from riwayat").value(0).value(0).toLongLong();
    if (job.deleted)
        sql(path, "insert into terhapus values (?, ?)",
            {id, QDateTime::currentDateTime().toString(riwayat::TimeFormat)});
    // A good dump holds one table of a thousand rows.
    if (ok)
        sql(path, "insert into isi values (?, 'public.tblbarang', 1000)", {id});
    if (!job.uji.isEmpty())
        sql(path,
            "insert into ujipulih (riwayat_id, mulai, selesai, hasil, alasan, tabel, baris) "
            "values (?, ?, ?, ?, ?, 1, 1000)",
            {id, at(3600), at(3660), job.uji, job.uji == riwayat::Ok ? QVariant() : QVariant("alasan uji")});
    if (!job.periksa.isEmpty())
        sql(path, "insert into periksa values (?, ?, ?, ?)",
            {id, job.periksa, job.diterima ? at(0) : QVariant(),
             job.diterima ? QVariant("admin") : QVariant()});
    return id;
}

// A copy off this machine of the job's dump, as the service records it, hoursAgo.
inline qint64 addCopy(const QString &path, qint64 riwayatId, int hoursAgo, const QString &hasil = riwayat::Ok,
                      const QString &alasan = {})
{
    const QDateTime mulai = QDateTime::currentDateTime().addSecs(-3600 * hoursAgo);
    sql(path,
        "insert into salinan (riwayat_id, tujuan, mulai, selesai, ukuran, hasil, alasan, terverifikasi) "
        "values (?, ?, ?, ?, 16, ?, ?, ?)",
        {riwayatId, "luar:kantor/db/bu_db.bu", mulai.toString(riwayat::TimeFormat),
         mulai.addSecs(30).toString(riwayat::TimeFormat), hasil, alasan.isEmpty() ? QVariant() : alasan,
         int(hasil == riwayat::Ok)});
    return sql(path, "select max(id) from salinan").value(0).value(0).toLongLong();
}

// The columns of a data-driven case in one line: columns<int, QString>({"row", "box"}).
template <typename... T> void columns(std::initializer_list<const char *> names)
{
    auto name = names.begin();
    (QTest::addColumn<T>(*name++), ...);
}

// One row of a data-driven case in one line; a text goes into a QString column.
template <typename... T> void row(const char *tag, T... values)
{
    (QTest::newRow(tag) << ... << values);
}

template <typename T> T *widget(QWidget *window, const QString &name)
{
    return window->findChild<T *>(name); // a missing one crashes the case, which fails it
}

// The named inputs' values joined with " | ", a check box as "[x]" or "[ ]"; "(off)" after one
// that cannot be changed.
inline QString values(QWidget *window, const QStringList &names)
{
    QStringList shown;
    for (const QString &name : names) {
        auto *w = widget<QWidget>(window, name);
        QString value = w->property("text").toString();
        if (auto *spin = qobject_cast<QSpinBox *>(w))
            value = QString::number(spin->value());
        else if (auto *combo = qobject_cast<QComboBox *>(w))
            value = combo->currentText();
        else if (auto *box = qobject_cast<QCheckBox *>(w))
            value = box->isChecked() ? "[x]" : "[ ]";
        shown << value + (w->isEnabled() ? "" : "(off)");
    }
    return shown.join(" | ");
}

// The main window's menu entry with this text ("Status &Backup").
inline QAction *menuAction(QWidget *window, const QString &text)
{
    for (QAction *menu : window->findChild<QMenuBar *>()->actions())
        for (QAction *action : menu->menu()->actions())
            if (action->text() == text)
                return action;
    return nullptr;
}

// A private folder where no service manager listens (every service reads as not
// installed until a test starts its own daemon), and where the single-instance
// segment's key file and show socket live, apart from any other panel. Declared as the
// test's last member, so that the folders its other members make are not inside it.
struct Isolation : QTemporaryDir
{
    Isolation()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        qputenv("SVCMGR_DIR", (path() + "/no-manager").toLocal8Bit());
        qputenv("TMPDIR", path().toLocal8Bit());
        qunsetenv("XDG_RUNTIME_DIR"); // else the show socket would be the desktop's
    }
};

// Holds the single-instance segment, as the program's own window does.
struct PanelWindow : MainControlPanel
{
    explicit PanelWindow(const QString &d) : MainControlPanel(nullptr, d) { isAlreadyRunning(); }
};

inline QStringList texts(const QList<SeenBox> &boxes)
{
    QStringList result;
    for (const SeenBox &box : boxes)
        result << box.text;
    return result;
}

inline QStringList listed(QWidget *window)
{
    QStringList names;
    auto *list = widget<QListWidget>(window, "listWidget");
    for (int i = 0; i < list->count(); ++i)
        names << list->item(i)->text();
    return names;
}

// panelprobe in a process of its own, which says "box: TEXT" for each box it shows and
// "state: ..." when asked (line breaks as "|"); killed when the case ends, also after a
// failed check.
struct Probe : QProcess
{
    explicit Probe(QStringList command, QProcessEnvironment env = QProcessEnvironment::systemEnvironment())
    {
        env.insert("QT_QPA_PLATFORM", "offscreen");
        setProcessEnvironment(env);
        start(command.takeFirst(), command);
    }
    ~Probe() override
    {
        kill();
        waitForFinished();
    }
    // Waits for a box with this text (whole) or starting with it; or another line it says.
    bool shows(const QString &text, bool whole = true, const QByteArray &kind = "box: ")
    {
        const QByteArray line = kind + text.toUtf8().replace('\n', '|') + (whole ? "\n" : "");
        return QTest::qWaitFor([&] { return (out += readAllStandardOutput()).contains(line); }, 30000);
    }
    // Ends it as the desktop does: it must end by itself, normally, with 0.
    bool terminate()
    {
        ::kill(pid_t(processId()), SIGTERM);
        const bool ended = waitForFinished(30000) && exitStatus() == NormalExit && exitCode() == 0;
        out += readAllStandardOutput();
        return ended;
    }
    QByteArray said() { return out + readAllStandardError(); }
    QByteArray out;
};

} // namespace panel
