// Window comparison and the best pick.

#include "search/gain_fit.h"
#include "search/window_compare.h"
#include "test_support.h"

#include <QtTest>

namespace {

using Candidates = QList<MatchCandidate>;

struct Expected {
    int x;
    int y;
    float score;
};

Candidates compare(const FeatureMap &database_map, const FeatureMap &pattern)
{
    Candidates list;
    compare_windows(database_map, pattern, list);
    return list;
}

MatchCandidate candidate(float score, const QString &name)
{
    return {0, 0, score, name};
}

const float nan_value = std::numeric_limits<float>::quiet_NaN();

} // namespace

Q_DECLARE_METATYPE(QList<Expected>)
Q_DECLARE_METATYPE(Candidates)

class TestWindowCompare : public QObject
{
    Q_OBJECT

private slots:
    void candidates_data()
    {
        QTest::addColumn<FeatureMap>("database_map");
        QTest::addColumn<FeatureMap>("pattern");
        QTest::addColumn<QList<Expected>>("expected");
        QTest::newRow("2 x 2 with 1 x 1: column by column")
            << map_from_rows({{1, 2}, {3, 4}}) << map_from_rows({{0}})
            << QList<Expected>{{0, 0, 1}, {0, 1, 3}, {1, 0, 2}, {1, 1, 4}};
        QTest::newRow("10, 20, 700 against 12")
            << map_from_rows({{10, 20, 700}}) << map_from_rows({{12}})
            << QList<Expected>{{0, 0, 2}, {1, 0, 8}, {2, 0, 9999}};
        QTest::newRow("1 x 2 pattern in 2 x 2")
            << map_from_rows({{1, 2}, {3, 4}}) << map_from_rows({{1}, {3}})
            << QList<Expected>{{0, 0, 0}, {1, 0, 2}};
        QTest::newRow("pattern wider than the map")
            << map_from_rows({{1, 2}}) << map_from_rows({{1, 2, 3}}) << QList<Expected>{};
        QTest::newRow("pattern taller than the map")
            << map_from_rows({{1, 2}}) << map_from_rows({{1}, {2}}) << QList<Expected>{};
        QTest::newRow("pattern as large as the map")
            << map_from_rows({{1, 2}, {3, 4}}) << map_from_rows({{1, 2}, {3, 5}})
            << QList<Expected>{{0, 0, 1}};
        QTest::newRow("difference of exactly 500 is summed")
            << map_from_rows({{510, -490}}) << map_from_rows({{10}})
            << QList<Expected>{{0, 0, 500}, {1, 0, 500}};
        QTest::newRow("difference of 500.25 cuts off")
            << map_from_rows({{500.25f, 1}}) << map_from_rows({{0}})
            << QList<Expected>{{0, 0, 9999}, {1, 0, 1}};
        QTest::newRow("cut-off replaces a large sum")
            << map_from_rows({{400, 400, 1000}}) << map_from_rows({{0, 0}})
            << QList<Expected>{{0, 0, 800}, {1, 0, 9999}};
        QTest::newRow("0 x 0 pattern scores 0 on every cell")
            << map_from_rows({{5, 6}, {7, 8}}) << FeatureMap::allocate(0, 0)
            << QList<Expected>{{0, 0, 0}, {0, 1, 0}, {1, 0, 0}, {1, 1, 0}};
        QTest::newRow("pattern of negative sizes scores 0 on every cell")
            << map_from_rows({{5, 6, 7}}) << FeatureMap::allocate(-1, -2)
            << QList<Expected>{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
        QTest::newRow("pattern with columns but no rows")
            << map_from_rows({{5, 6, 7}, {1, 1, 1}}) << FeatureMap::allocate(2, 0)
            << QList<Expected>{{0, 0, 0}, {0, 1, 0}, {1, 0, 0}, {1, 1, 0}};
        QTest::newRow("empty database map")
            << FeatureMap::allocate(0, 3) << FeatureMap::allocate(0, 0) << QList<Expected>{};
    }
    void candidates()
    {
        QFETCH(FeatureMap, database_map);
        QFETCH(FeatureMap, pattern);
        QFETCH(QList<Expected>, expected);
        database_map.name = "db";
        Candidates list = {candidate(1, "earlier")};
        compare_windows(database_map, pattern, list);
        QCOMPARE(list.size(), expected.size() + 1);
        QCOMPARE(list.first().name, QString("earlier"));
        for (int k = 0; k < expected.size(); ++k) {
            const MatchCandidate &c = list[k + 1];
            QCOMPARE(c.x, expected[k].x);
            QCOMPARE(c.y, expected[k].y);
            QCOMPARE(c.score, expected[k].score);
            QCOMPARE(c.name, QString("db"));
        }
    }

    void nan_difference_does_not_cut_off_but_poisons_the_sum()
    {
        const Candidates list =
            compare(map_from_rows({{nan_value, 3}, {1, 900}}), map_from_rows({{0}, {0}}));
        QCOMPARE(list.size(), 2);
        QVERIFY(std::isnan(list[0].score));
        QCOMPARE(list[1].score, 9999.f);
        // A later cut-off still wins over the poisoned sum.
        const Candidates later =
            compare(map_from_rows({{nan_value}, {900}}), map_from_rows({{0}, {0}}));
        QCOMPARE(later[0].score, 9999.f);
    }

    void best_pick_data()
    {
        QTest::addColumn<Candidates>("list");
        QTest::addColumn<QString>("name");
        QTest::newRow("empty list gives the empty string") << Candidates{} << "";
        QTest::newRow("lowest score wins")
            << Candidates{candidate(5, "a"), candidate(2, "b"), candidate(3, "c")} << "b";
        QTest::newRow("tie goes to the first")
            << Candidates{candidate(4, "a"), candidate(2, "b"), candidate(2, "c")} << "b";
        QTest::newRow("all cut off gives the first")
            << Candidates{candidate(9999, "a"), candidate(9999, "b")} << "a";
        QTest::newRow("cut-off beats a sum of 10000")
            << Candidates{candidate(10000, "a"), candidate(9999, "b")} << "b";
        QTest::newRow("not a number never wins")
            << Candidates{candidate(7, "a"), candidate(nan_value, "b"), candidate(8, "c")} << "a";
        QTest::newRow("first not a number, then a real score")
            << Candidates{candidate(nan_value, "a"), candidate(8, "b")} << "b";
        QTest::newRow("only not-a-number scores give the first")
            << Candidates{candidate(nan_value, "a"), candidate(nan_value, "b")} << "a";
        QTest::newRow("nothing below 9999999 gives the first")
            << Candidates{candidate(9999999, "a"), candidate(2e7f, "b")} << "a";
        QTest::newRow("just below 9999999 wins")
            << Candidates{candidate(2e7f, "a"), candidate(9999998, "b")} << "b";
    }
    void best_pick()
    {
        QFETCH(Candidates, list);
        QFETCH(QString, name);
        QCOMPARE(pick_best_name(list), name);
    }

    // The fitted gain against a search over every gain that can be least (the bounds and each
    // cell's d / p): random windows, some cells 0 or not finite, some patterns a known contrast
    // of the window, some fitted beyond the bounds.
    void gain_fit_data()
    {
        QTest::addColumn<int>("seed");
        QTest::addColumn<double>("contrast"); // the pattern is the window times this; 0: random
        QTest::addColumn<double>("gain");     // expected; 0: whatever the search finds
        QTest::newRow("random windows") << 1 << 0.0 << 0.0;
        QTest::newRow("random windows with holes") << 2 << 0.0 << 0.0;
        QTest::newRow("brightened") << 3 << 1.15 << 1 / 1.15;
        QTest::newRow("darkened") << 4 << 0.6 << 1 / 0.6;
        QTest::newRow("unchanged") << 5 << 1.0 << 1.0;
        QTest::newRow("beyond the least gain") << 6 << 3.0 << least_gain;
        QTest::newRow("beyond the most gain") << 7 << 0.25 << most_gain;
        QTest::newRow("turned over: the least gain") << 8 << -1.0 << least_gain;
    }
    void gain_fit()
    {
        QFETCH(int, seed);
        QFETCH(double, contrast);
        QFETCH(double, gain);
        std::mt19937 rng{std::uint32_t(seed)};
        std::uniform_real_distribution<float> value(-3, 3);
        std::uniform_int_distribution<int> side(1, 9);
        for (int round = 0; round < 200; ++round) {
            FeatureMap window = FeatureMap::allocate(side(rng) + 3, side(rng) + 3);
            for (qint64 k = 0; k < window.cell_count(); ++k) {
                window.values[k] = value(rng);
            }
            FeatureMap pattern = FeatureMap::allocate(window.width - 3, window.height - 3);
            for (int l = 0; l < pattern.height; ++l) {
                for (int k = 0; k < pattern.width; ++k) {
                    pattern.at(k, l) =
                        contrast != 0 ? float(contrast * window.at(k + 2, l + 1)) : value(rng);
                    if (seed == 2 && (k + l) % 5 == 0) {
                        pattern.at(k, l) = (k + l) % 2 ? 0.0f : nan_value;
                    }
                }
            }
            auto literal = [&](double g) {
                double sum = 0;
                for (int l = 0; l < pattern.height; ++l) {
                    for (int k = 0; k < pattern.width; ++k) {
                        const double d = window.at(k + 2, l + 1);
                        const double p = pattern.at(k, l);
                        sum += std::isfinite(p) ? std::fabs(g * p - d) : double(cut_off_difference);
                    }
                }
                return sum;
            };
            double least = std::min(literal(least_gain), literal(most_gain));
            for (int l = 0; l < pattern.height; ++l) {
                for (int k = 0; k < pattern.width; ++k) {
                    if (pattern.at(k, l) != 0 && std::isfinite(pattern.at(k, l))) {
                        const double ratio = window.at(k + 2, l + 1) / double(pattern.at(k, l));
                        least = std::min(least, literal(std::clamp(ratio, least_gain, most_gain)));
                    }
                }
            }
            const GainFit fit = gain_fitted_score(window, pattern, 2, 1);
            QVERIFY(fit.gain >= least_gain && fit.gain <= most_gain);
            QVERIFY2(std::fabs(fit.score - least) <= 1e-9 * (1 + least),
                     qPrintable(QString("%1 vs %2").arg(fit.score).arg(least)));
            QVERIFY(std::fabs(fit.score - literal(fit.gain)) <= 1e-9 * (1 + least));
            if (gain != 0) {
                QVERIFY2(std::fabs(fit.gain - gain) < 1e-6, qPrintable(QString::number(fit.gain)));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestWindowCompare)
#include "tst_window_compare.moc"
