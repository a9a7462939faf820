// Restoring a good dump on request, against a real PostgreSQL and its tools, through the request
// worker as the service runs it: into a new database and in place, the failures and refusals
// that must leave every database as it was, a cancel, the restores a killed process left, an
// encrypted copy off this machine, and sarvela-pulih asking for the same from a shell.
#include "jobhistory.h"
#include "pemulihan.h"
#include "pulihcli.h"
#include "pulihkan.h"
#include "thpermintaan.h"
#include "workerfixture.h"

#include <QProcess>
#include <QtTest>

using namespace servicetest;

namespace {

// A row of a data-driven test's text columns.
void row(const char *name, const QStringList &values)
{
    QTestData &data = QTest::newRow(name);
    for (const QString &value : values)
        data << value;
}

// Every table's rows and an md5 of its contents, of a database; empty when it does not exist.
QString contents(const PgCluster &cluster, const QString &db)
{
    QString out, error;
    cluster.sql("select string_agg(format('%s %s', c.relname, (xpath('/row/m/text()', "
                "query_to_xml(format('select count(*) || '' '' || md5(coalesce(string_agg(t::text, "
                "'','' order by t::text), '''')) as m from %I t', c.relname), false, true, "
                "'')))[1]), '; ' order by c.relname) from pg_class c where relkind = 'r' and "
                "relnamespace = 'public'::regnamespace and relname like 'tbl%'",
                &error, db, &out);
    return out.trimmed();
}

QStringList databases(const PgCluster &cluster, const QString &like)
{
    QString out, error;
    cluster.sql("select datname from pg_database where datname like '" + like + "' order by 1", &error,
                "postgres", &out);
    return out.split('\n', Qt::SkipEmptyParts);
}

// Whether a file below folder holds text.
bool anyFileHolds(const QString &folder, const QByteArray &text)
{
    return QProcess::execute("grep", {"-rqF", "--", QString::fromLatin1(text), folder}) == 0;
}

} // namespace

// source: dump, copy or unknown; konfirmasi: in place
const Columns<QString, QString, QString, QString, QString, QString> restoreColumns{
    {"source", "db", "ke", "konfirmasi", "hasil", "says"}};
const Columns<QString, QString, QString, QString, QString> recoverAfterKillColumns{
    {"langkah", "timpa", "made", "hasil", "left"}};
const Columns<QStringList, int, QString> shellColumns{{"arguments", "status", "says"}};

class TestPulihkan : public QObject
{
    Q_OBJECT

    PgCluster cluster;
    ProgramFolder folder;
    QTemporaryDir outside; // the administrator's identity and the copies' destination
    std::unique_ptr<Stopped<ThPermintaan>> worker;
    QMap<QString, qint64> dumpOf;  // database: its good dump's job
    QMap<QString, QString> before; // database: contents when it was dumped
    qint64 copyId = 0;

    void startWorker()
    {
        worker.reset();
        worker = std::make_unique<Stopped<ThPermintaan>>(folder.path(), BackupEngine::Clock());
        const auto key = std::make_shared<pulihkan::ServiceKey>();
        worker->addStartTask([key](BackupEngine &engine) { pulihkan::start(engine, *key); });
        worker->addHandler(pemulihan::Jenis, [key](const permintaan::Request &r, ThPermintaan::Context &c) {
            return pulihkan::run(r, c, *key);
        });
        worker->start();
    }

    std::function<QString()> wake()
    {
        return [this] { return worker->wake(), QString(); };
    }

    QString submit(const QJsonObject &isi)
    {
        return withDb(folder.settingsPath(), [&](QSqlDatabase &db) {
            QString kunci, error;
            permintaan::submit(db, pemulihan::Jenis, isi, wake(), &kunci, &error);
            return kunci;
        });
    }

