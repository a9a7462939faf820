// The status window and the tray on real history files: what each row says for good,
// failed, late, missing and deleted backups; rows needing attention first; a history that is
// watched, not polled; a balloon once for each failure that lands while the panel runs.
#include "fstatusbackup.h"
#include "historywatch.h"
#include "panelfixture.h"

#include <sys/inotify.h>
#include <unistd.h>

using namespace panel;

namespace {

// Records the balloons that a desktop with a tray would show.
struct BalloonPanel : PanelWindow
{
    BalloonPanel(const QString &dir, int runQuietMs) : PanelWindow(dir)
    {
        findChild<XHistoryWatch *>()->setRunQuietMs(runQuietMs);
    }
    void showBalloon(const QString &title, const QString &text, QSystemTrayIcon::MessageIcon) override
    {
        balloons << title + ": " + text;
    }
    // The balloons after the panel had ms to tell anything more.
    QStringList after(int ms)
    {
        QTest::qWait(ms);
        return balloons;
    }
    QStringList balloons;
};

// Shows the window and opens its status window.
QTableWidget *openStatus(QWidget *window)
{
    window->show();
    menuAction(window, "Status &Backup")->trigger();
    return widget<QTableWidget>(window->findChild<FStatusBackup *>(), "tableWidget");
}

// Every row, top to bottom: the database, "!" when it is red, and the named column.
QString column(QTableWidget *table, const QString &header)
{
    int index = 0;
    while (table->horizontalHeaderItem(index)->text() != header)
        ++index;
    QStringList rows;
    for (int row = 0; row < table->rowCount(); ++row) {
        const QColor c = table->item(row, 0)->background().color();
        rows << table->item(row, 0)->text() + (c.red() > c.green() ? "! " : " ") +
                    table->item(row, index)->text();
    }
    return rows.join(", ");
}

// The summary's line for the next backup at 01:00, the fixture's first backup time.
QString nextAt1()
{
    const QDateTime today(QDate::currentDate(), QTime(1, 0));
    const QDateTime next = today > QDateTime::currentDateTime() ? today : today.addDays(1);
    return "Backup berikutnya: " + next.toString("dd/MM/yyyy hh:mm") + ".";
}

// The summary, with " (hijau)" when it says in green that every listed database is safe.
QString summary(QTableWidget *table)
{
    auto *label = widget<QLabel>(table->window(), "lRingkasan");
    return label->text() + (label->styleSheet().contains("#2e7d32") ? " (hijau)" : "");
}

// Row 0 as "Header: text" lines, and "Header tip: tool tip" where the tip says more, whether it
// is red, then the summary with " (hijau)" when green; line breaks in a cell written as "|".
QString describe(QTableWidget *table)
{
    QStringList lines;
    for (int c = 0; table->rowCount() > 0 && c < table->columnCount(); ++c) {
        const QString header = table->horizontalHeaderItem(c)->text().replace('\n', ' ');
        const QTableWidgetItem *item = table->item(0, c);
        lines << header + ": " + item->text();
        if (item->toolTip() != item->text())
            lines << header + " tip: " + item->toolTip();
    }
    const QColor c = table->rowCount() ? table->item(0, 0)->background().color() : QColor();
    lines << QString("merah: %1").arg(c.red() > c.green()) << "Ringkasan: " + summary(table);
    for (QString &line : lines)
        line.replace('\n', '|');
    return lines.join('\n') + '\n';
}

// Adds a job of penjualan from "HOURS_AGO HASIL" and, after ";", alasan=, uji= (its dump's
// drill), periksa= (why its dump waits to be checked), salinan= (its copy's result, refused by
// the connection), dihapus (deleted to keep the newest) or diterima (the change accepted).
qint64 add(const QString &history, const QString &line)
{
    const QStringList parts = line.split(';');
    QMap<QString, QString> with;
    for (const QString &part : parts.mid(1))
        with[part.section('=', 0, 0)] = part.section('=', 1);
    const int hoursAgo = parts[0].section(' ', 0, 0).toInt();
    const qint64 id = addJob(history, {"penjualan", hoursAgo, parts[0].section(' ', 1), with.value("alasan"),
                                       with.contains("dihapus"), with.value("uji"), with.value("periksa"),
                                       with.contains("diterima")});
    if (with.contains("salinan"))
        addCopy(history, id, hoursAgo, with["salinan"], "connection refused");
    return id;
}

// Whether anyone, this process included, opens or reads the file while the panel idles.
bool touchedWhileIdle(const QString &path)
{
    const int fd = inotify_init1(IN_NONBLOCK);
    inotify_add_watch(fd, QFile::encodeName(path).constData(), IN_OPEN | IN_ACCESS);
    QTest::qWait(2500);
    alignas(inotify_event) char buffer[4096];
    const bool touched = ::read(fd, buffer, sizeof buffer) > 0;
    ::close(fd);
    return touched;
}

} // namespace

