// The main window on real files: how it first appears (shown, in the tray with --tray, or
// minimised without a tray), closing to the tray and the tray's clicks, what the form loads, how a
// save is validated, what it writes and that the service reads back what was saved; the database
// list, with the picker on a throwaway PostgreSQL server.
#include "backupengine.h"
#include "fdfrdatabase.h"
#include "panelfixture.h"
#include "pgcluster.h"
#include "startmode.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace panel;

namespace {
// The settings file as it starts: "none", "not SQLite", or "rows" (these rows), with shell
// commands run beside it by root; then the form, the notice's first line and the box shown as
// it starts (empty: none).
struct Load
{
    QString file = {};
    QList<ConfRow> rows = {};
    QString form = {}, notice = {}, box = {}, planted = {};
};

enum class Edit { Add, Pick, Delete };

// Add types `text` into the list; Pick opens the picker with `text` as "USER/PASS" saved and
// chooses gudang there; Delete selects the row and answers the question as `text` says ("1
// Yes"). Messages and lists joined by "|" and ","; a message ending in "*" is a prefix.
struct ListEdit
{
    QString stored = {};
    Edit edit = Edit::Add;
    QString text = {}, messages = {}, listAfter = {}, fileAfter = {};
};

// Steps: "select", "double-click", "close", a button's name, or a key pressed on the list ("list
// Return") or on the dialog itself ("Escape", which alone closes it); the code and name chosen;
// a pattern for the messages shown, each ended by "|"; a fault: "password", "port" or none.
struct Pick
{
    QStringList steps = {};
    int code = 0;
    QString name = {}, messages = {}, fault = {};
};

// A desktop with a system tray or without one.
struct TrayPanel : PanelWindow
{
    TrayPanel(const QString &dir, bool tray) : PanelWindow(dir), tray(tray) {}
    bool systemTrayAvailable() const override { return tray; }
    bool tray;
};

// "hidden" or "visible", and " minimised".
QString shownAs(const QWidget &window)
{
    return QString(window.isVisible() ? "visible" : "hidden") + (window.isMinimized() ? " minimised" : "");
}

} // namespace

Q_DECLARE_METATYPE(Load)
Q_DECLARE_METATYPE(ListEdit)
Q_DECLARE_METATYPE(Pick)

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void load_data();
    void load();
    void appearance_data();
    void appearance();
    void tray_data();
    void tray();
    void tabOrderAndTips();
    void saveRefused_data();
    void saveRefused();
    void saveWrites_data();
    void saveWrites();
    void editList_data();
    void editList();
    void picker_data();
    void picker();

private:
    QString cfg() const { return m_dir->filePath(QStringLiteral("confbu.cfg")); }
    void press(MainControlPanel &window, const QString &button)
    {
        m_answerer->clear();
        QVERIFY(QMetaObject::invokeMethod(&window, qPrintable("on_" + button + "_clicked")));
    }
    PgCluster m_pg;
    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<ModalAnswerer> m_answerer;
    Isolation m_isolation;
};

void TestMainWindow::initTestCase()
{
    QString error;
    QVERIFY2(m_pg.start(&error) && m_pg.createSampleDatabase("penjualan", &error) &&
                 m_pg.createSampleDatabase("gudang", &error) &&
                 m_pg.createUser("admin", "5170342", &error), // what empty settings stand for
             qPrintable(error));
    for (const char *name : {"\"Toko Utama\"", "\"o'reilly\"", "café", "\"kas\"\"besar\"", "akuntansi"})
        QVERIFY2(m_pg.sql("CREATE DATABASE " + QString::fromUtf8(name), &error), qPrintable(error));
}

void TestMainWindow::init()
{
    m_dir.reset(new QTemporaryDir);
    m_answerer.reset(new ModalAnswerer); // no manager runs: nothing asks to install
}

