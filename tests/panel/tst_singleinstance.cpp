// One panel per desktop, with real second processes: a second start exits 0 and the
// first brings its window forward at once through its socket, or within a tick through
// the shared flag when the socket is gone; also after a temp-folder cleaner removed the
// segment's key file; a killed first instance does not block. A termination signal while the
// panel asks a question ends it and takes nothing as an answer: the question's action does not
// run and the settings file stays byte for byte as it was.
#include "panelfixture.h"
#include "sharedflag.h"
#include "showrequests.h"
#include "svcmgrdaemon.h"

using namespace panel;

class TestSingleInstance : public QObject
{
    Q_OBJECT
private slots:
    void secondStartBringsWindowForward_data();
    void secondStartBringsWindowForward();
    void killedInstanceDoesNotBlock();
    void signalDuringQuestion_data();
    void signalDuringQuestion();

private:
    // The first panel runs in this process: its loop runs while the second start waits.
    void secondStartEnds()
    {
        QProcess second;
        second.start(buildBinDir() + "/sarpanel", QStringList());
        QTRY_VERIFY2_WITH_TIMEOUT(second.state() == QProcess::NotRunning, "a second start must end by itself",
                                  30000);
        QVERIFY2(second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0,
                 "a second start failed");
    }
    QTemporaryDir m_programDir;
    Isolation m_isolation;
};

void TestSingleInstance::secondStartBringsWindowForward_data()
{
    // Hidden as to a tray or minimised; the key file removed by a temp cleaner; the socket
    // removed, when the flag still asks and a tick answers.
    columns<QString>({"way"});
    for (const char *way : {"hidden", "minimised", "hidden, key file removed", "hidden, socket removed"})
        QTest::newRow(way) << QString(way);
}

void TestSingleInstance::secondStartBringsWindowForward()
{
    QFETCH(QString, way);
    const bool loseSocket = way.endsWith("socket removed");
    ModalAnswerer answerer;
    MainControlPanel first(nullptr, m_programDir.path());
    QVERIFY(!first.isAlreadyRunning());
    first.show();
    way == "minimised" ? first.showMinimized() : first.hide();
    const QString keyFile = QSharedMemory(MainControlPanel::instanceKey()).nativeKey();
    QVERIFY(!way.endsWith("key file removed") || QFile::remove(keyFile));
    QTRY_VERIFY2(QFile::exists(keyFile), "the panel makes its segment findable again");
    QVERIFY(!loseSocket || QFile::remove(XShowRequests::socketPath()));
    secondStartEnds();
    // Through the socket before the second start ends; through the flag, within one poll
    // period of 6 s, with room for a busy machine.
    if (!loseSocket)
        QVERIFY2(first.isVisible() && !first.isMinimized(), "not brought forward at once");
    QTRY_VERIFY_WITH_TIMEOUT(first.isVisible() && !first.isMinimized(), 12000);
    QCOMPARE(readSharedFlag(MainControlPanel::instanceKey()), QStringLiteral("no"));
    QCOMPARE(answerer.seen().size(), 1); // the missing settings file, once
}

void TestSingleInstance::killedInstanceDoesNotBlock()
{
    QProcess crashed;
    crashed.start(buildBinDir() + "/sarpanel", QStringList());
    QVERIFY(crashed.waitForStarted(30000));
    QTRY_VERIFY_WITH_TIMEOUT(QSharedMemory(MainControlPanel::instanceKey()).attach(QSharedMemory::ReadOnly),
                             30000);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(XShowRequests::socketPath()), 30000);
    ::kill(pid_t(crashed.processId()), SIGKILL);
    QVERIFY(crashed.waitForFinished(30000));

    ModalAnswerer answerer;
    MainControlPanel next(nullptr, m_programDir.path());
    QVERIFY2(!next.isAlreadyRunning(), "the killed instance's segment blocked the next start");
    QCOMPARE(readSharedFlag(MainControlPanel::instanceKey()), QStringLiteral("no"));
    // The new instance, not the dead one's socket, is the one a further start talks to.
    secondStartEnds();
    QVERIFY(next.isVisible());
}

void TestSingleInstance::signalDuringQuestion_data()
{
    // The probe's steps, as a user would act; the box the signal arrives during; a box that only
    // a yes would bring; whether a manager runs (where the service is not installed).
    columns<QStringList, QString, QString, bool>({"steps", "question", "yesShows", "manager"});
    row("install question at start-up", QStringList(), "Service belum diinstall", "Gagal Instal Service",
        true);
    row("delete question", QStringList{"select", "click:butDel"}, "Apakah database 'penjualan'",
        "Data berhasil dihapus.", false);
}

void TestSingleInstance::signalDuringQuestion()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, question);
    QFETCH(QString, yesShows);
    QFETCH(bool, manager);
    SvcMgrDaemon daemon;
    QString error;
    QVERIFY2(!manager || daemon.start(&error), qPrintable(error));
    QTemporaryDir dir;
    const QString cfg = dir.filePath("confbu.cfg");
    QVERIFY(createSettings(cfg, {ConfRow()}, {"penjualan", "gudang"}));
    const QByteArray before = readBytes(cfg);
    Probe panel(QStringList{buildBinDir() + "/panelprobe", dir.path()} + steps);
    QVERIFY2(panel.shows(question, false), panel.said().constData());
    QVERIFY2(panel.terminate(), "the panel must end on the signal, normally and with 0");
    QVERIFY2(!panel.out.contains(yesShows.toUtf8()), panel.out.constData());
    QVERIFY(readBytes(cfg) == before);
}

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
