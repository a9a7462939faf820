// The dead-man's switch against a small HTTP server in the test: which addresses each run
// asks for, and that a monitor that is gone or never answers neither fails a backup nor holds
// it up longer than the time-out.
#include "backupengine.h"
#include "servicetestkit.h"
#include "thbackup.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace servicetest;

namespace {

enum class Server { Answers, NeverAnswers, Gone };

// A monitor on a local port that records the path of every request; it answers 200, or
// accepts and never answers, or is gone (nothing listens on its port).
class FakeMonitor
{
public:
    explicit FakeMonitor(Server kind)
    {
        server.listen(QHostAddress::LocalHost);
        address = QString("http://127.0.0.1:%1").arg(server.serverPort());
        if (kind == Server::Gone)
            server.close();
        QObject::connect(&server, &QTcpServer::newConnection, [this, kind] {
            QTcpSocket *socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [this, socket, kind] {
                const QByteArray request = socket->peek(socket->bytesAvailable());
                if (!request.contains("\r\n\r\n"))
                    return;
                paths << QString(request.split(' ').value(1));
                socket->readAll();
                if (kind == Server::Answers) {
                    socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK");
                    socket->disconnectFromHost();
                }
            });
        });
    }

    QTcpServer server;
    QString address;
    QStringList paths;
};

} // namespace

Q_DECLARE_METATYPE(Server)

class TestMonitor : public QObject
{
    Q_OBJECT

private slots:
    void pings_data();
    void pings();
    void stopEndsAPing();
};

void TestMonitor::pings_data()
{
    QTest::addColumn<Server>("server");
    QTest::addColumn<QString>("address"); // %M: the fake monitor
    QTest::addColumn<QVariantMap>("overrides");
    QTest::addColumn<QStringList>("databases");
    QTest::addColumn<QStringList>("paths"); // what the monitor is asked for
    QTest::addColumn<QString>("entry");     // what the log says of the monitor

    const QStringList goneWell{"/ping/abc/start", "/ping/abc"},
        failed{"/ping/abc/start", "/ping/abc/fail"};
    QTest::newRow("a run that goes well: start, then the address")
        << Server::Answers << "%M/ping/abc" << QVariantMap() << QStringList{"sales"} << goneWell
        << QString();
    QTest::newRow("the address with a slash at its end")
        << Server::Answers << "%M/ping/abc/" << QVariantMap() << QStringList{"sales"} << goneWell
        << QString();
    QTest::newRow("a job fails: start, then fail")
        << Server::Answers << "%M/ping/abc" << QVariantMap() << QStringList{"gagal", "sales"}
        << failed << QString();
    QTest::newRow("a copy off this machine that fails: start, then fail")
        << Server::Answers << "%M/ping/abc" << QVariantMap{{"salinan", "tidakada"}}
        << QStringList{"sales"} << failed << QString();
    QTest::newRow("a refused name is a failed job")
        << Server::Answers << "%M/ping/abc" << QVariantMap() << QStringList{"-Fp"} << failed
        << QString();
    QTest::newRow("a missing output folder: start, then fail")
        << Server::Answers << "%M/ping/abc" << QVariantMap{{"outputdir", "/nonexistent"}}
        << QStringList{"sales"} << failed << QString();
    QTest::newRow("a monitor that is gone: logged once, the backup goes on")
        << Server::Gone << "%M/ping/abc" << QVariantMap() << QStringList{"sales"} << QStringList()
        << "Monitor [%M/ping/abc/start] tidak dapat dihubungi: Connection refused.";
    QTest::newRow("a monitor that never answers: asked once, for the time-out")
        << Server::NeverAnswers << "%M/ping/abc" << QVariantMap() << QStringList{"sales"}
        << QStringList{"/ping/abc/start"}
        << "Monitor [%M/ping/abc/start] tidak dapat dihubungi: tidak menjawab dalam 1 detik.";
    QTest::newRow("no web address: nothing asked, logged")
        << Server::Answers << "file:///etc/passwd" << QVariantMap() << QStringList{"sales"}
        << QStringList()
        << "Monitor [file:///etc/passwd/start] tidak dapat dihubungi: alamat bukan http atau "
           "https.";
}

// The address is read with the list at every run; the run is on a thread of its own, as in
// the service, while this one serves the monitor.
void TestMonitor::pings()
{
    QFETCH(Server, server);
    QFETCH(QString, address);
    QFETCH(QVariantMap, overrides);
    QFETCH(QStringList, databases);
    QFETCH(QStringList, paths);
    QFETCH(QString, entry);
    FakeMonitor monitor(server);
    ProgramFolder folder;
    salinan::Settings copies; // overrides' "salinan": a destination root never defined
    copies.remote = overrides.take("salinan").toString();
    QVERIFY2(folder.prepare(overrides, databases, 0, address.replace("%M", monitor.address)) &&
                 folder.copyTo(copies),
             qPrintable(folder.error));
    BackupEngine engine(folder.path());
    QVERIFY(engine.ReadConfig());
    engine.setMonitorTimeoutMs(1000);
    qint64 took = 0;
    QScopedPointer<QThread> run(QThread::create([&] {
        QElapsedTimer timer;
        timer.start();
        engine.RunBackup();
        took = timer.elapsed();
    }));
    run->start();
    QTRY_VERIFY_WITH_TIMEOUT(run->isFinished(), 10000);

    QCOMPARE(monitor.paths, paths);
    QCOMPARE(folder.log().filter("Monitor ["),
             entry.isEmpty() ? QStringList() : QStringList(entry.replace("%M", monitor.address)));
    QCOMPARE(folder.log().filter("Backup Database OK : database [sales]").size(),
             int(databases.contains("sales") && !overrides.contains("outputdir")));
    QVERIFY2(took < 1000 + 900, qPrintable(QString::number(took)));
}

// A service that is stopped while its monitor keeps it waiting ends at once.
void TestMonitor::stopEndsAPing()
{
    FakeMonitor monitor(Server::NeverAnswers);
    ProgramFolder folder;
    QVERIFY2(folder.prepare({}, {"sales"}, 0, monitor.address), qPrintable(folder.error));
    ThBackup worker(
        folder.path(), [] { return QDateTime(QDate(2024, 3, 1), QTime(5, 30)); }, 100);
    worker.start();
    QTRY_COMPARE_WITH_TIMEOUT(monitor.paths, QStringList{"/start"}, 5000);
    QElapsedTimer stopping;
    stopping.start();
    worker.stop();
    QVERIFY(worker.wait(2000));
    QVERIFY2(stopping.elapsed() < 500, qPrintable(QString::number(stopping.elapsed())));
    QCOMPARE(folder.log().filter("Monitor ["), QStringList());
}

QTEST_GUILESS_MAIN(TestMonitor)
#include "tst_monitor.moc"
