// A termination signal while the panel asks a question ends the panel and
// takes nothing as an answer: the question's action does not run and the
// settings file stays byte for byte as it was.
#include "panelfixture.h"
#include "programdir.h"

#include <QProcess>
#include <QScopeGuard>

#include <signal.h>

using namespace panel;

class TestTermination : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { isolatePanel(m_isolation); }
    void signalDuringQuestion_data();
    void signalDuringQuestion();

private:
    QTemporaryDir m_isolation;
};

void TestTermination::signalDuringQuestion_data()
{
    QTest::addColumn<QStringList>("steps"); // the probe's, as a user would act
    QTest::addColumn<QString>("question");  // the box the signal arrives during
    QTest::addColumn<QString>("yesShows");  // a box that only a yes would bring
    QTest::newRow("install question at start-up") << QStringList() << "Service belum diinstall"
                                                  << "Gagal Instal Service";
    QTest::newRow("delete question")
        << QStringList{"no", "select", "click:butDel"} << "Apakah database 'penjualan'"
        << "Data berhasil dihapus.";
}

void TestTermination::signalDuringQuestion()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, question);
    QFETCH(QString, yesShows);
    QTemporaryDir dir;
    const QString cfg = dir.filePath("confbu.cfg");
    QVERIFY(createSettings(cfg, {ConfRow()}, {"penjualan", "gudang"}));
    QFile file(cfg);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();

    QProcess panel;
    panel.start(buildBinDir() + "/panelprobe", QStringList{dir.path()} + steps);
    const auto end = qScopeGuard([&panel] { // also when a check failed
        panel.kill();
        panel.waitForFinished();
    });
    QByteArray shown;
    QTRY_VERIFY2_WITH_TIMEOUT(
        (shown += panel.readAllStandardOutput()).contains("box: " + question.toUtf8()),
        (shown + panel.readAllStandardError()).constData(), 30000);
    ::kill(pid_t(panel.processId()), SIGTERM);
    QVERIFY2(panel.waitForFinished(30000), "the panel must end on the signal");
    QCOMPARE(panel.exitStatus(), QProcess::NormalExit);
    QCOMPARE(panel.exitCode(), 0);
    shown += panel.readAllStandardOutput();
    QVERIFY2(!shown.contains(yesShows.toUtf8()), shown.constData());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == before);
}

QTEST_MAIN(TestTermination)
#include "tst_termination.moc"
