// The fast search against the literal candidate list: same map, position and score, whatever
// the number of threads.

#include "matcher/image_matcher.h"
#include "search/best_window.h"
#include "search/database_search.h"
#include "search/score_kernels.h"
#include "search/window_compare.h"
#include "test_support.h"

#include <QtTest>

#include <limits>

namespace {

const float nan_value = std::numeric_limits<float>::quiet_NaN();
const float inf_value = std::numeric_limits<float>::infinity();

#if defined(__SANITIZE_ADDRESS__)
constexpr int rounds = 600;
#else
constexpr int rounds = 4000;
#endif

// Values of one kind per database, so that some databases tie a lot, some cut off a lot.
struct ValueSource {
    std::mt19937 &rng;
    int kind;

    float next()
    {
        std::uniform_int_distribution<int> pick(0, 999);
        const int roll = pick(rng);
        if (roll < 3) {
            return nan_value;
        }
        if (roll < 4) {
            return roll % 2 ? inf_value : -inf_value;
        }
        switch (kind) {
        case 0: // few distinct values: exact ties everywhere
            return float(pick(rng) % 3);
        case 1: // differences around the cut-off
            return float(pick(rng) % 2 ? 250 + pick(rng) % 6 : -250 - pick(rng) % 6) +
                   (pick(rng) % 4) * 0.125f;
        case 2: // descriptor-like values
            return std::uniform_real_distribution<float>(-8.f, 8.f)(rng);
        case 3: // large sums: scores above 9999 and up to 9999999 and beyond
            return std::uniform_real_distribution<float>(-480.f, 480.f)(rng);
        default: // sums around 9999 with a rare late cut-off, which then wins
            return pick(rng) < 15 ? 600.f
                                  : std::uniform_real_distribution<float>(-240.f, 240.f)(rng);
        }
    }
};

FeatureMap random_map(ValueSource &values, int width, int height, const QString &name)
{
    FeatureMap map = FeatureMap::allocate(width, height, name);
    for (qint64 k = 0; k < map.cell_count(); ++k) {
        map.values[k] = values.next();
    }
    return map;
}

struct Expected {
    int map = -1;
    int x = 0;
    int y = 0;
    float score = 0;
    int runner_map = -1; // the runner-up: the first lowest score below 9999999 of another name
    int runner_x = 0;
    int runner_y = 0;
    float runner_score = 0;
};

// The literal pick: every candidate of every map in a list, then pick_best_index.
Expected literal_pick(const FeatureMap &pattern, const QList<FeatureMap> &database)
{
    QList<MatchCandidate> candidates;
    QList<int> map_of;
    for (int m = 0; m < database.size(); ++m) {
        const int before = candidates.size();
        compare_windows(database[m], pattern, candidates);
        for (int k = before; k < candidates.size(); ++k) {
            map_of.append(m);
        }
    }
    const int best = pick_best_index(candidates);
    if (best < 0) {
        return {};
    }
    Expected expected{map_of[best], candidates[best].x, candidates[best].y, candidates[best].score};
    // A pattern without cells scores 0 everywhere: no runner-up is looked for.
    float second = no_best_score;
    const bool has_cells = pattern.width > 0 && pattern.height > 0;
    for (int k = 0; has_cells && k < candidates.size() && candidates[best].score < no_best_score;
         ++k) {
        if (candidates[k].name != candidates[best].name && candidates[k].score < second) {
            second = candidates[k].score;
            expected.runner_map = map_of[k];
            expected.runner_x = candidates[k].x;
            expected.runner_y = candidates[k].y;
            expected.runner_score = second;
        }
    }
    return expected;
}

struct Found {
    bool exists = false;
    int map = -1;
    int x = 0;
    int y = 0;
    float score = 0;
};

Found fast_pick(const FeatureMap &pattern, const QList<FeatureMap> &database, int threads)
{
    const std::optional<MatchCandidate> best = best_window(pattern, database, threads);
    if (!best) {
        return {};
    }
    return {true, best->map, best->x, best->y, best->score};
}

// The runner-up, as the search with it asked for gives it; its best is the same as without.
QString runner_up_mismatch(const FeatureMap &pattern, const QList<FeatureMap> &database,
                           int threads, const Expected &expected)
{
    const std::optional<MatchCandidate> best = best_window(pattern, database, threads);
    if (!best) {
        return QString();
    }
    const RunnerUp found = runner_up_window(pattern, database, threads, *best);
    const bool within_reach =
        expected.runner_map >= 0 &&
        double(expected.runner_score) <= double(literal_runner_up_reach) * double(expected.score);
    if (bool(found.window) != within_reach) {
        return QString("runner-up %1, expected %2")
            .arg(found.window ? "found" : "none")
            .arg(expected.runner_map);
    }
    if (found.window &&
        (found.window->map != expected.runner_map || found.window->x != expected.runner_x ||
         found.window->y != expected.runner_y || !(found.window->score == expected.runner_score))) {
        return QString("runner-up map %1 (%2, %3) score %4, expected map %5 (%6, %7) score %8")
            .arg(found.window->map)
            .arg(found.window->x)
            .arg(found.window->y)
            .arg(double(found.window->score), 0, 'g', 9)
            .arg(expected.runner_map)
            .arg(expected.runner_x)
            .arg(expected.runner_y)
            .arg(double(expected.runner_score), 0, 'g', 9);
    }
    return QString();
}

bool same_score(float a, float b)
{
    return same_bits(a, b) || (std::isnan(a) && std::isnan(b));
}

} // namespace