void TestMainWindow::load_data()
{
    QTest::addColumn<Load>("load");
    auto row = [](const char *tag, const QString &file, const QList<ConfRow> &rows, const QString &form,
                  const QString &notice, const QString &box = {}, const QString &planted = {}) {
        QTest::newRow(tag) << Load{file, rows, form, notice, box, planted};
    };
    const ConfRow a{"10.0.0.5", "", "", 5432, "/srv/cadangan", "2026-01-02T07:30:00", "2026-01-02T19:45:00",
                    1},
        b{"  db host  ", "", "", 5432, "/data/bu", "2000-01-01T01:00:00", "2000-01-01T23:05:00", 0, 1};
    const QString defaults = "/ | localhost | [ ] | 00:00(off) | [ ] | 00:00(off)";
    const QString managerDown = "Service manager tidak berjalan. Jalankan sebagai root: ";
    const QString unreadable = "Pengaturan tidak dapat dibaca: ";
    row("no settings file", "none", {}, defaults, unreadable + "berkas /", "Maaf file [");
    row("not SQLite, told in Indonesian first", "not SQLite", {}, defaults,
        unreadable + "Berkas bukan database SQLite (file is not a database",
        "Gagal memanggil data.\nPesan Error : Berkas bukan database SQLite (file is not a");
    row("no row in confdb: a save would save nothing", "rows", {}, defaults,
        "Pengaturan kosong: tabel confdb tidak berisi baris. Minta root memulihkan /");
    row("one row", "rows", {a}, "/srv/cadangan | 10.0.0.5 | [x] | 07:30 | [ ] | 19:45(off)", managerDown);
    row("several rows: the last one shows", "rows", {a, b},
        "/data/bu |   db host   | [ ] | 01:00(off) | [x] | 23:05", managerDown);
    // What the service refuses, root's panel refuses: SQLite would wait on it or write into it.
    const QString refused = unreadable + "[%D/", box = "Error Load database :[%D/";
    row("root: a FIFO as the settings' journal", "rows", {a}, defaults,
        refused + "confbu.cfg-journal] bukan berkas biasa", box + "confbu.cfg-journal]",
        "mkfifo confbu.cfg-journal");
    row("root: settings of another user", "rows", {a}, defaults,
        refused + "confbu.cfg] bukan milik root atau user service", box + "confbu.cfg]",
        "chown 65534 confbu.cfg");
}

void TestMainWindow::load()
{
    QFETCH(Load, load);
    auto [file, rows, form, notice, box, planted] = load;
    if (!planted.isEmpty() && ::geteuid() != 0)
        QSKIP("only root's panel refuses");
    notice.replace("%D", m_dir->path());
    box.replace("%D", m_dir->path());
    QVERIFY(file != "not SQLite" || writeBytes(cfg(), QByteArray(4096, 'x')));
    QVERIFY(file != "rows" || createSettings(cfg(), rows, {"penjualan"}));
    QVERIFY(planted.isEmpty() ||
            QProcess::execute("sh", {"-c", "cd \"$0\" && " + planted, m_dir->path()}) == 0);
    const QByteArray before = readBytes(cfg());
    PanelWindow window(m_dir->path());
    window.show();

    const QStringList shown = texts(m_answerer->seen());
    QVERIFY2(box.isEmpty() ? shown.isEmpty() : shown.size() == 1 && shown.first().startsWith(box),
             qPrintable(shown.join('|')));
    for (const SeenBox &box : m_answerer->seen()) // over the window, not in a corner
        QVERIFY((box.geometry.center() - box.parentGeometry.center()).manhattanLength() <= 8);
    QCOMPARE(QFile::exists(cfg()), file != "none"); // loading never creates the file
    QCOMPARE(values(&window, {"tLokasi", "tServer", "cbJam1", "tmJam1", "cbJam2", "tmJam2"}), form);
    QCOMPARE(listed(&window).join(','), file == "rows" && planted.isEmpty() ? "penjualan" : "");

    // Settings the form does not show are never saved over, and the form says why.
    const QString said = widget<QLabel>(&window, "lPemberitahuan")->text().remove(QChar(0x200B));
    QVERIFY2(said.startsWith(notice), qPrintable(said));
    const bool usable = notice.startsWith("Service manager");
    QCOMPARE(widget<QPushButton>(&window, "butSaveRestart")->isEnabled(), usable);
    if (!usable) {
        press(window, "butSaveRestart");
        QCOMPARE(texts(m_answerer->seen()), QStringList{said.section('\n', 0, 0)});
        QVERIFY(readBytes(cfg()) == before);
    }
}

