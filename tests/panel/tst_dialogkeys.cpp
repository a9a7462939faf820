// Return takes the default button of "Pengaturan Lanjutan" (Simpan) and of the status window
// (Tutup); Escape closes without saving; no key empties the log in the log viewer, only a
// pressed "Hapus Log" does. (The dialogs without key handling of their own close on Escape as
// every dialog does; the picker's keys are tried on a real server in tst_mainwindow.)
#include "flog.h"
#include "fpengaturan.h"
#include "fstatusbackup.h"
#include "historywatch.h"
#include "panelfixture.h"

#include <QPlainTextEdit>

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
    QTest::addColumn<QString>("after"); // the log viewer: whether the log is kept
    auto row = [](const char *tag, const QString &dialog, const QString &focus, int key,
                  const QString &after) { QTest::newRow(tag) << dialog << focus << key << after; };
    row("Pengaturan Lanjutan: Return in the URL saves", "pengaturan", "tUrl", Qt::Key_Return,
        "closed, saved");
    row("Pengaturan Lanjutan: Escape closes, nothing saved", "pengaturan", "tUrl", Qt::Key_Escape,
        "closed");
    row("status window: Return closes it", "status", "tableWidget", Qt::Key_Return, "closed");
    const QString kept = "log kept";
    row("log: Return while reading", "log", "plainTextEdit", Qt::Key_Return, kept);
    row("log: keypad Enter while reading", "log", "plainTextEdit", Qt::Key_Enter, kept);
    row("log: Return on a focused Hapus Log", "log", "butHapus", Qt::Key_Return, kept);
    row("log: Return on Tutup", "log", "butTutup", Qt::Key_Return, kept);
}

void TestDialogKeys::keys()
{
    QFETCH(QString, dialog);
    QFETCH(QString, focus);
    QFETCH(int, key);
    QTemporaryDir dir;
    const QString cfg = dir.filePath("confbu.cfg"), log = dir.filePath("busys.log");
    const QByteArray entries = "01/02/2026 01:00:00 - Backup Database : /bu/a.bu\n";
    QVERIFY(panel::createSettings(cfg, {panel::ConfRow()}, {"penjualan"}) &&
            writeBytes(log, entries));
    QSqlDatabase settings = QSqlDatabase::addDatabase("QSQLITE", "keys");
    settings.setDatabaseName(cfg);
    QVERIFY(settings.open());
    ModalAnswerer answerer; // "Data Berhasil disimpan."
    XHistoryWatch history(dir.filePath("riwayat.db"));
    QScopedPointer<QDialog> shown(
        dialog == "pengaturan" ? static_cast<QDialog *>(new FPengaturan(settings))
        : dialog == "status"   ? static_cast<QDialog *>(new FStatusBackup(&history))
                               : new flog(nullptr, dir.path()));
    shown->show();
    QVERIFY(QTest::qWaitForWindowExposed(shown.data()));
    auto *target = shown->findChild<QWidget *>(focus);
    if (auto *url = qobject_cast<QLineEdit *>(target))
        url->setText("https://hc.contoh.id/ping/abc");
    target->setFocus();
    QTest::keyClick(target, Qt::Key(key));
    auto state = [&] {
        if (dialog == "log")
            return QString(readBytes(log) == entries &&
                                   shown->findChild<QPlainTextEdit *>()->toPlainText() == entries
                               ? "log kept"
                               : "log emptied");
        return QString(shown->isVisible() ? "open" : "closed") +
               (confbu::monitorUrl(settings).isEmpty() ? "" : ", saved");
    };
    QFETCH(QString, after);
    QTRY_COMPARE(state(), after);
    shown.reset();
    settings = QSqlDatabase();
    QSqlDatabase::removeDatabase("keys");
}

QTEST_MAIN(TestDialogKeys)
#include "tst_dialogkeys.moc"
