// Copies off this machine through real rclone, to real servers on the loopback (rclone serving
// temporary folders over SFTP and WebDAV, a port where nothing listens, one that never answers):
// copies made, verified, named and encrypted; refused destinations; a failed copy tried again;
// the bounds; a stop during an upload; retention off-site; the panel's test of a destination
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

// One program folder whose engine runs backups an hour apart on its own clock.
struct Site
{
    ProgramFolder folder;
    QDateTime now{QDate(2024, 3, 1), QTime(5, 0)};
    std::unique_ptr<BackupEngine> engine;

    bool prepare(const QStringList &databases, const salinan::Settings &choice,
                 const QString &config, const Rclone::Limits &limits = Rclone::Limits())
    {
        if (!folder.prepare({}, databases) || !folder.copyTo(choice) ||
            !folder.rcloneConfig(config))
            return false;
        engine = std::make_unique<BackupEngine>(folder.path(), [this] {
            now = now.addSecs(1);
            return now;
        });
        engine->setToolTimeoutMs(5000);
        engine->setRcloneLimits(limits);
        return engine->ReadConfig();
    }
    void run()
    {
        now = now.addSecs(3600);
        engine->RunBackup();
    }
    // The kept good dump of the database, newest first.
    QList<riwayat::Job> dumps(const QString &dbname) const
    {
        return history(folder.file("riwayat.db"), dbname);
    }
};

salinan::Settings destination(const QString &remote, const QString &folder,
                              const QString &penerima = QString(), int jumlah = 0)
{
    salinan::Settings choice;
    choice.remote = remote;
    choice.folder = folder;
    choice.penerima = penerima;
    choice.simpan.jumlah = jumlah;
    return choice;
}

QStringList lines(const QStringList &log, const QString &start)
{
    QStringList found;
    for (const QString &message : log)
        if (message.startsWith(start))
            found << message;
    return found;
}

} // namespace

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

    QString config(const QString &extra = QString()) const
    {
        QString text = sftp.configSection("sftp") + webdav.configSection("webdav") +
                       flaky.configSection("labil");
        const QString unreachable = QStringLiteral(
            "[%1]\ntype = sftp\nhost = 127.0.0.1\nport = %2\nuser = x\npass = %3\n\n");
        text += unreachable.arg("mati").arg(freeLoopbackPort()).arg(rcloneObscure("x"));
        text += unreachable.arg("diam").arg(silent.port()).arg(rcloneObscure("x"));
        text += "[disk]\ntype = alias\nremote = " + localDisk.path() + "\n\n";
        return text + extra;
    }
    // A folder of its own on the servers for each case.
    QString freshFolder() { return QStringLiteral("kasus%1").arg(++rowNumber); }

private slots:
    void initTestCase();
    void copyMadeAndVerified_data();
    void copyMadeAndVerified();
    void refusedDestinations_data();
    void refusedDestinations();
    void failedCopyTriedAgainNewestFirst();
    void hashThatDiffersFails();
    void serverThatNeverAnswersIsBounded_data();
    void serverThatNeverAnswersIsBounded();
    void stopDuringUpload();
    void leftByAServiceThatDied();
    void retentionOffSite();
    void destinationTest_data();
    void destinationTest();
    void publishedDestinations_data();
    void publishedDestinations();
};

void TestOffsiteCopy::initTestCase()
{
    QString error;
    QVERIFY2(sftp.start(&error), qPrintable(error));
    QVERIFY2(webdav.start(&error), qPrintable(error));
    QVERIFY2(flaky.start(&error), qPrintable(error));
    QVERIFY(silent.port() > 0);
    QProcess keygen;
    keygen.start("age-keygen", {"-o", keys.filePath("kunci.txt")});
    QVERIFY(keygen.waitForFinished(10000) && keygen.exitCode() == 0);
    const QRegularExpressionMatch key = QRegularExpression("public key: (age1[a-z0-9]+)")
                                            .match(readText(keys.filePath("kunci.txt")));
    QVERIFY(key.hasMatch());
    recipient = key.captured(1);
    ::chmod(QFile::encodeName(localDisk.path()), 0700);
}

