// Item text that wraps within its cell, also inside a long word such as a database name or a
// path: the whole text shows on as many lines as it needs, never cut off or elided.
#pragma once

#include <QStyledItemDelegate>

class QListView;

class XWrapDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // Makes a list show every item whole within its width, laid out again when that changes.
    static void wrapItems(QListView *list);

    // The text as shown: a break opportunity between the letters of every long word, so that
    // word wrapping may break it too; short words still wrap whole.
    static QString breakable(const QString &text);

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;
};