class TestWindowSearch : public QObject
{
    Q_OBJECT

private slots:
    void random_databases_give_the_literal_pick()
    {
        std::mt19937 rng(4242);
        std::uniform_int_distribution<int> small(0, 3);
        std::uniform_int_distribution<int> kind_of(0, 4);
        std::uniform_int_distribution<int> map_count(1, 9);
        for (int round = 0; round < rounds; ++round) {
            ValueSource values{rng, kind_of(rng)};
            const bool wide = round % 3 == 0; // wide maps use the vector blocks
            std::uniform_int_distribution<int> side(0, wide ? 40 : 12);
            std::uniform_int_distribution<int> pattern_side(-1, wide ? 9 : 6);
            QList<FeatureMap> database;
            const int maps = map_count(rng);
            for (int m = 0; m < maps; ++m) {
                database.append(random_map(values, side(rng), side(rng), QString::number(m)));
            }
            if (small(rng) == 0) { // a copy of an earlier map: ties between maps
                database.append(database[0]);
            }
            const FeatureMap pattern =
                random_map(values, pattern_side(rng), pattern_side(rng), "p");
            const Expected expected = literal_pick(pattern, database);
            for (int threads : {1, 2, 5}) {
                const Found found = fast_pick(pattern, database, threads);
                const QString where = QString("round %1, %2 threads, pattern %3 x %4")
                                          .arg(round)
                                          .arg(threads)
                                          .arg(pattern.width)
                                          .arg(pattern.height);
                const QString runner_up = runner_up_mismatch(pattern, database, threads, expected);
                QVERIFY2(runner_up.isEmpty(), qPrintable(where + ": " + runner_up));
                QVERIFY2(found.exists == (expected.map >= 0), qPrintable(where));
                if (!found.exists) {
                    continue;
                }
                QVERIFY2(found.map == expected.map && found.x == expected.x &&
                             found.y == expected.y && same_score(found.score, expected.score),
                         qPrintable(where + QString(": map %1 (%2, %3) score %4, expected map "
                                                    "%5 (%6, %7) score %8")
                                                .arg(found.map)
                                                .arg(found.x)
                                                .arg(found.y)
                                                .arg(double(found.score), 0, 'g', 9)
                                                .arg(expected.map)
                                                .arg(expected.x)
                                                .arg(expected.y)
                                                .arg(double(expected.score), 0, 'g', 9)));
            }
        }
    }

