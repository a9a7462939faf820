// The settings dialogs. "Pengaturan Lanjutan": retention and the monitoring URL stored where the
// service reads them, and "Tes" against a small local HTTP server that answers, fails, is not
// there or keeps silent. "Salinan Luar Server": the destinations the service published (or the
// line that says what root must run), the choice stored where the service reads it, the
// recipient judged with its fingerprint as it is typed and the warning for copies sent elsewhere
// unencrypted, and "Tes" through the request channel, answered here as the service would. The
// dialogs' keys: Return takes the default button of "Pengaturan Lanjutan"
// (Simpan) and of the status window (Tutup); Escape closes without saving; no key empties the
// log in the log viewer, only a pressed "Hapus Log" does. (The dialogs without key handling of
// their own close on Escape as every dialog does; the picker's keys are tried on a real server
// in tst_mainwindow.)
#include "flog.h"
#include "fpengaturan.h"
#include "fsalinan.h"
#include "fstatusbackup.h"
#include "historywatch.h"
#include "panelfixture.h"
#include "permintaan.h"

#include <QtNetwork>

using namespace panel;

namespace {

// Answers every request with one status, or never; keeps the request lines it read.
class HttpServer : public QTcpServer
{
public:
    explicit HttpServer(const QByteArray &statusLine) : m_status(statusLine)
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, [this] {
            QTcpSocket *socket = nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, [this, socket] {
                m_read += socket->readAll();
                if (!m_read.contains("\r\n\r\n") || m_status.isEmpty())
                    return;
                requests << m_read.left(m_read.indexOf("\r\n"));
                socket->write("HTTP/1.1 " + m_status +
                              "\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
                socket->disconnectFromHost();
            });
        });
    }
    QByteArrayList requests;

private:
    QByteArray m_status, m_read;
};

// A real recipient and its fingerprint (printf %s RECIPIENT | sha256sum | cut -c1-16).
const QString Recipient = "age1ql3z7hjy54pw3hyww5ayyfg7zqgvc7w3j2elw8zmrj2kg5sfn9aqmcac8p";
const QString Fingerprint = "cf7e568231315068";

} // namespace

class TestPengaturan : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void saves_data();
    void saves();
    void tes_data();
    void tes();
    void keys_data();
    void keys();
    void copyDestinations_data();
    void copyDestinations();
    void copySaves_data();
    void copySaves();
    void copyTes_data();
    void copyTes();

private:
    QString file(const QString &name) const { return m_dir->filePath(name); }
    // What the service would publish: remotes as "name type local".
    void publish(const QStringList &remotes)
    {
        for (const QString &statement : riwayat::createStatements())
            sql(file("riwayat.db"), statement);
        sql(file("riwayat.db"), "insert into rclone_konfigurasi values (?, ?, NULL, ?)",
            {"/var/lib/sarvela/rclone/rclone.conf", "_sarvela", "2024-03-01T05:00:00"});
        for (const QString &remote : remotes)
            sql(file("riwayat.db"), "insert into rclone_remote values (?, ?, ?)",
                {remote.section(' ', 0, 0), remote.section(' ', 1, 1), remote.section(' ', 2).toInt()});
    }
    FSalinan *open(const std::function<QString()> &wake = [] { return QString(); })
    {
        m_dialog.reset(new FSalinan(m_settings, file("riwayat.db"), wake));
        m_dialog->show();
        return m_dialog.data();
    }
    QScopedPointer<QTemporaryDir> m_dir;
    QSqlDatabase m_settings;
    QScopedPointer<FSalinan> m_dialog;
    Isolation m_isolation;
};

void TestPengaturan::init()
{
    m_dir.reset(new QTemporaryDir);
    const QString path = m_dir->filePath("confbu.cfg");
    QVERIFY(createSettings(path, {ConfRow()}, {"penjualan"}));
    m_settings = QSqlDatabase::addDatabase("QSQLITE", "panel");
    m_settings.setDatabaseName(path);
    QVERIFY(m_settings.open());
}

