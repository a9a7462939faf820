// The log viewer on odd, missing and very large logs: what it shows, where it
// opens, that it stays responsive, that it follows what the service adds, also across a
// rotation, and what "Hapus Log" empties (the keys that must not: tst_pengaturan).
#include "flog.h"
#include "logtext.h"
#include "panelfixture.h"

#include <ctime>

using namespace panel;

class TestLogViewer : public QObject
{
    Q_OBJECT
private slots:
    void init() { m_dir.reset(new QTemporaryDir); }
    void contents_data();
    void contents();
    void plantedLogIsNeitherFollowedNorWaitedOn_data();
    void plantedLogIsNeitherFollowedNorWaitedOn();
    void follows_data();
    void follows();
    void largeLogs_data();
    void largeLogs();

private:
    QString log() const { return m_dir->filePath(QStringLiteral("busys.log")); }
    QScopedPointer<QTemporaryDir> m_dir;
};

void TestLogViewer::contents_data()
{
    columns<QByteArray, QString>({"bytes", "shown"}); // "-" stands for no log file
    row("missing log: message and empty view", QByteArray("-"), "");
    row("text after a NUL byte is not shown", QByteArray("before\nmore\0after\n", 18), "before\nmore");
    row("invalid UTF-8 replaced, valid letters kept", QByteArray("caf\xe9 \xc3\xa9t\xc3\xa9\n"),
        QStringLiteral("caf\uFFFD \u00e9t\u00e9\n"));
}

void TestLogViewer::contents()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(bytes == "-" || writeBytes(log(), bytes));
    QWidget window; // away from the screen's centre, where a box would sit by itself
    window.setGeometry(100, 50, 532, 491);
    window.show();
    ModalAnswerer answerer;
    flog dialog(&window, m_dir->path());
    dialog.show();
    auto *view = dialog.findChild<QPlainTextEdit *>();
    QTEST(view->toPlainText(), "shown");
    const QString missing = "File : " + log() + " tidak ditemukan.";
    QCOMPARE(texts(answerer.seen()), bytes == "-" ? QStringList{missing} : QStringList());

    // Hapus empties the file without asking; on a missing log it only reports.
    widget<QPushButton>(&dialog, "butHapus")->click();
    QCOMPARE(QFileInfo(log()).exists(), bytes != "-");
    QCOMPARE(QFileInfo(log()).size() + view->toPlainText().size(), 0);
    QCOMPARE(answerer.seen().size(), bytes == "-" ? 2 : 0);
    // Also the box that comes up before the viewer shows sits centred over it.
    for (const SeenBox &box : answerer.seen())
        QVERIFY((box.geometry.center() - dialog.geometry().center()).manhattanLength() <= 8);
}

void TestLogViewer::plantedLogIsNeitherFollowedNorWaitedOn_data()
{
    columns<QString, QString>({"planted", "reason"}); // shell commands in the data folder
    row("a link to someone's file: not emptied through it", "ln -s \"$PWD/../korban\" busys.log",
        "berupa link");
    row("a FIFO: nothing waits on it", "mkfifo busys.log", "bukan berkas biasa");
    row("a second name of someone's file: not emptied", "ln ../korban busys.log",
        "memiliki lebih dari satu nama");
}

// What a member may put in the data folder where the log was missing, for the next one who
// views or empties it through the program folder's link.
void TestLogViewer::plantedLogIsNeitherFollowedNorWaitedOn()
{
    QFETCH(QString, planted);
    QFETCH(QString, reason);
    QVERIFY(writeBytes(m_dir->filePath("korban"), "rahasia\n") && QDir(m_dir->path()).mkdir("data") &&
            QFile::link(m_dir->filePath("data/busys.log"), log()) &&
            QProcess::execute("sh", {"-c", "cd \"$0\" && " + planted, m_dir->filePath("data")}) == 0);
    ModalAnswerer answerer;
    flog dialog(nullptr, m_dir->path());
    dialog.show();
    widget<QPushButton>(&dialog, "butHapus")->click();
    const QString refused = "File : " + log() + " tidak dapat dibuka: " + reason + '.';
    QCOMPARE(texts(answerer.seen()), QStringList({refused, refused}));
    QCOMPARE(readBytes(m_dir->filePath("korban")), QByteArray("rahasia\n"));
}

