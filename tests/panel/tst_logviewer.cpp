// The log viewer on real files: missing, empty, NUL-holding and non-UTF-8
// logs, emptying the log, and a view the user cannot edit.
#include "flog.h"
#include "modalanswer.h"

#include <QApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class TestLogViewer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void loads_data();
    void loads();
    void largeLogShownWhole();
    void hapusLeavesEmptyFile();
    void hapusOnMissingFileReportsEachTime();
    void viewIsReadOnly();
    void tutupEndsDialog();

private:
    void writeLog(const QByteArray &bytes);
    QString logPath() const { return m_dir->filePath(QStringLiteral("busys.log")); }
    QScopedPointer<QTemporaryDir> m_dir;
};

static QPlainTextEdit *view(flog &dialog)
{
    return dialog.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"));
}

void TestLogViewer::init()
{
    m_dir.reset(new QTemporaryDir);
}

void TestLogViewer::writeLog(const QByteArray &bytes)
{
    QFile file(logPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void TestLogViewer::loads_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");

    QTest::newRow("missing log: message and empty view") << false << QByteArray() << QString();
    QTest::newRow("empty log: empty view, no message") << true << QByteArray() << QString();
    QTest::newRow("log lines shown as written")
        << true
        << QByteArray("06/12/2026 01:00:00 - Read Config.\n06/12/2026 01:00:15 - Read List DB\n")
        << QStringLiteral(
               "06/12/2026 01:00:00 - Read Config.\n06/12/2026 01:00:15 - Read List DB\n");
    QTest::newRow("text after a NUL byte is not shown")
        << true << QByteArray("before\nmore", 11) + QByteArray(1, '\0') + QByteArray("after\n")
        << QStringLiteral("before\nmore");
    QTest::newRow("invalid UTF-8 shows replacement characters")
        << true << QByteArray("Lokasi caf\xe9 ok\n") << QStringLiteral("Lokasi caf\uFFFD ok\n");
    QTest::newRow("UTF-8 letters kept") << true << QByteArray("Jalur \xc3\xa9t\xc3\xa9\n")
                                        << QStringLiteral("Jalur \u00e9t\u00e9\n");
}

void TestLogViewer::loads()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    if (exists)
        writeLog(bytes);

    ModalAnswerer answerer;
    flog dialog(nullptr, m_dir->path());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Log Proses Backup"));
    QCOMPARE(view(dialog)->toPlainText(), shown);
    if (exists) {
        QVERIFY(answerer.seen().isEmpty());
        QCOMPARE(QFileInfo(logPath()).size(), qint64(bytes.size())); // only read
    } else {
        QCOMPARE(answerer.seen().size(), 1);
        QCOMPARE(answerer.seen().first().icon, QMessageBox::Critical);
        QCOMPARE(answerer.seen().first().text,
                 QStringLiteral("File : ") + logPath() + QStringLiteral(" tidak ditemukan."));
        QVERIFY(!QFile::exists(logPath()));
    }
}

void TestLogViewer::largeLogShownWhole()
{
    // Several megabytes of lines with two-byte letters, one line without a break at the end.
    QByteArray bytes;
    for (int i = 0; bytes.size() < 3 * 1024 * 1024 + 777; ++i)
        bytes += "06/12/2026 01:00:00 - Backup Database : /srv/b\xc3\xa4"
                 "ckup/bu_" +
                 QByteArray::number(i) + ".bu\n";
    bytes += "last line";
    writeLog(bytes);
    const QString expected = QString::fromUtf8(bytes);

    flog dialog(nullptr, m_dir->path());
    QPlainTextEdit *edit = view(dialog);
    QTRY_COMPARE_WITH_TIMEOUT(edit->document()->characterCount() - 1, expected.size(), 60000);
    QCOMPARE(edit->toPlainText(), expected);

    // Emptying while parts are still due leaves the view empty for good.
    flog second(nullptr, m_dir->path());
    second.findChild<QPushButton *>(QStringLiteral("butHapus"))->click();
    for (int i = 0; i < 10; ++i) // a pending part would arrive within these turns
        QCoreApplication::processEvents();
    QCOMPARE(view(second)->toPlainText(), QString());
}

void TestLogViewer::hapusLeavesEmptyFile()
{
    writeLog("06/12/2026 01:00:00 - Read Config.\n");
    ModalAnswerer answerer;
    flog dialog(nullptr, m_dir->path());
    QVERIFY(!view(dialog)->toPlainText().isEmpty());

    dialog.findChild<QPushButton *>(QStringLiteral("butHapus"))->click();
    QVERIFY(answerer.seen().isEmpty()); // no confirmation
    QVERIFY(QFile::exists(logPath()));
    QCOMPARE(QFileInfo(logPath()).size(), qint64(0));
    QCOMPARE(view(dialog)->toPlainText(), QString());

    flog reopened(nullptr, m_dir->path());
    QCOMPARE(view(reopened)->toPlainText(), QString());
    QVERIFY(answerer.seen().isEmpty());
}

void TestLogViewer::hapusOnMissingFileReportsEachTime()
{
    ModalAnswerer answerer;
    flog dialog(nullptr, m_dir->path());
    auto *hapus = dialog.findChild<QPushButton *>(QStringLiteral("butHapus"));
    hapus->click();
    hapus->click();
    QCOMPARE(answerer.seen().size(), 3);
    for (const SeenBox &box : answerer.seen())
        QCOMPARE(box.text,
                 QStringLiteral("File : ") + logPath() + QStringLiteral(" tidak ditemukan."));
    QVERIFY(!QFile::exists(logPath())); // never created
}

void TestLogViewer::viewIsReadOnly()
{
    writeLog("line\n");
    flog dialog(nullptr, m_dir->path());
    dialog.show();
    QPlainTextEdit *edit = view(dialog);
    QVERIFY(edit->isReadOnly());
    edit->setFocus();
    QTest::keyClicks(edit, QStringLiteral("typed"));
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(edit->toPlainText(), QStringLiteral("line\n"));
}

void TestLogViewer::tutupEndsDialog()
{
    writeLog("line\n");
    flog dialog(nullptr, m_dir->path());
    QTimer::singleShot(0, &dialog, [&dialog] {
        dialog.findChild<QPushButton *>(QStringLiteral("butTutup"))->click();
    });
    QTimer::singleShot(20000, &dialog, [&dialog] { dialog.done(42); }); // only if Tutup failed
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QVERIFY(!dialog.isVisible());
}

QTEST_MAIN(TestLogViewer)
#include "tst_logviewer.moc"
