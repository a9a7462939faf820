// No text of the main window, the log viewer, the picker, the status window or the
// advanced settings is cut at the desktop font sizes 9, 10 and 11 points: each label and button is
// at least as large as its text needs, icon and margins included, and each line and time edit has
// room for a line of text.
#include "fdfrdatabase.h"
#include "flog.h"
#include "fpengaturan.h"
#include "fstatusbackup.h"
#include "historywatch.h"
#include "panelfixture.h"

#include <QAbstractButton>
#include <QLabel>

using namespace panel;

namespace {

// What each widget needs and does not get, one line per widget.
QStringList cut(QWidget *window)
{
    QStringList found;
    auto check = [&found](QWidget *w, int wide, int high, int width, int height) {
        if (wide > width || high > height)
            found << QStringLiteral("%1 in %2 needs %3x%4, has %5x%6")
                         .arg(w->objectName(), w->parentWidget()->objectName(),
                              QString::number(wide), QString::number(high), QString::number(width),
                              QString::number(height));
    };
    for (QWidget *w : window->findChildren<QWidget *>()) {
        auto *label = qobject_cast<QLabel *>(w);
        if (label && label->wordWrap()) // as many rows as its width makes
            check(w, 0, label->heightForWidth(w->width()), 0, w->height());
        else if (label || qobject_cast<QAbstractButton *>(w))
            check(w, w->sizeHint().width(), w->sizeHint().height(), w->width(), w->height());
    }
    // An edit's text scrolls sideways; a line of it must fit inside the frame,
    // where it is clipped. A time edit's text sits in such an edit, frameless.
    for (QLineEdit *edit : window->findChildren<QLineEdit *>()) {
        const int frame =
            edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) : 0;
        check(edit, 0, edit->fontMetrics().height(), 0, edit->height() - 2 * frame);
    }
    return found;
}

// In a form placed by hand, a text may also run under the widget beside it:
// what a label's text covers, and every other widget, must not overlap.
QStringList covered(QWidget *form)
{
    QList<QPair<QWidget *, QRect>> areas;
    for (QWidget *w : form->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        QRect area = w->geometry();
        if (auto *label = qobject_cast<QLabel *>(w)) {
            const int text = qMin(label->sizeHint().width(), area.width());
            if (label->alignment() & Qt::AlignHCenter)
                area.adjust((area.width() - text) / 2, 0, 0, 0);
            area.setWidth(text);
        }
        areas.append({w, area});
    }
    QStringList found;
    for (int i = 0; i < areas.size(); ++i)
        for (int j = i + 1; j < areas.size(); ++j)
            if (areas[i].second.intersects(areas[j].second))
                found << areas[i].first->objectName() + " runs into " +
                             areas[j].first->objectName();
    return found;
}

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
    QTest::addColumn<int>("points");
    QTest::addColumn<QString>("window");
    for (int points : {9, 10, 11})
        for (const char *window :
             {"main window", "log viewer", "picker", "status window", "advanced settings"})
            QTest::addRow("%s at %d points", window, points) << points << QString(window);
}

void TestTextFit::fits()
{
    QFETCH(QString, window);
    QTemporaryDir dir;
    ModalAnswerer answerer; // a missing log, no server
    QScopedPointer<QWidget> shown;
    XHistoryWatch history(dir.filePath("riwayat.db"));
    if (window == "main window")
        shown.reset(new MainControlPanel(nullptr, dir.path()));
    else if (window == "log viewer")
        shown.reset(new flog(nullptr, dir.path()));
    else if (window == "status window")
        shown.reset(new FStatusBackup(&history));
    else if (window == "advanced settings")
        shown.reset(new FPengaturan(QSqlDatabase()));
    else
        shown.reset(new FDfrDatabase);
    shown->show();
    QVERIFY(QTest::qWaitForWindowExposed(shown.data()));

    QStringList found = cut(shown.data());
    if (auto *main = qobject_cast<QMainWindow *>(shown.data()))
        found += covered(main->centralWidget());
    if (auto *status = shown->findChild<QLabel *>("lStatus")) {
        for (const char *text :
             {"Service : Belum diinstall", "Service : Aktif", "Service : Tidak Aktif"}) {
            status->setText(text);
            found += cut(status->parentWidget());
        }
        found.removeDuplicates();
    }
    QVERIFY2(found.isEmpty(), qPrintable(found.join('\n')));
}

QTEST_MAIN(TestTextFit)
#include "tst_textfit.moc"