void TestLogViewer::follows_data()
{
    // Each round is written without the viewer looking in between: "!" first empties the log
    // as logrotate's copytruncate and another panel's "Hapus Log" do, the rest is appended.
    columns<QList<QByteArray>, QString>({"rounds", "shown"});
    const QByteArray a = "01/02/2026 01:00:00 - Read Config.\n";
    const QByteArray b = "01/02/2026 13:00:00 - Backup Database : /bu/bu_penjualan.bu\n";
    const QByteArray longer = QByteArray("13/02/2026 01:00:00 - ") + QByteArray(200, 'x') + '\n';
    using R = QList<QByteArray>;
    row("lines added while open", R{b, a}, QString(a + b + a));
    row("rotated, then written", R{"!", b}, QString(a + b));
    row("rotated and written past the old length before a look", R{"!" + longer}, QString(a + longer));
    row("a letter written in two halves", R{"caf\xc3", "\xa9\n"}, a + QString::fromUtf8("café\n"));
}

void TestLogViewer::follows()
{
    QFETCH(QList<QByteArray>, rounds);
    QVERIFY(writeBytes(log(), "01/02/2026 01:00:00 - Read Config.\n")); // "a" of the rows
    flog dialog(nullptr, m_dir->path());
    dialog.show();
    auto *view = dialog.findChild<QPlainTextEdit *>();
    for (const QByteArray &round : rounds) {
        QTest::qWait(200);
        const bool rotated = round.startsWith('!'); // ".1": what logrotate keeps
        QVERIFY(!rotated || (QFile::copy(log(), log() + ".1") && QFile::resize(log(), 0)));
        QFile file(log());
        QVERIFY(file.open(QIODevice::Append) && file.write(round.mid(rotated)) >= 0);
    }
    QFETCH(QString, shown);
    QTRY_COMPARE(view->toPlainText(), shown);
}

void TestLogViewer::largeLogs_data()
{
    columns<QByteArray>({"bytes"});
    const QByteArray entry = "01/02/2026 01:00:00 - Backup Database : /var/bu/bu_penjualan.bu\n";
    row("3 MB of ordinary entries", entry.repeated(3 * 1024 * 1024 / entry.size()));
    row("one line of 5 MB between entries", entry + QByteArray(5 * 1024 * 1024, 'x') + '\n' + entry);
    // Letters of two, three and four bytes, so that parts end next to all of them.
    row("one line of 5 MB of letters of every width",
        entry + QString::fromUtf8("é€😀a").toUtf8().repeated(5 * 1024 * 1024 / 10) + '\n' + entry);
    // A stray lead byte before a letter, a truncated sequence, runs of continuation bytes, with
    // a length that puts the parts' ends at every place of the pattern.
    const QByteArray broken = "ab\xe2\xc3\xa9z"
                              "abc\xf0\x9f\x98"
                              "a\x80\x80\x80\x80\x80z"
                              "\x80\x80\xf0\x9f\x98\x80\x80"
                              "x";
    row("7 MB of broken sequences", broken.repeated(7 * 1024 * 1024 / 27));
}

void TestLogViewer::largeLogs()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(writeBytes(log(), bytes));
    const QString whole = QString::fromUtf8(bytes);

    // Every blocked stretch of the event loop shows as a late tick. Counted in this
    // thread's own CPU time, so that a busy machine taking the processor away between
    // two ticks is not taken for work done in between.
    const auto threadMs = [] {
        timespec t = {};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
    };
    qint64 lastTick = threadMs(), longestGap = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] {
        longestGap = qMax(longestGap, threadMs() - lastTick);
        lastTick = threadMs();
    });
    ticker.start(10);
    flog dialog(nullptr, m_dir->path());
    dialog.show();
    auto *view = dialog.findChild<QPlainTextEdit *>();
    // Loaded once no part is waiting; the line breaks added for long rows make the count
    // pass the log's own before the last part is in.
    auto *feeder = dialog.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
    QTRY_VERIFY_WITH_TIMEOUT(!feeder->isActive() && view->document()->characterCount() > whole.size(), 60000);
    QVERIFY2(longestGap < 200, qPrintable(QStringLiteral("blocked for %1 ms").arg(longestGap)));

    // Where setting the whole text at once leaves it: at the top, cursor first.
    QCOMPARE(view->verticalScrollBar()->value() + view->textCursor().position(), 0);
    // All of it, long lines on rows of at most MaxRowChars letters.
    const QString shown = view->toPlainText();
    for (const QStringRef &row : shown.splitRef(QLatin1Char('\n')))
        QVERIFY(row.size() <= logtext::MaxRowChars);
    QCOMPARE(QString(shown).remove(QLatin1Char('\n')), QString(whole).remove(QLatin1Char('\n')));
}

QTEST_MAIN(TestLogViewer)
#include "tst_logviewer.moc"
