// The matcher's settings, weight lists and descriptor maps.

#include "maps/descriptor.h"
#include "matcher/image_matcher.h"
#include "reference/reference_descriptor.h"
#include "test_support.h"

#include <QtTest>

#include <functional>

namespace {

using Pattern = std::function<float(int x, int y)>;

FeatureMap map_of(int width, int height, const Pattern &pattern, const QString &name = "src")
{
    FeatureMap map = FeatureMap::allocate(width, height, name);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            map.at(x, y) = pattern(x, y);
        }
    }
    return map;
}

FeatureMap descriptor(ImageMatcher &matcher, const FeatureMap &source)
{
    matcher.fill_weights();
    FeatureMap result;
    matcher.compute_descriptor_map(source, result, matcher.radius);
    return result;
}

} // namespace

Q_DECLARE_METATYPE(Pattern)

class TestDescriptor : public QObject
{
    Q_OBJECT

private slots:
    void construction_prints_running_once()
    {
        ConsoleCapture console;
        ImageMatcher matcher(50, 1);
        QCOMPARE(console.text(), QString("running\n"));
        QCOMPARE(matcher.radius, 50);
        QCOMPARE(matcher.step_divisor, 1);
        QVERIFY(matcher.weights_x.isEmpty());
        QVERIFY(matcher.weights_y.isEmpty());
    }

    void fill_weights_data()
    {
        QTest::addColumn<int>("radius");
        QTest::addColumn<QList<float>>("expected");
        QTest::newRow("radius 3") << 3 << QList<float>{3, 2, 1, 0};
        QTest::newRow("radius 1") << 1 << QList<float>{1, 0};
        QTest::newRow("radius 0") << 0 << QList<float>{0};
        QTest::newRow("negative radius leaves both empty") << -2 << QList<float>{};
    }
    void fill_weights()
    {
        QFETCH(int, radius);
        QFETCH(QList<float>, expected);
        ImageMatcher matcher(radius, 1, ImageMatcher::Quiet{});
        matcher.weights_x = {9, 9, 9, 9, 9, 9};
        matcher.fill_weights();
        QCOMPARE(matcher.weights_x, expected);
        QCOMPARE(matcher.weights_y, expected);
    }

    void settings_validity_data()
    {
        QTest::addColumn<int>("radius");
        QTest::addColumn<int>("step_divisor");
        QTest::addColumn<bool>("valid");
        QTest::newRow("defaults 50 and 1") << 50 << 1 << true;
        QTest::newRow("radius 1") << 1 << 1 << true;
        QTest::newRow("radius equal to divisor gives step 1") << 4 << 4 << true;
        QTest::newRow("radius 0") << 0 << 1 << false;
        QTest::newRow("radius below divisor gives step 0") << 3 << 4 << false;
        QTest::newRow("divisor 0") << 50 << 0 << false;
        QTest::newRow("negative radius") << -10 << 1 << false;
        QTest::newRow("both negative") << -10 << -1 << false;
    }
    void settings_validity()
    {
        QFETCH(int, radius);
        QFETCH(int, step_divisor);
        QFETCH(bool, valid);
        const WindowSettings settings{radius, step_divisor};
        QCOMPARE(settings.valid(), valid);
        ConsoleCapture console;
        QCOMPARE(refuse_invalid(settings), !valid);
        const QString expected = valid ? QString()
                                       : QString("invalid window settings: radius %1, step "
                                                 "divisor %2\n")
                                             .arg(radius)
                                             .arg(step_divisor);
        QCOMPARE(console.text(), expected);
    }

    // Settings that give no step must not hang or divide by zero: the map is empty.
    void invalid_settings_give_an_empty_map_data() { settings_validity_data(); }
    void invalid_settings_give_an_empty_map()
    {
        QFETCH(int, radius);
        QFETCH(int, step_divisor);
        QFETCH(bool, valid);
        if (valid) {
            QSKIP("valid settings are covered by the value tests");
        }
        ImageMatcher matcher(radius, step_divisor, ImageMatcher::Quiet{});
        const FeatureMap source = map_of(40, 40, [](int x, int) { return float(x); });
        const FeatureMap result = descriptor(matcher, source);
        QCOMPARE(result.width, 0);
        QCOMPARE(result.height, 0);
        QVERIFY(!result.has_values());
        QCOMPARE(result.name, source.name);
    }