class TestStatusBackup : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void rows_data();
    void rows();
    void changeAccepted_data();
    void changeAccepted();
    void checksAndDrillsToldOnce();
    void attentionFirst();
    void watched_data();
    void watched();
    void burstReadTogether();
    void oneBalloonPerRun();

private:
    QString file(const QString &name) const { return m_dir->filePath(name); }
    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<ModalAnswerer> m_answerer;
    Isolation m_isolation;
};

void TestStatusBackup::init()
{
    m_dir.reset(new QTemporaryDir);
    m_answerer.reset(new ModalAnswerer); // no manager runs: nothing asks to install
}

void TestStatusBackup::rows_data()
{
    // The jobs of penjualan, oldest first, as add() takes them. Shown: lines of describe() and
    // "wajar: " whether a change can be accepted; "…" stands for any text within a line; a line
    // with "!" first must not be there. Setup: "both times" on, "copies" chosen as well, "no time"
    // on, or "nothing listed" (01:00 on).
    columns<QStringList, QStringList, QString>({"jobs", "shown", "setup"});
    auto row = [](const char *tag, const QStringList &jobs, const QStringList &shown,
                  const QString &setup = "both times") { QTest::newRow(tag) << jobs << shown << setup; };
    const QString ok = "Keadaan: Baik\n", failed = "Keadaan: Gagal\n", never = "Umur: —\n";
    const QString day = "Umur: 1 hari lalu\n", exit1 = "pg_dump berhenti dengan kode 1";
    const QString lastOk = "Job terakhir: OK, ";
    // Backups at 01:00 and 13:00: a good backup may be a day and twelve hours old.
    row("good: 35 hours old is within a day and a slot", {"35 OK"}, {ok, day, lastOk});
    row("late: 37 hours old", {"37 OK"}, {"Keadaan: Terlambat\n", day, lastOk});
    row("failed after a good one, with its reason", {"30 OK", "2 GAGAL;alasan=" + exit1},
        {failed, day, "Job terakhir: GAGAL, …" + exit1});
    row("refused counts as failed", {"1 DITOLAK;alasan=nama database ditolak"},
        {failed, never, "Job terakhir: DITOLAK, …nama database ditolak"});
    row("cancelled by a stop is no failure", {"5 OK", "1 DIBATALKAN;alasan=Service dihentikan."},
        {ok, "Umur: 5 jam lalu\n", "Job terakhir: DIBATALKAN, …Service dihentikan."});
    row("a running job does not hide the failure before it",
        {"30 OK", "3 GAGAL;alasan=" + exit1, "0 BERJALAN"},
        {failed, day, "Job terakhir: BERJALAN sejak …GAGAL, …" + exit1});
    row("never backed up", {}, {"Keadaan: Belum ada backup\n", never, "Job terakhir: —\n"});
    row("deleted by retention: the good one before it counts", {"30 OK", "2 OK;dihapus"}, {ok, day, lastOk});
    row("deleted by retention: none left", {"2 OK;dihapus"}, {"Keadaan: Belum ada backup\n", never, lastOk});
    // The rows of the newest good dump and its newest drill, the reason in the tool tip; no
    // row chosen, nothing to accept.
    const QString proof = "Terverifikasi: Ya, 1.000 baris", tip = "!Terverifikasi tip: …alasan uji";
    const QString check = "periksa=tabel public.tblbarang tinggal 10 dari 1000 baris.";
    row("a good drill", {"3 OK;uji=OK"}, {ok, proof + "|Uji pulih OK, ", tip, "wajar: 0"});
    row("the newest drill failed, with its reason", {"30 OK;uji=OK", "3 OK;uji=GAGAL"},
        {"Keadaan: Uji pulih gagal\n", proof + "|Uji pulih GAGAL, ", tip.mid(1)});
    row("a cancelled drill is no failure", {"30 OK;uji=OK", "3 OK;uji=DIBATALKAN"},
        {ok, proof + "|Uji pulih DIBATALKAN, ", tip.mid(1)});
    row("no good drill within two weeks", {QString::number(15 * 24) + " OK;uji=OK", "3 OK"},
        {"Keadaan: Uji pulih terlambat\n", proof + "|Uji pulih OK, ", tip});
    row("a dump that waits to be checked", {"30 OK", "3 OK;" + check},
        {"Keadaan: Perlu diperiksa\n", "!Uji pulih", tip, "wajar: 0"});
    row("a change accepted waits no more", {"30 OK", "3 OK;diterima;" + check}, {ok, "!Uji pulih", tip});
    // Backups at 01:00 and 13:00: a dump may wait a day and twelve hours for its copy.
    const QString copied = "Keadaan: Baik|salinan: 1 hari lalu\n";
    row("copied", {"30 OK;salinan=OK"}, {copied, "merah: 0"}, "copies");
    row("a failed copy, not yet late", {"30 OK;salinan=OK", "2 OK;salinan=GAGAL"}, {copied, "merah: 0"},
        "copies");
    row("no copy for longer than a dump may wait: red with the reason",
        {"40 OK;salinan=GAGAL", "2 OK;salinan=GAGAL"},
        {"Keadaan: Salinan tertunda|salinan: belum ada\n", "merah: 1",
         "Keadaan tip: …belum tersalin ke luar server…GAGAL: connection refused"},
        "copies");
    row("copies not chosen", {"2 OK"}, {ok, "merah: 0"});
    // Green says that every listed database is safe and will be backed up again.
    const QString none = "Belum ada database di daftar backup.|%1|Riwayat backup belum ada.\n";
    row("nothing listed", {}, {"Ringkasan: " + none}, "nothing listed");
    row("every backup good, but no backup time on", {"1 OK"},
        {"Ringkasan: Semua backup baik.|Tidak "
         "ada jam backup yang aktif: service tidak akan membuat backup terjadwal.\n"},
        "no time");
}

