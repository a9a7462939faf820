// A termination signal while the panel asks a question ends the panel and
// takes nothing as an answer: the question's action does not run and the
// settings file stays byte for byte as it was.
#include "panelfixture.h"
#include "svcmgrdaemon.h"

using namespace panel;

class TestTermination : public QObject
{
    Q_OBJECT
private slots:
    void signalDuringQuestion_data();
    void signalDuringQuestion();

private:
    Isolation m_isolation;
};

void TestTermination::signalDuringQuestion_data()
{
    QTest::addColumn<QStringList>("steps"); // the probe's, as a user would act
    QTest::addColumn<QString>("question");  // the box the signal arrives during
    QTest::addColumn<QString>("yesShows");  // a box that only a yes would bring
    QTest::addColumn<bool>("manager");      // one runs, where the service is not installed
    QTest::newRow("install question at start-up") << QStringList() << "Service belum diinstall"
                                                  << "Gagal Instal Service" << true;
    QTest::newRow("delete question")
        << QStringList{"select", "click:butDel"} << "Apakah database 'penjualan'"
        << "Data berhasil dihapus." << false;
}

void TestTermination::signalDuringQuestion()
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

QTEST_MAIN(TestTermination)
#include "tst_termination.moc"
