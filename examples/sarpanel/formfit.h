// What a widget of an absolutely placed form needs so that none of its text is
// cut in the font it is shown in.
#pragma once

class QWidget;

namespace formfit {

// A label's or button's width for its text, icon and margins.
int neededWidth(QWidget *widget);
// A line or time edit's height for a line of its text; a label's or button's
// height for its text. Other widgets need no more than they have.
int neededHeight(QWidget *widget);

} // namespace formfit