void TestStatusBackup::rows()
{
    QFETCH(QStringList, jobs);
    QFETCH(QStringList, shown);
    QFETCH(QString, setup);
    ConfRow conf;
    conf.jam1st = setup != "no time";
    conf.jam2st = setup != "no time" && setup != "nothing listed"; // then the next is at 01:00
    QVERIFY(createSettings(file("confbu.cfg"), {conf},
                           setup == "nothing listed" ? QStringList() : QStringList{"penjualan"}));
    if (setup == "copies")
        sql(file("confbu.cfg"), "insert into confsalin (remote, folder) values ('luar', 'kantor')");
    for (const QString &job : jobs)
        add(file("riwayat.db"), job);
    PanelWindow window(m_dir->path());
    QTableWidget *table = openStatus(&window);
    const auto *wajar = widget<QPushButton>(table->window(), "butWajar");
    const QString said = describe(table) + QString("wajar: %1\n").arg(wajar->isEnabled());
    for (QString line : shown) {
        const bool absent = line.startsWith('!');
        const QString line1 = line.mid(absent).replace("%1", nextAt1());
        const QString pattern = QRegularExpression::escape(line1).replace("\\…", "[^\\n]*");
        QVERIFY2(said.contains(QRegularExpression(pattern)) != absent, qPrintable(line + " in\n" + said));
    }
}

void TestStatusBackup::changeAccepted_data()
{
    // Why waking the service fails (empty: it wakes); the requests left in the settings.
    columns<QString, QString, int>({"wakes", "boxes", "waiting"});
    row("the service is asked, and its refusal told", "",
        "Perubahan tidak diterima service.\nPesan Error : ditolak uji", 1);
    row("a service that cannot be woken: told, nothing left waiting", "Service tidak aktif.",
        "Gagal mengirim permintaan.\nPesan Error : Service tidak aktif.", 0);
}

// "Perubahan wajar" for a dump that waits: asked first, then handed to the service as a
// request, whose answer the window tells when it is no acceptance.
void TestStatusBackup::changeAccepted()
{
    QFETCH(QString, wakes);
    QVERIFY(createSettings(file("confbu.cfg"), {ConfRow()}, {"penjualan"}));
    add(file("riwayat.db"), "30 OK");
    const qint64 flagged = add(file("riwayat.db"), "3 OK;periksa=tabel public.tblbarang tinggal 10.");
    PanelWindow window(m_dir->path());
    openStatus(&window)->setCurrentCell(0, 0);
    auto *status = window.findChild<FStatusBackup *>();
    status->setRequests([] { return QSqlDatabase::database(); }, [wakes] { return wakes; });
    auto *wajar = widget<QPushButton>(status, "butWajar");
    QVERIFY(wajar->isEnabled());
    m_answerer->answerNext(QMessageBox::Yes);
    wajar->click();
    const QList<QVariantList> asked = sql(file("confbu.cfg"), "select kunci, jenis, isi from permintaan");
    QTEST(asked.size(), "waiting");
    if (!asked.isEmpty()) {
        // One at a time.
        QCOMPARE(asked[0][1].toString() + " " + asked[0][2].toString() + (wajar->isEnabled() ? " +" : ""),
                 QString(R"(terima-perubahan {"dbname":"penjualan","riwayat_id":%1})").arg(flagged));
        sql(file("riwayat.db"),
            "insert into permintaan (kunci, jenis, hasil, pesan) values (?, ?, 'DITOLAK', "
            "'ditolak uji')",
            {asked[0][0], asked[0][1]});
    }
    QFETCH(QString, boxes);
    QTRY_COMPARE(texts(m_answerer->seen()).mid(1).join('|'), boxes); // after the question
}

