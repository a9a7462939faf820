// Copies off this machine through real rclone, to real servers on the loopback (rclone serving
// temporary folders over SFTP and WebDAV, a port where nothing listens, one that never answers):
// copies made, verified, named and encrypted; refused destinations; failed copies, bounded and
// tried again; a stop during an upload; retention off-site; the panel's test of a destination
// and the destinations the service publishes.
#include "backupengine.h"
#include "pgcluster.h"
#include "rcloneserver.h"
#include "servicetestkit.h"
#include "stopsignal.h"
#include "ujisalinan.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QtTest>

#include <sys/stat.h>

using namespace servicetest;

namespace {

// Every object below a served folder, by path relative to it.
QStringList objects(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << QDir(root).relativeFilePath(it.next());
    found.sort();
    return found;
}

QStringList lines(const QStringList &log, const QString &start)
{
    return log.filter(QRegularExpression('^' + QRegularExpression::escape(start)));
}

// One program folder whose engine runs backups an hour apart on its own clock.
struct Site
{
    ProgramFolder folder;
    QDateTime now{QDate(2024, 3, 1), QTime(5, 0)};
    std::unique_ptr<BackupEngine> engine;

    bool prepare(const QStringList &databases, const salinan::Settings &choice, const QString &config,
                 const Rclone::Limits &limits = Rclone::Limits())
    {
        if (!folder.prepare({}, databases) || !folder.copyTo(choice) || !folder.rcloneConfig(config))
            return false;
        engine = std::make_unique<BackupEngine>(folder.path(), [this] { return now = now.addSecs(1); });
        engine->setToolTimeoutMs(5000);
        engine->setRcloneLimits(limits);
        return engine->ReadConfig();
    }
    void run()
    {
        now = now.addSecs(3600);
        engine->RunBackup();
    }
    // The kept good dumps of the database, oldest first.
    QList<riwayat::Job> dumps(const QString &dbname) const
    {
        return history(folder.file("riwayat.db"), dbname);
    }
};

#define PREPARE(site, ...) QVERIFY2((site).prepare(__VA_ARGS__), qPrintable((site).folder.error))

} // namespace

const Columns<QString, bool> copyMadeAndVerifiedColumns{{"remote", "encrypted"}};
// folder: empty for one of the case's own; idleSecs, boundMs: rclone's bounds, 0: the usual;
// reason: what the history and the log give, "tujuan ditolak: " first when the destination is refused
const Columns<QString, QString, int, int, int, QString> copyFailsColumns{
    {"remote", "folder", "configMode", "idleSecs", "boundMs", "reason"}};
const Columns<QString, QString, QString> destinationTestColumns{{"remote", "hasil", "pesan"}};
// configuration: what root wrote; "-": nothing
// remotes: name, type and 1 when it lands on this machine
const Columns<QString, QStringList, QString> publishedDestinationsColumns{
    {"configuration", "remotes", "masalah"}};
class TestOffsiteCopy : public QObject
{
    Q_OBJECT

    RcloneServer sftp{RcloneServer::Kind::Sftp};
    RcloneServer webdav{RcloneServer::Kind::Webdav};
    RcloneServer flaky{RcloneServer::Kind::Sftp}; // stopped and started again by tests
    SilentServer silent;
    QTemporaryDir keys;
    QTemporaryDir localDisk; // root's own, as a second disk would be
    QString recipient;
    int rowNumber = 0;

