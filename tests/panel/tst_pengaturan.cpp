// "Pengaturan Lanjutan": retention and the monitoring URL stored where the service reads
// them, and "Tes" against a small local HTTP server that answers, fails, is not there or
// keeps silent.
#include "fpengaturan.h"
#include "panelfixture.h"

#include <QComboBox>
#include <QLabel>
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

QTEST_MAIN(TestPengaturan)
#include "tst_pengaturan.moc"