void TestMainWindow::appearance_data()
{
    columns<QString, bool, QString>({"command", "trayAvailable", "shown"});
    row("no option: shown", "/opt/sarpanel", true, "visible");
    row("--tray: hidden", "/opt/sarpanel --tray", true, "hidden");
    row("--tray after another option", "/opt/sarpanel -x --tray", true, "hidden");
    row("--tray without a tray: minimised", "/opt/sarpanel --tray", false, "visible minimised");
    row("no tray and no option: shown as usual", "/opt/sarpanel", false, "visible");
    row("a program called --tray is no option", "--tray", true, "visible");
    row("a longer option is another one", "/opt/sarpanel --tray=1", true, "visible");
}

void TestMainWindow::appearance()
{
    QFETCH(QString, command);
    QFETCH(bool, trayAvailable);
    QFETCH(QString, shown);
    QVERIFY(createSettings(cfg(), {ConfRow{"10.0.0.5"}}, {"penjualan"}));
    PanelWindow window(m_dir->path());
    showAtStart(window, startsInTray(command.split(' ')), trayAvailable);
    QTest::qWait(100);
    // Whichever way it starts, the start-up work is done, its one tray icon shows, nothing is
    // asked.
    const QList<QSystemTrayIcon *> trays = window.findChildren<QSystemTrayIcon *>();
    QCOMPARE(QString("%1, %2 %3, trays %4, boxes %5")
                 .arg(shownAs(window), values(&window, {"tServer"}), listed(&window).join(','))
                 .arg(trays.size() == 1 && trays.first()->isVisible())
                 .arg(m_answerer->seen().size()),
             shown + ", 10.0.0.5 penjualan, trays 1, boxes 0");
}

void TestMainWindow::tray_data()
{
    // Whether the desktop has a tray and the window shows at start; the steps: "close" the window,
    // "show" it from the tray's menu, or the tray's "click", "double" click or "middle" click; the
    // window after each step, and what is told after the start.
    columns<bool, bool, QString, QString, QString>({"tray", "shown", "steps", "after", "told"});
    const QString cycle = "close show close show";
    const QString told = "Desktop ini tidak memiliki system tray, jadi jendela hanya diperkecil (minimize) "
                         "dan program tetap berjalan. Untuk menutup program pilih menu Sistem > Keluar.";
    row("with a tray, closing hides the window", true, true, cycle, "hidden|visible|hidden|visible", "");
    row("without a tray, closing minimises it and says so once", false, true, cycle,
        "visible minimised|visible|visible minimised|visible", told);
    row("a click shows the hidden window", true, false, "click", "visible", "");
    row("a click hides the shown window", true, true, "click", "hidden", "");
    row("a double click, which begins with a click, shows it once", true, false, "click double",
        "visible|visible", "");
    row("a double click alone shows it", true, false, "double", "visible", "");
    row("a middle click leaves it", true, false, "middle", "hidden", "");
}

