// What the records of a database amount to: the counts by state, the size ranges and the
// names held twice, as info shows them.

#include "ft1/database_stats.h"

#include <QtTest>

namespace {

// "name image_width image_height map_width map_height complete", a record per entry.
QList<Ft1Record> records_of(const QStringList &lines)
{
    QList<Ft1Record> records;
    for (const QString &line : lines) {
        const QStringList f = line.split(' ');
        records.append({f[0], f[1].toInt(), f[2].toInt(), f[3].toInt(), f[4].toInt(), f[5] == "1"});
    }
    return records;
}

// The least and the largest size, or "-" when none was seen.
QString range_text(const SizeRange &range)
{
    auto text = [](QSize size) { return QString("%1x%2").arg(size.width()).arg(size.height()); };
    return range.empty() ? QString("-") : text(range.least) + "-" + text(range.most);
}

} // namespace

class TestDatabaseStats : public QObject
{
    Q_OBJECT

private slots:
    void counts_and_ranges_data()
    {
        QTest::addColumn<QStringList>("records");
        QTest::addColumn<QList<int>>("counts"); // with a map, without cells, incomplete
        QTest::addColumn<QString>("images");
        QTest::addColumn<QString>("maps");
        QTest::addColumn<QString>("duplicates");
        QTest::newRow("no record") << QStringList{} << QList<int>{0, 0, 0} << "-"
                                   << "-"
                                   << "";
        QTest::newRow("each state counted apart")
            << QStringList{"a 300 200 9 6 1", "b 10 10 0 0 1", "c 300 200 9 6 0"}
            << QList<int>{1, 1, 1} << "10x10-300x200"
            << "0x0-9x6"
            << "";
        QTest::newRow("a record without cells and unclosed is incomplete too")
            << QStringList{"a 10 10 0 0 0"} << QList<int>{0, 1, 1} << "10x10-10x10"
            << "0x0-0x0"
            << "";
        QTest::newRow("widths and heights range apart")
            << QStringList{"a 400 100 12 3 1", "b 100 400 3 12 1"} << QList<int>{2, 0, 0}
            << "100x100-400x400"
            << "3x3-12x12"
            << "";
        QTest::newRow("unknown image sizes leave the image range")
            << QStringList{"a -1 200 9 6 1", "b 300 -1 9 6 1"} << QList<int>{2, 0, 0} << "-"
            << "9x6-9x6"
            << "";
        QTest::newRow("names held twice or more, by name")
            << QStringList{"owl 5 5 1 1 1", "cat 5 5 1 1 1", "dog 5 5 1 1 1",
                           "cat 5 5 1 1 1", "owl 5 5 1 1 1", "cat 5 5 1 1 1"}
            << QList<int>{6, 0, 0} << "5x5-5x5"
            << "1x1-1x1"
            << "cat 3, owl 2";
    }
    void counts_and_ranges()
    {
        QFETCH(QStringList, records);
        QFETCH(QList<int>, counts);
        QFETCH(QString, images);
        QFETCH(QString, maps);
        QFETCH(QString, duplicates);
        const DatabaseStats stats = database_stats(records_of(records));
        QCOMPARE(stats.records, records.size());
        QCOMPARE((QList<int>{stats.with_map, stats.without_cells, stats.incomplete}), counts);
        QCOMPARE(range_text(stats.image_sizes), images);
        QCOMPARE(range_text(stats.map_sizes), maps);
        QStringList names;
        for (const auto &name : stats.duplicates) {
            names << QString("%1 %2").arg(name.first).arg(name.second);
        }
        QCOMPARE(names.join(", "), duplicates);
    }
};

QTEST_GUILESS_MAIN(TestDatabaseStats)
#include "tst_database_stats.moc"
