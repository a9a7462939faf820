// "Pulihkan Database" against the real service of an installed program directory and a real
// cluster: the dumps it offers, what it refuses before asking, the request it hands over (an
// identity only sealed), and restores in place followed to their end, the window closed and
// opened again while the service waits on the source.
#include "fpulihkan.h"
#include "panelfixture.h"
#include "permintaan.h"
#include "pgcluster.h"
#include "svcmgrdaemon.h"

using namespace panel;

class TestPulihkan : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void asks_data();
    void asks();
    void restoresInPlace_data();
    void restoresInPlace();

private:
    QString file(const QString &name) const { return m_program.file(name); }
    // The window on the program directory; commands reach its service only when asked.
    void open(bool service = false)
    {
        const auto command = [this, service](int command) {
            m_commands << command;
            return !service || m_service.sendCommand(command) ? "" : QString("tidak terkirim");
        };
        const FPulihkan::Server pg{m_cluster.host(), "postgres", m_cluster.superPassword(), m_cluster.port()};
        m_dialog.reset(new FPulihkan({[this] { return m_settings; },
                                      file("riwayat.db"),
                                      pg,
                                      {"arsip", "toko"},
                                      command,
                                      "/usr/bin/age",
                                      [this] { return m_service.isRunning(); }}));
        m_dialog->show();
    }
    // Chooses toko's row-th dump (-1: none), the target and what is typed for it.
    void choose(int row, bool inPlace, const QString &typed)
    {
        m_dialog->chooseDatabase("toko");
        auto *table = widget<QTableWidget>(m_dialog.data(), "tblBackup");
        row < 0 ? table->clearSelection() : table->selectRow(row);
        widget<QRadioButton>(m_dialog.data(), inPlace ? "rbTimpa" : "rbBaru")->setChecked(true);
        if (!typed.isEmpty())
            widget<QLineEdit>(m_dialog.data(), inPlace ? "tKonfirmasi" : "tKe")->setText(typed);
    }
    QString text(const char *label) { return widget<QLabel>(m_dialog.data(), label)->text(); }
    bool following() { return widget<QPushButton>(m_dialog.data(), "butBatalkan")->isEnabled(); }
    PgCluster m_cluster;
    ProgramDir m_program;
    QTemporaryDir m_output, m_keys;
    QScopedPointer<SvcMgrDaemon> m_daemon;
    QtServiceController m_service{"Sarvela DB Backup"};
    QSqlDatabase m_settings;
    QScopedPointer<FPulihkan> m_dialog;
    QList<int> m_commands;
    qint64 m_job = 0;
    Isolation m_isolation;
};

void TestPulihkan::initTestCase()
{
    QString error;
    QVERIFY2(m_cluster.start(&error) && m_cluster.createSampleDatabase("toko", &error) &&
                 m_cluster.sql("create database toko_ada", &error) && m_program.install(&error),
             qPrintable(error));
    ConfRow row{m_cluster.host(), m_cluster.superUser(), m_cluster.superPassword(), m_cluster.port(),
                m_output.path()};
    row.jam1 = QDateTime::currentDateTime().addSecs(6 * 3600).toString(Qt::ISODate);
    QFile::remove(file("confbu.cfg"));
    QVERIFY(createSettings(file("confbu.cfg"), {row}, {"toko"}));
    m_daemon.reset(new SvcMgrDaemon(m_program.path()));
    QVERIFY2(m_daemon->start(&error), qPrintable(error));
    QVERIFY(QtServiceController::install(file("sarvelad")) && m_service.start());
    QTRY_VERIFY_WITH_TIMEOUT(m_service.sendCommand(1), 20000); // "Backup Sekarang"
    const QString good = "select id from riwayat where dbname = 'toko' and hasil = 'OK'";
    QTRY_VERIFY2_WITH_TIMEOUT(!sql(file("riwayat.db"), good).isEmpty(),
                              readBytes(file("busys.log")).constData(), 60000);
    m_job = sql(file("riwayat.db"), good).value(0).value(0).toLongLong();
    // Below the dump, its encrypted copy off this machine.
    const qint64 copy = addCopy(file("riwayat.db"), m_job, 0);
    sql(file("riwayat.db"), "update salinan set tujuan = tujuan || '.age' where id = ?", {copy});
    m_settings = QSqlDatabase::addDatabase("QSQLITE", "panel");
    m_settings.setDatabaseName(file("confbu.cfg"));
    QVERIFY(m_settings.open());
    QCOMPARE(QProcess::execute("age-keygen", {"-o", m_keys.filePath("kunci.txt")}), 0);
}

