// The dead-man's switch against a small HTTP server in the test: which addresses each run
// asks for, and that a monitor that is gone, never answers, answers at length or elsewhere
// neither fails a backup nor holds it up longer than the time-out.
#include "backupengine.h"
#include "jobhistory.h"
#include "servicetestkit.h"
#include "texttable.h"
#include "thbackup.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace servicetest;

namespace {

// 1 MB of zeros in gzip: a kilobyte that Qt would unpack if it had asked for gzip.
QByteArray gzipped()
{
    return runCommand({"sh", "-c", "head -c 1048576 /dev/zero | gzip -c"}).out;
}

// A monitor on a local port that records the path and headers of every request; it "answers"
// 200 with "OK", sends a megabyte of an answer that claims a hundred ("long"), the gzip above
// ("gzip"), accepts and "never" answers, "redirect"s to /elsewhere, or is "gone" (nothing
// listens on its port).
class FakeMonitor
{
public:
    explicit FakeMonitor(const QString &kind)
    {
        server.listen(QHostAddress::LocalHost);
        address = QString("http://127.0.0.1:%1").arg(server.serverPort());
        if (kind == "gone")
            server.close();
        const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: ", body = kind == "gzip" ? gzipped() : "";
        const QByteArray answer =
            QMap<QString, QByteArray>{
                {"answers", ok + "2\r\n\r\nOK"},
                {"long", ok + "104857600\r\n\r\n" + QByteArray(1 << 20, 'x')},
                {"gzip", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                             QByteArray::number(body.size()) + "\r\n\r\n" + body},
                {"redirect", "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n"}}
                .value(kind);
        QObject::connect(&server, &QTcpServer::newConnection, [this, kind, answer] {
            QTcpSocket *socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [this, socket, kind, answer] {
                const QByteArray request = socket->peek(socket->bytesAvailable());
                if (!request.contains("\r\n\r\n"))
                    return;
                paths << QString(request.split(' ').value(1));
                requests << QString(request);
                socket->readAll();
                socket->write(answer);
                // The long answer stays open: the service must cut it off itself.
                if (kind != "long" && kind != "never")
                    socket->disconnectFromHost();
            });
        });
    }

    QTcpServer server;
    QString address;
    QStringList paths;
    QStringList requests;
};

// Runs a backup on a thread of its own, as in the service, while this one serves the monitor;
// how long it took.
qint64 runOnThread(BackupEngine &engine)
{
    QElapsedTimer timer;
    timer.start();
    QScopedPointer<QThread> run(QThread::create([&] { engine.RunBackup(); }));
    run->start();
    while (!run->isFinished() && timer.elapsed() < 10000)
        QTest::qWait(10);
    return timer.elapsed();
}

} // namespace