    // Every destination the cases use; "berbohong" reaches sftp but hashes with SHA-1.
    QString config(const QString &extra = QString()) const
    {
        QString lying = sftp.configSection("berbohong");
        lying.replace("md5sum_command = md5sum", "md5sum_command = sha1sum");
        QString text = sftp.configSection("sftp") + webdav.configSection("webdav") +
                       flaky.configSection("labil") + lying;
        const QString unreachable =
            QStringLiteral("[%1]\ntype = sftp\nhost = 127.0.0.1\nport = %2\nuser = x\npass = %3\n\n");
        text += unreachable.arg("mati").arg(freeLoopbackPort()).arg(rcloneObscure("x"));
        text += unreachable.arg("diam").arg(silent.port()).arg(rcloneObscure("x"));
        return text + "[disk]\ntype = alias\nremote = " + localDisk.path() + "\n\n" + extra;
    }
    // A folder of its own on the servers for each case.
    QString freshFolder() { return QStringLiteral("kasus%1").arg(++rowNumber); }
    void restartFlaky()
    {
        QString error;
        QVERIFY2(flaky.start(&error), qPrintable(error));
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(sftp.start(&error) && webdav.start(&error) && flaky.start(&error), qPrintable(error));
        QVERIFY(silent.port() > 0);
        QProcess keygen;
        keygen.start("age-keygen", {"-o", keys.filePath("kunci.txt")});
        QVERIFY(keygen.waitForFinished(10000) && keygen.exitCode() == 0);
        recipient = QRegularExpression("public key: (age1[a-z0-9]+)")
                        .match(readText(keys.filePath("kunci.txt")))
                        .captured(1);
        QVERIFY(!recipient.isEmpty());
        ::chmod(QFile::encodeName(localDisk.path()), 0700);
    }
    void copyMadeAndVerified_data()
    {
        copyMadeAndVerifiedColumns.add();
        QTest::newRow("sftp, hashed there") << "sftp" << false;
        QTest::newRow("sftp, encrypted to the recipient") << "sftp" << true;
        QTest::newRow("webdav, which keeps no hash: read back") << "webdav" << false;
        QTest::newRow("a second disk of root's") << "disk" << true;
    }
    // The copy is the dump (or decrypts to it) under its final name with the run log beside it, the
    // log says so in its words, the history records it verified, and nothing temporary is left.
    void copyMadeAndVerified()
    {
        auto [remote, encrypted] = copyMadeAndVerifiedColumns.fetch();
        const QString folderName = freshFolder();
        Site site;
        PREPARE(site, {"penjualan"}, {remote, folderName, encrypted ? recipient : "", {}}, config());
        site.run();

        const QList<riwayat::Job> dumps = site.dumps("penjualan");
        const QString name = QFileInfo(dumps.value(0).file).fileName(), log = name.chopped(3) + ".log";
        const QString suffix = encrypted ? ".age" : "";
        const QString root = remote == "sftp"     ? sftp.root()
                             : remote == "webdav" ? webdav.root()
                                                  : localDisk.path();
        const QString sent = root + "/" + folderName + "/penjualan/" + name + suffix;
        QByteArray copy = readBytes(sent);
        const QString size = QString::number(copy.size());
        if (encrypted) {
            QProcess age;
            age.start("age", {"-d", "-i", keys.filePath("kunci.txt"), sent});
            QVERIFY(age.waitForFinished(10000) && age.exitCode() == 0);
            copy = age.readAllStandardOutput();
        }
        QCOMPARE(copy, readBytes(dumps.value(0).file));

        // The dumps kept, the objects sent, the log's entries, the history's copies, and nothing
        // of the database's left beside the dump and its log (the globals are the server's).
        const QString tujuan = remote + ":" + folderName + "/penjualan/" + name + suffix;
        const QList<salinan::Copy> copies = site.folder.copies();
        const salinan::Copy c = copies.value(0);
        QCOMPARE(
            QStringList({QString("%1 %2").arg(dumps.size()).arg(copies.size()),
                         objects(root + "/" + folderName).join(' '),
                         lines(site.folder.log(), "Salinan Backup").join('\n'),
                         QStringList{c.tujuan, c.hasil, QString::number(c.terverifikasi),
                                     QString::number(c.ukuran), c.sementara}
                             .join('|'),
                         QDir(site.folder.outputDir()).entryList({"bu_penjualan_*"}, QDir::Files).join(' ')}),
            QStringList({"1 1", "penjualan/" + name + suffix + " penjualan/" + log + suffix,
                         "Salinan Backup OK : database [penjualan], tujuan [" + tujuan + "], " + size +
                             " byte, terverifikasi.",
                         tujuan + "|OK|1|" + size + "|", name + ' ' + log}));
    }
    void copyFails_data()
    {
        copyFailsColumns.add();
        const auto row = [](const char *name, const QString &remote, const QString &folder, int mode,
                            QPair<int, int> bound, const QString &reason) {
            QTest::newRow(name) << remote << folder << mode << bound.first << bound.second << reason;
        };
        const QPair<int, int> none{0, 0};
        row("a name root's configuration lacks", "tidakada", "x", 0600, none,
            "tujuan ditolak: remote [tidakada] tidak ada di konfigurasi rclone");
        row("a name that is a path of its own", "disk:/etc", "x", 0600, none,
            "tujuan ditolak: remote [disk:/etc] tidak ada di konfigurasi rclone");
        row("a folder that climbs out", "sftp", "a/../../etc", 0600, none,
            "tujuan ditolak: folder [a/../../etc] memuat komponen '..'");
        row("a folder from the root", "sftp", "/etc", 0600, none,
            "tujuan ditolak: folder [/etc] diawali '/'");
        row("a local folder others may write", "disk", "terbuka", 0600, none,
            "tujuan ditolak: berada di disk mesin ini");
        row("a configuration others may read", "sftp", "x", 0644, none,
            "tujuan ditolak: dapat dibaca atau ditulis pengguna lain");
        row("a hash that is not the file's", "berbohong", "", 0600, none, "md5 hash differ");
        row("silent server: rclone gives up waiting", "diam", "", 0600, {1, 30000}, "i/o timeout");
        row("silent server: the call's own bound", "diam", "", 0600, {60, 2000},
            "rclone melewati batas waktu 2 detik");
    }
    // Refused or failed with the reason in the log and the history, never called good, the wait
    // bounded, the dump untouched, and nothing written where the server answered.
    void copyFails()
    {
        auto [remote, folder, configMode, idleSecs, boundMs, reason] = copyFailsColumns.fetch();
        Rclone::Limits limits;
        if (boundMs > 0) {
            limits.connectSecs = 1;
            limits.idleSecs = idleSecs;
            limits.baseMs = boundMs;
        }
        const QString open = localDisk.filePath("terbuka");
        QVERIFY(QDir().mkpath(open) && ::chmod(QFile::encodeName(open), 0777) == 0);
        Site site;
        PREPARE(site, {"penjualan"}, {remote, folder.isEmpty() ? freshFolder() : folder, {}, {}}, config(),
                limits);
        QVERIFY(site.folder.rcloneConfig(config(), configMode));
        const QStringList before = objects(sftp.root()) + objects(localDisk.path());
        QElapsedTimer took;
        took.start();
        site.run();
        // Far below rclone's own minutes; the whole run (globals, dump, read-back) on a loaded machine.
        QVERIFY2(took.elapsed() < 25000, qPrintable(QString::number(took.elapsed())));

        const QList<salinan::Copy> copies = site.folder.copies();
        const salinan::Copy c = copies.value(0);
        const QList<riwayat::Job> dumps = site.dumps("penjualan");
        QCOMPARE(lines(site.folder.log(), "Salinan Backup")
                     << QString::number(copies.size()) << c.hasil << QString::number(dumps.size()),
                 QStringList(
                     {"Salinan Backup GAGAL : database [penjualan], tujuan [" + c.tujuan + "]. " + c.alasan,
                      "1", riwayat::Gagal, "1"}));
        const QString refused = "tujuan ditolak: ";
        QVERIFY2(c.alasan.startsWith(refused) == reason.startsWith(refused) &&
                     c.alasan.contains(QString(reason).remove(refused)),
                 qPrintable(c.alasan));
        QVERIFY(QFile::exists(dumps.value(0).file));
        if (remote != "diam") // a server that never answered may still hold the object
            QCOMPARE(objects(sftp.root()) + objects(localDisk.path()) << c.sementara,
                     before + QStringList(""));
    }
    // A stop while the copy travels ends rclone within the stop's time and records the copy as
    // cancelled, with nothing under a final name; rclone gets nothing of the service's environment.
    // A service killed during a copy leaves its row running and an object under a temporary name.
    // The next run completes that row as failed and says why, and removes what both left.
    void stopDuringUpload()
    {
        const QString folderName = freshFolder();
        Rclone::Limits slow;
        slow.bandwidth = "300k";
        Site site;
        PREPARE(site, {"besar"}, {"sftp", folderName, {}, {}}, config(), slow);
        const QList<QByteArray> foreign{"AWS_CA_BUNDLE", "RCLONE_CONFIG", "HTTPS_PROXY"};
        for (const QByteArray &name : foreign)
            qputenv(name, "/tidak/ada");
        StopSignal stop;
        site.engine->setStopSignal(&stop);
        QScopedPointer<QThread> run(QThread::create([&site] { site.run(); }));
        run->start();

        const QString dir = sftp.root() + "/" + folderName + "/besar";
        QStringList rclone;
        const auto uploading = [&] {
            const QStringList files = QDir(dir).entryList(QDir::Files);
            rclone = processesWith(site.folder.file("data/rclone"));
            return !rclone.isEmpty() && files.size() == 1 && QFileInfo(dir + "/" + files.first()).size() > 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(uploading(), 20000);
        const QByteArray environment = readBytes("/proc/" + rclone.first() + "/environ");
        for (const QByteArray &name : foreign) {
            qunsetenv(name);
            QVERIFY2(!environment.contains(name), environment.constData());
        }
        QElapsedTimer took;
        took.start();
        stop.request();
        QVERIFY(run->wait(5000));
        QVERIFY2(took.elapsed() < 1500, qPrintable(QString::number(took.elapsed())));

        QVERIFY(processesWith(site.folder.file("data/rclone")).isEmpty());
        const QStringList left = QDir(dir).entryList(QDir::Files);
        QCOMPARE(left.size(), 1);
        QVERIFY2(left.first().contains(".tmp-"), qPrintable(left.first()));
        const QString sementara = "sftp:" + folderName + "/besar/" + left.first();
        const salinan::Copy cancelled = site.folder.copies().value(0);
        QCOMPARE(
            QStringList({QString::number(site.folder.copies().size()), cancelled.hasil, cancelled.sementara}),
            QStringList({"1", riwayat::Dibatalkan, sementara}));

        // What a killed service leaves; sent through the server, which caches what its folder holds.
        const QString temporary = cancelled.tujuan + ".tmp-AbCdEf";
        QCOMPARE(QProcess::execute("sh", {"-c", "echo separuh | rclone --config \"$0\" rcat \"$1\"",
                                          site.folder.file("data/rclone/rclone.conf"), temporary}),
                 0);
        QVERIFY(QFile::exists(dir + "/" + temporary.section('/', -1)));
        QVERIFY(
            sqlite(site.folder.file("riwayat.db"),
                   QString("insert into salinan (riwayat_id, tujuan, mulai, hasil, terverifikasi, sementara) "
                           "values (%1, '%2', '2024-03-01T06:00:05', 'BERJALAN', 0, '%3')")
                       .arg(cancelled.riwayatId)
                       .arg(cancelled.tujuan, temporary)));
        site.engine->setStopSignal(nullptr);
        site.engine->setRcloneLimits(Rclone::Limits());
        QFile::remove(site.folder.logPath());
        site.run();
        const salinan::Copy died = site.folder.copies().value(1);
        const QString why = "Proses service berhenti sebelum salinan selesai.";
        const QString swept = "] dari proses yang tidak selesai dihapus.";
        QCOMPARE(QStringList({died.hasil, died.alasan, died.sementara}) << QDir(dir).entryList({"*.tmp-*"}),
                 QStringList({riwayat::Gagal, why, QString()}));
        const QStringList log = site.folder.log();
        QVERIFY2(log.contains("Salinan Backup GAGAL : database [besar], tujuan [" + cancelled.tujuan + "]. " +
                              why) &&
                     log.contains("Salinan sementara [" + sementara + swept) &&
                     log.contains("Salinan sementara [" + temporary + swept),
                 qPrintable(log.join('\n')));
    }
    // Two copies of each database kept: the oldest goes, recorded first and logged with its run log.
    // The server down: the copies fail with rclone's own words, the dumps stay, and nothing goes. At
    // the next run, whose dumps fail, each is copied, the newest first.
    void retentionAndFailedCopies()
    {
        const QString folderName = freshFolder();
        Site site;
        PREPARE(site, {"alfa", "beta"}, {"labil", folderName, {}, {2}}, config());
        for (int i = 0; i < 3; ++i)
            site.run();
        const QString dir = flaky.root() + "/" + folderName + "/alfa";
        const QList<salinan::Copy> copies = site.folder.copies();
        QString deleted; // of each copy, oldest first
        for (const salinan::Copy &c : copies)
            deleted += c.dihapus.isValid() ? 'x' : '-';
        const QString gone = "Hapus salinan lama : ";
        QCOMPARE(
            lines(site.folder.log(), gone) << deleted,
            QStringList({gone + copies[0].tujuan, gone + copies[0].tujuan.chopped(3) + ".log",
                         gone + copies[1].tujuan, gone + copies[1].tujuan.chopped(3) + ".log", "xx----"}));
        QCOMPARE(QDir(dir).entryList({"*.bu"}, QDir::Files).size(), 2);

        flaky.stop();
        site.run();
        restartFlaky();
        const QStringList failed = lines(site.folder.log(), "Salinan Backup GAGAL");
        QCOMPARE(failed.size(), 2);
        QVERIFY2(failed.first().contains("connection refused"), qPrintable(failed.first()));
        QCOMPARE(QDir(dir).entryList({"*.bu"}, QDir::Files).size(), 2);
        QCOMPARE(lines(site.folder.log(), gone).size(), 4);
        const QString alfa = QFileInfo(site.dumps("alfa").last().file).fileName();
        const QString beta = QFileInfo(site.dumps("beta").last().file).fileName();
        const QByteArray alfaBytes = readBytes(site.dumps("alfa").last().file);
        QCOMPARE(alfaBytes.size(), 16);

        QVERIFY(QFile::remove(site.folder.file("dbutils/pg_dump")) &&
                QFile::copy("/bin/false", site.folder.file("dbutils/pg_dump")));
        QFile::remove(site.folder.logPath());
        site.run();
        QStringList copied;
        for (const QString &line : lines(site.folder.log(), "Salinan Backup"))
            copied << line.section(" : ", 0, 0) + " " + line.section('/', -1).section(']', 0, 0);
        QCOMPARE(copied, QStringList({"Salinan Backup OK " + beta, "Salinan Backup OK " + alfa}));
        QCOMPARE(readBytes(dir + "/" + alfa), alfaBytes);
    }
    void destinationTest_data()
    {
        destinationTestColumns.add();
        QTest::newRow("written, read back, deleted")
            << "sftp" << permintaan::Ok << "Berkas uji ditulis, dibaca kembali dan dihapus di sftp:uji.";
        QTest::newRow("a name root's configuration lacks")
            << "tidakada" << permintaan::Ditolak << "remote [tidakada] tidak ada di konfigurasi rclone";
        QTest::newRow("the server down") << "mati" << permintaan::Gagal << "connection refused";
    }
    void destinationTest()
    {
        auto [remote, hasil, pesan] = destinationTestColumns.fetch();
        Site site;
        PREPARE(site, {}, salinan::Settings(), config());
        StopSignal stop;
        QStringList steps;
        ThPermintaan::Context context{*site.engine, stop, [&steps](const QJsonObject &kemajuan) {
                                          steps << kemajuan.value("langkah").toString();
                                      }};
        const QJsonObject isi{{"remote", remote}, {"folder", "uji"}};
        const ThPermintaan::Outcome outcome =
            ujisalinan::run({{}, ujisalinan::Jenis, isi, {}, {}, {}}, context);
        QCOMPARE(outcome.hasil, hasil);
        QVERIFY2(outcome.pesan.contains(pesan), qPrintable(outcome.pesan));
        if (hasil == permintaan::Ok)
            QCOMPARE(steps, QStringList({"tulis", "baca", "hapus"}));
        QVERIFY(objects(sftp.root() + "/uji").isEmpty());
    }
    void publishedDestinations_data()
    {
        publishedDestinationsColumns.add();
        QTest::newRow("names, types, and which land here")
            << config("[gabung]\ntype = union\nupstreams = webdav:a disk:b\n")
            << QStringList({"berbohong sftp 0", "diam sftp 0", "disk alias 1", "gabung union 1",
                            "labil sftp 0", "mati sftp 0", "sftp sftp 0", "webdav webdav 0"})
            << QString();
        QTest::newRow("no configuration yet") << "-" << QStringList() << "belum ada";
        // rclone quotes the line it cannot read, which may hold a secret.
        QTest::newRow("a configuration rclone cannot read: no line of it told")
            << "[rusak]\ntype = sftp\npass RAHASIA-XYZ\n[[[ RAHASIA-XYZ\n"
            << QStringList() << "tidak terbaca (rclone selesai dengan kode keluar 1); periksa sebagai root";
    }
    // What the panel may read of root's configuration: never a secret.
    void publishedDestinations()
    {
        auto [configuration, remotes, masalah] = publishedDestinationsColumns.fetch();
        Site site;
        PREPARE(site, {}, salinan::Settings(), configuration);
        if (configuration == "-")
            QVERIFY(QFile::remove(site.folder.file("data/rclone/rclone.conf")));
        site.engine->PublishDestinations();
        salinan::Published published;
        QString error;
        QVERIFY2(withDb(site.folder.file("riwayat.db"),
                        [&](QSqlDatabase &db) {
                            return db.isOpen() && salinan::readPublished(db, &published, &error);
                        }),
                 qPrintable(error));
        QStringList found;
        for (const salinan::Remote &remote : published.remotes)
            found << remote.nama + " " + remote.jenis + " " + QString::number(remote.lokal);
        QCOMPARE(found, remotes);
        QVERIFY2(published.masalah.contains(masalah) && !published.masalah.contains("RAHASIA"),
                 qPrintable(published.masalah));
        QCOMPARE(published.berkas, site.folder.file("data/rclone/rclone.conf"));
    }
};

QTEST_GUILESS_MAIN(TestOffsiteCopy)
#include "tst_offsitecopy.moc"
