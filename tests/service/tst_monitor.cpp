// The dead-man's switch against a small HTTP server in the test: which addresses each run
// asks for, and that a monitor that is gone, never answers, answers at length or elsewhere
// neither fails a backup nor holds it up longer than the time-out.
#include "backupengine.h"
#include "jobhistory.h"
#include "servicetestkit.h"
#include "thbackup.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace servicetest;

namespace {

enum class Server { Answers, NeverAnswers, Gone, LongAnswer, Compressed, Redirects };

// 1 MB of zeros in gzip: a kilobyte that Qt would unpack if it had asked for gzip.
QByteArray gzipped()
{
    QProcess gzip;
    gzip.start("sh", {"-c", "head -c 1048576 /dev/zero | gzip -c"});
    gzip.waitForFinished();
    return gzip.readAllStandardOutput();
}

// A monitor on a local port that records the path and headers of every request; it answers
// 200 ("OK", a megabyte of an answer that claims a hundred, or the gzip above), accepts and
// never answers, redirects to /elsewhere, or is gone (nothing listens on its port).
class FakeMonitor
{
public:
    explicit FakeMonitor(Server kind)
    {
        server.listen(QHostAddress::LocalHost);
        address = QString("http://127.0.0.1:%1").arg(server.serverPort());
        if (kind == Server::Gone)
            server.close();
        const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: ",
                         body = kind == Server::Compressed ? gzipped() : "";
        const QByteArray answer =
            QMap<Server, QByteArray>{
                {Server::Answers, ok + "2\r\n\r\nOK"},
                {Server::LongAnswer, ok + "104857600\r\n\r\n" + QByteArray(1 << 20, 'x')},
                {Server::Compressed, "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                                         QByteArray::number(body.size()) + "\r\n\r\n" + body},
                {Server::Redirects,
                 "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n"}}
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
                if (kind != Server::LongAnswer && kind != Server::NeverAnswers)
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

Q_DECLARE_METATYPE(Server)

// address: %M: the fake monitor
// paths: what the monitor is asked for
// entry: what the log says of the monitor
const Columns<Server, QString, QVariantMap, QStringList, QStringList, QString> pingsColumns{
    {"server", "address", "overrides", "databases", "paths", "entry"}};
class TestMonitor : public QObject
{
    Q_OBJECT

private slots:
    void pings_data()
    {
        pingsColumns.add();

        const QStringList goneWell{"/ping/abc/start", "/ping/abc"},
            failed{"/ping/abc/start", "/ping/abc/fail"}, started{"/ping/abc/start"};
        const QString address = "%M/ping/abc",
                      unreachable = "Monitor [%M/ping/abc/start] tidak dapat dihubungi: ";
        const auto row = [&](const char *name, Server server, const QStringList &paths,
                             const QString &entry = QString(), const QString &at = "%M/ping/abc",
                             const QStringList &databases = {"sales"}, const QVariantMap &overrides = {}) {
            QTest::newRow(name) << server << at << overrides << databases << paths << entry;
        };
        row("a run that goes well: start, then the address", Server::Answers, goneWell);
        row("the address with a slash at its end", Server::Answers, goneWell, "", "%M/ping/abc/");
        row("a job fails: start, then fail", Server::Answers, failed, "", address, {"gagal", "sales"});
        row("a copy off this machine that fails: start, then fail", Server::Answers, failed, "", address,
            {"sales"}, {{"salinan", "tidakada"}});
        row("a refused name is a failed job", Server::Answers, failed, "", address, {"-Fp"});
        row("a missing output folder: start, then fail", Server::Answers, failed, "", address, {"sales"},
            {{"outputdir", "/nonexistent"}});
        row("a monitor that is gone: logged once, the backup goes on", Server::Gone, {},
            unreachable + "Connection refused.");
        row("a monitor that never answers: asked once, for the time-out", Server::NeverAnswers, started,
            unreachable + "tidak menjawab dalam 1 detik.");
        row("an answer longer than a few kilobytes is cut off, a failed ping", Server::LongAnswer, started,
            unreachable + "jawaban lebih dari 4096 byte, tidak dibaca lagi.");
        row("a gzip answer is not unpacked: it is short as it came", Server::Compressed, goneWell);
        row("a redirect is not followed, a failed ping", Server::Redirects, started,
            unreachable + "dialihkan (HTTP 302) ke [%M/elsewhere], pengalihan tidak diikuti.");
        row("an address over 2048 characters: nothing asked, said short", Server::Answers, {},
            "Alamat monitor [%A\u2026] lebih dari 2048 karakter; monitor tidak dihubungi.",
            "%M/" + QString(2100, 'a'));
        row("no web address: nothing asked, logged", Server::Answers, {},
            "Monitor [file:///etc/passwd/start] tidak dapat dihubungi: alamat bukan http atau "
            "https.",
            "file:///etc/passwd");
    }
    // The address is read with the list at every run; the run is on a thread of its own, as in
    // the service, while this one serves the monitor.
    void pings()
    {
        auto [server, address, overrides, databases, paths, entry] = pingsColumns.fetch();
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
        const qint64 took = runOnThread(engine);

        QCOMPARE(monitor.paths, paths);
        entry.replace("%A", address.left(60)).replace("%M", monitor.address);
        QCOMPARE(folder.log().filter(QRegularExpression("^(Alamat monitor|Monitor) \\[")),
                 entry.isEmpty() ? QStringList() : QStringList(entry));
        // Whatever it says, the answer comes as it was sent.
        for (const QString &request : qAsConst(monitor.requests))
            QVERIFY2(request.contains("\r\nAccept-Encoding: identity\r\n", Qt::CaseInsensitive),
                     qPrintable(request));
        QCOMPARE(folder.log().filter("Backup Database OK : database [sales]").size(),
                 int(databases.contains("sales") && !overrides.contains("outputdir")));
        // Only a monitor that never answers takes its time-out; a long answer is cut off at once.
        QVERIFY2(took < (server == Server::NeverAnswers ? 1000 : 0) + 900, qPrintable(QString::number(took)));
    }
    // A dump that waits to be checked fails every run that comes before an administrator looks, not
    // only the one that found it.
    void waitingCheckFailsEveryRun()
    {
        FakeMonitor monitor(Server::Answers);
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
        FakeMonitor monitor(Server::NeverAnswers);
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