    void too_short_weight_lists_give_an_empty_map()
    {
        ImageMatcher matcher(5, 1, ImageMatcher::Quiet{});
        matcher.fill_weights();
        FeatureMap result;
        matcher.compute_descriptor_map(map_of(40, 40, [](int, int) { return 1.f; }), result, 9);
        QCOMPARE(result.cell_count(), qint64(0));
    }

    void values_of_simple_images_data()
    {
        QTest::addColumn<int>("radius");
        QTest::addColumn<int>("step_divisor");
        QTest::addColumn<Pattern>("pattern");
        QTest::addColumn<float>("expected");
        const Pattern constant = [](int, int) { return 77.f; };
        const Pattern ramp_x = [](int x, int) { return float(x); };
        const Pattern ramp_y = [](int, int y) { return float(y); };
        const Pattern ramp_xy = [](int x, int y) { return float(x + y); };
        QTest::newRow("constant gives 0") << 4 << 1 << constant << 0.f;
        QTest::newRow("constant gives 0, divisor 3") << 6 << 3 << constant << 0.f;
        QTest::newRow("grey rising to the right gives -1") << 4 << 1 << ramp_x << -1.f;
        QTest::newRow("grey rising downward gives -1") << 5 << 2 << ramp_y << -1.f;
        QTest::newRow("grey rising both ways gives -2") << 3 << 1 << ramp_xy << -2.f;
        QTest::newRow("radius 50 ramp") << 50 << 1 << ramp_xy << -2.f;
    }
    void values_of_simple_images()
    {
        QFETCH(int, radius);
        QFETCH(int, step_divisor);
        QFETCH(Pattern, pattern);
        QFETCH(float, expected);
        ImageMatcher matcher(radius, step_divisor, ImageMatcher::Quiet{});
        const FeatureMap result =
            descriptor(matcher, map_of(4 * radius + 3, 3 * radius + 2, pattern));
        QVERIFY(result.cell_count() > 1);
        for (qint64 k = 0; k < result.cell_count(); ++k) {
            QCOMPARE(result.values[k], expected);
        }
    }

    void radius_one_gives_not_a_number()
    {
        ImageMatcher matcher(1, 1, ImageMatcher::Quiet{});
        const FeatureMap result =
            descriptor(matcher, map_of(6, 5, [](int x, int y) { return float(x * y); }));
        QCOMPARE(result.width, 4);
        QCOMPARE(result.height, 3);
        for (qint64 k = 0; k < result.cell_count(); ++k) {
            QVERIFY(std::isnan(result.values[k]));
        }
    }

