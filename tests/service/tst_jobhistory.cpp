// The job history and SQLite's opens on the service's side: a history is made anew only when
// SQLite finds it damaged, never when it merely cannot be opened now; and whatever is
// planted beside a database, SQLite neither waits on it nor writes into it.
#include "jobhistory.h"
#include "servicetestkit.h"
#include "sharedfiles.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace servicetest;

namespace {

// Takes every file descriptor but one for as long as it lives: the next open after that one
// fails with EMFILE, as in a process that has run out of them.
class DescriptorsExhausted
{
public:
    DescriptorsExhausted()
    {
        ::getrlimit(RLIMIT_NOFILE, &saved);
        struct rlimit low = saved;
        low.rlim_cur = 256;
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            taken << fd;
        ::close(taken.takeLast());
    }
    ~DescriptorsExhausted()
    {
        for (int fd : taken)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
    }

private:
    struct rlimit saved = {};
    QList<int> taken;
};

} // namespace

// at: where the damage starts in the file; -1: none, the file descriptors run out instead
// noted: the start of what the history notes
const Columns<int, QByteArray, QString, int> madeAnewOnlyWhenDamagedColumns{
    {"at", "damage", "noted", "jobsAfter"}};
class TestJobHistory : public QObject
{
    Q_OBJECT

private slots:
    void madeAnewOnlyWhenDamaged_data()
    {
        madeAnewOnlyWhenDamagedColumns.add();
        const QString damaged = "Riwayat backup [%H] rusak";
        QTest::newRow("no database: made anew") << 0 << QByteArray(4096, 'x') << damaged << 0;
        // The first page's tree, after the 100 bytes of the file header.
        QTest::newRow("damaged pages: made anew") << 100 << QByteArray(200, '\xff') << damaged << 0;
        QTest::newRow("no file descriptor left: kept for the next run")
            << -1 << QByteArray() << "Riwayat backup [%H] tidak dapat dipakai: " << 1;
    }
    void madeAnewOnlyWhenDamaged()
    {
        auto [at, damage, noted, jobsAfter] = madeAnewOnlyWhenDamagedColumns.fetch();
        QTemporaryDir dir;
        const QString path = dir.filePath("riwayat.db");
        QStringList notes;
        const auto note = [&notes](const QString &entry) { notes << entry; };
        JobHistory(dir.path(), note).start("sales", QDateTime::currentDateTime());
        QCOMPARE(history(path).size(), 1);
        notes.clear();
        QByteArray bytes = readBytes(path);
        QVERIFY(writeBytes(path, at < 0 ? bytes : bytes.replace(at, damage.size(), damage)));
        {
            std::unique_ptr<DescriptorsExhausted> exhausted(at < 0 ? new DescriptorsExhausted : nullptr);
            JobHistory opened(dir.path(), note);
        }
        QVERIFY2(notes.size() == 1 && notes.first().startsWith(noted.replace("%H", path)),
                 qPrintable(notes.join('\n')));
        QCOMPARE(history(path).size(), jobsAfter);
    }
    void sqliteNeverWaitsOnAPlantedName_data()
    {
        QTest::addColumn<bool>("fifo"); // else a second name of someone else's file
        QTest::newRow("FIFO as the journal") << true;
        QTest::newRow("hard link to someone else's file as the journal") << false;
    }
    // Without the checks before the open, as when the name is planted right after them.
    void sqliteNeverWaitsOnAPlantedName()
    {
        QFETCH(bool, fifo);
        QTemporaryDir dir;
        const QString path = dir.filePath("confbu.cfg"), journal = path + "-journal";
        const QString victim = dir.filePath("korban");
        QString error;
        QVERIFY2(writeSettings(path, {defaultSettings("/tmp")}, {"sales"}, &error), qPrintable(error));
        QVERIFY(writeBytes(victim, "milik orang lain\n") &&
                ::chown(QFile::encodeName(victim), 65534, 65534) == 0);
        const QByteArray name = QFile::encodeName(journal);
        QVERIFY(fifo ? ::mkfifo(name, 0660) == 0 : ::link(QFile::encodeName(victim), name) == 0);
        // Should the open wait on the FIFO after all, a writer frees it after five seconds.
        QVERIFY(!fifo ||
                QProcess::startDetached("sh", {"-c", "sleep 5; exec 3<>\"$0\" 2>/dev/null", journal}));
        sharedfiles::guardOpens();
        QElapsedTimer took;
        took.start();
        const bool read = !column(path, "select dbname from tbldb").isEmpty();
        QVERIFY2(took.elapsed() < 3000, qPrintable(QString::number(took.elapsed())));
        QVERIFY(!read);
        QCOMPARE(ownerAndMode(victim).section(' ', 0, 0) + ' ' + readText(victim),
                 "65534:65534 milik orang lain\n");
    }
};

QTEST_GUILESS_MAIN(TestJobHistory)
#include "tst_jobhistory.moc"
