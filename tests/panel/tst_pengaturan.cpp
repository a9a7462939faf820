// "Pengaturan Lanjutan": retention and the monitoring URL stored where the service reads
// them, and "Tes" against a small local HTTP server that answers, fails, is not there or
// keeps silent. The dialogs' keys: Return takes the default button of "Pengaturan Lanjutan"
// (Simpan) and of the status window (Tutup); Escape closes without saving; no key empties the
// log in the log viewer, only a pressed "Hapus Log" does. (The dialogs without key handling of
// their own close on Escape as every dialog does; the picker's keys are tried on a real server
// in tst_mainwindow.)
#include "flog.h"
#include "fpengaturan.h"
#include "fstatusbackup.h"
#include "historywatch.h"
#include "panelfixture.h"

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>

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

} // namespace

class TestPengaturan : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void saves_data();
    void saves();
    void fileBeforeTheCalendar();
    void tes_data();
    void tes();
    void keys_data();
    void keys();

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QSqlDatabase m_settings;
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
    m_settings = QSqlDatabase();
    QSqlDatabase::removeDatabase("panel");
}

void TestPengaturan::saves_data()
{
    QTest::addColumn<int>("keptBefore");
    QTest::addColumn<QString>("urlBefore");
    QTest::addColumn<int>("keep");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QList<int>>("calendar"); // one per day, week and month for so many
    QTest::addColumn<QList<int>>("drills");   // the jadwal and day chosen; the file has none
    QTest::addColumn<QString>("message");     // before, which reads as weekly on Sunday
    QTest::addColumn<bool>("saved");
    auto row = [](const char *tag, int keptBefore, const QString &urlBefore, int keep,
                  const QString &url, const QList<int> &calendar, const QList<int> &drills,
                  const QString &message = "Data Berhasil disimpan.", bool saved = true) {
        QTest::newRow(tag) << keptBefore << urlBefore << keep << url << calendar << drills
                           << message << saved;
    };
    const QString url = "https://hc.contoh.id/ping/abc";
    row("keep the newest five and a week of days, with a monitor, drills on Tuesdays", 0, "", 5,
        "  " + url + " ", {7, 0, 12}, {2, 2});
    row("back to keeping all, without a monitor or drills", 3, url, 0, "", {0, 0, 0}, {0, 0});
    row("a URL without http:// is refused", 3, url, 7, "hc.contoh.id/ping", {0, 4, 0}, {1, 0},
        "URL pemantau harus lengkap dan diawali http:// atau https://.", false);
}

void TestPengaturan::saves()
{
    QFETCH(int, keptBefore);
    QFETCH(QString, urlBefore);
    QFETCH(int, keep);
    QFETCH(QString, url);
    QFETCH(QList<int>, calendar);
    QFETCH(QList<int>, drills);
    QFETCH(bool, saved);
    QString error;
    QVERIFY(confbu::setRetention(m_settings, keptBefore, &error) &&
            confbu::setMonitorUrl(m_settings, urlBefore, &error));
    ModalAnswerer answerer;
    FPengaturan dialog(m_settings);
    dialog.show();
    auto *spin = widget<QSpinBox>(&dialog, "sbJumlah");
    auto *edit = widget<QLineEdit>(&dialog, "tUrl");
    auto *uji = widget<QComboBox>(&dialog, "cbUji");
    auto *hari = widget<QComboBox>(&dialog, "cbHari");
    QCOMPARE(QStringList({QString::number(spin->value()), edit->text(), uji->currentText(),
                          hari->currentText()}),
             QStringList({QString::number(keptBefore), urlBefore, "Seminggu sekali", "Minggu"}));
    spin->setValue(keep);
    edit->setText(url);
    uji->setCurrentIndex(drills[0]);
    hari->setCurrentIndex(drills[1]);
    QCOMPARE(hari->isEnabled(), drills[0] == confbu::DrillSchedule::Weekly); // weekly drills' day
    const QStringList boxes{"sbHarian", "sbMingguan", "sbBulanan"};
    for (int i = 0; i < boxes.size(); ++i) {
        widget<QSpinBox>(&dialog, boxes[i])->setValue(calendar[i]);
        // The calendar keeps dumps besides the newest N: nothing to add when all are kept.
        QCOMPARE(widget<QSpinBox>(&dialog, boxes[i])->isEnabled(), keep > 0);
    }
    widget<QPushButton>(&dialog, "butSimpan")->click();
    QTEST(texts(answerer.seen()).value(0), "message");
    const confbu::Retention stored = confbu::localRetention(m_settings);
    QCOMPARE(QList<int>({stored.jumlah, stored.harian, stored.mingguan, stored.bulanan}),
             saved ? QList<int>{keep} + calendar : QList<int>({keptBefore, 0, 0, 0}));
    QCOMPARE(confbu::monitorUrl(m_settings), saved ? url.trimmed() : urlBefore);
    const confbu::DrillSchedule chosen{drills[0], drills[1]};
    QVERIFY(confbu::drillSchedule(m_settings) == (saved ? chosen : confbu::DrillSchedule()));
    QCOMPARE(dialog.isVisible(), !saved);
}