void TestPulihkan::cleanup()
{
    m_dialog.reset();
    m_commands.clear();
    sql(file("confbu.cfg"), "delete from permintaan");
}

void TestPulihkan::asks_data()
{
    // The row of the dumps offered (-1: none; 1 is the encrypted copy); the target or, in place,
    // the confirmation typed; what the window says, if anything; what is handed over (agreed to),
    // %1 the default target.
    columns<int, bool, QString, QString, QString>({"row", "inPlace", "typed", "box", "isi"});
    const QString taken = "Database %1 sudah ada di server. Pilih nama lain, atau pilih "
                          "\"Menggantikan database toko\".";
    const QString question = "Semua koneksi ke database toko akan diputus saat penggantian. "
                             "Database yang sekarang tetap disimpan dengan nama toko_sebelum_";
    row("no dump chosen", -1, false, "", "Pilih backup yang akan dipulihkan.", "");
    row("an encrypted copy without its identity", 1, false, "",
        "Backup ini terenkripsi. Pilih berkas identitas age yang dapat membukanya.", "");
    row("a name backups refuse", 0, false, "-h evil",
        "Nama database tujuan tidak dapat dipakai: nama database "
        "[-h evil] dapat dibaca sebagai opsi atau alamat koneksi",
        "");
    row("a name the server has", 0, false, "toko_ada", taken.arg("toko_ada"), "");
    row("the source's own name", 0, false, "toko", taken.arg("toko"), "");
    row("in place, the name mistyped", 0, true, "Toko",
        "Untuk menggantikan database, ketik namanya (toko) persis di kolom konfirmasi.", "");
    row("in place, not agreed", 0, true, "toko", question, "");
    row("in place, agreed", 0, true, "toko", question, "riwayat ke=toko timpa=1 konfirmasi=toko identitas=0");
    row("a new database under the default name", 0, false, "", "",
        "riwayat ke=%1 timpa=0 konfirmasi= identitas=0");
    row("a new database under a name typed", 0, false, "toko_kemarin", "",
        "riwayat ke=toko_kemarin timpa=0 konfirmasi= identitas=0");
    row("an encrypted copy with its identity, sealed", 1, false, "", "",
        "salinan ke=%1 timpa=0 konfirmasi= identitas=1");
}

void TestPulihkan::asks()
{
    QFETCH(int, row);
    QFETCH(bool, inPlace);
    QFETCH(QString, typed);
    QFETCH(QString, box);
    QFETCH(QString, isi);
    open();
    choose(row, inPlace, typed);
    if (!isi.isEmpty())
        m_dialog->useIdentity(m_keys.filePath("kunci.txt"));
    const QString target = widget<QLineEdit>(m_dialog.data(), "tKe")->text();
    ModalAnswerer answerer;
    answerer.answerNext(isi.isEmpty() ? QMessageBox::No : QMessageBox::Yes);
    widget<QPushButton>(m_dialog.data(), "butPulihkan")->click();
    const QString seen = texts(answerer.seen()).join("//");
    QVERIFY2(box.isEmpty() ? seen.isEmpty() : seen.contains(box), qPrintable(seen));
    QStringList handed;
    for (const QVariantList &request : sql(file("confbu.cfg"), "select isi from permintaan")) {
        const QJsonObject o = QJsonDocument::fromJson(request.value(0).toByteArray()).object();
        QVERIFY(!o.contains("riwayat") || qint64(o["riwayat"].toDouble()) == m_job);
        handed << QString::asprintf("%s ke=%s timpa=%d konfirmasi=%s identitas=%d",
                                    o.contains("riwayat") ? "riwayat" : "salinan",
                                    qUtf8Printable(o["ke"].toString()), o["timpa"].toBool(),
                                    qUtf8Printable(o["konfirmasi"].toString()),
                                    o["identitas"].toString().startsWith("-----BEGIN AGE ENCRYPTED FILE"));
    }
    QCOMPARE(handed.join("//"), QString(isi).replace("%1", target));
    // The identity's secret is in no file the panel wrote.
    QVERIFY(!readBytes(file("confbu.cfg")).contains("AGE-SECRET-KEY"));
    QCOMPARE(m_commands, isi.isEmpty() ? QList<int>() : QList<int>{permintaan::WaitingCommand});
    // Closed and opened again, the window follows the request the service has yet to take.
    for (int reopened = 0; reopened < 2; ++reopened, open()) {
        QCOMPARE(following(), !isi.isEmpty());
        QCOMPARE(text("lTahap").endsWith("menunggu service..."), !isi.isEmpty());
    }
}