    void sizes_data()
    {
        QTest::addColumn<int>("radius");
        QTest::addColumn<int>("step_divisor");
        QTest::addColumn<int>("source_width");
        QTest::addColumn<int>("source_height");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("300 x 200 gives 4 x 2") << 50 << 1 << 300 << 200 << 4 << 2;
        QTest::newRow("301 x 200 gives 5 x 2") << 50 << 1 << 301 << 200 << 5 << 2;
        QTest::newRow("101 wide gives one column") << 50 << 1 << 101 << 101 << 1 << 1;
        QTest::newRow("100 wide gives no column") << 50 << 1 << 100 << 101 << 0 << 1;
        QTest::newRow("50 wide gives -1 columns") << 50 << 1 << 50 << 101 << -1 << 1;
        QTest::newRow("too small both ways") << 50 << 1 << 40 << 30 << -1 << -1;
        QTest::newRow("120 x 80") << 50 << 1 << 120 << 80 << 1 << 0;
        QTest::newRow("101 x 300") << 50 << 1 << 101 << 300 << 1 << 4;
        QTest::newRow("step 12 of radius 50 and divisor 4") << 50 << 4 << 301 << 200 << 17 << 9;
    }
    void sizes()
    {
        QFETCH(int, radius);
        QFETCH(int, step_divisor);
        QFETCH(int, source_width);
        QFETCH(int, source_height);
        QFETCH(int, width);
        QFETCH(int, height);
        ImageMatcher matcher(radius, step_divisor, ImageMatcher::Quiet{});
        const FeatureMap source = map_of(source_width, source_height,
                                         [](int x, int y) { return float((x * 7 + y) % 256); });
        const FeatureMap result = descriptor(matcher, source);
        QCOMPARE(result.width, width);
        QCOMPARE(result.height, height);
        QCOMPARE(result.name, source.name);
        // A map too small in one or both directions keeps its sizes but holds no values.
        QCOMPARE(result.has_values(), width > 0 && height > 0);
        if (result.has_values()) {
            const FeatureMap expected = reference::descriptor_map(source, radius, step_divisor);
            for (qint64 k = 0; k < result.cell_count(); ++k) {
                QVERIFY(same_bits(result.values[k], expected.values[k]));
            }
        }
    }

    // Whatever the source, the values are bit for bit those of the literal loop.
    void random_sources_match_the_literal_loop()
    {
        std::mt19937 rng(20261207);
        std::uniform_int_distribution<int> radius_of(1, 9);
        std::uniform_int_distribution<int> divisor_of(1, 4);
        std::uniform_int_distribution<int> extra(0, 40);
        std::uniform_real_distribution<float> real(-300.f, 300.f);
        for (int round = 0; round < 150; ++round) {
            const int a = radius_of(rng);
            const int c = std::min(divisor_of(rng), a);
            const int width = 2 * a + extra(rng);
            const int height = 2 * a + extra(rng);
            FeatureMap source = random_grey_map(rng, width, height, "r");
            if (round % 5 == 0) { // not grey levels: fractions and negatives
                for (qint64 k = 0; k < source.cell_count(); ++k) {
                    source.values[k] = real(rng);
                }
            }
            ImageMatcher matcher(a, c, ImageMatcher::Quiet{});
            const FeatureMap result = descriptor(matcher, source);
            const FeatureMap expected = reference::descriptor_map(source, a, c);
            QCOMPARE(result.width, expected.width);
            QCOMPARE(result.height, expected.height);
            for (qint64 k = 0; k < result.cell_count(); ++k) {
                if (!same_bits(result.values[k], expected.values[k])) {
                    QFAIL(qPrintable(QString("round %1 (a %2, c %3, %4 x %5): cell %6 is %7, "
                                             "expected %8")
                                         .arg(round)
                                         .arg(a)
                                         .arg(c)
                                         .arg(width)
                                         .arg(height)
                                         .arg(k)
                                         .arg(double(result.values[k]), 0, 'g', 9)
                                         .arg(double(expected.values[k]), 0, 'g', 9)));
                }
            }
        }
    }