void TestOffsiteCopy::copyMadeAndVerified_data()
{
    QTest::addColumn<QString>("remote");
    QTest::addColumn<bool>("encrypted");
    QTest::newRow("sftp, hashed there") << "sftp" << false;
    QTest::newRow("sftp, encrypted to the recipient") << "sftp" << true;
    QTest::newRow("webdav, which keeps no hash: read back") << "webdav" << false;
    QTest::newRow("a second disk of root's") << "disk" << true;
}

// The copy is the dump (or decrypts to it) under its final name with the run log beside it, the
// log says so in its words, the history records it verified, and nothing temporary is left.
void TestOffsiteCopy::copyMadeAndVerified()
{
    QFETCH(QString, remote);
    QFETCH(bool, encrypted);
    const QString folderName = freshFolder();
    Site site;
    QVERIFY2(site.prepare({"penjualan"},
                          destination(remote, folderName, encrypted ? recipient : QString()),
                          config()),
             qPrintable(site.folder.error));
    site.run();

    const QList<riwayat::Job> dumps = site.dumps("penjualan");
    QCOMPARE(dumps.size(), 1);
    const QString name = QFileInfo(dumps.first().file).fileName();
    const QString suffix = encrypted ? ".age" : "";
    const QString root = remote == "sftp"     ? sftp.root()
                         : remote == "webdav" ? webdav.root()
                                              : localDisk.path();
    const QString dir = root + "/" + folderName + "/penjualan/";
    QCOMPARE(objects(root + "/" + folderName),
             QStringList(
                 {"penjualan/" + name + suffix, "penjualan/" + name.chopped(3) + ".log" + suffix}));
    QByteArray copy = readBytes(dir + name + suffix);
    const qint64 sent = copy.size();
    if (encrypted) {
        QProcess age;
        age.start("age", {"-d", "-i", keys.filePath("kunci.txt"), dir + name + suffix});
        QVERIFY(age.waitForFinished(10000) && age.exitCode() == 0);
        copy = age.readAllStandardOutput();
    }
    QCOMPARE(copy, readBytes(dumps.first().file));

    const QString tujuan = remote + ":" + folderName + "/penjualan/" + name + suffix;
    QCOMPARE(lines(site.folder.log(), "Salinan Backup"),
             QStringList("Salinan Backup OK : database [penjualan], tujuan [" + tujuan + "], " +
                         QString::number(sent) + " byte, terverifikasi."));
    const QList<salinan::Copy> copies = site.folder.copies();
    QCOMPARE(copies.size(), 1);
    QCOMPARE(copies.first().tujuan, tujuan);
    QCOMPARE(copies.first().hasil, riwayat::Ok);
    QVERIFY(copies.first().terverifikasi);
    QCOMPARE(copies.first().ukuran, sent);
    QVERIFY(copies.first().sementara.isEmpty());
    // Nothing of the database's left beside the dump and its log (the globals are the server's).
    QCOMPARE(QDir(site.folder.outputDir()).entryList({"bu_penjualan_*"}, QDir::Files),
             QStringList({name, name.chopped(3) + ".log"}));
}

void TestOffsiteCopy::refusedDestinations_data()
{
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("configMode");
    QTest::addColumn<QString>("reason");
    QTest::newRow("a name root's configuration lacks")
        << "tidakada"
        << "x" << 0600 << "remote [tidakada] tidak ada di konfigurasi rclone";
    QTest::newRow("a name that is a path of its own")
        << "disk:/etc"
        << "x" << 0600 << "remote [disk:/etc] tidak ada di konfigurasi rclone";
    QTest::newRow("a folder that climbs out")
        << "sftp"
        << "a/../../etc" << 0600 << "folder [a/../../etc] memuat komponen '..'";
    QTest::newRow("a folder from the root") << "sftp"
                                            << "/etc" << 0600 << "folder [/etc] diawali '/'";
    QTest::newRow("a local folder others may write")
        << "disk"
        << "terbuka" << 0600 << "berada di disk mesin ini";
    QTest::newRow("a configuration others may read")
        << "sftp"
        << "x" << 0644 << "dapat dibaca atau ditulis pengguna lain";
}