void TestPengaturan::cleanup()
{
    m_dialog.reset();
    m_settings = QSqlDatabase();
    QSqlDatabase::removeDatabase("panel");
}

void TestPengaturan::saves_data()
{
    // Kept and the URL before (kept below 0: a file made before the calendar, with a count
    // alone); the URL typed; kept, day, week, month, drills' jadwal and day chosen.
    columns<int, QString, QString, QString>({"keptBefore", "urlBefore", "url", "chosen"});
    // The drills' day and the calendar as chosen ("(off)" where it cannot be), what is said, and
    // what is then stored: kept, day, week, month, URL, drills' jadwal and day, dialog open.
    columns<QString, QString, QString>({"form", "message", "stored"});
    const QString url = "https://hc.contoh.id/ping/abc", saved = "Data Berhasil disimpan.";
    row("keep the newest five and a week of days, with a monitor, drills on Tuesdays", 0, "",
        "  " + url + " ", "5 7 0 12 2 2", "Selasa | 7 | 0 | 12", saved, "5 7 0 12 " + url + " 2 2 closed");
    row("back to keeping all, without a monitor or drills", 3, url, "", "0 0 0 0 0 0",
        "Minggu(off) | 0(off) | 0(off) | 0(off)", saved, "0 0 0 0  0 0 closed");
    row("a URL without http:// is refused", 3, url, "hc.contoh.id/ping", "7 0 4 0 1 0",
        "Minggu(off) | 0 | 4 | 0", "URL pemantau harus lengkap dan diawali http:// atau https://.",
        "3 0 0 0 " + url + " 2 0 open");
    row("a file made before the calendar keeps its count, reads no calendar, and takes one", -4, "", "",
        "4 3 0 0 2 0", "Minggu | 3 | 0 | 0", saved, "4 3 0 0  2 0 closed");
}

void TestPengaturan::saves()
{
    QFETCH(int, keptBefore);
    QFETCH(QString, urlBefore);
    QFETCH(QString, chosen);
    QString error;
    QVERIFY(confbu::setRetention(m_settings, qMax(keptBefore, 0), &error) &&
            confbu::setMonitorUrl(m_settings, urlBefore, &error));
    if (keptBefore < 0) // a count alone, as files made before the calendar hold it
        for (const QString &statement :
             {QString("drop table confsimpan"), QString("create table confsimpan (jumlah INTEGER)"),
              "insert into confsimpan values (" + QString::number(-keptBefore) + ")"})
            sql(m_settings.databaseName(), statement);
    ModalAnswerer answerer;
    FPengaturan dialog(m_settings);
    dialog.show();
    // Before, no calendar reads as none, and no drills as weekly on Sunday.
    QCOMPARE(values(&dialog, {"sbJumlah", "sbHarian", "tUrl", "cbUji", "cbHari"}),
             QString("%1 | 0%2 | %3 | Seminggu sekali | Minggu")
                 .arg(qAbs(keptBefore))
                 .arg(keptBefore ? "" : "(off)", urlBefore));
    QFETCH(QString, url);
    widget<QLineEdit>(&dialog, "tUrl")->setText(url);
    const QStringList inputs{"sbJumlah", "sbHarian", "sbMingguan", "sbBulanan", "cbUji", "cbHari"};
    for (int i = 0; i < inputs.size(); ++i)
        widget<QWidget>(&dialog, inputs[i])
            ->setProperty(i < 4 ? "value" : "currentIndex", chosen.section(' ', i, i).toInt());
    // A day only for weekly drills; the calendar keeps dumps besides the newest N: nothing to
    // add when all are kept.
    QTEST(values(&dialog, inputs.mid(5) + inputs.mid(1, 3)), "form");
    widget<QPushButton>(&dialog, "butSimpan")->click();
    QTEST(texts(answerer.seen()).value(0), "message");
    const confbu::Retention k = confbu::localRetention(m_settings);
    const confbu::DrillSchedule d = confbu::drillSchedule(m_settings);
    QTEST(QString::asprintf("%d %d %d %d %s %d %d %s", k.jumlah, k.harian, k.mingguan, k.bulanan,
                            qUtf8Printable(confbu::monitorUrl(m_settings)), d.jadwal, d.hari,
                            dialog.isVisible() ? "open" : "closed"),
          "stored");
}