// Without settings: also a start in the tray says so at once, and the tray can tell nothing else;
// shown later from the tray, nothing is asked again.
void TestMainWindow::tray()
{
    QFETCH(bool, tray);
    QFETCH(bool, shown);
    QFETCH(QString, steps);
    TrayPanel window(m_dir->path(), tray);
    showAtStart(window, !shown, tray);
    QTRY_COMPARE(m_answerer->seen().size(), 1);
    auto *icon = window.findChild<QSystemTrayIcon *>();
    QCOMPARE(icon->toolTip(), "Sarvela Backup Database\nPengaturan (confbu.cfg) tidak dapat dibaca.");
    QStringList after;
    for (const QString &step : steps.split(' ')) {
        if (step == "close")
            QVERIFY(!window.close());
        else if (step == "show")
            icon->contextMenu()->actions().first()->trigger(); // "Tampilkan Window"
        else
            emit icon->activated(step == "click"    ? QSystemTrayIcon::Trigger
                                 : step == "double" ? QSystemTrayIcon::DoubleClick
                                                    : QSystemTrayIcon::MiddleClick);
        after << shownAs(window);
    }
    QTEST(after.join('|'), "after");
    QTest::qWait(100);
    QTEST(texts(m_answerer->seen().mid(1)).join('|'), "told");
}

// Tab walks the window top to bottom, each row left to right; a button
// without text says what it does in its tool tip.
void TestMainWindow::tabOrderAndTips()
{
    PanelWindow window(m_dir->path());
    window.show();
    QWidget *form = widget<QWidget>(&window, "centralWidget");
    QList<QWidget *> chain;
    for (QWidget *w = form->nextInFocusChain(); w != form; w = w->nextInFocusChain())
        if (w->parentWidget() == form && (w->focusPolicy() & Qt::TabFocus))
            chain << w;
    QList<QWidget *> byPlace = chain;
    std::sort(byPlace.begin(), byPlace.end(), [](QWidget *a, QWidget *b) {
        return qAbs(a->y() - b->y()) <= 10 ? a->x() < b->x() : a->y() < b->y(); // the same row
    });
    // The chain is a ring; it is read from the top left widget on.
    std::rotate(chain.begin(), std::find(chain.begin(), chain.end(), byPlace.first()), chain.end());
    QCOMPARE(chain, byPlace);
    QCOMPARE(chain.size(), 15);
    for (QAbstractButton *button : form->findChildren<QAbstractButton *>())
        QVERIFY2(!button->text().isEmpty() || !button->toolTip().isEmpty(), qPrintable(button->objectName()));
}

void TestMainWindow::saveRefused_data()
{
    // The button pressed; shown: the messages @ the focused widget.
    columns<QString, QString, QStringList, QString>({"folder", "server", "listed", "shown"});
    columns<QString>({"button"});
    const QStringList one{"penjualan"};
    const QString empty = "Pilih database yang akan dibackup. @butAdd";
    const QString save = "butSaveRestart";
    row("output folder blank", "   ", "localhost", one, "Pilih Lokasi backup database. @butSelectFolder",
        save);
    row("server blank", "/tmp", " \t ", one, "Tentukan Lokasi Server/IP Address Database @tServer", save);
    row("database list empty", "/tmp", "localhost", QStringList(), empty, save);
    row("database list empty, Start", "/tmp", "localhost", QStringList(), empty, "butStart");
}

void TestMainWindow::saveRefused()
{
    QFETCH(QString, folder);
    QFETCH(QString, server);
    QFETCH(QStringList, listed);
    QFETCH(QString, button);
    QVERIFY(createSettings(cfg(), {{server, "", "", 5432, folder}}, listed));
    const QList<QVariantList> stored = sql(cfg(), "select * from confdb");
    PanelWindow window(m_dir->path());
    window.show();
    press(window, button);
    QTEST(texts(m_answerer->seen()).join('|') + " @" + window.focusWidget()->objectName(), "shown");
    QCOMPARE(m_answerer->seen().first().icon, QMessageBox::Critical);
    QCOMPARE(sql(cfg(), "select * from confdb"), stored);
}