    // The answer once it satisfies done (by default: once it ended).
    permintaan::Answer await(const QString &kunci,
                             const std::function<bool(const permintaan::Answer &)> &done = {})
    {
        permintaan::Answer answer;
        QString error;
        for (int i = 0; i < 1200; ++i, QThread::msleep(100))
            if (permintaan::readAnswer(folder.file("riwayat.db"), kunci, &answer, &error) &&
                (done ? done(answer) : answer.isFinished()))
                break;
        return answer;
    }

    pemulihan::Restore restoreOf(const QString &kunci, QList<pemulihan::TableCount> *tables = nullptr)
    {
        pemulihan::Restore restore;
        QString error;
        JobHistory history(folder.path(), [](const QString &) {});
        pemulihan::restoreOf(history.database(), kunci, &restore, tables, &error);
        return restore;
    }

    // psql on db, sleeping, once the server runs its statement.
    void holdConnection(QProcess &client, const QString &db)
    {
        qputenv("PGPASSWORD", cluster.superPassword().toUtf8());
        client.start(PgCluster::binDir() + "/psql",
                     {"-h", cluster.host(), "-p", QString::number(cluster.port()), "-U", "postgres", "-d", db,
                      "-c", "select pg_sleep(60)"});
        QString connected, error;
        while (client.state() != QProcess::NotRunning && connected.trimmed() != "1")
            cluster.sql("select count(*) from pg_stat_activity where query = 'select pg_sleep(60)'", &error,
                        "postgres", &connected);
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(cluster.start(&error) && cluster.createSampleDatabase("toko", &error) &&
                     cluster.createSampleDatabase("rusak", &error) &&
                     cluster.sql("CREATE DATABASE besar", &error) &&
                     cluster.sql("CREATE TABLE tblbesar AS SELECT g AS id, md5(g::text) AS isi FROM "
                                 "generate_series(1, 1500000) g; CREATE INDEX ON tblbesar (isi)",
                                 &error, "besar"),
                 qPrintable(error));
        QVERIFY2(prepareOn(folder, cluster, {"toko", "rusak", "besar"}), qPrintable(folder.error));
        {
            BackupEngine engine(folder.path());
            QVERIFY(engine.ReadConfig() && engine.RunBackup());
        }
        for (const riwayat::Job &job : folder.jobs()) {
            QCOMPARE(job.hasil, riwayat::Ok);
            dumpOf[job.dbname] = job.id;
            before[job.dbname] = contents(cluster, job.dbname);
        }
        // A dump the history calls good that no longer restores.
        const QString broken = folder.jobs().at(1).file; // rusak's: the databases in list order
        QVERIFY(writeBytes(broken, readBytes(broken).left(int(QFileInfo(broken).size() / 2))));

        // An encrypted copy of toko's dump, in a destination of root's.
        QProcess keygen;
        keygen.start("/usr/bin/age-keygen", {"-o", outside.filePath("identitas.txt")});
        QVERIFY(keygen.waitForFinished());
        const QString recipient = QString::fromUtf8(keygen.readAllStandardError()).section(": ", 1).trimmed();
        QVERIFY(QDir().mkpath(outside.filePath("tujuan/toko")));
        QCOMPARE(QProcess::execute("/usr/bin/age",
                                   {"-r", recipient, "-o", outside.filePath("tujuan/toko/bu.bu.age"),
                                    folder.jobs().at(0).file}), // toko's
                 0);
        QVERIFY(folder.rcloneConfig("[lokal]\ntype = alias\nremote = " + outside.filePath("tujuan") + "\n"));
        JobHistory history(folder.path(), [](const QString &) {});
        QVERIFY(history.exec("insert into salinan (riwayat_id, tujuan, hasil, terverifikasi) "
                             "values (?, 'lokal:toko/bu.bu.age', 'OK', 1)",
                             {dumpOf["toko"]}, &copyId));
        startWorker();
    }

    void cleanupTestCase() { worker.reset(); }