void TestPengaturan::tes_data()
{
    // The monitor's status line (empty: it keeps silent), whether it listens, what is said.
    columns<QByteArray, bool, QString>({"answer", "listening", "message"});
    const QString failed = "Tes gagal.\nPesan Error : ";
    row("monitor answers 200", QByteArray("200 OK"), true,
        "Tes berhasil: server pemantau menjawab HTTP 200 OK.");
    row("monitor answers 503", QByteArray("503 Service Unavailable"), true,
        failed + "server menjawab HTTP 503 Service Unavailable");
    row("nothing listens: Indonesian words first, the network's in brackets", QByteArray(), false,
        failed + "Koneksi ditolak: server tidak berjalan atau port salah (Connection refused)");
    row("no answer within the time-out", QByteArray(), true, failed + "Tidak ada jawaban dalam 1 detik.");
}

void TestPengaturan::tes()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, listening);
    HttpServer server(answer);
    const QString url = QStringLiteral("http://127.0.0.1:%1/ping/abc").arg(server.serverPort());
    if (!listening)
        server.close();
    ModalAnswerer answerer;
    FPengaturan dialog(m_settings);
    dialog.setCheckTimeoutMs(1000);
    dialog.show();
    widget<QLineEdit>(&dialog, "tUrl")->setText(url); // typed, not saved
    auto *tes = widget<QPushButton>(&dialog, "butTes");
    auto *running = widget<QLabel>(&dialog, "lTes");
    const auto state = [&] { return QString("%1 '%2'").arg(tes->isEnabled()).arg(running->text()); };
    tes->click();
    QCOMPARE(state(), "0 'Menguji...'"); // one test at a time
    QTRY_COMPARE(answerer.seen().size(), 1);
    QTEST(answerer.seen().first().text, "message");
    QCOMPARE(state(), "1 ''");
    QCOMPARE(server.requests, answer.isEmpty() ? QByteArrayList() : QByteArrayList{"GET /ping/abc HTTP/1.1"});
    QCOMPARE(confbu::monitorUrl(m_settings), QString());
}

void TestPengaturan::keys_data()
{
    // The widget the key is pressed on; after: the log viewer: whether the log is kept.
    columns<QString, QString, Qt::Key, QString>({"dialog", "focus", "key", "after"});
    row("Pengaturan Lanjutan: Return in the URL saves", "pengaturan", "tUrl", Qt::Key_Return,
        "closed, saved");
    row("Pengaturan Lanjutan: Escape closes, nothing saved", "pengaturan", "tUrl", Qt::Key_Escape, "closed");
    row("status window: Return closes it", "status", "tableWidget", Qt::Key_Return, "closed");
    const QString kept = "log kept";
    row("log: Return while reading", "log", "plainTextEdit", Qt::Key_Return, kept);
    row("log: Return on a focused Hapus Log", "log", "butHapus", Qt::Key_Return, kept);
}

void TestPengaturan::keys()
{
    QFETCH(QString, dialog);
    QFETCH(QString, focus);
    QFETCH(Qt::Key, key);
    const QString log = m_dir->filePath("busys.log");
    const QByteArray entries = "01/02/2026 01:00:00 - Backup Database : /bu/a.bu\n";
    QVERIFY(writeBytes(log, entries));
    ModalAnswerer answerer; // "Data Berhasil disimpan."
    XHistoryWatch history(m_dir->filePath("riwayat.db"));
    QScopedPointer<QDialog> shown(dialog == "pengaturan" ? static_cast<QDialog *>(new FPengaturan(m_settings))
                                  : dialog == "status"   ? static_cast<QDialog *>(new FStatusBackup(&history))
                                                         : new flog(nullptr, m_dir->path()));
    shown->show();
    QVERIFY(QTest::qWaitForWindowExposed(shown.data()));
    auto *target = shown->findChild<QWidget *>(focus);
    if (auto *url = qobject_cast<QLineEdit *>(target))
        url->setText("https://hc.contoh.id/ping/abc");
    target->setFocus();
    QTest::keyClick(target, key);
    auto state = [&]() -> QString {
        const auto *view = shown->findChild<QPlainTextEdit *>();
        if (dialog == "log")
            return readBytes(log) == entries && view->toPlainText() == entries ? "log kept" : "log emptied";
        return QString(shown->isVisible() ? "open" : "closed") +
               (confbu::monitorUrl(m_settings).isEmpty() ? "" : ", saved");
    };
    QFETCH(QString, after);
    QTRY_COMPARE(state(), after);
}

