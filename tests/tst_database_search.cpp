// The database search: picks, success count, timing and the summary line.

#include "matcher/image_matcher.h"
#include "search/database_search.h"
#include "test_support.h"

#include <QtTest>

namespace {

constexpr int radius = 2; // with step divisor 1 the grid step is 2 pixels

FeatureMap crop(const FeatureMap &grey, int x0, int y0, int width, int height, const QString &name)
{
    FeatureMap part = FeatureMap::allocate(width, height, name);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            part.at(x, y) = grey.at(x0 + x, y0 + y);
        }
    }
    return part;
}

// Three database images and their descriptor maps; patterns are grid-aligned crops of them.
struct Fixture {
    Fixture()
    {
        std::mt19937 rng(5);
        for (const char *name : {"cat", "dog", "owl"}) {
            images.append(random_grey_map(rng, 30, 24, name));
            matcher.fill_weights();
            FeatureMap descriptor;
            matcher.compute_descriptor_map(images.last(), descriptor, radius);
            database.append(descriptor);
        }
    }
    FeatureMap pattern_of(int image, const QString &name) const
    {
        return crop(images[image], 4, 6, 12, 10, name);
    }

    ImageMatcher matcher{radius, 1, ImageMatcher::Quiet{}};
    QList<FeatureMap> images;
    QList<FeatureMap> database;
};

// A clock that returns the given readings in turn.
std::function<std::uint32_t()> readings(QList<std::uint32_t> values)
{
    auto shared = std::make_shared<QList<std::uint32_t>>(std::move(values));
    return [shared] { return shared->takeFirst(); };
}

} // namespace

class TestDatabaseSearch : public QObject
{
    Q_OBJECT

private slots:
    void empty_database_changes_nothing()
    {
        Fixture f;
        ConsoleCapture console;
        int elapsed = 123;
        QString name = "keep";
        float rate = 7;
        f.matcher.weights_x = {9};
        f.matcher.search_database({f.pattern_of(0, "cat")}, {}, elapsed, name, rate);
        QCOMPARE(console.text(), QString("database is empty, exiting...\n"));
        QCOMPARE(elapsed, 123);
        QCOMPARE(name, QString("keep"));
        QCOMPARE(rate, 7.f);
        QCOMPARE(f.matcher.weights_x, QList<float>{9});
    }

    void success_rate_and_summary_line_data()
    {
        QTest::addColumn<QStringList>("names"); // pattern i is cut from image i % 3
        QTest::addColumn<QList<std::uint32_t>>("clock");
        QTest::addColumn<QString>("line");
        QTest::addColumn<float>("rate");
        QTest::addColumn<QString>("last_pick");
        QTest::newRow("one pattern found")
            << QStringList{"cat"} << QList<std::uint32_t>{1000, 1047} << "47\t100\n"
            << 100.f << "cat";
        QTest::newRow("two patterns, one found, 25 ms")
            << QStringList{"cat", "bird"} << QList<std::uint32_t>{0, 25} << "12\t50\n"
            << 50.f << "dog";
        QTest::newRow("three patterns, one found")
            << QStringList{"cat", "x", "y"} << QList<std::uint32_t>{5, 5} << "0\t33.3333\n"
            << float(1.0 / 3 * 100) << "owl";
        QTest::newRow("none found")
            << QStringList{"dog", "cat"} << QList<std::uint32_t>{0, 9} << "4\t0\n"
            << 0.f << "dog";
        QTest::newRow("name compared case-sensitively")
            << QStringList{"Cat"} << QList<std::uint32_t>{0, 1} << "1\t0\n"
            << 0.f << "cat";
        QTest::newRow("clock wrapping around")
            << QStringList{"cat"} << QList<std::uint32_t>{0xfffffff0u, 0x0000000au} << "26\t100\n"
            << 100.f << "cat";
    }
    void success_rate_and_summary_line()
    {
        QFETCH(QStringList, names);
        QFETCH(QList<std::uint32_t>, clock);
        QFETCH(QString, line);
        QFETCH(float, rate);
        QFETCH(QString, last_pick);
        Fixture f;
        QList<FeatureMap> patterns;
        for (int k = 0; k < names.size(); ++k) {
            patterns.append(f.pattern_of(k % 3, names[k]));
        }
        ConsoleCapture console;
        SearchOptions options;
        options.clock = readings(clock);
        const SearchOutcome outcome =
            search_patterns(f.matcher.settings(), patterns, f.database, options);
        QCOMPARE(console.text(), line);
        QCOMPARE(outcome.rate, rate);
        QCOMPARE(outcome.picks.last().picked_name(), last_pick);
        for (int k = 0; k < names.size(); ++k) {
            // A grid-aligned crop matches its source exactly at its offset.
            QVERIFY(outcome.picks[k].best);
            QCOMPARE(outcome.picks[k].best->score, 0.f);
            QCOMPARE(outcome.picks[k].best->x, 2);
            QCOMPARE(outcome.picks[k].best->y, 3);
        }
    }

