#include "formfit.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QStyleOptionSpinBox>

namespace formfit {

int neededWidth(QWidget *widget)
{
    if (qobject_cast<QLabel *>(widget) || qobject_cast<QAbstractButton *>(widget))
        return widget->sizeHint().width();
    return widget->width();
}

// The style's room for the text inside an edit of the widget's present size;
// the text is clipped to it.
static int textRoom(QWidget *widget)
{
    QStyle *style = widget->style();
    if (auto *spin = qobject_cast<QAbstractSpinBox *>(widget)) {
        QStyleOptionSpinBox option;
        option.initFrom(spin);
        option.rect = spin->rect();
        option.frame = spin->hasFrame();
        option.buttonSymbols = spin->buttonSymbols();
        option.subControls = QStyle::SC_All;
        return style->subControlRect(QStyle::CC_SpinBox, &option, QStyle::SC_SpinBoxEditField, spin)
            .height();
    }
    auto *edit = static_cast<QLineEdit *>(widget);
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.rect = edit->rect();
    option.lineWidth =
        edit->hasFrame() ? style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit) : 0;
    return style->subElementRect(QStyle::SE_LineEditContents, &option, edit).height();
}

int neededHeight(QWidget *widget)
{
    if (qobject_cast<QLabel *>(widget) || qobject_cast<QAbstractButton *>(widget))
        return widget->sizeHint().height();
    if (!qobject_cast<QLineEdit *>(widget) && !qobject_cast<QAbstractSpinBox *>(widget))
        return widget->height();
    const int line = widget->fontMetrics().height();
    return widget->height() + qMax(0, line - textRoom(widget));
}

} // namespace formfit
