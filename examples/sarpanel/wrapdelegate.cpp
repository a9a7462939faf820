#include "wrapdelegate.h"

#include <QListView>
#include <QTextBoundaryFinder>

namespace {

// Words up to this many letters wrap whole; longer ones may break anywhere.
constexpr int LongWord = 12;
const QChar ZeroWidthSpace(0x200B);

QString breakWord(const QString &word)
{
    QTextBoundaryFinder letters(QTextBoundaryFinder::Grapheme, word);
    QString result;
    int start = 0, count = 0;
    for (int end = letters.toNextBoundary(); end > 0; end = letters.toNextBoundary(), ++count) {
        if (count > 0)
            result += ZeroWidthSpace;
        result += word.midRef(start, end - start);
        start = end;
    }
    return count > LongWord ? result : word;
}

} // namespace

QString XWrapDelegate::breakable(const QString &text)
{
    QString result, word;
    for (const QChar c : text) {
        if (c.isSpace()) {
            result += breakWord(word) + c;
            word.clear();
        } else {
            word += c;
        }
    }
    return result + breakWord(word);
}

void XWrapDelegate::wrapItems(QListView *list)
{
    list->setItemDelegate(new XWrapDelegate(list));
    list->setWordWrap(true);
    list->setResizeMode(QListView::Adjust);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

void XWrapDelegate::initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    option->text = breakable(option->text);
    option->features |= QStyleOptionViewItem::WrapText;
}
