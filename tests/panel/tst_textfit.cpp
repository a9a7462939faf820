// No text of the main window, the log viewer, the picker, the status window, the advanced
// settings, the copies off this machine or a message box is cut at the desktop font sizes 9, 10 and
// 11 points, on the test platform's screen of 800 x 600 (smaller than the 1024 x 600 of a small
// laptop): each label and button is at least as large as its text needs, icon and margins included,
// each line and time edit has room for a line of text, list items and table cells show their whole
// text (database names of 63 letters, long reasons) without scrolling sideways, and each window
// fits on the screen.
#include "fdfrdatabase.h"
#include "flog.h"
#include "fpengaturan.h"
#include "fpulihkan.h"
#include "fsalinan.h"
#include "fstatusbackup.h"
#include "historywatch.h"
#include "messagebox.h"
#include "panelfixture.h"
#include "servicefailure.h"

using namespace panel;

namespace {

// What each widget needs and does not get, one line per widget.
QStringList cut(QWidget *window)
{
    QStringList found;
    auto check = [&found](QWidget *w, int wide, int high, int width, int height) {
        if (wide > width || high > height)
            found << w->objectName() + " in " +
                         (w->isWindow() ? "the screen" : w->parentWidget()->objectName()) +
                         QString::asprintf(" needs %dx%d, has %dx%d", wide, high, width, height);
    };
    for (QWidget *w : window->findChildren<QWidget *>()) {
        auto *label = qobject_cast<QLabel *>(w);
        if (label && label->wordWrap()) // its longest word, on as many rows as its width makes
            check(w, label->minimumSizeHint().width(), label->heightForWidth(w->width()), w->width(),
                  w->height());
        else if (label || qobject_cast<QAbstractButton *>(w))
            check(w, w->sizeHint().width(), w->sizeHint().height(), w->width(), w->height());
    }
    // An edit's text scrolls sideways; a line of it must fit inside the frame,
    // where it is clipped. A time edit's text sits in such an edit, frameless.
    for (QLineEdit *edit : window->findChildren<QLineEdit *>()) {
        const int frame = edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) : 0;
        check(edit, 0, edit->fontMetrics().height(), 0, edit->height() - 2 * frame);
    }
    // An item shows its whole text when it lies within the view's width and is as tall as
    // the text takes on lines of that width (counted generously: a cut item falls far short).
    auto item = [&found](QAbstractItemView *view, const QString &text, const QRect &rect) {
        const QFontMetrics metrics = view->fontMetrics();
        const int lines = (metrics.horizontalAdvance(text) + rect.width() - 1) / rect.width();
        if (rect.right() >= view->viewport()->width() || rect.height() < lines * metrics.lineSpacing())
            found << "'" + text + "' in " + view->objectName() +
                         QString::asprintf(" needs %d lines, has %dx%d", lines, rect.width(), rect.height());
    };
    for (QListWidget *list : window->findChildren<QListWidget *>())
        for (int i = 0; i < list->count(); ++i)
            item(list, list->item(i)->text(), list->visualItemRect(list->item(i)));
    for (QTableWidget *table : window->findChildren<QTableWidget *>())
        for (int row = 0; row < table->rowCount(); ++row)
            for (int column = 0; column < table->columnCount(); ++column)
                item(table, table->item(row, column)->text(),
                     table->visualItemRect(table->item(row, column)));
    const QSize screen = window->screen()->availableGeometry().size();
    if (window->isWindow())
        check(window, window->width(), window->height(), screen.width(), screen.height());
    return found;
}

// A database name of PostgreSQL's longest, and a reason as long as the service gives them.
const QString LongName = "penjualan_cabang_surabaya_arsip_tahunan_2019_sampai_2024_lengkap";
const QString LongReason = "pg_dump selesai dengan kode keluar 1: pg_dump: error: could not open "
                           "output file \"/var/backups/sarvela/arsip/" +
                           LongName + "_20261206.054709.bu.sementara\": No space left on device";

} // namespace

class TestTextFit : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup() { QApplication::setFont(m_font); }
    void fits_data();
    void fits();

private:
    QFont m_font = QApplication::font();
    Isolation m_isolation;
};

void TestTextFit::init()
{
    QFETCH(int, points);
    QFont font = m_font;
    font.setPointSize(points);
    QApplication::setFont(font);
}

void TestTextFit::fits_data()
{
    columns<int, QString>({"points", "window"});
    for (int points : {9, 10, 11})
        for (const char *window : {"main window", "log viewer", "picker", "status window",
                                   "advanced settings", "copies", "restore", "message boxes"})
            QTest::addRow("%s at %d points", window, points) << points << QString(window);
}

void TestTextFit::fits()
{
    QFETCH(QString, window);
    // A long path, where the panel names one.
    QTemporaryDir dir(QDir::tempPath() + "/" + LongName + "-XXXXXX");
    const QStringList names{"gudang", LongName};
    QVERIFY(createSettings(dir.filePath("confbu.cfg"), {ConfRow()}, names));
    addJob(dir.filePath("riwayat.db"), {LongName, 3});
    addJob(dir.filePath("riwayat.db"), {"gudang", 1, "GAGAL", LongReason});
    QStringList found;
    QTimer boxes; // each box the panel shows is checked, then closed
    connect(&boxes, &QTimer::timeout, [&found] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            found += cut(box);
            box->close();
        }
    });
    boxes.start(20);
    const QString riwayat = dir.filePath("riwayat.db");
    XHistoryWatch history(riwayat);
    history.setDatabases(names);
    history.setSchedule({QTime(1, 0), QTime(13, 0), true, true});
    history.start();
    const QScopedPointer<QWidget> shown(
        window == "log viewer"          ? new flog(nullptr, dir.path())
        : window == "status window"     ? new FStatusBackup(&history)
        : window == "advanced settings" ? new FPengaturan(QSqlDatabase())
        : window == "copies"            ? new FSalinan(QSqlDatabase(), riwayat, [] { return QString(); })
        : window == "restore" ? new FPulihkan({[] { return QSqlDatabase(); }, riwayat, {}, names, {}, {}, {}})
        : window == "picker"  ? new FDfrDatabase
                              : static_cast<QWidget *>(new MainControlPanel(nullptr, dir.path())));
    if (window == "message boxes") {
        auto *main = static_cast<MainControlPanel *>(shown.data());
        main->show();
        main->addBackupDatabase(LongName);               // already listed: its name is said
        menuAction(main, "&Install Service")->trigger(); // no manager: how to start it
        showError(serviceFailureText(ServiceAction::Install, {5, "Access is denied."}, dir.path()), main);
    }
    // The databases as the picker lists them.
    for (const QString &name : window == "picker" ? names : QStringList())
        widget<QListWidget>(shown.data(), "listWidget")
            ->addItem(new QListWidgetItem(QIcon(":/images/db.png"), name));
    shown->show();
    QVERIFY(QTest::qWaitForWindowExposed(shown.data()));
    QTest::qWait(50); // rows fitted to their wrapped text

    found += cut(shown.data());
    if (auto *status = shown->findChild<QLabel *>("lStatus"))
        for (const char *text : {"Service : Belum diinstall", "Service : Aktif", "Service : Tidak Aktif",
                                 "Manager tidak berjalan"}) {
            status->setText(text);
            found += cut(status->parentWidget());
        }
    found.removeDuplicates();
    QVERIFY2(found.isEmpty(), qPrintable(found.join('\n')));
}

QTEST_MAIN(TestTextFit)
#include "tst_textfit.moc"
