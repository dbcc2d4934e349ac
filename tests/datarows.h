#pragma once

#include <QTest>

// A table as _data() rows of one column, "row", each tagged by `tag`, so that a failure names its
// row and one row can run alone.
template <typename Row, typename Tag> void addRows(const QList<Row> &rows, Tag tag)
{
    QTest::addColumn<Row>("row");
    for (const Row &row : rows)
        QTest::newRow(qPrintable(tag(row))) << row;
}

// _data() rows of one flag, in the order given.
inline void flagRows(const char *column, std::initializer_list<std::pair<const char *, bool>> rows)
{
    QTest::addColumn<bool>(column);
    for (const auto &[tag, value] : rows)
        QTest::newRow(tag) << value;
}
