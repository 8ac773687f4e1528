// Every variant of the vector kernels that this processor runs, against the literal window
// score and a plain sum of the lower-bound terms.

#include "search/score_kernels.h"
#include "search/window_compare.h"
#include "test_support.h"

#include <QtTest>

#include <limits>

namespace {

const float nan_value = std::numeric_limits<float>::quiet_NaN();

FeatureMap random_cells(std::mt19937 &rng, int width, int height, int kind)
{
    FeatureMap map = FeatureMap::allocate(width, height);
    std::uniform_real_distribution<float> small(-6.f, 6.f);
    std::uniform_real_distribution<float> near_cut(-260.f, 260.f);
    std::uniform_int_distribution<int> roll(0, 199);
    for (qint64 k = 0; k < map.cell_count(); ++k) {
        const int r = roll(rng);
        map.values[k] = r == 0 ? nan_value : kind == 0 ? small(rng) : near_cut(rng);
    }
    return map;
}

} // namespace

class TestScoreKernels : public QObject
{
    Q_OBJECT

private slots:
    static void variants_data()
    {
        QTest::addColumn<int>("variant");
        const auto &variants = available_score_kernels();
        for (int k = 0; k < int(variants.size()); ++k) {
            QTest::newRow(variants[std::size_t(k)].name) << k;
        }
        QVERIFY(std::string(variants.back().name) == "baseline");
    }

    // Every kept lane holds the literal score; a lane is given up only when its score is above
    // the threshold.
    void score_eight_is_the_literal_score_data() { variants_data(); }
    void score_eight_is_the_literal_score()
    {
        QFETCH(int, variant);
        const ScoreKernels &kernels = available_score_kernels()[std::size_t(variant)];
        std::mt19937 rng(17);
        std::uniform_int_distribution<int> side(1, 9);
        std::uniform_int_distribution<int> coin(0, 3);
        for (int round = 0; round < 3000; ++round) {
            const int kind = round % 2;
            const FeatureMap pattern = random_cells(rng, side(rng), side(rng), kind);
            const FeatureMap map = random_cells(rng, pattern.width + kernel_lanes - 1 + coin(rng),
                                                pattern.height + coin(rng), kind);
            const int y = coin(rng) % (map.height - pattern.height + 1);
            const int x = coin(rng) % (map.width - pattern.width - kernel_lanes + 2);
            bool dropped[kernel_lanes];
            for (bool &lane : dropped) {
                lane = coin(rng) == 0;
            }
            const double threshold =
                round % 3 == 0 ? std::numeric_limits<double>::infinity() : 8.0 * coin(rng) + 2;
            float scores[kernel_lanes];
            bool kept[kernel_lanes];
            kernels.score_eight(map.data() + x + qint64(y) * map.width, map.width, pattern.data(),
                                pattern.width, pattern.height, threshold, dropped, scores, kept);
            for (int lane = 0; lane < kernel_lanes; ++lane) {
                const float literal = window_score(map, pattern, x + lane, y);
                const QString where = QString("round %1 lane %2").arg(round).arg(lane);
                if (dropped[lane]) {
                    QVERIFY2(!kept[lane], qPrintable(where));
                    continue;
                }
                if (kept[lane]) {
                    QVERIFY2(same_bits(scores[lane], literal) ||
                                 (std::isnan(scores[lane]) && std::isnan(literal)),
                             qPrintable(where));
                } else {
                    // Given up: the running sum passed the threshold, so the score (a sum or a
                    // later cut-off) is above it.
                    QVERIFY2(double(literal) > threshold || std::isnan(literal), qPrintable(where));
                }
            }
        }
    }

    void bounds_eight_sums_the_column_terms_data() { variants_data(); }
    void bounds_eight_sums_the_column_terms()
    {
        QFETCH(int, variant);
        const ScoreKernels &kernels = available_score_kernels()[std::size_t(variant)];
        std::mt19937 rng(23);
        std::uniform_real_distribution<double> value(-1000, 1000);
        for (int pw = 1; pw < 40; ++pw) {
            std::vector<double> pieces(static_cast<std::size_t>(pw + kernel_lanes));
            std::vector<double> columns(static_cast<std::size_t>(pw));
            for (double &piece : pieces) {
                piece = value(rng);
            }
            for (double &column : columns) {
                column = value(rng);
            }
            double bounds[kernel_lanes];
            kernels.bounds_eight(pieces.data(), columns.data(), pw, bounds);
            for (int lane = 0; lane < kernel_lanes; ++lane) {
                double sum = 0;
                for (int k = 0; k < pw; ++k) {
                    sum += std::fabs(pieces[std::size_t(k + lane)] - columns[std::size_t(k)]);
                }
                QCOMPARE(bounds[lane], sum);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestScoreKernels)
#include "tst_score_kernels.moc"