// Refused with the reason in the log and the history, the dump untouched, nothing written.
void TestOffsiteCopy::refusedDestinations()
{
    QFETCH(QString, remote);
    QFETCH(QString, folder);
    QFETCH(int, configMode);
    QFETCH(QString, reason);
    const QString open = localDisk.filePath("terbuka");
    QVERIFY(QDir().mkpath(open) && ::chmod(QFile::encodeName(open), 0777) == 0);
    Site site;
    QVERIFY2(site.prepare({"penjualan"}, destination(remote, folder), config()),
             qPrintable(site.folder.error));
    QVERIFY(site.folder.rcloneConfig(config(), configMode));
    const QStringList before = objects(sftp.root()) + objects(localDisk.path());
    site.run();

    const QStringList failed =
        lines(site.folder.log(), "Salinan Backup GAGAL : database [penjualan]");
    QCOMPARE(failed.size(), 1);
    QVERIFY2(failed.first().contains("tujuan ditolak: ") && failed.first().contains(reason),
             qPrintable(failed.first()));
    QCOMPARE(site.folder.copies().size(), 1);
    QVERIFY(site.folder.copies().first().alasan.contains(reason));
    QCOMPARE(site.dumps("penjualan").size(), 1);
    QVERIFY(QFile::exists(site.dumps("penjualan").first().file));
    QCOMPARE(objects(sftp.root()) + objects(localDisk.path()), before);
}

// The server down: the copies fail with rclone's own words and the dumps stay. At the next
// run, whose dumps fail, each is copied, the newest first.
void TestOffsiteCopy::failedCopyTriedAgainNewestFirst()
{
    const QString folderName = freshFolder();
    Site site;
    QVERIFY2(site.prepare({"alfa", "beta"}, destination("labil", folderName), config()),
             qPrintable(site.folder.error));
    flaky.stop();
    site.run();
    QString error;
    QVERIFY2(flaky.start(&error), qPrintable(error));
    const QStringList failed = lines(site.folder.log(), "Salinan Backup GAGAL");
    QCOMPARE(failed.size(), 2);
    QVERIFY2(failed.first().contains("connection refused"), qPrintable(failed.first()));
    const riwayat::Job alfa = site.dumps("alfa").first();
    const riwayat::Job beta = site.dumps("beta").first();
    const QByteArray alfaBytes = readBytes(alfa.file);
    QCOMPARE(alfaBytes.size(), 16);

    QVERIFY(QFile::remove(site.folder.file("dbutils/pg_dump")) &&
            QFile::copy("/bin/false", site.folder.file("dbutils/pg_dump")));
    QFile::remove(site.folder.logPath());
    site.run();
    QStringList copied;
    for (const QString &line : lines(site.folder.log(), "Salinan Backup"))
        copied << line.section(" : ", 0, 0) + " " + line.section('/', -1).section(']', 0, 0);
    QCOMPARE(copied, QStringList({"Salinan Backup OK " + QFileInfo(beta.file).fileName(),
                                  "Salinan Backup OK " + QFileInfo(alfa.file).fileName()}));
    QCOMPARE(
        readBytes(flaky.root() + "/" + folderName + "/alfa/" + QFileInfo(alfa.file).fileName()),
        alfaBytes);
}

// A destination whose hash is not the file's (its md5sum says SHA-1): no copy is called good,
// and nothing stays there.
void TestOffsiteCopy::hashThatDiffersFails()
{
    QString lying = sftp.configSection("berbohong");
    lying.replace("md5sum_command = md5sum", "md5sum_command = sha1sum");
    Site site;
    QVERIFY2(site.prepare({"penjualan"}, destination("berbohong", freshFolder()), config(lying)),
             qPrintable(site.folder.error));
    site.run();
    const QList<salinan::Copy> copies = site.folder.copies();
    QCOMPARE(copies.size(), 1);
    QCOMPARE(copies.first().hasil, riwayat::Gagal);
    QVERIFY2(copies.first().alasan.contains("md5 hash differ"), qPrintable(copies.first().alasan));
    QVERIFY(copies.first().sementara.isEmpty());
    QVERIFY(objects(sftp.root() + "/kasus" + QString::number(rowNumber)).isEmpty());
}

