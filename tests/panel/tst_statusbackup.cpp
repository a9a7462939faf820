// The status window and the tray on real history files: what each row says for good,
// failed, late, missing and deleted backups; rows needing attention first; a history that is
// watched, not polled; a balloon once for each failure that lands while the panel runs.
#include "fstatusbackup.h"
#include "historywatch.h"
#include "panelfixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTableWidget>

#include <functional>

#include <sys/inotify.h>
#include <unistd.h>

using namespace panel;

Q_DECLARE_METATYPE(QList<panel::Job>)

namespace {

// Records the balloons that a desktop with a tray would show.
struct BalloonPanel : PanelWindow
{
    using PanelWindow::PanelWindow;
    void showBalloon(const QString &title, const QString &text,
                     QSystemTrayIcon::MessageIcon) override
    {
        balloons << title + ": " + text;
    }
    QStringList balloons;
};

QTableWidget *openStatus(QWidget *window)
{
    menuAction(window, "Status &Backup")->trigger();
    return widget<QTableWidget>(window->findChild<FStatusBackup *>(), "tableWidget");
}

// The named column of every row, top to bottom.
QStringList column(QTableWidget *table, const QString &header)
{
    int index = 0;
    while (table->horizontalHeaderItem(index)->text() != header)
        ++index;
    QStringList cells;
    for (int row = 0; row < table->rowCount(); ++row)
        cells << table->item(row, index)->text();
    return cells;
}

// The summary's line for the next backup at 01:00, the fixture's first backup time.
QString nextAt1()
{
    QDateTime next(QDate::currentDate(), QTime(1, 0));
    if (next <= QDateTime::currentDateTime())
        next = next.addDays(1);
    return "Backup berikutnya: " + next.toString("dd/MM/yyyy hh:mm") + ".";
}

QString summary(QTableWidget *table)
{
    return widget<QLabel>(table->window(), "lRingkasan")->text();
}

// Whether the summary says, in green, that every listed database is safe.
bool summaryGreen(QTableWidget *table)
{
    return widget<QLabel>(table->window(), "lRingkasan")->styleSheet().contains("#2e7d32");
}

// How often anyone, this process included, opens (or reads, by mask) the file during.
int accesses(const QString &path, uint32_t mask, const std::function<void()> &during)
{
    const int fd = inotify_init1(IN_NONBLOCK);
    inotify_add_watch(fd, QFile::encodeName(path).constData(), mask);
    during();
    alignas(inotify_event) char buffer[4096];
    int events = 0;
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        for (char *p = buffer; p < buffer + got;
             p += sizeof(inotify_event) + ((inotify_event *)p)->len)
            ++events;
    ::close(fd);
    return events;
}

} // namespace

class TestStatusBackup : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void rows_data();
    void rows();
    void proofRows_data();
    void proofRows();
    void changeAccepted_data();
    void changeAccepted();
    void checksAndDrillsToldOnce();
    void attentionFirst();
    void notGreen_data();
    void notGreen();
    void copies_data();
    void copies();
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
    QTest::addColumn<QList<Job>>("jobs"); // of penjualan, oldest first
    QTest::addColumn<QString>("keadaan");
    QTest::addColumn<QString>("umur"); // of the last good backup
    QTest::addColumn<QString>("lastJob");
    const QString exit1 = "pg_dump berhenti dengan kode 1";
    auto job = [](int hoursAgo, const QString &hasil, const QString &alasan = {},
                  bool deleted = false) {
        return Job{"penjualan", hoursAgo, hasil, alasan, deleted};
    };
    auto row = [](const char *tag, const QList<Job> &jobs, const char *keadaan, const char *umur,
                  const char *lastJob) {
        QTest::newRow(tag) << jobs << keadaan << umur << lastJob;
    };
    // Backups at 01:00 and 13:00: a good backup may be a day and twelve hours old.
    row("good: 35 hours old is within a day and a slot", {job(35, "OK")}, "Baik", "1 hari lalu",
        "OK, ");
    row("late: 37 hours old", {job(37, "OK")}, "Terlambat", "1 hari lalu", "OK, ");
    row("failed after a good one, with its reason", {job(30, "OK"), job(2, "GAGAL", exit1)},
        "Gagal", "1 hari lalu", "GAGAL, ");
    row("refused counts as failed", {job(1, "DITOLAK", "nama database ditolak")}, "Gagal", "—",
        "DITOLAK, ");
    row("cancelled by a stop is no failure",
        {job(5, "OK"), job(1, "DIBATALKAN", "Service dihentikan.")}, "Baik", "5 jam lalu",
        "DIBATALKAN, ");
    row("a running job does not hide the failure before it",
        {job(30, "OK"), job(3, "GAGAL", exit1), job(0, "BERJALAN")}, "Gagal", "1 hari lalu",
        "BERJALAN sejak ");
    row("never backed up", {}, "Belum ada backup", "—", "—");
    row("deleted by retention: the good one before it counts",
        {job(30, "OK"), job(2, "OK", {}, true)}, "Baik", "1 hari lalu", "OK, ");
    row("deleted by retention: none left", {job(2, "OK", {}, true)}, "Belum ada backup", "—",
        "OK, ");
}