    // Large maps of real descriptors, where the lower bounds and the seeds do the work; the
    // pattern is cut from one map, so the best score is far below the others.
    void descriptor_databases_give_the_literal_pick()
    {
        std::mt19937 rng(77);
        ImageMatcher matcher(4, 2, ImageMatcher::Quiet{});
        matcher.fill_weights();
        QList<FeatureMap> database;
        for (int m = 0; m < 12; ++m) {
            FeatureMap map;
            matcher.compute_descriptor_map(random_grey_map(rng, 150, 110), map, 4);
            map.name = QString::number(m);
            database.append(map);
        }
        std::uniform_int_distribution<int> offset(0, 40);
        for (int round = 0; round < 40; ++round) {
            const FeatureMap &source = database[round % 12];
            const int x0 = offset(rng);
            const int y0 = offset(rng) / 2;
            FeatureMap pattern = FeatureMap::allocate(20, 15, "p");
            for (int y = 0; y < 15; ++y) {
                for (int x = 0; x < 20; ++x) {
                    // Off by a little, as a pattern cut off the grid is.
                    pattern.at(x, y) = source.at(x0 + x, y0 + y) + float((x * 7 + y) % 5) * 0.01f;
                }
            }
            const Expected expected = literal_pick(pattern, database);
            for (int threads : {1, 3}) {
                const QString runner_up = runner_up_mismatch(pattern, database, threads, expected);
                QVERIFY2(runner_up.isEmpty(), qPrintable(runner_up));
                const Found found = fast_pick(pattern, database, threads);
                QCOMPARE(found.map, expected.map);
                QCOMPARE(found.x, expected.x);
                QCOMPARE(found.y, expected.y);
                QVERIFY(same_score(found.score, expected.score));
            }
        }
    }

    void empty_databases_and_fallbacks_data()
    {
        QTest::addColumn<QList<FeatureMap>>("database");
        QTest::addColumn<FeatureMap>("pattern");
        QTest::addColumn<int>("map");
        QTest::newRow("no maps") << QList<FeatureMap>{} << map_from_rows({{1}}) << -1;
        QTest::newRow("pattern larger than every map")
            << QList<FeatureMap>{map_from_rows({{1, 2}}), FeatureMap::allocate(0, 0)}
            << map_from_rows({{1, 2, 3}}) << -1;
        QTest::newRow("only not-a-number scores: the first candidate")
            << QList<FeatureMap>{FeatureMap::allocate(0, 4),
                                 map_from_rows({{nan_value, nan_value}}),
                                 map_from_rows({{nan_value}})}
            << map_from_rows({{1}}) << 1;
        QTest::newRow("pattern without cells: the first map with a window")
            << QList<FeatureMap>{FeatureMap::allocate(3, 0), map_from_rows({{9, 9}, {9, 9}})}
            << FeatureMap::allocate(0, 0) << 1;
    }
    void empty_databases_and_fallbacks()
    {
        QFETCH(QList<FeatureMap>, database);
        QFETCH(FeatureMap, pattern);
        QFETCH(int, map);
        const Found found = fast_pick(pattern, database, 2);
        QCOMPARE(found.exists, map >= 0);
        if (map >= 0) {
            QCOMPARE(found.map, map);
            QCOMPARE(found.x, 0);
            QCOMPARE(found.y, 0);
            QVERIFY(same_score(found.score, literal_pick(pattern, database).score));
        }
    }

