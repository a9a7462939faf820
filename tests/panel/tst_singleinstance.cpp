// One panel per desktop, with real second processes: a second start exits 0
// and the first shows its window; a killed first instance does not block.
#include "panelfixture.h"
#include "programdir.h"
#include "sharedflag.h"

#include <QProcess>
#include <QSharedMemory>
#include <QSignalSpy>

#include <signal.h>

using namespace panel;

class TestSingleInstance : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void flagOperations();
    void secondStartShowsFirstWindow_data();
    void secondStartShowsFirstWindow();
    void killedInstanceDoesNotBlock();
    void terminatedInstanceReleasesSegment();

private:
    QString panelProgram() const { return buildBinDir() + QStringLiteral("/sarpanel"); }
    QProcess *startPanel();
    QTemporaryDir m_noManager;
    QTemporaryDir m_tmp;
    QByteArray m_oldTmp;
    QTemporaryDir m_programDir;
};

void TestSingleInstance::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
    qputenv("SVCMGR_DIR", m_noManager.path().toLocal8Bit());
    QVERIFY(m_tmp.isValid());
    // Qt derives the segment's system key from a file in the temporary
    // folder; a private one keeps these panels apart from any other panel.
    m_oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    QVERIFY2(QFile::exists(panelProgram()), qPrintable(panelProgram()));
}

void TestSingleInstance::cleanupTestCase()
{
    if (m_oldTmp.isEmpty())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", m_oldTmp);
}

QProcess *TestSingleInstance::startPanel()
{
    auto *process = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(panelProgram(), QStringList());
    return process;
}

void TestSingleInstance::flagOperations()
{
    const QString key = QStringLiteral("sarvela-test-flag");
    {
        QObject owner;
        QVERIFY(createSharedFlag(&owner, key, QStringLiteral("no")));
        QCOMPARE(readSharedFlag(key), QStringLiteral("no"));
        writeSharedFlag(key, QStringLiteral("yes"));
        QCOMPARE(readSharedFlag(key), QStringLiteral("yes"));
        writeSharedFlag(key, QStringLiteral("no"));
        QCOMPARE(readSharedFlag(key), QStringLiteral("no")); // shorter text ends at its zero byte

        QObject second;
        QVERIFY2(!createSharedFlag(&second, key, QStringLiteral("no")),
                 "a live segment must not be taken over");
        QCOMPARE(readSharedFlag(key), QStringLiteral("no"));
    }
    // Gone with its owner: a later start creates it afresh.
    QObject next;
    QVERIFY(createSharedFlag(&next, key, QStringLiteral("no")));
}

void TestSingleInstance::secondStartShowsFirstWindow_data()
{
    QTest::addColumn<int>("starts");
    QTest::newRow("one second start") << 1;
    QTest::newRow("two starts while hidden, one show") << 2;
}

void TestSingleInstance::secondStartShowsFirstWindow()
{
    QFETCH(int, starts);
    ModalAnswerer answerer;
    MainControlPanel first(nullptr, m_programDir.path());
    QVERIFY(!first.isAlreadyRunning());
    showAnsweringNo(first, answerer);
    first.close(); // hidden to the tray
    QVERIFY(!first.isVisible());

    for (int i = 0; i < starts; ++i) {
        QScopedPointer<QProcess> second(startPanel());
        QVERIFY2(second->waitForFinished(30000), "a second start must end by itself");
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
    }
    QCOMPARE(readSharedFlag(QStringLiteral("s-ravo")), QStringLiteral("yes"));

    // One poll period of 6 s, with room for a busy machine.
    QTRY_VERIFY_WITH_TIMEOUT(first.isVisible(), 12000);
    QCOMPARE(readSharedFlag(QStringLiteral("s-ravo")), QStringLiteral("no"));
    const int boxes = answerer.seen().size();
    QCOMPARE(boxes, 2); // the start-up question and the missing settings file, once
}

void TestSingleInstance::killedInstanceDoesNotBlock()
{
    QScopedPointer<QProcess> crashed(startPanel());
    QVERIFY(crashed->waitForStarted(30000));
    // Wait until the first instance holds the segment.
    QTRY_VERIFY_WITH_TIMEOUT(
        [] {
            QSharedMemory probe(QStringLiteral("s-ravo"));
            return probe.attach(QSharedMemory::ReadOnly);
        }(),
        30000);
    ::kill(pid_t(crashed->processId()), SIGKILL);
    QVERIFY(crashed->waitForFinished(30000));
    QCOMPARE(crashed->exitStatus(), QProcess::CrashExit);

    ModalAnswerer answerer;
    MainControlPanel next(nullptr, m_programDir.path());
    QVERIFY2(!next.isAlreadyRunning(), "the killed instance's segment blocked the next start");
    QCOMPARE(readSharedFlag(QStringLiteral("s-ravo")), QStringLiteral("no"));

    // And the new instance is the one a further start talks to.
    QScopedPointer<QProcess> another(startPanel());
    QVERIFY(another->waitForFinished(30000));
    QCOMPARE(another->exitCode(), 0);
    QCOMPARE(readSharedFlag(QStringLiteral("s-ravo")), QStringLiteral("yes"));
}

void TestSingleInstance::terminatedInstanceReleasesSegment()
{
    auto segmentExists = [] {
        QSharedMemory probe(QStringLiteral("s-ravo"));
        return probe.attach(QSharedMemory::ReadOnly);
    };
    // Ended by the session while its start-up question is still open.
    QScopedPointer<QProcess> panel(startPanel());
    QVERIFY(panel->waitForStarted(30000));
    QTRY_VERIFY_WITH_TIMEOUT(segmentExists(), 30000);
    QTest::qWait(500); // let it reach its question
    panel->terminate();
    QVERIFY2(panel->waitForFinished(30000), "SIGTERM must end the panel");
    QCOMPARE(panel->exitStatus(), QProcess::NormalExit);
    QCOMPARE(panel->exitCode(), 0);
    QVERIFY2(!segmentExists(), "the segment must go with the panel");
}

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
