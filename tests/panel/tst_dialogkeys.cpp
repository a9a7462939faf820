// Return takes the default button of "Pengaturan Lanjutan" (Simpan) and of the status window
// (Tutup); Escape closes without saving. (The dialogs without key handling of their own close
// on Escape as every dialog does; the picker's keys are tried on a real server in
// tst_fdfrdatabase.)
#include "fpengaturan.h"
#include "fstatusbackup.h"
#include "historywatch.h"
#include "panelfixture.h"

class TestDialogKeys : public QObject
{
    Q_OBJECT
private slots:
    void keys_data();
    void keys();

private:
    panel::Isolation m_isolation;
};

void TestDialogKeys::keys_data()
{
    QTest::addColumn<QString>("dialog");
    QTest::addColumn<QString>("focus"); // the widget the key is pressed on
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("saved"); // the monitoring URL typed into Pengaturan Lanjutan
    QTest::newRow("Pengaturan Lanjutan: Return in the URL saves")
        << "pengaturan"
        << "tUrl" << int(Qt::Key_Return) << true;
    QTest::newRow("Pengaturan Lanjutan: Escape closes, nothing saved")
        << "pengaturan"
        << "tUrl" << int(Qt::Key_Escape) << false;
    QTest::newRow("status window: Return closes it")
        << "status"
        << "tableWidget" << int(Qt::Key_Return) << false;
}

void TestDialogKeys::keys()
{
    QFETCH(QString, dialog);
    QFETCH(QString, focus);
    QFETCH(int, key);
    QTemporaryDir dir;
    const QString cfg = dir.filePath("confbu.cfg");
    QVERIFY(panel::createSettings(cfg, {panel::ConfRow()}, {"penjualan"}));
    QSqlDatabase settings = QSqlDatabase::addDatabase("QSQLITE", "keys");
    settings.setDatabaseName(cfg);
    QVERIFY(settings.open());
    ModalAnswerer answerer; // "Data Berhasil disimpan."
    XHistoryWatch history(dir.filePath("riwayat.db"));
    QScopedPointer<QDialog> shown;
    if (dialog == "pengaturan")
        shown.reset(new FPengaturan(settings));
    else
        shown.reset(new FStatusBackup(&history));
    shown->show();
    QVERIFY(QTest::qWaitForWindowExposed(shown.data()));
    auto *target = shown->findChild<QWidget *>(focus);
    if (auto *url = qobject_cast<QLineEdit *>(target))
        url->setText("https://hc.contoh.id/ping/abc");
    target->setFocus();
    QTest::keyClick(target, Qt::Key(key));
    QTRY_VERIFY(!shown->isVisible());
    QTEST(!confbu::monitorUrl(settings).isEmpty(), "saved");
    shown.reset();
    settings = QSqlDatabase();
    QSqlDatabase::removeDatabase("keys");
}

QTEST_MAIN(TestDialogKeys)
#include "tst_dialogkeys.moc"