    // Constructed cases around the cut-off: a window may only be dropped once the best is
    // below 9999, since until then a later cut-off can still win.
    void cut_off_cases_data()
    {
        QTest::addColumn<QList<FeatureMap>>("database");
        QTest::addColumn<int>("map");
        QTest::addColumn<float>("score");
        auto filled = [](float value, float last) {
            FeatureMap map = FeatureMap::allocate(6, 6);
            for (qint64 k = 0; k < 36; ++k) {
                map.values[k] = value;
            }
            map.at(5, 5) = last; // the last cell a window visits
            return map;
        };
        QTest::newRow("late cut-off beats an earlier sum above 9999")
            << QList<FeatureMap>{filled(280, 280), filled(499, 600)} << 1 << 9999.f;
        QTest::newRow("late cut-off after many sums above 9999")
            << QList<FeatureMap>{filled(280, 280), filled(281, 280), filled(282, 280),
                                 filled(283, 280), filled(284, 280), filled(499, 600)}
            << 5 << 9999.f;
        QTest::newRow("earlier cut-off wins the tie at 9999")
            << QList<FeatureMap>{filled(499, 600), filled(280, 280), filled(499, 600)} << 0
            << 9999.f;
        QTest::newRow("sum below 9999 beats a later cut-off")
            << QList<FeatureMap>{filled(100, 100), filled(499, 600)} << 0 << 3600.f;
    }
    void cut_off_cases()
    {
        QFETCH(QList<FeatureMap>, database);
        QFETCH(int, map);
        QFETCH(float, score);
        const FeatureMap pattern = FeatureMap::allocate(6, 6, "p");
        QCOMPARE(literal_pick(pattern, database).map, map);
        for (int threads : {1, 2}) {
            const Found found = fast_pick(pattern, database, threads);
            QCOMPARE(found.map, map);
            QCOMPARE(found.score, score);
        }
    }

    // The whole search: names, scores, positions, counts and rate, on one thread and on all.
    void searches_match_the_literal_search()
    {
        std::mt19937 rng(8);
        ImageMatcher matcher(3, 1, ImageMatcher::Quiet{});
        matcher.fill_weights();
        QList<FeatureMap> images;
        QList<FeatureMap> database;
        for (int m = 0; m < 10; ++m) {
            images.append(random_grey_map(rng, 60, 50, QString("img%1").arg(m % 7)));
            FeatureMap map;
            matcher.compute_descriptor_map(images.last(), map, 3);
            database.append(map);
        }
        QList<FeatureMap> patterns;
        std::uniform_int_distribution<int> offset(0, 20);
        for (int k = 0; k < 12; ++k) {
            const FeatureMap &image = images[k % 10];
            const int x0 = offset(rng);
            const int y0 = offset(rng);
            FeatureMap crop = FeatureMap::allocate(30, 25, k % 4 ? image.name : "other");
            for (int y = 0; y < 25; ++y) {
                for (int x = 0; x < 30; ++x) {
                    crop.at(x, y) = image.at(x0 + x, y0 + y);
                }
            }
            patterns.append(crop);
        }
        int expected_found = 0;
        QList<Expected> expected;
        for (const FeatureMap &pattern : patterns) {
            FeatureMap descriptor;
            matcher.compute_descriptor_map(pattern, descriptor, 3);
            expected.append(literal_pick(descriptor, database));
            expected_found += database[expected.last().map].name == pattern.name;
        }
        for (int threads : {1, 0}) {
            ConsoleCapture console;
            SearchOptions options;
            options.threads = threads;
            const SearchOutcome outcome =
                search_patterns(matcher.settings(), patterns, database, options);
            QCOMPARE(outcome.found, expected_found);
            QCOMPARE(outcome.rate, float(double(expected_found) / 12 * 100));
            for (int k = 0; k < 12; ++k) {
                const MatchCandidate &best = *outcome.picks[k].best;
                QCOMPARE(best.name, database[expected[k].map].name);
                QCOMPARE(best.map, expected[k].map);
                QCOMPARE(best.x, expected[k].x);
                QCOMPARE(best.y, expected[k].y);
                QVERIFY(same_score(best.score, expected[k].score));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestWindowSearch)
#include "tst_window_search.moc"
