// The activity log and the run logs: entry format, creation, order, encoding and
// the mode of newly made run logs.
#include "servicetestkit.h"
#include "writelog.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TestWriteLog : public QObject
{
    Q_OBJECT

private slots:
    void entryFormat_data();
    void entryFormat();
    void createsThenAppendsInOrder();
    void startsAgainAfterEmptied();
    void runLogIsPrivateWhenNew();
};

void TestWriteLog::entryFormat_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("expectedTail");

    QTest::newRow("plain message")
        << QStringLiteral("Read Config.") << QByteArray(" - Read Config.\n");
    QTest::newRow("line break: only the first line is stamped")
        << QStringLiteral("Gagal memanggil data.\nPesan Error : no such table")
        << QByteArray(" - Gagal memanggil data.\nPesan Error : no such table\n");
    QTest::newRow("non-ASCII text is written as UTF-8")
        << QStringLiteral("Lokasi backup [/srv/cadangan-\u00e9\u20ac] tidak ditemukan.")
        << QByteArray(" - Lokasi backup [/srv/cadangan-\xc3\xa9\xe2\x82\xac] tidak ditemukan.\n");
}

void TestWriteLog::entryFormat()
{
    QFETCH(QString, message);
    QFETCH(QByteArray, expectedTail);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));

    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1000);
    WriteLog(message, QStringLiteral("busys.log"), dir.path());
    const QDateTime after = QDateTime::currentDateTime();

    QFile file(dir.filePath(QStringLiteral("busys.log")));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
    const QByteArray content = file.readAll();
    QCOMPARE(content.mid(19), expectedTail);
    const QDateTime stamp =
        QDateTime::fromString(QString::fromLatin1(content.left(19)), "dd/MM/yyyy hh:mm:ss");
    QVERIFY2(stamp.isValid(), content.left(19).constData());
    QVERIFY2(stamp >= before && stamp <= after, content.left(19).constData());
}

void TestWriteLog::createsThenAppendsInOrder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("bu_sales_20130709.054709.log"));
    for (int i = 1; i <= 3; ++i)
        WriteLogFile(QStringLiteral("entry %1").arg(i), path);
    QCOMPARE(servicetest::logMessages(path), QStringList({"entry 1", "entry 2", "entry 3"}));
}

void TestWriteLog::startsAgainAfterEmptied()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("busys.log"));
    WriteLog(QStringLiteral("old"), QStringLiteral("busys.log"), dir.path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate)); // as the log viewer empties it
    file.close();
    WriteLog(QStringLiteral("new"), QStringLiteral("busys.log"), dir.path());
    QCOMPARE(servicetest::logMessages(path), QStringList{"new"});
    QVERIFY(servicetest::readText(path).indexOf(QStringLiteral(" - new")) == 19);

    QFile::remove(path);
    WriteLog(QStringLiteral("after delete"), QStringLiteral("busys.log"), dir.path());
    QCOMPARE(servicetest::logMessages(path), QStringList{"after delete"});
}

void TestWriteLog::runLogIsPrivateWhenNew()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const mode_t oldMask = ::umask(0);
    const QString fresh = dir.filePath(QStringLiteral("fresh.log"));
    WriteLogFile(QStringLiteral("x"), fresh);
    const QString existing = dir.filePath(QStringLiteral("existing.log"));
    QFile(existing).open(QIODevice::WriteOnly);
    QFile::setPermissions(existing, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    WriteLogFile(QStringLiteral("y"), existing);
    ::umask(oldMask);

    struct stat info
    {
    };
    QCOMPARE(::stat(QFile::encodeName(fresh).constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 0777), 0640);
    QCOMPARE(::stat(QFile::encodeName(existing).constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 0777), 0604); // someone else's choice is left alone
    QCOMPARE(servicetest::logMessages(existing), QStringList{"y"});
}

QTEST_GUILESS_MAIN(TestWriteLog)
#include "tst_writelog.moc"
