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

    // The text as shown: break opportunities in every long word (after the separators of names
    // and paths, else between any two letters), so that word wrapping may break it too; short
    // words still wrap whole.
    static QString breakable(const QString &text);

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;
};