void TestStatusBackup::rows()
{
    QFETCH(QList<Job>, jobs);
    ConfRow conf;
    conf.jam1st = conf.jam2st = 1;
    QVERIFY(createSettings(file("confbu.cfg"), {conf}, {"penjualan"}));
    for (const Job &job : jobs)
        addJob(file("riwayat.db"), job);
    PanelWindow window(m_dir->path());
    window.show();
    QTableWidget *table = openStatus(&window);
    QVERIFY(table);

    QTEST(column(table, "Keadaan").value(0), "keadaan");
    QTEST(column(table, "Umur").value(0), "umur");
    QFETCH(QString, lastJob);
    const QString shown = column(table, "Job terakhir").value(0);
    QVERIFY2(shown.startsWith(lastJob), qPrintable(shown));
    // With the reason of the last job that ended, also behind a running one.
    for (auto job = jobs.crbegin(); job != jobs.crend(); ++job)
        if (job->hasil != riwayat::Berjalan) {
            QVERIFY2(shown.contains(job->hasil + ", ") && shown.contains(job->alasan),
                     qPrintable(shown));
            break;
        }
}

void TestStatusBackup::proofRows_data()
{
    QTest::addColumn<QList<Job>>("jobs"); // of penjualan, oldest first
    QTest::addColumn<QString>("keadaan");
    QTest::addColumn<QString>("uji"); // how the newest drill's cell begins
    const QString check = "tabel public.tblbarang tinggal 10 dari 1000 baris.";
    auto job = [](int hoursAgo, const QString &uji = {}, const QString &periksa = {},
                  bool diterima = false) {
        return Job{"penjualan", hoursAgo, riwayat::Ok, {}, false, uji, periksa, diterima};
    };
    QTest::newRow("a good drill") << QList<Job>{job(3, "OK")} << "Baik"
                                  << "OK, ";
    QTest::newRow("the newest drill failed, with its reason")
        << QList<Job>{job(30, "OK"), job(3, "GAGAL")} << "Uji pulih gagal"
        << "GAGAL, ";
    QTest::newRow("a cancelled drill is no failure")
        << QList<Job>{job(30, "OK"), job(3, "DIBATALKAN")} << "Baik"
        << "DIBATALKAN, ";
    QTest::newRow("no good drill within two weeks")
        << QList<Job>{job(15 * 24, "OK"), job(3)} << "Uji pulih terlambat"
        << "OK, ";
    QTest::newRow("a dump that waits to be checked")
        << QList<Job>{job(30), job(3, {}, check)} << "Perlu diperiksa"
        << "—";
    QTest::newRow("a change accepted waits no more")
        << QList<Job>{job(30), job(3, {}, check, true)} << "Baik"
        << "—";
}

