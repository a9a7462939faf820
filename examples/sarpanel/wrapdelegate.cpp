#include "wrapdelegate.h"

#include <QListView>
#include <QTextBoundaryFinder>

namespace {

// Words up to this many letters wrap whole; a longer one breaks after the separators of
// names and paths, and a stretch this long without one between any two letters.
constexpr int LongWord = 16;
const QChar ZeroWidthSpace(0x200B);
const QString Separators = QStringLiteral("_/\\.-:");

QStringList letters(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    QStringList result;
    for (int start = 0, end = finder.toNextBoundary(); end > 0;
         start = end, end = finder.toNextBoundary())
        result << text.mid(start, end - start);
    return result;
}

QString breakStretch(const QStringList &stretch)
{
    return stretch.join(stretch.size() > LongWord ? QString(ZeroWidthSpace) : QString());
}

QString breakWord(const QString &word)
{
    const QStringList all = letters(word);
    if (all.size() <= LongWord)
        return word;
    QString result;
    QStringList stretch;
    for (const QString &letter : all) {
        stretch << letter;
        if (letter.size() == 1 && Separators.contains(letter.at(0))) {
            result += breakStretch(stretch) + ZeroWidthSpace;
            stretch.clear();
        }
    }
    return result + breakStretch(stretch);
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