    void outputs_of_the_matcher_operation()
    {
        Fixture f;
        ConsoleCapture console;
        int elapsed = -1;
        QString name;
        float rate = -1;
        f.matcher.search_database({f.pattern_of(1, "dog"), f.pattern_of(2, "cat")}, f.database,
                                  elapsed, name, rate);
        QVERIFY(elapsed >= 0);
        QCOMPARE(name, QString("owl"));
        QCOMPARE(rate, 50.f);
        QCOMPARE(f.matcher.weights_x, (QList<float>{2, 1, 0}));
        QCOMPARE(f.matcher.weights_y, (QList<float>{2, 1, 0}));
    }

    void weights_are_rebuilt_with_the_radius()
    {
        Fixture f;
        f.matcher.radius = 3;
        ConsoleCapture console;
        int elapsed = 0;
        QString name;
        float rate = 0;
        f.matcher.search_database({f.pattern_of(0, "cat")}, f.database, elapsed, name, rate);
        QCOMPARE(f.matcher.weights_x, (QList<float>{3, 2, 1, 0}));
        QCOMPARE(f.matcher.weights_y, (QList<float>{3, 2, 1, 0}));
    }

    void pattern_too_small_for_the_window_lands_in_the_first_map_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("found");
        QTest::newRow("named after the first map") << "cat" << true;
        QTest::newRow("named after another map") << "dog" << false;
    }
    void pattern_too_small_for_the_window_lands_in_the_first_map()
    {
        QFETCH(QString, name);
        QFETCH(bool, found);
        Fixture f;
        ConsoleCapture console;
        const SearchOutcome outcome = search_patterns(
            f.matcher.settings(), {crop(f.images[1], 0, 0, 3, 3, name)}, f.database);
        QCOMPARE(outcome.picks[0].picked_name(), QString("cat"));
        QCOMPARE(outcome.picks[0].best->score, 0.f);
        QCOMPARE(outcome.picks[0].found, found);
    }

    void pattern_larger_than_every_map_finds_nothing()
    {
        Fixture f;
        ConsoleCapture console;
        int elapsed = 0;
        QString name = "before";
        float rate = 5;
        FeatureMap big = FeatureMap::allocate(60, 60, "cat");
        f.matcher.search_database({big}, f.database, elapsed, name, rate);
        QCOMPARE(name, QString());
        QCOMPARE(rate, 0.f);
        QVERIFY(console.text().endsWith("\t0\n"));
    }

    void a_pattern_without_a_name_is_found_by_nothing_at_all()
    {
        Fixture f;
        ConsoleCapture console;
        const SearchOutcome outcome = search_patterns(
            f.matcher.settings(), {FeatureMap::allocate(60, 60, QString())}, f.database);
        QVERIFY(!outcome.picks[0].best);
        QVERIFY(outcome.picks[0].found); // both names are empty
        QCOMPARE(outcome.rate, 100.f);
    }

    void no_patterns_is_reported_not_divided_by()
    {
        Fixture f;
        ConsoleCapture console;
        int elapsed = -1;
        QString name = "keep";
        float rate = 3;
        f.matcher.search_database({}, f.database, elapsed, name, rate);
        QCOMPARE(console.text(), QString("no patterns to search\n"));
        QCOMPARE(rate, 0.f);
        QCOMPARE(name, QString("keep"));
        QVERIFY(elapsed >= 0);
    }

    void invalid_settings_are_refused_before_computing()
    {
        Fixture f;
        f.matcher.radius = 0;
        ConsoleCapture console;
        int elapsed = 4;
        QString name = "keep";
        float rate = 3;
        f.matcher.search_database({f.pattern_of(0, "cat")}, f.database, elapsed, name, rate);
        QCOMPARE(console.text(), QString("invalid window settings: radius 0, step divisor 1\n"));
        QCOMPARE(elapsed, 4);
        QCOMPARE(rate, 3.f);
        QCOMPARE(name, QString("keep"));
    }

    void rate_formatting_data()
    {
        QTest::addColumn<float>("rate");
        QTest::addColumn<QString>("text");
        QTest::newRow("100") << 100.f << "100";
        QTest::newRow("50") << 50.f << "50";
        QTest::newRow("one third") << float(1.0 / 3 * 100) << "33.3333";
        QTest::newRow("two thirds") << float(2.0 / 3 * 100) << "66.6667";
        QTest::newRow("one seventh") << float(1.0 / 7 * 100) << "14.2857";
        QTest::newRow("0") << 0.f << "0";
    }
    void rate_formatting()
    {
        QFETCH(float, rate);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(format_rate(rate)), text);
    }
};

QTEST_GUILESS_MAIN(TestDatabaseSearch)
#include "tst_database_search.moc"