// The rows of the newest good dump, the newest drill, and the checks that wait.
void TestStatusBackup::proofRows()
{
    QFETCH(QList<Job>, jobs);
    QVERIFY(createSettings(file("confbu.cfg"), {ConfRow()}, {"penjualan"}));
    for (const Job &job : jobs)
        addJob(file("riwayat.db"), job);
    PanelWindow window(m_dir->path());
    window.show();
    QTableWidget *table = openStatus(&window);
    QTEST(column(table, "Keadaan").value(0), "keadaan");
    // The dump's rows and its newest drill, the reason in the tool tip.
    QFETCH(QString, uji);
    const QString proof = column(table, "Terverifikasi").value(0);
    QVERIFY2(proof.startsWith("Ya, 1.000 baris") &&
                 (uji == "—" ? !proof.contains("Uji pulih") : proof.contains("\nUji pulih " + uji)),
             qPrintable(proof));
    QCOMPARE(table->item(0, 5)->toolTip().contains("alasan uji"),
             uji == "GAGAL, " || uji == "DIBATALKAN, ");
    QCOMPARE(widget<QPushButton>(table->window(), "butWajar")->isEnabled(), false); // none chosen
}

void TestStatusBackup::changeAccepted_data()
{
    QTest::addColumn<QString>("wakes"); // why waking the service fails; empty: it wakes
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<int>("waiting"); // requests left in the settings
    QTest::newRow("the service is asked, and its refusal told")
        << "" << QStringList{"Perubahan tidak diterima service.\nPesan Error : ditolak uji"} << 1;
    QTest::newRow("a service that cannot be woken: told, nothing left waiting")
        << "Service tidak aktif."
        << QStringList{"Gagal mengirim permintaan.\nPesan Error : Service tidak aktif."} << 0;
}

// "Perubahan wajar" for a dump that waits: asked first, then handed to the service as a
// request, whose answer the window tells when it is no acceptance.
void TestStatusBackup::changeAccepted()
{
    QFETCH(QString, wakes);
    QVERIFY(createSettings(file("confbu.cfg"), {ConfRow()}, {"penjualan"}));
    addJob(file("riwayat.db"), {"penjualan", 30});
    const qint64 flagged =
        addJob(file("riwayat.db"),
               {"penjualan", 3, riwayat::Ok, {}, false, {}, "tabel public.tblbarang tinggal 10."});
    PanelWindow window(m_dir->path());
    window.show();
    QTableWidget *table = openStatus(&window);
    auto *status = window.findChild<FStatusBackup *>();
    status->setRequests([] { return QSqlDatabase::database(); }, [wakes] { return wakes; });
    table->setCurrentCell(0, 0);
    auto *wajar = widget<QPushButton>(status, "butWajar");
    QVERIFY(wajar->isEnabled());
    m_answerer->answerNext(QMessageBox::Yes);
    wajar->click();
    const QList<QVariantList> asked =
        sql(file("confbu.cfg"), "select kunci, jenis, isi from permintaan");
    QTEST(asked.size(), "waiting");
    if (!asked.isEmpty()) {
        QCOMPARE(asked[0][1].toString(), QString("terima-perubahan"));
        QCOMPARE(QJsonDocument::fromJson(asked[0][2].toByteArray()).object(),
                 QJsonObject({{"dbname", "penjualan"}, {"riwayat_id", double(flagged)}}));
        QVERIFY(!wajar->isEnabled()); // one at a time
        sql(file("riwayat.db"),
            "insert into permintaan (kunci, jenis, hasil, pesan) values (?, ?, 'DITOLAK', "
            "'ditolak uji')",
            {asked[0][0], asked[0][1]});
    }
    QFETCH(QStringList, boxes);
    QTRY_COMPARE(texts(m_answerer->seen()).mid(1), boxes); // after the question
}