    void restore_data()
    {
        restoreColumns.add();
        const QString ok = permintaan::Ok, no = permintaan::Ditolak, failed = permintaan::Gagal;
        row("new database", {"dump", "toko", "toko_baru", "", ok, "Pulihkan Database OK : dari"});
        row("encrypted copy with the identity",
            {"copy", "toko", "toko_salinan", "", ok, "ke database [toko_salinan], 52 baris."});
        row("encrypted copy without it", {"copy", "toko", "toko_x", "", no, "terenkripsi: pilih"});
        row("unrecorded file", {"unknown", "toko", "toko_x", "", no, "bukan backup baik"});
        row("target exists", {"dump", "toko", "rusak", "", no, "database [rusak] sudah ada"});
        row("refused name", {"dump", "toko", "-x", "", no, "dapat dibaca sebagai opsi"});
        row("confirmation differs", {"dump", "toko", "toko", "tokoo", no, "tidak sama dengan"});
        row("dump that does not restore, in place",
            {"dump", "rusak", "rusak", "rusak", failed, "Pulihkan Database GAGAL : dari file ["});
        row("in place", {"dump", "toko", "toko", "toko", ok, "lama disimpan sebagai [toko_sebelum_"});
    }

    void restore()
    {
        auto [source, db, ke, konfirmasi, hasil, says] = restoreColumns.fetch();
        const bool inPlace = !konfirmasi.isEmpty(), good = hasil == permintaan::Ok;
        QString error;
        if (inPlace && good)
            QVERIFY(cluster.sql("insert into tblbarang (nama) values ('baru')", &error, db));
        const QString current = contents(cluster, db);
        const int jobs = folder.jobs().size();
        // A client that stays connected: ended before the renames.
        QProcess client;
        if (inPlace && good)
            holdConnection(client, db);

        const qint64 job = source == "dump" ? dumpOf[db] : source == "unknown" ? 9999 : 0;
        pemulihan::Choice choice{db, job, source == "copy" ? copyId : 0, ke, inPlace, konfirmasi, ""};
        QString recipient;
        if (source == "copy" && good) {
            JobHistory history(folder.path(), [](const QString &) {});
            QVERIFY(pemulihan::serviceRecipient(history.database(), &recipient, &error));
            QVERIFY2(pemulihan::sealIdentity("/usr/bin/age", recipient, outside.filePath("identitas.txt"),
                                             &choice.identitas, &error),
                     qPrintable(error));
        }
        const permintaan::Answer answer = await(submit(pemulihan::request(choice)));
        QCOMPARE(answer.hasil, hasil);
        const QString log = folder.log().join('\n');
        QVERIFY2(answer.pesan.contains(says) && log.contains(says), qPrintable(answer.pesan + '\n' + log));

        // Nothing half-made is ever left, and in place keeps the original under its new name.
        QCOMPARE(databases(cluster, db + "_pulih_%"), QStringList());
        const QStringList kept = databases(cluster, db + "_sebelum_%");
        if (!good) {
            QCOMPARE(contents(cluster, db) + kept.join(' '), current);
            if (hasil == permintaan::Gagal) // the source itself, untouched
                QCOMPARE(databases(cluster, ke), QStringList{ke});
            return;
        }
        QCOMPARE(contents(cluster, inPlace ? db : ke), before[db]);
        if (inPlace) { // the original kept, and a fresh dump made first
            QCOMPARE(QStringList({contents(cluster, kept.value(0)), QString::number(kept.size()),
                                  QString::number(folder.jobs().size()), folder.jobs().last().hasil}),
                     QStringList({current, "1", QString::number(jobs + 1), riwayat::Ok}));
            QVERIFY(client.waitForFinished(5000));
        }
        QList<pemulihan::TableCount> tables;
        QString counts = QString::number(restoreOf(answer.kunci, &tables).baris);
        for (const pemulihan::TableCount &t : tables)
            counts += QString(" %1=%2").arg(t.backup - t.pulih).arg(t.tabel);
        QCOMPARE(counts, "52 0=public.tblbarang 0=public.tblpelanggan");
    }