void TestOffsiteCopy::serverThatNeverAnswersIsBounded_data()
{
    QTest::addColumn<int>("idleSecs");
    QTest::addColumn<int>("boundMs");
    QTest::addColumn<QString>("reason");
    QTest::newRow("rclone gives up waiting") << 1 << 30000 << "i/o timeout";
    QTest::newRow("the call's own bound") << 60 << 2000 << "rclone melewati batas waktu 2 detik";
}

void TestOffsiteCopy::serverThatNeverAnswersIsBounded()
{
    QFETCH(int, idleSecs);
    QFETCH(int, boundMs);
    QFETCH(QString, reason);
    Rclone::Limits limits;
    limits.connectSecs = 1;
    limits.idleSecs = idleSecs;
    limits.baseMs = boundMs;
    Site site;
    QVERIFY2(site.prepare({"penjualan"}, destination("diam", "x"), config(), limits),
             qPrintable(site.folder.error));
    QElapsedTimer took;
    took.start();
    site.run();
    // Far below rclone's own minutes; the whole run (globals, dump, read-back) on a loaded machine.
    QVERIFY2(took.elapsed() < 25000, qPrintable(QString::number(took.elapsed())));
    const QList<salinan::Copy> copies = site.folder.copies();
    QCOMPARE(copies.size(), 1);
    QCOMPARE(copies.first().hasil, riwayat::Gagal);
    QVERIFY2(copies.first().alasan.contains(reason), qPrintable(copies.first().alasan));
}