// A dump that waits to be checked and a failed drill that land while the panel runs are told
// once each, at the end of their run; a cancelled drill and what was there before are not.
void TestStatusBackup::checksAndDrillsToldOnce()
{
    QVERIFY(createSettings(file("confbu.cfg"), {ConfRow()}, {"penjualan"}));
    const QString history = file("riwayat.db");
    addJob(history, {"penjualan", 30, riwayat::Ok, {}, false, "GAGAL"});
    BalloonPanel window(m_dir->path());
    window.show();
    window.findChild<XHistoryWatch *>()->setRunQuietMs(300);
    QTRY_VERIFY(!window.findChild<XHistoryWatch *>()->rows().isEmpty());
    addJob(history,
           {"penjualan", 2, riwayat::Ok, {}, false, {}, "tabel x tinggal 10 dari 2000 baris."});
    QTRY_COMPARE(window.balloons,
                 QStringList{"Backup perlu diperiksa: Backup database penjualan "
                             "perlu diperiksa: tabel x tinggal 10 dari 2000 baris."});
    addJob(history, {"penjualan", 1, riwayat::Ok, {}, false, "DIBATALKAN"});
    addJob(history, {"penjualan", 0, riwayat::Ok, {}, false, "DITOLAK"});
    QTRY_COMPARE(window.balloons.size(), 2);
    QCOMPARE(window.balloons.last(),
             QString("Backup gagal: Uji pulih database penjualan ditolak: alasan uji"));
    addJob(history, {"penjualan", 0});
    QTest::qWait(600);
    QCOMPARE(window.balloons.size(), 2);
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
    window.show();
    QTableWidget *table = openStatus(&window);

    auto reddish = [table](int row) {
        const QColor c = table->item(row, 0)->background().color();
        return c.red() > c.green();
    };
    QCOMPARE(column(table, "Database"), QStringList({"buku", "data", "arsip", "citra"}));
    QVERIFY(reddish(0) && reddish(1) && !reddish(2) && !reddish(3));
    const QString nextLine = "\n" + nextAt1();
    QCOMPARE(summary(table), "2 dari 4 database perlu diperiksa." + nextLine);
    QVERIFY(!summaryGreen(table));

    // New good backups show while the window is open, in the order of the list.
    addJob(file("riwayat.db"), {"buku", 0});
    addJob(file("riwayat.db"), {"data", 0});
    QTRY_COMPARE(column(table, "Database"), QStringList({"arsip", "buku", "citra", "data"}));
    QCOMPARE(summary(table), "Semua backup baik." + nextLine);
    QVERIFY(summaryGreen(table));
    QVERIFY(!reddish(0) && !reddish(3));
}

void TestStatusBackup::notGreen_data()
{
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<bool>("timeOn");
    QTest::addColumn<QString>("summary");
    QTest::newRow("nothing listed")
        << QStringList() << true
        << "Belum ada database di daftar backup.\n%1\nRiwayat backup belum ada.";
    QTest::newRow("every backup good, but no backup time on")
        << QStringList{"penjualan"} << false
        << "Semua backup baik.\nTidak ada jam backup yang aktif: service tidak akan membuat "
           "backup terjadwal.";
}

// Green says that every listed database is safe and will be backed up again.
void TestStatusBackup::notGreen()
{
    QFETCH(QStringList, listed);
    QFETCH(bool, timeOn);
    ConfRow conf;
    conf.jam1st = timeOn;
    QVERIFY(createSettings(file("confbu.cfg"), {conf}, listed));
    if (!listed.isEmpty())
        addJob(file("riwayat.db"), {listed.first(), 1});
    PanelWindow window(m_dir->path());
    window.show();
    QTableWidget *table = openStatus(&window);
    QFETCH(QString, summary);
    QCOMPARE(::summary(table), summary.replace("%1", nextAt1()));
    QVERIFY(!summaryGreen(table));
}

