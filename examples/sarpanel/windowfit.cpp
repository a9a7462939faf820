// The main window keeps its drawn layout where the font leaves room for it.
// Where a text needs more, its widget grows the least it must and what stands
// beside it moves over; the window grows only when a row no longer fits in it.
#include "formfit.h"
#include "maincontrolpanel.h"
#include "ui_maincontrolpanel.h"

#include <QLabel>
#include <QMenuBar>

namespace {

constexpr int Gap = 8;           // between two widgets of a row pushed together
constexpr int LabelGap = 6;      // between a label's text and its field
constexpr int RightMargin = 21;  // right of the status label as drawn
constexpr int BottomMargin = 18; // below the bottom buttons as drawn

void growWidth(QWidget *w)
{
    w->resize(qMax(w->width(), formfit::neededWidth(w)), w->height());
}

// Taller about its middle, so that it stays in line with its row.
void growHeight(QWidget *w)
{
    const int grow = formfit::neededHeight(w) - w->height();
    if (grow > 0)
        w->setGeometry(w->x(), w->y() - grow / 2, w->width(), w->height() + grow);
}

// Places a row whose widgets may have grown: each keeps its place unless its
// left neighbour pushes it right. A row that then reaches past where it ended
// is pushed back from there, as far as its own start allows.
void placeRow(const QList<QWidget *> &row)
{
    const int start = row.first()->x();
    const int end = row.last()->geometry().right();
    for (int i = 1; i < row.size(); ++i)
        row[i]->move(qMax(row[i]->x(), row[i - 1]->geometry().right() + 1 + Gap), row[i]->y());
    if (row.last()->geometry().right() <= end)
        return;
    int right = end;
    for (int i = row.size() - 1; i >= 0; --i) {
        row[i]->move(qMin(row[i]->x(), right + 1 - row[i]->width()), row[i]->y());
        right = row[i]->x() - 1 - Gap;
    }
    const int overshoot = start - row.first()->x();
    if (overshoot > 0)
        for (QWidget *w : row)
            w->move(w->x() + overshoot, w->y());
}

} // namespace

void MainControlPanel::fitToFont()
{
    Ui::MainControlPanel &f = *ui;
    for (QWidget *w : {static_cast<QWidget *>(f.tLokasi), static_cast<QWidget *>(f.tServer),
                       static_cast<QWidget *>(f.tmJam1), static_cast<QWidget *>(f.tmJam2)})
        growHeight(w);

    // The labels stay one column; the fields beside them move over together,
    // so that no label runs into its field.
    const QList<QLabel *> labels{f.label, f.label_2, f.label_3, f.label_4, f.label_5};
    int labelWidth = 0;
    for (QLabel *label : labels) {
        growHeight(label);
        labelWidth = qMax(labelWidth, formfit::neededWidth(label));
    }
    const int shift = qMax(0, f.label->x() + labelWidth + LabelGap - f.tLokasi->x());
    for (QLabel *label : labels)
        label->resize(qMax(label->width() + shift, labelWidth), label->height());
    for (QWidget *w : {static_cast<QWidget *>(f.tLokasi), static_cast<QWidget *>(f.butSelectFolder),
                       static_cast<QWidget *>(f.cbJam1), static_cast<QWidget *>(f.tmJam1),
                       static_cast<QWidget *>(f.cbJam2), static_cast<QWidget *>(f.tmJam2),
                       static_cast<QWidget *>(f.tServer), static_cast<QWidget *>(f.listWidget),
                       static_cast<QWidget *>(f.butAdd), static_cast<QWidget *>(f.butDel)})
        w->move(w->x() + shift, w->y());

    // Start and Stop take what they need; the status label beside them keeps
    // its right edge and gives up width down to what its longest text needs.
    growWidth(f.butStart);
    growWidth(f.butStop);
    placeRow({f.butStart, f.butStop});
    const int statusRight = f.lStatus->geometry().right();
    int statusWidth = 0;
    const QString shown = f.lStatus->text();
    for (const QString &text :
         {QStringLiteral("Service : Belum diinstall"), QStringLiteral("Service : Tidak Aktif"),
          QStringLiteral("Service : Aktif")}) {
        f.lStatus->setText(text);
        statusWidth = qMax(statusWidth, formfit::neededWidth(f.lStatus));
    }
    f.lStatus->setText(shown);
    const int statusLeft = qMax(f.lStatus->x(), f.butStop->geometry().right() + 1 + Gap);
    f.lStatus->setGeometry(statusLeft, f.lStatus->y(),
                           qMax(statusWidth, statusRight + 1 - statusLeft), f.lStatus->height());

    for (QPushButton *button : {f.butHelp, f.butSaveRestart, f.butTutup}) {
        growWidth(button);
        growHeight(button);
    }
    placeRow({f.butHelp, f.butSaveRestart, f.butTutup});

    // The window grows only as far as its widgets now reach.
    QRect used;
    for (QWidget *w :
         f.centralWidget->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
        used |= w->geometry();
    const int menuHeight = f.menuBar->sizeHint().height();
    formSize = QSize(qMax(532, used.right() + 1 + RightMargin),
                     qMax(491, menuHeight + used.bottom() + 1 + BottomMargin) - menuHeight);
    fitWindow();
}

void MainControlPanel::fitWindow()
{
    ui->centralWidget->setFixedSize(formSize);
    int height = ui->menuBar->sizeHint().height() + formSize.height();
    if (!notice->isHidden()) {
        notice->setFixedHeight(notice->heightForWidth(formSize.width()));
        height += notice->height();
    }
    const QSize size(formSize.width(), height);
    setMinimumSize(size);
    setMaximumSize(size);
    resize(size);
}