void TestMainWindow::saveWrites_data()
{
    // Installed: sarvelad.akun names the service's user, nobody. Made: "uid:gid mode" of the output
    // folder that root's panel makes: the service takes only a folder of its own user's (or
    // root's) that no one else may write, of the group that edits the settings.
    columns<bool, QString>({"installed", "made"});
    row("installed system: the service's user's, of the settings' group, 2750", true, "65534:65534 2750");
    row("program folder for development: root's", false, "0:0 755");
}

void TestMainWindow::saveWrites()
{
    QFETCH(bool, installed);
    // Every row is overwritten.
    QVERIFY(createSettings(cfg(), {{"localhost", "pemakai0"}, {"localhost", "pemakai1", "", 5433}},
                           {"penjualan"}));
    const bool root = ::geteuid() == 0;
    QVERIFY(!root || ::chown(QFile::encodeName(cfg()).constData(), uid_t(-1), 65534) == 0);
    QVERIFY(!installed || writeBytes(m_dir->filePath("sarvelad.akun"), "nobody\n"));
    const QString folder = m_dir->filePath(QStringLiteral("baru/sekali/di sini"));
    const mode_t mask = ::umask(022);
    {
        PanelWindow window(m_dir->path());
        window.show();
        widget<QLineEdit>(&window, "tLokasi")->setText(folder);
        widget<QLineEdit>(&window, "tServer")->setText("  db.contoh.id \t");
        widget<QCheckBox>(&window, "cbJam1")->setChecked(true);
        widget<QTimeEdit>(&window, "tmJam1")->setTime(QTime(6, 15));
        widget<QTimeEdit>(&window, "tmJam2")->setTime(QTime(18, 40, 30));
        press(window, "butSaveRestart");
    }
    ::umask(mask);
    // Saved; the restart that follows finds no service manager and says so.
    const QString shown = texts(m_answerer->seen()).join('|');
    QVERIFY2(shown.startsWith("Data Berhasil disimpan.|Gagal Start Service.\nPesan Error : Service "
                              "manager tidak berjalan (The RPC server is unavailable.)\n"
                              "Jalankan sebagai root: systemctl start svcmgrd"),
             qPrintable(shown));
    // Made with its parents; by root's panel, as the service takes it.
    QVERIFY(QFileInfo(folder).isDir());
    if (root)
        QTEST(ownerAndMode(folder), "made");
    // The server is stored trimmed; the columns the form does not own keep their values.
    QCOMPARE(sql(cfg(), "select server, outputdir, jam1st, jam2st, user, port from confdb"),
             QList<QVariantList>({{"db.contoh.id", folder, 1, 0, "pemakai0", 5432},
                                  {"db.contoh.id", folder, 1, 0, "pemakai1", 5433}}));
    // The service reads exactly what the panel saved.
    BackupEngine engine(m_dir->path());
    QVERIFY(engine.ReadConfig());
    const QString read =
        QString("%1 %2 %3 %4%5 %6 ")
            .arg(engine.server, engine.jam1.toString(Qt::ISODate), engine.jam2.time().toString())
            .arg(engine.jam1st)
            .arg(engine.jam2st)
            .arg(engine.port) +
        engine.outputdir;
    const QString jam1 = QDate::currentDate().toString("yyyy-MM-ddT06:15:00");
    QCOMPARE(read, "db.contoh.id " + jam1 + " 18:40:30 10 5433 " + folder);
    QSqlDatabase::removeDatabase(QSqlDatabase::defaultConnection);
}