void TestPengaturan::copyDestinations_data()
{
    // The list's items joined with "|", then the line below it.
    columns<bool, QStringList, QString>({"published", "remotes", "shown"});
    const QString none = "(tidak ada: salinan tidak dibuat)";
    row("root's destinations, this machine's marked", true, QStringList{"cadangan alias 1", "kantor sftp 0"},
        none + "|cadangan (alias, disk mesin ini)|kantor (sftp)\n");
    row("none yet: what root must run", true, QStringList(),
        none + "\nBelum ada tujuan salinan. Root menambahkannya dengan:\nrunuser -u _sarvela -- "
               "rclone config --config /var/lib/sarvela/rclone/rclone.conf\nlalu menjalankan "
               "ulang service.");
    row("never read by the service", false, QStringList(),
        none + "\nService belum pernah membaca daftar tujuan. Jalankan service, lalu buka jendela ini lagi.");
}

void TestPengaturan::copyDestinations()
{
    QFETCH(bool, published);
    QFETCH(QStringList, remotes);
    if (published)
        publish(remotes);
    FSalinan *dialog = open();
    auto *box = widget<QComboBox>(dialog, "cmbRemote");
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    QTEST(items.join('|') + '\n' + widget<QLabel>(dialog, "lTujuanInfo")->text(), "shown");
}

void TestPengaturan::copySaves_data()
{
    // What is chosen (remote: its index in the list, 0: none); the recipient as the dialog judges
    // it while typed, what it says on Simpan, and what is then stored
    // (remote|folder|jumlah|harian|penerima).
    columns<int, QString, QString, QString, QString, QString>(
        {"remote", "folder", "penerima", "judged", "message", "stored"});
    const QString saved = "Data Berhasil disimpan.", refused = "Tidak dapat dipakai: ";
    const QString plain = "Tanpa penerima: salinan tidak dienkripsi.", before = "lama|x|0|0|";
    const QString noKey = "Bukan kunci publik age (age1...).",
                  warned = " (Peringatan: salinan dikirim ke mesin lain tanpa enkripsi)";
    const QString broken = QString(Recipient).replace("ql3z", "ql3y");
    row("a destination, a folder, five and a week of days", 2, " sarvela/pusat ", Recipient,
        "Sidik jari kunci: " + Fingerprint, saved, "kantor|sarvela/pusat|5|7|" + Recipient);
    row("none: copies are off", 0, "x", "", plain, saved, "");
    row("unencrypted to this machine's disk: no warning", 1, "x", "", plain, saved, "cadangan|x|5|7|");
    row("a folder that climbs out is refused, unencrypted to another machine: warned", 2, "a/../..", "",
        plain + warned, refused + "folder [a/../..] memuat komponen '..'.", before);
    row("a recipient that is no age key is refused", 2, "x", "age1salah", noKey,
        refused + "penerima [age1salah] bukan kunci publik age (age1...).", before);
    row("a key whose checksum fails is refused", 2, "x", broken, noKey,
        refused + "penerima [" + broken + "] bukan kunci publik age (age1...).", before);
}