// A stop while the copy travels ends rclone within the stop's time and records the copy as
// cancelled, with nothing under a final name; the next run removes what it left. rclone gets
// nothing of the service's environment.
void TestOffsiteCopy::stopDuringUpload()
{
    const QString folderName = freshFolder();
    Rclone::Limits slow;
    slow.bandwidth = "300k";
    Site site;
    QVERIFY2(site.prepare({"besar"}, destination("sftp", folderName), config(), slow),
             qPrintable(site.folder.error));
    qputenv("AWS_CA_BUNDLE", "/tidak/ada.pem");
    qputenv("RCLONE_CONFIG", "/tidak/ada.conf");
    qputenv("HTTPS_PROXY", "http://127.0.0.1:9");
    StopSignal stop;
    site.engine->setStopSignal(&stop);
    QScopedPointer<QThread> run(QThread::create([&site] { site.run(); }));
    run->start();

    const QString dir = sftp.root() + "/" + folderName + "/besar";
    QStringList rclone;
    const auto uploading = [&] {
        const QStringList files = QDir(dir).entryList(QDir::Files);
        rclone = processesWith(site.folder.file("data/rclone"));
        return !rclone.isEmpty() && files.size() == 1 &&
               QFileInfo(dir + "/" + files.first()).size() > 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(uploading(), 20000);
    const QString environment = readText("/proc/" + rclone.first() + "/environ");
    for (const char *name : {"AWS_CA_BUNDLE", "RCLONE_CONFIG", "HTTPS_PROXY"})
        QVERIFY2(!environment.contains(name), qPrintable(environment));
    QElapsedTimer took;
    took.start();
    stop.request();
    QVERIFY(run->wait(5000));
    QVERIFY2(took.elapsed() < 1500, qPrintable(QString::number(took.elapsed())));
    qunsetenv("AWS_CA_BUNDLE");
    qunsetenv("RCLONE_CONFIG");
    qunsetenv("HTTPS_PROXY");

    QVERIFY(processesWith(site.folder.file("data/rclone")).isEmpty());
    const QList<salinan::Copy> copies = site.folder.copies();
    QCOMPARE(copies.size(), 1);
    QCOMPARE(copies.first().hasil, riwayat::Dibatalkan);
    const QStringList left = QDir(dir).entryList(QDir::Files);
    QCOMPARE(left.size(), 1);
    QVERIFY2(left.first().contains(".tmp-"), qPrintable(left.first()));

    site.engine->setStopSignal(nullptr);
    site.engine->setRcloneLimits(Rclone::Limits());
    site.run();
    QVERIFY(lines(site.folder.log(), "Salinan sementara [sftp:" + folderName + "/besar/" +
                                         left.first() + "] dari proses yang tidak selesai dihapus.")
                .size() == 1);
    QVERIFY(!QFile::exists(dir + "/" + left.first()));
}

// A service killed during a copy leaves its row running and an object under a temporary name:
// the next run completes the row as failed, says why, and removes the object.
void TestOffsiteCopy::leftByAServiceThatDied()
{
    const QString folderName = freshFolder();
    Site site;
    QVERIFY2(site.prepare({"penjualan"}, destination("sftp", folderName), config()),
             qPrintable(site.folder.error));
    site.run();
    const salinan::Copy done = site.folder.copies().first();
    const QString temporary = done.tujuan + ".tmp-AbCdEf";
    // Through the server, which caches what its folder holds.
    QProcess half;
    half.start("rclone",
               {"--config", site.folder.file("data/rclone/rclone.conf"), "rcat", temporary});
    half.write("separuh");
    half.closeWriteChannel();
    QVERIFY(half.waitForFinished(10000) && half.exitCode() == 0);
    QVERIFY(QFile::exists(sftp.root() + "/" + temporary.section(':', 1)));
    QCOMPARE(
        QProcess::execute("sqlite3", {site.folder.file("riwayat.db"),
                                      "insert into salinan (riwayat_id, tujuan, mulai, hasil, "
                                      "terverifikasi, sementara) values (" +
                                          QString::number(done.riwayatId) + ", '" + done.tujuan +
                                          "', '2024-03-01T06:00:05', "
                                          "'BERJALAN', 0, '" +
                                          temporary + "')"}),
        0);
    QFile::remove(site.folder.logPath());
    site.run();
    const salinan::Copy died = site.folder.copies().at(1);
    QCOMPARE(died.hasil, riwayat::Gagal);
    QCOMPARE(died.alasan, QString("Proses service berhenti sebelum salinan selesai."));
    QVERIFY(died.sementara.isEmpty());
    QVERIFY(!QFile::exists(sftp.root() + "/" + temporary.section(':', 1)));
    const QStringList log = site.folder.log();
    QVERIFY(log.contains("Salinan Backup GAGAL : database [penjualan], tujuan [" + done.tujuan +
                         "]. Proses service berhenti sebelum salinan selesai."));
    QVERIFY(log.contains("Salinan sementara [" + temporary +
                         "] dari proses yang tidak selesai dihapus."));
}

// Two copies kept: the oldest goes, recorded first and logged with its run log; when the
// newest copy failed, nothing goes.
void TestOffsiteCopy::retentionOffSite()
{
    const QString folderName = freshFolder();
    Site site;
    QVERIFY2(site.prepare({"penjualan"}, destination("labil", folderName, QString(), 2), config()),
             qPrintable(site.folder.error));
    for (int i = 0; i < 3; ++i)
        site.run();
    const QString dir = flaky.root() + "/" + folderName + "/penjualan";
    const QList<salinan::Copy> copies = site.folder.copies();
    QCOMPARE(copies.size(), 3);
    QVERIFY(copies[0].dihapus.isValid() && !copies[1].dihapus.isValid() &&
            !copies[2].dihapus.isValid());
    const QString oldest = copies[0].tujuan;
    QCOMPARE(lines(site.folder.log(), "Hapus salinan lama"),
             QStringList({"Hapus salinan lama : " + oldest,
                          "Hapus salinan lama : " + oldest.chopped(3) + ".log"}));
    QCOMPARE(QDir(dir).entryList({"*.bu"}, QDir::Files).size(), 2);

    flaky.stop();
    site.run();
    QString error;
    QVERIFY2(flaky.start(&error), qPrintable(error));
    QCOMPARE(QDir(dir).entryList({"*.bu"}, QDir::Files).size(), 2);
    QCOMPARE(lines(site.folder.log(), "Hapus salinan lama").size(), 2);
}

void TestOffsiteCopy::destinationTest_data()
{
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("hasil");
    QTest::addColumn<QString>("pesan");
    QTest::newRow("written, read back, deleted")
        << "sftp" << permintaan::Ok
        << "Berkas uji ditulis, dibaca kembali dan dihapus di sftp:uji.";
    QTest::newRow("a name root's configuration lacks")
        << "tidakada" << permintaan::Ditolak << "remote [tidakada] tidak ada di konfigurasi rclone";
    QTest::newRow("the server down") << "mati" << permintaan::Gagal << "connection refused";
}

void TestOffsiteCopy::destinationTest()
{
    QFETCH(QString, remote);
    QFETCH(QString, hasil);
    QFETCH(QString, pesan);
    Site site;
    QVERIFY2(site.prepare({}, salinan::Settings(), config()), qPrintable(site.folder.error));
    StopSignal stop;
    QStringList steps;
    ThPermintaan::Context context{*site.engine, stop, [&steps](const QJsonObject &kemajuan) {
                                      steps << kemajuan.value("langkah").toString();
                                  }};
    permintaan::Request request;
    request.jenis = ujisalinan::Jenis;
    request.isi = QJsonObject{{"remote", remote}, {"folder", "uji"}};
    const ThPermintaan::Outcome outcome = ujisalinan::run(request, context);
    QCOMPARE(outcome.hasil, hasil);
    QVERIFY2(outcome.pesan.contains(pesan), qPrintable(outcome.pesan));
    if (hasil == permintaan::Ok)
        QCOMPARE(steps, QStringList({"tulis", "baca", "hapus"}));
    QVERIFY(objects(sftp.root() + "/uji").isEmpty());
}

void TestOffsiteCopy::publishedDestinations_data()
{
    QTest::addColumn<QString>("configuration"); // what root wrote; "-": nothing
    QTest::addColumn<QStringList>("remotes");   // name, type and 1 when it lands on this machine
    QTest::addColumn<QString>("masalah");
    QTest::newRow("names, types, and which land here")
        << config("[gabung]\ntype = union\nupstreams = webdav:a disk:b\n")
        << QStringList({"diam sftp 0", "disk alias 1", "gabung union 1", "labil sftp 0",
                        "mati sftp 0", "sftp sftp 0", "webdav webdav 0"})
        << QString();
    QTest::newRow("no configuration yet") << "-" << QStringList() << "belum ada";
    // rclone quotes the line it cannot read, which may hold a secret.
    QTest::newRow("a configuration rclone cannot read: no line of it told")
        << "[rusak]\ntype = sftp\npass RAHASIA-XYZ\n[[[ RAHASIA-XYZ\n"
        << QStringList()
        << "tidak terbaca (rclone selesai dengan kode keluar 1); periksa sebagai root";
}

// What the panel may read of root's configuration: never a secret.
void TestOffsiteCopy::publishedDestinations()
{
    QFETCH(QString, configuration);
    QFETCH(QStringList, remotes);
    QFETCH(QString, masalah);
    Site site;
    QVERIFY2(site.prepare({}, salinan::Settings(), configuration), qPrintable(site.folder.error));
    if (configuration == "-")
        QVERIFY(QFile::remove(site.folder.file("data/rclone/rclone.conf")));
    site.engine->PublishDestinations();
    salinan::Published published;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "published");
        db.setDatabaseName(site.folder.file("riwayat.db"));
        QString error;
        QVERIFY(db.open() && salinan::readPublished(db, &published, &error));
    }
    QSqlDatabase::removeDatabase("published");
    QStringList found;
    for (const salinan::Remote &remote : published.remotes)
        found << remote.nama + " " + remote.jenis + " " + QString::number(remote.lokal);
    QCOMPARE(found, remotes);
    QVERIFY2(published.masalah.contains(masalah) && !published.masalah.contains("RAHASIA"),
             qPrintable(published.masalah));
    QCOMPARE(published.berkas, site.folder.file("data/rclone/rclone.conf"));
}

QTEST_GUILESS_MAIN(TestOffsiteCopy)
#include "tst_offsitecopy.moc"