// A dump that waits to be checked and a failed drill that land while the panel runs are told
// once each, at the end of their run; a cancelled drill and what was there before are not.
void TestStatusBackup::checksAndDrillsToldOnce()
{
    QVERIFY(createSettings(file("confbu.cfg"), {ConfRow()}, {"penjualan"}));
    const QString history = file("riwayat.db");
    add(history, "30 OK;uji=GAGAL");
    BalloonPanel window(m_dir->path(), 300);
    window.show();
    QTRY_VERIFY(!window.findChild<XHistoryWatch *>()->rows().isEmpty());
    add(history, "2 OK;periksa=tabel x tinggal 10 dari 2000 baris.");
    QTRY_COMPARE(window.balloons, QStringList{"Backup perlu diperiksa: Backup database penjualan perlu "
                                              "diperiksa: tabel x tinggal 10 dari 2000 baris."});
    add(history, "1 OK;uji=DIBATALKAN");
    add(history, "0 OK;uji=DITOLAK");
    QTRY_COMPARE(window.balloons.mid(1),
                 QStringList{"Backup gagal: Uji pulih database penjualan ditolak: alasan uji"});
    addJob(history, {"penjualan", 0});
    QCOMPARE(window.after(600).size(), 2);
}

void TestStatusBackup::attentionFirst()
{
    ConfRow conf;
    conf.jam1st = 1; // 01:00
    QVERIFY(createSettings(file("confbu.cfg"), {conf}, {"arsip", "buku", "citra", "data"}));
    addJob(file("riwayat.db"), {"arsip", 1});
    addJob(file("riwayat.db"), {"buku", 1, "GAGAL", "pg_dump berhenti dengan kode 1"});
    addJob(file("riwayat.db"), {"citra", 2});
    PanelWindow window(m_dir->path());
    QTableWidget *table = openStatus(&window);

    // The databases top to bottom, "!" after a red one, the summary and whether it is green.
    auto shown = [table] { return column(table, "Keadaan") + " | " + summary(table); };
    QCOMPARE(shown(), "buku! Gagal, data! Belum ada backup, arsip Baik, citra Baik | 2 dari 4 database perlu "
                      "diperiksa.\n" +
                          nextAt1());
    // New good backups show while the window is open, in the order of the list.
    addJob(file("riwayat.db"), {"buku", 0});
    addJob(file("riwayat.db"), {"data", 0});
    QTRY_COMPARE(shown(), "arsip Baik, buku Baik, citra Baik, data Baik | Semua backup baik.\n" + nextAt1() +
                              " (hijau)");
}

void TestStatusBackup::watched_data()
{
    columns<bool>({"linked"});
    row("history beside the program", false);
    row("history in a data folder, linked from the program folder", true);
}