// A file made before the calendar keeps its count, reads no calendar, and takes one.
void TestPengaturan::fileBeforeTheCalendar()
{
    for (const char *statement :
         {"drop table confsimpan", "create table confsimpan (jumlah INTEGER)",
          "insert into confsimpan values (4)"})
        sql(m_settings.databaseName(), statement);
    ModalAnswerer answerer;
    FPengaturan dialog(m_settings);
    dialog.show();
    auto *harian = widget<QSpinBox>(&dialog, "sbHarian");
    QCOMPARE(QList<int>({widget<QSpinBox>(&dialog, "sbJumlah")->value(), harian->value()}),
             QList<int>({4, 0}));
    harian->setValue(3);
    widget<QPushButton>(&dialog, "butSimpan")->click();
    QCOMPARE(texts(answerer.seen()), QStringList{"Data Berhasil disimpan."});
    const confbu::Retention stored = confbu::localRetention(m_settings);
    QCOMPARE(QList<int>({stored.jumlah, stored.harian}), QList<int>({4, 3}));
}

void TestPengaturan::tes_data()
{
    QTest::addColumn<QByteArray>("answer"); // the monitor's status line; empty: it keeps silent
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("message");
    const QString failed = "Tes gagal.\nPesan Error : ";
    QTest::newRow("monitor answers 200")
        << QByteArray("200 OK") << true << "Tes berhasil: server pemantau menjawab HTTP 200 OK.";
    QTest::newRow("monitor answers 503") << QByteArray("503 Service Unavailable") << true
                                         << failed + "server menjawab HTTP 503 Service Unavailable";
    QTest::newRow("nothing listens: Indonesian words first, the network's in brackets")
        << QByteArray() << false
        << failed + "Koneksi ditolak: server tidak berjalan atau port salah (Connection refused)";
    QTest::newRow("no answer within the time-out")
        << QByteArray() << true << failed + "Tidak ada jawaban dalam 1 detik.";
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
    tes->click();
    QVERIFY(!tes->isEnabled()); // one test at a time
    QCOMPARE(running->text(), "Menguji...");
    QTRY_COMPARE(answerer.seen().size(), 1);
    QTEST(answerer.seen().first().text, "message");
    QVERIFY(tes->isEnabled() && running->text().isEmpty());
    QCOMPARE(server.requests,
             answer.isEmpty() ? QByteArrayList() : QByteArrayList{"GET /ping/abc HTTP/1.1"});
    QCOMPARE(confbu::monitorUrl(m_settings), QString());
}

void TestPengaturan::keys_data()
{
    QTest::addColumn<QString>("dialog");
    QTest::addColumn<QString>("focus"); // the widget the key is pressed on
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("after"); // the log viewer: whether the log is kept
    auto row = [](const char *tag, const QString &dialog, const QString &focus, int key,
                  const QString &after) { QTest::newRow(tag) << dialog << focus << key << after; };
    row("Pengaturan Lanjutan: Return in the URL saves", "pengaturan", "tUrl", Qt::Key_Return,
        "closed, saved");
    row("Pengaturan Lanjutan: Escape closes, nothing saved", "pengaturan", "tUrl", Qt::Key_Escape,
        "closed");
    row("status window: Return closes it", "status", "tableWidget", Qt::Key_Return, "closed");
    const QString kept = "log kept";
    row("log: Return while reading", "log", "plainTextEdit", Qt::Key_Return, kept);
    row("log: keypad Enter while reading", "log", "plainTextEdit", Qt::Key_Enter, kept);
    row("log: Return on a focused Hapus Log", "log", "butHapus", Qt::Key_Return, kept);
    row("log: Return on Tutup", "log", "butTutup", Qt::Key_Return, kept);
}

void TestPengaturan::keys()
{
    QFETCH(QString, dialog);
    QFETCH(QString, focus);
    QFETCH(int, key);
    const QString log = m_dir->filePath("busys.log");
    const QByteArray entries = "01/02/2026 01:00:00 - Backup Database : /bu/a.bu\n";
    QVERIFY(writeBytes(log, entries));
    ModalAnswerer answerer; // "Data Berhasil disimpan."
    XHistoryWatch history(m_dir->filePath("riwayat.db"));
    QScopedPointer<QDialog> shown(
        dialog == "pengaturan" ? static_cast<QDialog *>(new FPengaturan(m_settings))
        : dialog == "status"   ? static_cast<QDialog *>(new FStatusBackup(&history))
                               : new flog(nullptr, m_dir->path()));
    shown->show();
    QVERIFY(QTest::qWaitForWindowExposed(shown.data()));
    auto *target = shown->findChild<QWidget *>(focus);
    if (auto *url = qobject_cast<QLineEdit *>(target))
        url->setText("https://hc.contoh.id/ping/abc");
    target->setFocus();
    QTest::keyClick(target, Qt::Key(key));
    auto state = [&] {
        if (dialog == "log")
            return QString(readBytes(log) == entries &&
                                   shown->findChild<QPlainTextEdit *>()->toPlainText() == entries
                               ? "log kept"
                               : "log emptied");
        return QString(shown->isVisible() ? "open" : "closed") +
               (confbu::monitorUrl(m_settings).isEmpty() ? "" : ", saved");
    };
    QFETCH(QString, after);
    QTRY_COMPARE(state(), after);
}

QTEST_MAIN(TestPengaturan)
#include "tst_pengaturan.moc"
