// Data-driven tests whose columns are all text, one line a case:
//   textTable({"call", "answer"}, {{"the case", "open-manager 1", "result=1 error=0"}, ...});
// then cell("call") in the test. Qt keeps column names by pointer: give literals.
#pragma once

#include <QtTest>

#include <initializer_list>

inline void textTable(std::initializer_list<const char *> columns, const QList<QStringList> &rows)
{
    for (const char *column : columns)
        QTest::addColumn<QString>(column);
    for (const QStringList &row : rows) {
        QTestData &data = QTest::newRow(qPrintable(row.value(0)));
        for (const QString &text : row.mid(1))
            data << text;
    }
}

// A column of the current row.
inline QString cell(const char *column)
{
    return *static_cast<QString *>(QTest::qData(column, qMetaTypeId<QString>()));
}
