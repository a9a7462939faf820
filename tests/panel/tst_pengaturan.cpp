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

enum class Monitor { Answers200, Answers503, NotListening, Silent };

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

Q_DECLARE_METATYPE(Monitor)

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
    QTest::addColumn<int>("uji");  // the drills' jadwal and day chosen; the file has none
    QTest::addColumn<int>("hari"); // before, which reads as weekly on Sunday
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<QList<int>>("calendar"); // one per day, week and month for so many
    const QString url = "https://hc.contoh.id/ping/abc";
    QTest::newRow("keep the newest five and a week of days, with a monitor, drills on Tuesdays")
        << 0 << "" << 5 << "  " + url + " " << 2 << 2 << "Data Berhasil disimpan." << true
        << QList<int>{7, 0, 12};
    QTest::newRow("back to keeping all, without a monitor or drills")
        << 3 << url << 0 << "" << 0 << 0 << "Data Berhasil disimpan." << true
        << QList<int>{0, 0, 0};
    QTest::newRow("a URL without http:// is refused")
        << 3 << url << 7 << "hc.contoh.id/ping" << 1 << 0
        << "URL pemantau harus lengkap dan diawali http:// atau https://." << false
        << QList<int>{0, 4, 0};
}

void TestPengaturan::saves()
{
    QFETCH(int, keptBefore);
    QFETCH(QString, urlBefore);
    QFETCH(int, keep);
    QFETCH(QString, url);
    QString error;
    QVERIFY(confbu::setRetention(m_settings, keptBefore, &error) &&
            confbu::setMonitorUrl(m_settings, urlBefore, &error));
    ModalAnswerer answerer;
    FPengaturan dialog(m_settings);
    dialog.show();
    auto *spin = widget<QSpinBox>(&dialog, "sbJumlah");
    auto *edit = widget<QLineEdit>(&dialog, "tUrl");
    auto *ujiBox = widget<QComboBox>(&dialog, "cbUji");
    auto *hariBox = widget<QComboBox>(&dialog, "cbHari");
    QCOMPARE(spin->value(), keptBefore);
    QCOMPARE(edit->text(), urlBefore);
    QCOMPARE(ujiBox->currentText(), QString("Seminggu sekali"));
    QCOMPARE(hariBox->currentText(), QString("Minggu"));

    QFETCH(int, uji);
    QFETCH(int, hari);
    spin->setValue(keep);
    edit->setText(url);
    ujiBox->setCurrentIndex(uji);
    hariBox->setCurrentIndex(hari);
    QCOMPARE(hariBox->isEnabled(), uji == confbu::DrillSchedule::Weekly); // weekly drills' day
    QFETCH(QList<int>, calendar);
    const QStringList boxes{"sbHarian", "sbMingguan", "sbBulanan"};
    for (int i = 0; i < boxes.size(); ++i) {
        widget<QSpinBox>(&dialog, boxes[i])->setValue(calendar[i]);
        // The calendar keeps dumps besides the newest N: nothing to add when all are kept.
        QCOMPARE(widget<QSpinBox>(&dialog, boxes[i])->isEnabled(), keep > 0);
    }
    widget<QPushButton>(&dialog, "butSimpan")->click();
    QTEST(texts(answerer.seen()).value(0), "message");
    QFETCH(bool, saved);
    const confbu::Retention stored = confbu::localRetention(m_settings);
    QCOMPARE(stored.jumlah, saved ? keep : keptBefore);
    QCOMPARE(QList<int>({stored.harian, stored.mingguan, stored.bulanan}),
             saved ? calendar : QList<int>({0, 0, 0}));
    QCOMPARE(confbu::monitorUrl(m_settings), saved ? url.trimmed() : urlBefore);
    const confbu::DrillSchedule drills{uji, hari};
    QVERIFY(confbu::drillSchedule(m_settings) == (saved ? drills : confbu::DrillSchedule()));
    QCOMPARE(dialog.isVisible(), !saved);
}

// A file made before the calendar keeps its count, reads no calendar, and takes one.
void TestPengaturan::fileBeforeTheCalendar()
{
    sql(m_settings.databaseName(), "drop table confsimpan");
    sql(m_settings.databaseName(), "create table confsimpan (jumlah INTEGER)");
    sql(m_settings.databaseName(), "insert into confsimpan values (4)");
    ModalAnswerer answerer;
    FPengaturan dialog(m_settings);
    dialog.show();
    QCOMPARE(widget<QSpinBox>(&dialog, "sbJumlah")->value(), 4);
    QCOMPARE(widget<QSpinBox>(&dialog, "sbHarian")->value(), 0);
    widget<QSpinBox>(&dialog, "sbHarian")->setValue(3);
    widget<QPushButton>(&dialog, "butSimpan")->click();
    QCOMPARE(texts(answerer.seen()), QStringList{"Data Berhasil disimpan."});
    QCOMPARE(confbu::localRetention(m_settings).jumlah, 4);
    QCOMPARE(confbu::localRetention(m_settings).harian, 3);
}

void TestPengaturan::tes_data()
{
    QTest::addColumn<Monitor>("monitor");
    QTest::addColumn<QString>("message");
    QTest::newRow("monitor answers 200")
        << Monitor::Answers200 << "Tes berhasil: server pemantau menjawab HTTP 200 OK.";
    QTest::newRow("monitor answers 503")
        << Monitor::Answers503
        << "Tes gagal.\nPesan Error : server menjawab HTTP 503 Service Unavailable";
    QTest::newRow("nothing listens: Indonesian words first, the network's in brackets")
        << Monitor::NotListening
        << "Tes gagal.\nPesan Error : Koneksi ditolak: server tidak berjalan atau port salah "
           "(Connection refused)";
    QTest::newRow("no answer within the time-out")
        << Monitor::Silent << "Tes gagal.\nPesan Error : Tidak ada jawaban dalam 1 detik.";
}

void TestPengaturan::tes()
{
    QFETCH(Monitor, monitor);
    HttpServer server(monitor == Monitor::Answers200   ? "200 OK"
                      : monitor == Monitor::Answers503 ? "503 Service Unavailable"
                                                       : "");
    const QString url = QStringLiteral("http://127.0.0.1:%1/ping/abc").arg(server.serverPort());
    if (monitor == Monitor::NotListening)
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
    QVERIFY(tes->isEnabled());
    QCOMPARE(running->text(), QString());
    if (monitor == Monitor::Answers200 || monitor == Monitor::Answers503)
        QCOMPARE(server.requests, QByteArrayList{"GET /ping/abc HTTP/1.1"});
    QCOMPARE(confbu::monitorUrl(m_settings), QString());
}

QTEST_MAIN(TestPengaturan)
#include "tst_pengaturan.moc"
