// "Salinan Luar Server": the destinations the service published (or the line that says what root
// must run), the choice stored where the service reads it, the recipient judged with its
// fingerprint as it is typed and the warning for copies sent elsewhere unencrypted, and "Tes"
// through the request channel, answered here as the service would.
#include "fsalinan.h"
#include "panelfixture.h"
#include "permintaan.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

using namespace panel;

namespace {

// A real recipient and its fingerprint (printf %s RECIPIENT | sha256sum | cut -c1-16).
const QString Recipient = "age1ql3z7hjy54pw3hyww5ayyfg7zqgvc7w3j2elw8zmrj2kg5sfn9aqmcac8p";
const QString Fingerprint = "cf7e568231315068";

QStringList items(QComboBox *box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

} // namespace

class TestSalinan : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void destinations_data();
    void destinations();
    void saves_data();
    void saves();
    void tes_data();
    void tes();

private:
    QString file(const QString &name) const { return m_dir->filePath(name); }
    // What the service would publish: remotes as "name type local".
    void publish(const QStringList &remotes, const QString &masalah = QString())
    {
        for (const QString &statement : riwayat::createStatements())
            sql(file("riwayat.db"), statement);
        sql(file("riwayat.db"), "insert into rclone_konfigurasi values (?, ?, ?, ?)",
            {"/var/lib/sarvela/rclone/rclone.conf", "_sarvela",
             masalah.isEmpty() ? QVariant() : masalah, "2024-03-01T05:00:00"});
        for (const QString &remote : remotes)
            sql(file("riwayat.db"), "insert into rclone_remote values (?, ?, ?)",
                {remote.section(' ', 0, 0), remote.section(' ', 1, 1),
                 remote.section(' ', 2).toInt()});
    }
    FSalinan *open(const std::function<QString()> &wake = [] { return QString(); })
    {
        m_dialog.reset(new FSalinan(m_settings, file("riwayat.db"), wake));
        m_dialog->show();
        return m_dialog.data();
    }

    QScopedPointer<QTemporaryDir> m_dir;
    QSqlDatabase m_settings;
    QScopedPointer<FSalinan> m_dialog;
    Isolation m_isolation;
};

void TestSalinan::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(createSettings(file("confbu.cfg"), {ConfRow()}, {"penjualan"}));
    m_settings = QSqlDatabase::addDatabase("QSQLITE", "panel");
    m_settings.setDatabaseName(file("confbu.cfg"));
    QVERIFY(m_settings.open());
}

void TestSalinan::cleanup()
{
    m_dialog.reset();
    m_settings = QSqlDatabase();
    QSqlDatabase::removeDatabase("panel");
}

void TestSalinan::destinations_data()
{
    QTest::addColumn<bool>("published");
    QTest::addColumn<QStringList>("remotes");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("info");
    const QString none = "(tidak ada: salinan tidak dibuat)";
    QTest::newRow("root's destinations, this machine's marked")
        << true << QStringList{"cadangan alias 1", "kantor sftp 0"}
        << QStringList{none, "cadangan (alias, disk mesin ini)", "kantor (sftp)"} << "";
    QTest::newRow("none yet: what root must run")
        << true << QStringList() << QStringList{none}
        << "Belum ada tujuan salinan. Root menambahkannya dengan:\nrunuser -u _sarvela -- rclone "
           "config --config /var/lib/sarvela/rclone/rclone.conf\nlalu menjalankan ulang service.";
    QTest::newRow("never read by the service") << false << QStringList() << QStringList{none}
                                               << "Service belum pernah membaca daftar tujuan. "
                                                  "Jalankan service, lalu buka jendela ini lagi.";
}

void TestSalinan::destinations()
{
    QFETCH(bool, published);
    QFETCH(QStringList, remotes);
    if (published)
        publish(remotes);
    FSalinan *dialog = open();
    QTEST(items(widget<QComboBox>(dialog, "cmbRemote")), "items");
    QTEST(widget<QLabel>(dialog, "lTujuanInfo")->text(), "info");
}

void TestSalinan::saves_data()
{
    QTest::addColumn<int>("remote"); // index in the list; 0: none
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("penerima");
    QTest::addColumn<QString>("judged"); // the recipient as the dialog judges it while typed
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("stored"); // remote|folder|jumlah|harian|penerima, or nothing
    auto row = [](const char *tag, int remote, const QString &folder, const QString &penerima,
                  const QString &judged, const QString &message, const QString &stored) {
        QTest::newRow(tag) << remote << folder << penerima << judged << message << stored;
    };
    const QString saved = "Data Berhasil disimpan.", refused = "Tidak dapat dipakai: ";
    const QString plain = "Tanpa penerima: salinan tidak dienkripsi.", before = "lama|x|0|0|";
    const QString noKey = "Bukan kunci publik age (age1...).", warned = " (peringatan)";
    const QString broken = QString(Recipient).replace("ql3z", "ql3y");
    row("a destination, a folder, five and a week of days", 2, " sarvela/pusat ", Recipient,
        "Sidik jari kunci: " + Fingerprint, saved, "kantor|sarvela/pusat|5|7|" + Recipient);
    row("none: copies are off", 0, "x", "", plain, saved, "");
    row("unencrypted to this machine's disk: no warning", 1, "x", "", plain, saved,
        "cadangan|x|5|7|");
    row("a folder that climbs out is refused, unencrypted to another machine: warned", 2, "a/../..",
        "", plain + warned, refused + "folder [a/../..] memuat komponen '..'.", before);
    row("a recipient that is no age key is refused", 2, "x", "age1salah", noKey,
        refused + "penerima [age1salah] bukan kunci publik age (age1...).", before);
    row("a key whose checksum fails is refused", 2, "x", broken, noKey,
        refused + "penerima [" + broken + "] bukan kunci publik age (age1...).", before);
}