    // Grey levels over radii 1 to 200 and divisors 1 to 5: the fast path, bit for bit.
    void fast_path_matches_the_literal_loop()
    {
        std::mt19937 rng(777);
        std::uniform_int_distribution<int> radius_of(1, 200);
        std::uniform_int_distribution<int> divisor_of(1, 5);
#if defined(__SANITIZE_ADDRESS__)
        const int rounds = 40;
#else
        const int rounds = 250;
#endif
        for (int round = 0; round < rounds; ++round) {
            const int a = round < 20 ? round + 1 : radius_of(rng);
            const int c = std::min(divisor_of(rng), a);
            const int s = a / c;
            // Up to four windows each way, sizes just below and above a whole grid.
            std::uniform_int_distribution<int> extent(2 * a - s, 2 * a + 3 * s + 2);
            const int width = std::max(1, extent(rng));
            const int height = std::max(1, extent(rng));
            const FeatureMap source = random_grey_map(rng, width, height);
            const QList<float> weights = reference::weights(a);
            const std::vector<float> w(weights.begin(), weights.end());
            FeatureMap fast = FeatureMap::allocate(descriptor_extent(width, a, s),
                                                   descriptor_extent(height, a, s));
            QVERIFY(descriptor_values_exact(source, fast, a, s, w.data(), w.data()));
            const FeatureMap expected = reference::descriptor_map(source, a, c);
            QCOMPARE(fast.width, expected.width);
            QCOMPARE(fast.height, expected.height);
            for (qint64 k = 0; k < fast.cell_count(); ++k) {
                if (!same_bits(fast.values[k], expected.values[k])) {
                    QFAIL(qPrintable(QString("a %1, c %2, %3 x %4: cell %5 is %6, expected %7")
                                         .arg(a)
                                         .arg(c)
                                         .arg(width)
                                         .arg(height)
                                         .arg(k)
                                         .arg(double(fast.values[k]), 0, 'g', 9)
                                         .arg(double(expected.values[k]), 0, 'g', 9)));
                }
            }
        }
    }

    // Where exactness is not guaranteed the fast path declines, and the matcher's result is
    // still the literal loop's.
    void fast_path_declines_what_it_cannot_do_exactly_data()
    {
        QTest::addColumn<float>("odd_value");
        QTest::addColumn<int>("weights_radius");
        QTest::newRow("fraction") << 12.5f << 4;
        QTest::newRow("negative") << -1.f << 4;
        QTest::newRow("above 255") << 256.f << 4;
        QTest::newRow("not a number") << std::numeric_limits<float>::quiet_NaN() << 4;
        QTest::newRow("weights of a larger radius") << 7.f << 9;
    }
    void fast_path_declines_what_it_cannot_do_exactly()
    {
        QFETCH(float, odd_value);
        QFETCH(int, weights_radius);
        constexpr int a = 4;
        std::mt19937 rng(5);
        FeatureMap source = random_grey_map(rng, 31, 27);
        source.at(13, 11) = odd_value;
        ImageMatcher matcher(weights_radius, 2, ImageMatcher::Quiet{});
        matcher.fill_weights();
        const std::vector<float> w(matcher.weights_x.begin(), matcher.weights_x.end());
        FeatureMap declined =
            FeatureMap::allocate(descriptor_extent(31, a, 2), descriptor_extent(27, a, 2));
        QVERIFY(!descriptor_values_exact(source, declined, a, 2, w.data(), w.data()));
        FeatureMap result;
        matcher.compute_descriptor_map(source, result, a);
        const FeatureMap expected =
            reference::descriptor_map(source, a, 2, matcher.weights_x, matcher.weights_y);
        QCOMPARE(result.cell_count(), expected.cell_count());
        for (qint64 k = 0; k < result.cell_count(); ++k) {
            QVERIFY(same_bits(result.values[k], expected.values[k]) ||
                    (std::isnan(result.values[k]) && std::isnan(expected.values[k])));
        }
    }

    void exactness_holds_up_to_large_windows_only()
    {
        QVERIFY(descriptor_sums_exact(1));
        QVERIFY(descriptor_sums_exact(150));
        QVERIFY(descriptor_sums_exact(2191));
        QVERIFY(!descriptor_sums_exact(2192));
        QVERIFY(!descriptor_sums_exact(5000));
        QVERIFY(!descriptor_sums_exact(0));
    }

    // The map's array is shared by copies and released with the last one.
    void values_are_shared_and_released()
    {
        std::weak_ptr<float[]> watch;
        {
            FeatureMap first = FeatureMap::allocate(3, 2, "a");
            FeatureMap copy = first;
            QCOMPARE(copy.data(), first.data());
            copy.at(2, 1) = 5.f;
            QCOMPARE(first.at(2, 1), 5.f);
            QCOMPARE(first.at(0, 0), 0.f);
            watch = first.values;
        }
        QVERIFY(watch.expired());
    }
};

QTEST_GUILESS_MAIN(TestDescriptor)
#include "tst_descriptor.moc"
