// The request worker: what an operator leaves in the settings file is taken once, by the
// handler of its kind, answered in the history, and refused with the reason when it must not run.
#include "jobhistory.h"
#include "thpermintaan.h"
#include "workerfixture.h"

#include <QSqlRecord>
#include <QtTest>

using namespace servicetest;

namespace {

const QDateTime Now(QDate(2024, 3, 1), QTime(5, 30));

// Adds a request row to the settings file as the panel would, with a time and isi of our own.
QString addRequest(const QString &settings, const QString &jenis, const QDateTime &waktu,
                   const QString &isi = "{\"db\":\"toko\"}")
{
    return withDb(settings, [&](QSqlDatabase &db) {
        QString kunci, error;
        QSqlQuery query(db);
        if (permintaan::add(db, jenis, {}, &kunci, &error)) {
            query.prepare("update permintaan set waktu = ?, isi = ? where kunci = ?");
            for (const QString &value : {waktu.toString(riwayat::TimeFormat), isi, kunci})
                query.addBindValue(value);
            query.exec();
        }
        return kunci;
    });
}

} // namespace

// ageSecs: how long ago it was made; handled: the isi the handler got
const Columns<QString, int, QString, QString, QString, QStringList> answersColumns{
    {"jenis", "ageSecs", "isi", "hasil", "pesan", "handled"}};

class TestThPermintaan : public QObject
{
    Q_OBJECT

    std::unique_ptr<ProgramFolder> folder;
    QStringList handled;
    std::unique_ptr<Stopped<ThPermintaan>> worker;

    // A worker whose "uji" handler records what it got and answers OK, and whose "tunggu"
    // handler runs until it is told to end.
    void startWorker()
    {
        worker = std::make_unique<Stopped<ThPermintaan>>(folder->path(), [] { return Now; });
        worker->addHandler("uji", [this](const permintaan::Request &r, ThPermintaan::Context &c) {
            handled << r.isi.value("db").toString();
            c.progress({{"langkah", 1}});
            return ThPermintaan::Outcome{permintaan::Ok, "selesai " + r.oleh};
        });
        worker->addHandler("tunggu", [](const permintaan::Request &, ThPermintaan::Context &c) {
            while (!c.stop.requested())
                QThread::msleep(10);
            return ThPermintaan::Outcome{permintaan::Dibatalkan, "dibatalkan"};
        });
        worker->start();
    }
    // The answer the history holds for kunci, once it has ended (hasil empty when it never does).
    permintaan::Answer answerOf(const QString &kunci)
    {
        permintaan::Answer answer;
        answer.hasil = permintaan::Berjalan;
        QDeadlineTimer deadline(10000);
        while (!answer.isFinished() && !deadline.hasExpired()) {
            QThread::msleep(20);
            QString error;
            permintaan::readAnswer(folder->file("riwayat.db"), kunci, &answer, &error);
        }
        return answer.isFinished() ? answer : permintaan::Answer();
    }

private slots:
    void init()
    {
        handled.clear();
        folder = std::make_unique<ProgramFolder>();
        QVERIFY2(folder->prepare({}, {"toko"}), qPrintable(folder->error));
    }
    void cleanup() { worker.reset(); }

    void answers_data()
    {
        answersColumns.add();
        const auto row = [](const char *name, const QString &jenis, int ageSecs, const QString &isi,
                            const QString &hasil, const QString &pesan, const QStringList &handled) {
            QTest::newRow(name) << jenis << ageSecs << isi << hasil << pesan << handled;
        };
        row("a known kind is handled once", "uji", 5, "{\"db\":\"toko\"}", "OK",
            "selesai " + permintaan::currentAccount(), {"toko"});
        row("an unknown kind is refused", "hapus-semua", 5, "{}", "DITOLAK", "jenis permintaan tidak dikenal",
            {});
        row("a request that waited too long is refused", "uji", 11 * 60, "{}", "DITOLAK",
            "permintaan dibuat 01/03/2024 05:19:00 dan terlalu lama menunggu service", {});
        row("isi that is no object is refused", "uji", 5, "[1", "DITOLAK", "isi permintaan tidak sah", {});
    }
    void answers()
    {
        auto [jenis, ageSecs, isi, hasil, pesan, handled] = answersColumns.fetch();
        const QString kunci = addRequest(folder->settingsPath(), jenis, Now.addSecs(-ageSecs), isi);
        startWorker();
        const permintaan::Answer answer = answerOf(kunci);
        QCOMPARE(QStringList({answer.hasil, answer.pesan, answer.oleh}),
                 QStringList({hasil, pesan, permintaan::currentAccount()}));
        QCOMPARE(this->handled, handled);
        QVERIFY(column(folder->settingsPath(), "select kunci from permintaan").isEmpty());
        if (answer.hasil == "OK")
            QCOMPARE(answer.kemajuan.value("langkah").toInt(), 1);
        else
            QVERIFY2(folder->log().last().startsWith("Permintaan DITOLAK : jenis [" + jenis + "] dari ["),
                     qPrintable(folder->log().join('\n')));
    }

    // At the start, a process that died after answering but before taking the row out must not
    // run it again, and one that died while it ran leaves a failed answer, not a running one. A
    // cancel ends the one in progress; one read with it but taken back by its asker meanwhile
    // never runs.
    void leftoversOfADeadProcessAndACancel()
    {
        const QString answered = addRequest(folder->settingsPath(), "uji", Now);
        const QString died(32, 'a');
        {
            JobHistory history(folder->path(), [](const QString &) {});
            QVERIFY(history.startAnswer({answered, "uji", {}, "x", Now, {}}, Now));
            QVERIFY(history.endAnswer(answered, Now, permintaan::Ok, "sudah"));
            QVERIFY(history.startAnswer({died, "uji", {}, "x", Now, {}}, Now));
        }
        const QString kunci = addRequest(folder->settingsPath(), "tunggu", Now);
        const QString takenBack = addRequest(folder->settingsPath(), "uji", Now);
        startWorker();
        QTRY_COMPARE(
            column(folder->file("riwayat.db"), "select jenis from permintaan where hasil = 'BERJALAN'"),
            QStringList{"tunggu"});
        QVERIFY(withDb(folder->settingsPath(), [&](QSqlDatabase &db) {
            QString error;
            return permintaan::remove(db, takenBack, &error);
        }));
        worker->cancel();
        QCOMPARE(QStringList({answerOf(died).hasil, answerOf(answered).pesan, answerOf(kunci).hasil,
                              answerOf(takenBack).pesan}) +
                     handled + column(folder->settingsPath(), "select kunci from permintaan"),
                 QStringList({permintaan::Gagal, "sudah", permintaan::Dibatalkan,
                              "ditarik kembali sebelum dimulai"}));
    }

    // A request the service never heard of must not run at its next start.
    void unheardRequestIsTakenBack()
    {
        QString kunci, error;
        const auto dead = [] { return QString("mati"); };
        QVERIFY(!withDb(folder->settingsPath(), [&](QSqlDatabase &db) {
            return permintaan::submit(db, "uji", {}, dead, &kunci, &error);
        }));
        QCOMPARE(error, "mati");
        QVERIFY(column(folder->settingsPath(), "select kunci from permintaan").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestThPermintaan)
#include "tst_thpermintaan.moc"