void TestSalinan::saves()
{
    QFETCH(int, remote);
    QFETCH(QString, folder);
    QFETCH(QString, penerima);
    publish({"cadangan alias 1", "kantor sftp 0"});
    salinan::Settings before;
    before.remote = "lama";
    before.folder = "x";
    QString error;
    QVERIFY(salinan::write(m_settings, before, &error));
    ModalAnswerer answerer;
    FSalinan *dialog = open();
    widget<QComboBox>(dialog, "cmbRemote")->setCurrentIndex(remote);
    widget<QLineEdit>(dialog, "tFolder")->setText(folder);
    widget<QLineEdit>(dialog, "tPenerima")->setText(penerima);
    widget<QSpinBox>(dialog, "sbJumlah")->setValue(5);
    widget<QSpinBox>(dialog, "sbHarian")->setValue(7);
    // Sent elsewhere unencrypted: warned.
    auto *warning = widget<QLabel>(dialog, "lPeringatan");
    QVERIFY(
        !warning->isVisible() ||
        warning->text().startsWith("Peringatan: salinan dikirim ke mesin lain tanpa enkripsi."));
    QTEST(widget<QLabel>(dialog, "lSidikJari")->text() +
              (warning->isVisible() ? " (peringatan)" : ""),
          "judged");
    widget<QPushButton>(dialog, "butSimpan")->click();
    QTEST(texts(answerer.seen()).value(0), "message");
    const salinan::Settings now = salinan::read(m_settings);
    QTEST(now.isOn() ? QString("%1|%2|%3|%4|%5")
                           .arg(now.remote, now.folder)
                           .arg(now.simpan.jumlah)
                           .arg(now.simpan.harian)
                           .arg(now.penerima)
                     : QString(),
          "stored");
}

void TestSalinan::tes_data()
{
    QTest::addColumn<QString>("wakeFails"); // why the service cannot be told; empty: it can
    QTest::addColumn<QString>("hasil");
    QTest::addColumn<QString>("shown");
    QTest::newRow("answered well")
        << "" << permintaan::Ok << "Tes berhasil: Berkas uji ditulis di kantor:pusat.";
    QTest::newRow("answered with a failure")
        << "" << permintaan::Gagal << "Tes gagal: Berkas uji tidak dapat ditulis: refused";
    QTest::newRow("the service not running")
        << "Service tidak aktif."
        << ""
        << "Tes gagal: Tes tidak dapat dikirim ke service: Service tidak aktif.";
}

// "Menguji..." while the service works on it, then its answer; the request names the chosen
// destination, and one the service was not told of does not stay behind.
void TestSalinan::tes()
{
    QFETCH(QString, wakeFails);
    QFETCH(QString, hasil);
    publish({"kantor sftp 0"});
    FSalinan *dialog = open([wakeFails] { return wakeFails; });
    widget<QComboBox>(dialog, "cmbRemote")->setCurrentIndex(1);
    widget<QLineEdit>(dialog, "tFolder")->setText("pusat");
    auto *tes = widget<QPushButton>(dialog, "butTes");
    auto *line = widget<QLabel>(dialog, "lTes");
    tes->click();
    const QList<QVariantList> asked =
        sql(file("confbu.cfg"), "select kunci, jenis, isi from permintaan");
    QCOMPARE(asked.size(), wakeFails.isEmpty() ? 1 : 0);
    if (wakeFails.isEmpty()) {
        const QString kunci = asked[0][0].toString();
        QCOMPARE(
            QStringList({asked[0][1].toString(), asked[0][2].toString(), line->text()}),
            QStringList({"uji-salinan", R"({"folder":"pusat","remote":"kantor"})", "Menguji..."}));
        QVERIFY(!tes->isEnabled());
        sql(file("riwayat.db"),
            "insert into permintaan (kunci, jenis, mulai, hasil, kemajuan) values (?, ?, ?, ?, ?)",
            {kunci, "uji-salinan", "2024-03-01T05:00:00", permintaan::Berjalan,
             R"({"langkah":"baca"})"});
        QTRY_COMPARE(line->text(), QString("Menguji... (membaca kembali)"));
        sql(file("riwayat.db"), "update permintaan set hasil = ?, pesan = ? where kunci = ?",
            {hasil,
             QTest::currentDataTag() == QByteArray("answered well")
                 ? "Berkas uji ditulis di kantor:pusat."
                 : "Berkas uji tidak dapat ditulis: refused",
             kunci});
    }
    QTRY_VERIFY(tes->isEnabled());
    QTEST(line->text(), "shown");
}

QTEST_MAIN(TestSalinan)
#include "tst_salinan.moc"