void TestStatusBackup::copies_data()
{
    QTest::addColumn<bool>("copiesOn");
    QTest::addColumn<QStringList>("dumps"); // "HOURS_AGO COPY" oldest first; COPY - for none
    QTest::addColumn<QString>("keadaan");   // with the newest verified copy's age below
    // Backups at 01:00 and 13:00: a dump may wait a day and twelve hours for its copy.
    QTest::newRow("copied") << true << QStringList{"30 OK"} << "Baik\nsalinan: 1 hari lalu";
    QTest::newRow("a failed copy, not yet late")
        << true << QStringList{"30 OK", "2 GAGAL"} << "Baik\nsalinan: 1 hari lalu";
    QTest::newRow("no copy for longer than a dump may wait: red with the reason")
        << true << QStringList{"40 GAGAL", "2 GAGAL"} << "Salinan tertunda\nsalinan: belum ada";
    QTest::newRow("copies not chosen") << false << QStringList{"2 -"} << "Baik";
}

void TestStatusBackup::copies()
{
    QFETCH(bool, copiesOn);
    QFETCH(QStringList, dumps);
    QFETCH(QString, keadaan);
    ConfRow conf;
    conf.jam1st = conf.jam2st = 1;
    QVERIFY(createSettings(file("confbu.cfg"), {conf}, {"penjualan"}));
    if (copiesOn)
        sql(file("confbu.cfg"), "insert into confsalin (remote, folder) values ('luar', 'kantor')");
    for (const QString &dump : dumps) {
        const int hoursAgo = dump.section(' ', 0, 0).toInt();
        const qint64 id = addJob(file("riwayat.db"), {"penjualan", hoursAgo});
        if (dump.section(' ', 1) != "-")
            addCopy(file("riwayat.db"), id, hoursAgo, dump.section(' ', 1), "connection refused");
    }
    PanelWindow window(m_dir->path());
    window.show();
    QTableWidget *table = openStatus(&window);
    QCOMPARE(column(table, "Keadaan").value(0), keadaan);
    const QColor c = table->item(0, 0)->background().color();
    QCOMPARE(c.red() > c.green(), !keadaan.startsWith("Baik"));
    if (!keadaan.startsWith("Baik"))
        QVERIFY2(table->item(0, 1)->toolTip().contains("belum tersalin ke luar server") &&
                     table->item(0, 1)->toolTip().contains("GAGAL: connection refused"),
                 qPrintable(table->item(0, 1)->toolTip()));
}

void TestStatusBackup::watched_data()
{
    QTest::addColumn<bool>("linked");
    QTest::newRow("history beside the program") << false;
    QTest::newRow("history in a data folder, linked from the program folder") << true;
}