    // Neither the administrator's identity nor the service's is ever written anywhere.
    void identityNeverStored()
    {
        QVERIFY(!anyFileHolds(folder.path(), "AGE-SECRET-KEY"));
        QVERIFY(
            !anyFileHolds(folder.path(), readBytes(outside.filePath("identitas.txt")).trimmed().right(40)));
    }

    void cancel()
    {
        pemulihan::Choice choice{"besar", dumpOf["besar"], 0, "besar_batal", false, "", ""};
        const QString kunci = submit(pemulihan::request(choice));
        await(kunci, [](const permintaan::Answer &a) {
            return a.kemajuan.value("tahap").toString() == "Memulihkan" || a.isFinished();
        });
        worker->cancel();
        QCOMPARE(await(kunci).hasil, permintaan::Dibatalkan);
        QCOMPARE(databases(cluster, "besar_batal"), QStringList());
        QVERIFY(folder.log().last().startsWith("Pulihkan Database DIBATALKAN : dari file ["));
    }

    // What a killed process left: its half-made database dropped, a swap that committed kept.
    void recoverAfterKill_data()
    {
        recoverAfterKillColumns.add();
        const QString cancelled = riwayat::Dibatalkan;
        row("restoring into a new database", {"dibuat", "", "toko_pulih_mati", cancelled, ""});
        row("renamed before it died", {"tukar", "1", "toko_sebelum_mati", riwayat::Ok, "toko_sebelum_mati"});
        row("before the renames", {"tukar", "1", "toko_pulih_mati", cancelled, ""});
    }

    void recoverAfterKill()
    {
        auto [langkah, timpa, made, hasil, left] = recoverAfterKillColumns.fetch();
        QString error;
        QVERIFY2(cluster.sql("CREATE DATABASE " + made, &error), qPrintable(error));
        {
            JobHistory history(folder.path(), [](const QString &) {});
            QVERIFY(
                history.exec("insert into pemulihan (kunci, dbname, ke, timpa, sebelum, hasil, "
                             "langkah, kerja) values ('mati', 'toko', ?, ?, "
                             "'toko_sebelum_mati', 'BERJALAN', ?, 'toko_pulih_mati')",
                             {timpa.isEmpty() ? "toko_pulih_mati" : "toko", int(!timpa.isEmpty()), langkah}));
        }
        startWorker();
        for (int i = 0; i < 100 && restoreOf("mati").hasil == riwayat::Berjalan; ++i)
            QThread::msleep(100);
        QCOMPARE(restoreOf("mati").hasil, hasil);
        QCOMPARE(databases(cluster, "toko\\_%\\_mati").join(""), left);
        QCOMPARE(contents(cluster, "toko"), before["toko"]);
        if (!left.isEmpty())
            cluster.sql("DROP DATABASE " + left, &error);
        JobHistory history(folder.path(), [](const QString &) {});
        history.exec("delete from pemulihan where kunci = 'mati'", {});
    }

    void shell_data()
    {
        shellColumns.add();
        QTest::newRow("the newest dump, the default name") // the fresh dump made for in place
            << QStringList{"--database", "toko"} << 0 << "public.tblbarang: backup 51, dipulihkan 51";
        QTest::newRow("a file the history does not record")
            << QStringList{"--database", "toko", "--file", "/tmp/bu_toko.bu"} << 1
            << "File [/tmp/bu_toko.bu] bukan backup baik database [toko]";
    }

    void shell()
    {
        auto [arguments, status, says] = shellColumns.fetch();
        pulihcli::Options options;
        QCOMPARE(pulihcli::parse(arguments, &options), QString());
        QStringList said;
        const auto print = [&said](const QString &line) { said << line; };
        QCOMPARE(pulihcli::run(folder.path(), options, {wake(), print, print, 100}), status);
        QVERIFY2(said.join('\n').contains(says), qPrintable(said.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestPulihkan)
#include "tst_pulihkan.moc"