void TestPengaturan::copySaves()
{
    QFETCH(int, remote);
    QFETCH(QString, folder);
    QFETCH(QString, penerima);
    publish({"cadangan alias 1", "kantor sftp 0"});
    sql(file("confbu.cfg"), "insert into confsalin (remote, folder) values ('lama', 'x')");
    ModalAnswerer answerer;
    FSalinan *dialog = open();
    widget<QComboBox>(dialog, "cmbRemote")->setCurrentIndex(remote);
    widget<QLineEdit>(dialog, "tFolder")->setText(folder);
    widget<QLineEdit>(dialog, "tPenerima")->setText(penerima);
    widget<QSpinBox>(dialog, "sbJumlah")->setValue(5);
    widget<QSpinBox>(dialog, "sbHarian")->setValue(7);
    // Sent elsewhere unencrypted: warned.
    auto *warning = widget<QLabel>(dialog, "lPeringatan");
    QTEST(widget<QLabel>(dialog, "lSidikJari")->text() +
              (warning->isVisible() ? " (" + warning->text().section('.', 0, 0) + ")" : ""),
          "judged");
    widget<QPushButton>(dialog, "butSimpan")->click();
    QTEST(texts(answerer.seen()).value(0), "message");
    const salinan::Settings now = salinan::read(m_settings);
    const QStringList fields{now.remote, now.folder, QString::number(now.simpan.jumlah),
                             QString::number(now.simpan.harian), now.penerima};
    QTEST(now.isOn() ? fields.join('|') : QString(), "stored");
}

void TestPengaturan::copyTes_data()
{
    // Why the service cannot be told (empty: it can), its answer and message, what is shown.
    columns<QString, QString, QString, QString>({"wakeFails", "hasil", "pesan", "shown"});
    const QString written = "Berkas uji ditulis di kantor:pusat.",
                  refused = "Berkas uji tidak dapat ditulis: refused";
    row("answered well", "", permintaan::Ok, written, "Tes berhasil: " + written);
    row("answered with a failure", "", permintaan::Gagal, refused, "Tes gagal: " + refused);
    row("the service not running", "Service tidak aktif.", "", "",
        "Tes gagal: Tes tidak dapat dikirim ke service: Service tidak aktif.");
}

// "Menguji..." while the service works on it, then its answer; the request names the chosen
// destination, and one the service was not told of does not stay behind.
void TestPengaturan::copyTes()
{
    QFETCH(QString, wakeFails);
    QFETCH(QString, hasil);
    QFETCH(QString, pesan);
    publish({"kantor sftp 0"});
    FSalinan *dialog = open([wakeFails] { return wakeFails; });
    widget<QComboBox>(dialog, "cmbRemote")->setCurrentIndex(1);
    widget<QLineEdit>(dialog, "tFolder")->setText("pusat");
    auto *tes = widget<QPushButton>(dialog, "butTes");
    auto *line = widget<QLabel>(dialog, "lTes");
    tes->click();
    const QList<QVariantList> asked = sql(file("confbu.cfg"), "select kunci, jenis, isi from permintaan");
    QCOMPARE(asked.size(), wakeFails.isEmpty() ? 1 : 0);
    if (wakeFails.isEmpty()) {
        const QString kunci = asked[0][0].toString();
        const QString shown = asked[0][1].toString() + ' ' + asked[0][2].toString() + ' ' + line->text();
        QCOMPARE(shown + (tes->isEnabled() ? " (Tes on)" : ""),
                 R"(uji-salinan {"folder":"pusat","remote":"kantor"} Menguji...)");
        sql(file("riwayat.db"),
            "insert into permintaan (kunci, jenis, mulai, hasil, kemajuan) "
            "values (?, ?, ?, ?, ?)",
            {kunci, "uji-salinan", "2024-03-01T05:00:00", permintaan::Berjalan, R"({"langkah":"baca"})"});
        QTRY_COMPARE(line->text(), QString("Menguji... (membaca kembali)"));
        const QString answer = "update permintaan set hasil = ?, pesan = ? where kunci = ?";
        sql(file("riwayat.db"), answer, {hasil, pesan, kunci});
    }
    QTRY_VERIFY(tes->isEnabled());
    QTEST(line->text(), "shown");
}

QTEST_MAIN(TestPengaturan)
#include "tst_pengaturan.moc"