void TestMainWindow::editList_data()
{
    QTest::addColumn<ListEdit>("change");
    const auto row = [](const char *tag, const QString &stored, Edit edit, const QString &text,
                        const QString &messages, const QString &list, const QString &file = {}) {
        QTest::newRow(tag) << ListEdit{stored, edit, text, messages, list, file.isEmpty() ? list : file};
    };
    const QString ask = "Apakah database '%1' akan dihapus dari daftar backup ?";
    const QString done = "|Data berhasil dihapus.", failed = "Maaf gagal koneksi ke server*";
    const QString odd = "o'brien \"x\"; drop table tbldb;--";
    const QString both = "penjualan,gudang", one = "penjualan";
    const Edit add = Edit::Add, pick = Edit::Pick, del = Edit::Delete;
    row("add a new name", one, add, "gudang", "", both);
    row("add a name with quotes", one, add, odd, "", "penjualan," + odd);
    row("add one already listed", one, add, "penjualan", "Database : penjualan sudah masuk dalam daftar.",
        one);
    row("pick, empty user and password stand for admin", one, pick, "/", "", both);
    row("pick, blank user reaches the server unchanged", one, pick, "  /", failed, one);
    row("pick, blank password reaches the server unchanged", one, pick, "/  ", failed, one);
    row("delete, Yes", both, del, "1 Yes", ask.arg("gudang") + done, one);
    row("delete, No", both, del, "0 No", ask.arg("penjualan"), both);
    row("delete with nothing selected", both, del, "-1 Yes", "Tidak ada yang dipilih", both);
    row("delete a name stored twice: both rows go, one entry goes", "gudang,penjualan,gudang", del, "2 Yes",
        ask.arg("gudang") + done, "gudang,penjualan", one);
}

void TestMainWindow::editList()
{
    QFETCH(ListEdit, change);
    const auto &[stored, edit, text, messages, listAfter, fileAfter] = change;
    const bool pick = edit == Edit::Pick;
    const ConfRow row{"localhost", pick ? text.section('/', 0, 0) : "", pick ? text.section('/', 1) : "",
                      m_pg.port()};
    QVERIFY(createSettings(cfg(), {row}, stored.split(',')));
    PanelWindow window(m_dir->path());
    window.show();
    widget<QLineEdit>(&window, "tServer")->setText(m_pg.host()); // typed, not saved
    m_answerer->clear();

    QTimer picker; // once the picker is up, choose gudang or press Batal
    connect(&picker, &QTimer::timeout, [&picker] {
        auto *dialog = qobject_cast<FDfrDatabase *>(QApplication::activeModalWidget());
        auto *list = dialog ? widget<QListWidget>(dialog, "listWidget") : nullptr;
        if (!list || !dialog->isVisible())
            return;
        picker.stop();
        const auto match = list->findItems("gudang", Qt::MatchExactly);
        if (!match.isEmpty())
            list->setCurrentItem(match.first());
        widget<QPushButton>(dialog, match.isEmpty() ? "butTutup" : "butOk")->click();
    });
    if (edit == Edit::Add) {
        window.addBackupDatabase(text);
    } else if (edit == Edit::Pick) {
        picker.start(20);
        widget<QPushButton>(&window, "butAdd")->click();
    } else {
        widget<QListWidget>(&window, "listWidget")->setCurrentRow(text.section(' ', 0, 0).toInt());
        m_answerer->answerNext(text.endsWith("Yes") ? QMessageBox::Yes : QMessageBox::No);
        widget<QPushButton>(&window, "butDel")->click();
    }
    const QString shown = texts(m_answerer->seen()).join('|');
    QVERIFY2(messages.endsWith('*') ? shown.startsWith(messages.chopped(1)) && !shown.contains('|')
                                    : shown == messages,
             qPrintable(shown));
    for (const SeenBox &box : m_answerer->seen())
        if (box.icon == QMessageBox::Question) // Return alone must not delete
            QCOMPARE(box.defaultButton, QMessageBox::No);
    QCOMPARE(listed(&window).join(','), listAfter);
    QCOMPARE(databases(cfg()), fileAfter);
}