void TestPulihkan::restoresInPlace_data()
{
    // What becomes of it while it waits; the start of what the window shows at the end.
    columns<QString, QString>({"how", "result"});
    row("cancelled while it waits: the source untouched", "cancel", "Pulihkan Database DIBATALKAN : ");
    row("the service killed while it waits: said, closed at the next start", "kill",
        "Proses service berhenti sebelum permintaan selesai.");
    row("the source let go: dumped, restored, swapped", "", "Pulihkan Database OK : dari file [");
}

void TestPulihkan::restoresInPlace()
{
    QFETCH(QString, how);
    QFETCH(QString, result);
    const bool cancelled = !how.isEmpty();
    // A session that holds the source's table keeps the fresh dump waiting.
    QSqlDatabase holder = QSqlDatabase::addDatabase("QPSQL", "holder");
    holder.setConnectOptions(QString("host=%1 port=%2 dbname=toko user=postgres password=%3")
                                 .arg(m_cluster.host())
                                 .arg(m_cluster.port())
                                 .arg(m_cluster.superPassword()));
    const auto release = qScopeGuard([&holder] {
        holder = QSqlDatabase();
        QSqlDatabase::removeDatabase("holder");
    });
    QVERIFY(holder.open() && holder.transaction() &&
            QSqlQuery(holder).exec("lock table tblbarang in access exclusive mode"));
    open(true);
    choose(0, true, "toko");
    ModalAnswerer answerer;
    answerer.answerNext(QMessageBox::Yes);
    widget<QPushButton>(m_dialog.data(), "butPulihkan")->click();
    // The service's step, while the fresh dump waits for the source.
    QTRY_VERIFY_WITH_TIMEOUT(text("lTahap").endsWith("\nMembuat backup terbaru database toko"), 20000);
    QVERIFY(following());

    open(true); // closed and opened again: the restore that runs is found
    QVERIFY(following());
    const QRegularExpression restoring(
        "^Pemulihan database toko dari .*bu_toko_.*\\.bu ke toko \\(menggantikannya\\):\n");
    QVERIFY2(text("lTahap").contains(restoring), qPrintable(text("lTahap")));
    if (how == "kill") {
        m_daemon->killServices();
        QTRY_VERIFY_WITH_TIMEOUT(text("lTahap").contains("\nService tidak berjalan: "), 20000);
        QVERIFY(m_service.start());
    } else if (cancelled) {
        answerer.answerNext(QMessageBox::Yes);
        widget<QPushButton>(m_dialog.data(), "butBatalkan")->click();
        QVERIFY(m_commands.contains(permintaan::CancelCommand));
    }
    holder.rollback();
    holder.close();
    QTRY_VERIFY_WITH_TIMEOUT(!following(), 60000);
    QVERIFY2(text("lTahap").startsWith(result), qPrintable(text("lTahap")));
    // Each table's rows in the dump against those restored, the same.
    auto *table = widget<QTableWidget>(m_dialog.data(), "tblHasil");
    QCOMPARE(table->isVisible(), !cancelled);
    QStringList rows;
    for (int i = 0; i < table->rowCount(); ++i)
        rows << table->item(i, 0)->text() + ' ' + table->item(i, 1)->text() + '=' + table->item(i, 2)->text();
    QCOMPARE(rows.join(", "), cancelled ? "" : "public.tblbarang 50=50, public.tblpelanggan 2=2");
    open(true); // and opened after the end, the result is still there
    QVERIFY2(text("lTahap").contains(":\n" + result), qPrintable(text("lTahap")));
    QCOMPARE(widget<QComboBox>(m_dialog.data(), "cmbDatabase")->currentText(), "toko");
    // The original kept under its new name; no half-made target left.
    QString names, error;
    m_cluster.sql("select count(*) filter (where datname like 'toko_sebelum_%') || '/' || count(*) filter "
                  "(where datname like 'toko_pulih_%') from pg_database",
                  &error, "postgres", &names);
    QCOMPARE(names.trimmed(), cancelled ? "0/0" : "1/0");
}

QTEST_MAIN(TestPulihkan)
#include "tst_fpulihkan.moc"