class TestMonitor : public QObject
{
    Q_OBJECT

private slots:
    void pings_data()
    {
        // address: %M: the fake monitor, empty: %M/ping/abc; databases: empty: sales; setting: one
        // changed from the usual; paths: what the monitor is asked for; entry: what the log says of
        // the monitor
        const QString goneWell = "/ping/abc/start,/ping/abc", failed = "/ping/abc/start,/ping/abc/fail",
                      unreachable = "Monitor [%M/ping/abc/start] tidak dapat dihubungi: ";
        textTable(
            {"server", "address", "databases", "setting", "paths", "entry"},
            {{"a run that goes well: start, then the address", "answers", "", "", "", goneWell, ""},
             {"the address with a slash at its end", "answers", "%M/ping/abc/", "", "", goneWell, ""},
             {"a job fails: start, then fail", "answers", "", "gagal sales", "", failed, ""},
             {"a copy off this machine that fails: start, then fail", "answers", "", "", "salinan=tidakada",
              failed, ""},
             {"a refused name is a failed job", "answers", "", "-Fp", "", failed, ""},
             {"a missing output folder: start, then fail", "answers", "", "", "outputdir=/nonexistent",
              failed, ""},
             {"a monitor that is gone: logged once, the backup goes on", "gone", "", "", "", "",
              unreachable + "Connection refused."},
             {"a monitor that never answers: asked once, for the time-out", "never", "", "", "",
              "/ping/abc/start", unreachable + "tidak menjawab dalam 1 detik."},
             {"an answer longer than a few kilobytes is cut off, a failed ping", "long", "", "", "",
              "/ping/abc/start", unreachable + "jawaban lebih dari 4096 byte, tidak dibaca lagi."},
             {"a gzip answer is not unpacked: it is short as it came", "gzip", "", "", "", goneWell, ""},
             {"a redirect is not followed, a failed ping", "redirect", "", "", "", "/ping/abc/start",
              unreachable + "dialihkan (HTTP 302) ke [%M/elsewhere], pengalihan tidak diikuti."},
             {"an address over 2048 characters: nothing asked, said short", "answers",
              "%M/" + QString(2100, 'a'), "", "", "",
              "Alamat monitor [%A\u2026] lebih dari 2048 karakter; monitor tidak dihubungi."},
             {"no web address: nothing asked, logged", "answers", "file:///etc/passwd", "", "", "",
              "Monitor [file:///etc/passwd/start] tidak dapat dihubungi: alamat bukan http atau https."}});
    }
    // The address is read with the list at every run; the run is on a thread of its own, as in
    // the service, while this one serves the monitor.
    void pings()
    {
        FakeMonitor monitor(cell("server"));
        const QString address =
            (cell("address").isEmpty() ? "%M/ping/abc" : cell("address")).replace("%M", monitor.address);
        const QStringList databases = (cell("databases").isEmpty() ? "sales" : cell("databases")).split(' '),
                          setting = cell("setting").split('=');
        ProgramFolder folder;
        salinan::Settings copies; // "salinan": a destination root never defined
        copies.remote = setting.value(0) == "salinan" ? setting.value(1) : "";
        const QVariantMap overrides =
            setting.value(0) == "outputdir" ? QVariantMap{{"outputdir", setting.value(1)}} : QVariantMap();
        QVERIFY2(folder.prepare(overrides, databases, 0, address) && folder.copyTo(copies),
                 qPrintable(folder.error));
        BackupEngine engine(folder.path());
        QVERIFY(engine.ReadConfig());
        engine.setMonitorTimeoutMs(1000);
        const qint64 took = runOnThread(engine);

        QCOMPARE(monitor.paths.join(','), cell("paths"));
        const QString entry =
            QString(cell("entry")).replace("%A", address.left(60)).replace("%M", monitor.address);
        QCOMPARE(folder.log().filter(QRegularExpression("^(Alamat monitor|Monitor) \\[")).join('|'), entry);
        // Whatever it says, the answer comes as it was sent.
        for (const QString &request : qAsConst(monitor.requests))
            QVERIFY2(request.contains("\r\nAccept-Encoding: identity\r\n", Qt::CaseInsensitive),
                     qPrintable(request));
        QCOMPARE(folder.log().filter("Backup Database OK : database [sales]").size(),
                 int(databases.contains("sales") && !overrides.contains("outputdir")));
        // Only a monitor that never answers takes its time-out; a long answer is cut off at once.
        QVERIFY2(took < (cell("server") == "never" ? 1000 : 0) + 900, qPrintable(QString::number(took)));
    }
    // A dump that waits to be checked fails every run that comes before an administrator looks, not
    // only the one that found it.
    void waitingCheckFailsEveryRun()
    {
        FakeMonitor monitor("answers");
        PREPARED(folder, {}, {"sales"}, 0, monitor.address + "/ping/abc");
        {
            JobHistory history(folder.path(), [](const QString &) {});
            riwayat::Job job;
            job.dbname = "sales";
            job.mulai = job.selesai = QDateTime::currentDateTime().addDays(-1);
            job.hasil = riwayat::Ok;
            job.file = folder.outputDir() + "/bu_sales_20130709.054709.bu";
            job.terverifikasi = true;
            QVERIFY(history.finish(history.start("sales", job.mulai), job, {{"public.tblbarang", 2}},
                                   "tabel public.tblbarang tinggal 2 dari 5000 baris."));
        }
        BackupEngine engine(folder.path());
        QVERIFY(engine.ReadConfig());
        runOnThread(engine);
        QCOMPARE(monitor.paths, QStringList({"/ping/abc/start", "/ping/abc/fail"}));
        QCOMPARE(folder.log().filter("masih PERLU DIPERIKSA"),
                 QStringList{"Backup database [sales] masih PERLU DIPERIKSA: backup lama tidak "
                             "dihapus sampai perubahannya diterima di Status Backup."});
    }
    // A service that is stopped while its monitor keeps it waiting ends at once.
    void stopEndsAPing()
    {
        FakeMonitor monitor("never");
        PREPARED(folder, {}, {"sales"}, 0, monitor.address);
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
};

QTEST_GUILESS_MAIN(TestMonitor)
#include "tst_monitor.moc"