void TestMainWindow::picker_data()
{
    QTest::addColumn<Pick>("pick");
    auto row = [](const char *tag, const QStringList &steps, int code, const char *name,
                  const QString &messages = "^$", const char *fault = "") {
        QTest::newRow(tag) << Pick{steps, code, name, messages, fault};
    };

    const QString nothing = QStringLiteral("Tidak ada yang dipilih\\|$");
    row("Pilih with a database selected", {"select", "butOk"}, 1, "Toko Utama");
    row("double-click picks", {"double-click"}, 1, "Toko Utama");
    row("Return on the list picks", {"select", "list Return"}, 1, "Toko Utama");
    row("Batal after selecting", {"select", "butTutup"}, 0, "");
    row("window closed after selecting", {"select", "close"}, -1, "");
    row("Pilih with nothing selected keeps the picker open", {"butOk", "butTutup"}, 0, "", "^" + nothing);
    row("Escape closes it, choosing nothing", {"select", "Escape"}, -1, "");
    row("Return that no widget takes does not press Pilih", {"select", "Return", "butTutup"}, 0, "");
    const QString failed = QStringLiteral("^Maaf gagal koneksi ke server : .*");
    // The driver's words come second, in brackets, after the panel's own.
    row("wrong password", {"butOk", "close"}, -1, "",
        failed + "Nama pengguna atau kata sandi salah \\(.*password authentication failed.*\\)\\|" + nothing,
        "password");
    row("nothing listening on the port", {"butOk", "close"}, -1, "",
        failed + "Koneksi ditolak.* \\(.*refused.*\\)\\|" + nothing, "port");
}

void TestMainWindow::picker()
{
    QFETCH(Pick, pick);
    const QStringList &steps = pick.steps; // the user's lambda below takes them
    const QString &fault = pick.fault;
    FDfrDatabase dialog;
    dialog.setServerInfo(m_pg.host(), m_pg.superUser(),
                         fault == QLatin1String("password") ? "salah" : m_pg.superPassword(),
                         fault == QLatin1String("port") ? freeLoopbackPort() : m_pg.port());
    auto *list = dialog.findChild<QListWidget *>(QStringLiteral("listWidget"));
    QStringList shown;
    // Acts once the picker is the active modal window, i.e. after any
    // connection message was answered.
    QTimer user;
    connect(&user, &QTimer::timeout, [&] {
        if (QApplication::activeModalWidget() != &dialog || !dialog.isVisible())
            return;
        user.stop();
        for (const QListWidgetItem *item : list->findItems(QStringLiteral("*"), Qt::MatchWildcard))
            shown << item->text();
        for (const QString &step : steps) {
            const Qt::Key key = Qt::Key(QKeySequence(step.section(' ', -1))[0]);
            if (step == "select") {
                list->setCurrentRow(0);
            } else if (step == "double-click") {
                const QPoint at = list->visualItemRect(list->item(0)).center();
                // As the system delivers it: a click, then the double-click.
                QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
                QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
            } else if (step.startsWith("list ")) {
                QTest::keyClick(list, key);
            } else if (step == "close") {
                dialog.close();
            } else if (auto *button = dialog.findChild<QPushButton *>(step)) {
                button->click();
            } else { // a key that no widget takes
                QTest::keyClick(&dialog, key);
                QVERIFY2(dialog.isVisible() == (key != Qt::Key_Escape), qPrintable(step));
            }
        }
    });
    // A picker that ignores every way out must not hang the run.
    QTimer::singleShot(60000, &dialog, [&] { dialog.hide(); });
    user.start(10);
    QString chosen = QStringLiteral("left as it was");
    QCOMPARE(dialog.chooseDatabase(chosen), pick.code);
    QCOMPARE(chosen, pick.name);
    // Byte order, without the server's own databases.
    const QString all = "Toko Utama,akuntansi,café,gudang,kas\"besar,o'reilly,penjualan";
    QCOMPARE(shown.join(','), fault.isEmpty() ? all : "");
    const QString said = (texts(m_answerer->seen()) << QString()).join('|'); // each ended by "|"
    const QRegularExpression messages(pick.messages, QRegularExpression::DotMatchesEverythingOption);
    QVERIFY2(said.contains(messages), qPrintable(said));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