void TestStatusBackup::watched()
{
    QFETCH(bool, linked);
    QVERIFY(createSettings(file("confbu.cfg"), {ConfRow()}, {"penjualan", "gudang"}));
    const QString history = file(linked ? "data/riwayat.db" : "riwayat.db");
    QVERIFY(!linked || (QDir().mkpath(file("data")) && QFile::link(history, file("riwayat.db"))));
    addJob(history, {"penjualan", 2});
    addJob(history, {"gudang", 3, "GAGAL", "sudah ada sebelum panel"});
    const qint64 running = addJob(history, {"gudang", 0, "BERJALAN"});
    BalloonPanel window(m_dir->path(), 300);
    QTableWidget *table = openStatus(&window);
    QCOMPARE(column(table, "Keadaan"), "gudang! Gagal, penjualan Baik");

    // Idle, with the window open, nothing opens or reads the history.
    QVERIFY(!touchedWhileIdle(history));
    QCOMPARE(window.balloons, QStringList()); // the failure was there before

    // Shown at once; told once the run has ended.
    addJob(history, {"penjualan", 0, "GAGAL", "pg_dump berhenti dengan kode 1"});
    QTRY_COMPARE(column(table, "Keadaan"), "penjualan! Gagal, gudang! Gagal");
    QCOMPARE(window.after(600), QStringList());

    // The job that ran when the panel started fails now: the run is told, the one before not.
    sql(history, "update riwayat set hasil = 'GAGAL', alasan = 'terhenti' where id = ?", {running});
    QTRY_COMPARE(window.balloons, QStringList{"Backup gagal: 2 dari 2 backup gagal.\nBackup database "
                                              "penjualan gagal: pg_dump berhenti dengan kode 1\nBackup "
                                              "database gudang gagal: terhenti"});
    const qint64 good = addJob(history, {"gudang", 0});

    // A copy off this machine that fails is told once its run has ended, and once only.
    addCopy(history, good, 0, riwayat::Gagal, "connection refused");
    QTRY_COMPARE(window.balloons.mid(1), QStringList{"Salinan luar server gagal: Salinan database gudang ke "
                                                     "luar:kantor/db gagal: connection refused"});
    addCopy(history, good, 0);
    QCOMPARE(window.after(600).size(), 2);

    // The service makes a damaged history anew; the new file is watched as well.
    QVERIFY(QFile::remove(history));
    QTRY_VERIFY(summary(table).endsWith("Riwayat backup belum ada."));
    addJob(history, {"gudang", 0, "DITOLAK", "nama database ditolak"});
    QTRY_COMPARE(window.balloons.mid(2), QStringList{"Backup gagal: 1 dari 1 backup gagal.\nBackup database "
                                                     "gudang ditolak: nama database ditolak"});

    // A damaged history is no box: the window says so, and reads again at the next change.
    QVERIFY(QFile::remove(history) && writeBytes(history, "bukan riwayat"));
    QTRY_VERIFY(summary(table).contains("Riwayat backup tidak dapat dibaca"));
    // Nothing is known to be safe.
    QVERIFY(!summary(table).endsWith("(hijau)") && m_answerer->seen().isEmpty());
    QVERIFY(QFile::remove(history));
    addJob(history, {"penjualan", 0});
    QTRY_COMPARE(column(table, "Keadaan"), "gudang! Belum ada backup, penjualan Baik");
}

// Changes that come in a burst are read a few times, not once each.
void TestStatusBackup::burstReadTogether()
{
    QVERIFY(createSettings(file("confbu.cfg"), {ConfRow()}, {"penjualan"}));
    addJob(file("riwayat.db"), {"penjualan", 1});
    PanelWindow window(m_dir->path());
    window.show();
    QSignalSpy reads(window.findChild<XHistoryWatch *>(), &XHistoryWatch::changed);
    for (int i = 0; i < 20; ++i) {
        addJob(file("riwayat.db"), {"penjualan", 0, "BERJALAN"});
        QTest::qWait(50);
    }
    QTest::qWait(500);
    QVERIFY2(reads.size() >= 1 && reads.size() <= 6, qPrintable(QString::number(reads.size())));
    QVERIFY(column(openStatus(&window), "Job terakhir").startsWith("penjualan BERJALAN"));
}

// A run's failures come one by one, read after read; the balloon comes once, at its end.
void TestStatusBackup::oneBalloonPerRun()
{
    const QStringList names{"arsip", "buku", "citra", "data", "efek"};
    QVERIFY(createSettings(file("confbu.cfg"), {ConfRow()}, names));
    const QString history = file("riwayat.db");
    addJob(history, {"arsip", 12});
    BalloonPanel window(m_dir->path(), 1000);
    window.show();
    // As the service writes it: each job running, then ended, the next one begun at once.
    for (const QString &name : names) {
        const bool fails = name != "buku";
        const qint64 id = addJob(history, {name, 0, "BERJALAN"});
        QTest::qWait(400);
        sql(history, "update riwayat set hasil = ?, alasan = ? where id = ?",
            {fails ? "GAGAL" : "OK", fails ? "kode 1" : QVariant(), id});
    }
    QTRY_COMPARE_WITH_TIMEOUT(
        window.balloons,
        QStringList{
            "Backup gagal: 4 dari 5 backup gagal.\n"
            "Backup database arsip gagal: kode 1\nBackup database citra gagal: kode 1\nBackup database "
            "data gagal: kode 1\nDan 1 lainnya; lihat Status Backup."},
        10000);
    QCOMPARE(window.after(1500).size(), 1);
}

QTEST_MAIN(TestStatusBackup)
#include "tst_statusbackup.moc"