void TestStatusBackup::watched()
{
    QFETCH(bool, linked);
    QVERIFY(createSettings(file("confbu.cfg"), {ConfRow()}, {"penjualan", "gudang"}));
    QDir().mkpath(file("data"));
    const QString history = linked ? file("data/riwayat.db") : file("riwayat.db");
    if (linked)
        QVERIFY(QFile::link(history, file("riwayat.db")));
    addJob(history, {"penjualan", 2});
    addJob(history, {"gudang", 3, "GAGAL", "sudah ada sebelum panel"});
    const qint64 running = addJob(history, {"gudang", 0, "BERJALAN"});
    BalloonPanel window(m_dir->path());
    window.findChild<XHistoryWatch *>()->setRunQuietMs(300);
    window.show();
    QTableWidget *table = openStatus(&window);
    QCOMPARE(column(table, "Keadaan"), QStringList({"Gagal", "Baik"}));

    // Idle, with the window open, nothing opens or reads the history.
    QCOMPARE(accesses(history, IN_OPEN | IN_ACCESS, [] { QTest::qWait(2500); }), 0);
    QCOMPARE(window.balloons, QStringList()); // the failure was there before

    // Shown at once; told once the run has ended.
    addJob(history, {"penjualan", 0, "GAGAL", "pg_dump berhenti dengan kode 1"});
    QTRY_COMPARE(column(table, "Keadaan"), QStringList({"Gagal", "Gagal"}));
    QTest::qWait(600);
    QCOMPARE(window.balloons, QStringList());

    // The job that ran when the panel started fails now: the run is told, the one before not.
    sql(history, "update riwayat set hasil = 'GAGAL', alasan = 'terhenti' where id = ?", {running});
    QTRY_COMPARE(window.balloons,
                 QStringList{"Backup gagal: 2 dari 2 backup gagal.\nBackup database penjualan "
                             "gagal: pg_dump berhenti dengan kode 1\nBackup database gudang "
                             "gagal: terhenti"});
    const qint64 good = addJob(history, {"gudang", 0}); // a run that went well tells nothing
    QTRY_COMPARE(column(table, "Database").last(), QString("gudang"));
    QTest::qWait(600);
    QCOMPARE(window.balloons.size(), 1);

    // A copy off this machine that fails is told once its run has ended, and once only.
    addCopy(history, good, 0, riwayat::Gagal, "connection refused");
    QTRY_COMPARE(window.balloons.size(), 2);
    QCOMPARE(window.balloons.last(), "Salinan luar server gagal: Salinan database gudang ke "
                                     "luar:kantor/db gagal: connection refused");
    addCopy(history, good, 0);
    QTest::qWait(600);
    QCOMPARE(window.balloons.size(), 2);

    // The service makes a damaged history anew; the new file is watched as well.
    QVERIFY(QFile::remove(history));
    QTRY_VERIFY(summary(table).endsWith("Riwayat backup belum ada."));
    addJob(history, {"gudang", 0, "DITOLAK", "nama database ditolak"});
    QTRY_COMPARE(window.balloons.size(), 3);
    QCOMPARE(window.balloons.last(), "Backup gagal: 1 dari 1 backup gagal.\nBackup database "
                                     "gudang ditolak: nama database ditolak");

    // A damaged history is no box: the window says so, and reads again at the next change.
    QVERIFY(QFile::remove(history));
    QVERIFY(writeBytes(history, "bukan riwayat"));
    QTRY_VERIFY(summary(table).contains("Riwayat backup tidak dapat dibaca"));
    QVERIFY(!summaryGreen(table)); // nothing is known to be safe
    QVERIFY(m_answerer->seen().isEmpty());
    QVERIFY(QFile::remove(history));
    addJob(history, {"penjualan", 0});
    QTRY_COMPARE(column(table, "Keadaan"), QStringList({"Belum ada backup", "Baik"}));
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
    QVERIFY(column(openStatus(&window), "Job terakhir").value(0).startsWith("BERJALAN"));
}

// A run's failures come one by one, read after read; the balloon comes once, at its end.
void TestStatusBackup::oneBalloonPerRun()
{
    const QStringList names{"arsip", "buku", "citra", "data", "efek"};
    QVERIFY(createSettings(file("confbu.cfg"), {ConfRow()}, names));
    const QString history = file("riwayat.db");
    addJob(history, {"arsip", 12});
    BalloonPanel window(m_dir->path());
    window.findChild<XHistoryWatch *>()->setRunQuietMs(1000);
    window.show();
    // As the service writes it: each job running, then ended, the next one begun at once.
    for (const QString &name : names) {
        const bool fails = name != "buku";
        const qint64 id = addJob(history, {name, 0, "BERJALAN"});
        QTest::qWait(400);
        sql(history, "update riwayat set hasil = ?, alasan = ? where id = ?",
            {fails ? "GAGAL" : "OK", fails ? "kode 1" : QVariant(), id});
    }
    QTRY_COMPARE_WITH_TIMEOUT(window.balloons.size(), 1, 10000);
    QCOMPARE(window.balloons.first(),
             "Backup gagal: 4 dari 5 backup gagal.\nBackup database arsip gagal: kode 1\n"
             "Backup database citra gagal: kode 1\nBackup database data gagal: kode 1\nDan 1 "
             "lainnya; lihat Status Backup.");
    QTest::qWait(1500);
    QCOMPARE(window.balloons.size(), 1);
}

QTEST_MAIN(TestStatusBackup)
#include "tst_statusbackup.moc"
