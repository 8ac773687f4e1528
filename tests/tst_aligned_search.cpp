// The aligned search against the exhaustive scan of every phase, map and position.

#include "maps/centre_descriptor.h"
#include "maps/descriptor.h"
#include "reference/reference_aligned.h"
#include "search/aligned_search.h"
#include "search/cell_index.h"
#include "test_support.h"

#include <QtTest>

#include <limits>
#include <set>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int rounds = 150;
#else
constexpr int rounds = 1200;
#endif

const float nan_value = std::numeric_limits<float>::quiet_NaN();
const float inf_value = std::numeric_limits<float>::infinity();

FeatureMap crop_of(const FeatureMap &image, int x0, int y0, int width, int height)
{
    FeatureMap part = FeatureMap::allocate(width, height, image.name);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            part.at(x, y) = image.at(x0 + x, y0 + y);
        }
    }
    return part;
}

// Database maps of one of several kinds: descriptors of images (one holding the pattern),
// values that tie a lot, values around the cut-off, large values, and a few not finite.
FeatureMap random_map(std::mt19937 &rng, int kind, const WindowSettings &settings,
                      const FeatureMap &source, const QString &name)
{
    std::uniform_int_distribution<int> roll(0, 999);
    std::uniform_int_distribution<int> side(1, 14);
    if (kind == 0) { // the image the pattern was cut from, or a random one
        FeatureMap map = descriptor_map(source, settings);
        map.name = name;
        return map;
    }
    FeatureMap map = FeatureMap::allocate(side(rng), side(rng), name);
    for (qint64 k = 0; k < map.cell_count(); ++k) {
        const int r = roll(rng);
        float value;
        switch (kind) {
        case 1:
            value = float(r % 3) - 1;
            break;
        case 2:
            value = r % 2 ? 250.f + float(r % 7) : -250.f - float(r % 5);
            break;
        case 3: // beyond the cut-off from any descriptor value: windows cut off
            value = r % 2 ? 600.f : float(r % 3);
            break;
        default:
            value = std::uniform_real_distribution<float>(-480.f, 480.f)(rng);
            break;
        }
        map.values[k] = r < 4 ? nan_value : r < 6 ? (r % 2 ? inf_value : -inf_value) : value;
    }
    return map;
}

QString describe(const reference::AlignedPick &pick)
{
    return pick.exists ? QString("map %1 phase %2,%3 at %4,%5 score %6")
                             .arg(pick.map)
                             .arg(pick.px)
                             .arg(pick.py)
                             .arg(pick.x)
                             .arg(pick.y)
                             .arg(double(pick.score), 0, 'g', 9)
                       : QString("none");
}

reference::AlignedPick pick_of(const std::optional<AlignedWindow> &window)
{
    if (!window) {
        return {};
    }
    return {true,
            window->window.map,
            window->phase.x(),
            window->phase.y(),
            window->window.x,
            window->window.y,
            window->window.score};
}

bool same_pick(const reference::AlignedPick &a, const reference::AlignedPick &b)
{
    return a.exists == b.exists &&
           (!a.exists ||
            (a.map == b.map && a.px == b.px && a.py == b.py && a.x == b.x && a.y == b.y &&
             (same_bits(a.score, b.score) || (std::isnan(a.score) && std::isnan(b.score)))));
}

} // namespace

class TestAlignedSearch : public QObject
{
    Q_OBJECT

private slots:
    void random_databases_give_the_exhaustive_pick_data()
    {
        QTest::addColumn<int>("most_maps");
        QTest::addColumn<int>("round_count");
        // A few maps: the index is one block. Many: its entries span blocks, and equal values
        // (the kinds that tie) straddle their bounds.
        QTest::newRow("few maps") << 6 << rounds;
        QTest::newRow("many maps") << 90 << rounds / 8;
    }

    void random_databases_give_the_exhaustive_pick()
    {
        QFETCH(int, most_maps);
        QFETCH(int, round_count);
        std::mt19937 rng(2718 + most_maps);
        std::uniform_int_distribution<int> radius_of(1, 4); // radius 1: every cell not a number
        std::uniform_int_distribution<int> divisor_of(1, 2);
        std::uniform_int_distribution<int> kind_of(0, 5);
        std::uniform_int_distribution<int> count_of(1, most_maps);
        std::uniform_int_distribution<int> name_of(0, 3);
        int exact_crops = 0;
        qint64 candidates = 0;
        int full_scans = 0;
        for (int round = 0; round < round_count; ++round) {
            const WindowSettings settings{radius_of(rng), divisor_of(rng)};
            const int a = settings.radius;
            std::uniform_int_distribution<int> image_side(2 * a + 8, 2 * a + 40);
            const FeatureMap image = random_grey_map(rng, image_side(rng), image_side(rng), "i");
            std::uniform_int_distribution<int> pattern_width(2 * a - 1, image.width - 2);
            std::uniform_int_distribution<int> pattern_height(2 * a - 1, image.height - 2);
            const int pw = pattern_width(rng);
            const int ph = pattern_height(rng);
            std::uniform_int_distribution<int> ox(0, image.width - pw);
            std::uniform_int_distribution<int> oy(0, image.height - ph);
            const FeatureMap pattern = crop_of(image, ox(rng), oy(rng), pw, ph);

            QList<FeatureMap> database;
            const int maps = count_of(rng);
            const int holder = std::uniform_int_distribution<int>(0, maps - 1)(rng);
            for (int m = 0; m < maps; ++m) {
                const int kind = m == holder ? 0 : kind_of(rng);
                const FeatureMap source =
                    m == holder ? image
                                : random_grey_map(rng, image_side(rng), image_side(rng), "o");
                database.append(
                    random_map(rng, kind, settings, source, QString("n%1").arg(name_of(rng))));
            }
            if (name_of(rng) == 0) { // the same map twice: ties between maps
                database.append(database[holder]);
            }
            const CellIndex index(database);
            const QList<FeatureMap> phases = reference::phase_maps(pattern, settings);
            const reference::AlignedPick expected =
                reference::aligned_pick(phases, settings.step(), database);

            CentreDescriptor centres(pattern, settings);
            AlignedOptions options;
            options.threads = 1 + round % 2;
            const AlignedSearch found = aligned_search(centres, database, index, options);
            candidates += found.work.candidates;
            full_scans += found.work.full_scans;
            const QString where = QString("round %1, radius %2 divisor %3, pattern %4 x %5")
                                      .arg(round)
                                      .arg(a)
                                      .arg(settings.step_divisor)
                                      .arg(pw)
                                      .arg(ph);
            QVERIFY2(same_pick(pick_of(found.best), expected),
                     qPrintable(where + ": " + describe(pick_of(found.best)) + ", expected " +
                                describe(expected)));
            exact_crops += expected.exists && expected.map == holder && expected.score == 0;
            if (!found.best || !(found.best->window.score < no_best_score)) {
                QVERIFY(!found.runner_up);
                continue;
            }
            // The runner-up: maps of other names, within reach.
            const FeatureMap &best_phase =
                phases[found.best->phase.y() * settings.step() + found.best->phase.x()];
            double magnitude = 0;
            for (qint64 k = 0; k < best_phase.cell_count(); ++k) {
                magnitude += std::fabs(double(best_phase.values[k]));
            }
            QCOMPARE(found.magnitude, magnitude);
            const double reach = std::max(aligned_runner_up_reach * double(expected.score),
                                          ft1_rounding_residual * magnitude);
            std::vector<char> other;
            for (const FeatureMap &map : database) {
                other.push_back(map.name != database[expected.map].name);
            }
            reference::AlignedPick second =
                reference::aligned_pick(phases, settings.step(), database, other,
                                        std::nextafter(static_cast<float>(reach), no_best_score));
            if (second.exists && !(double(second.score) <= reach)) {
                second = {};
            }
            QVERIFY2(same_pick(pick_of(found.runner_up), second),
                     qPrintable(where + ": runner-up " + describe(pick_of(found.runner_up)) +
                                ", expected " + describe(second)));
        }
        // Both ways of finding windows were taken, and many patterns had an exact match.
        QVERIFY2(exact_crops > round_count / 10, qPrintable(QString::number(exact_crops)));
        QVERIFY(candidates > round_count);
        QVERIFY2(full_scans > round_count / 20, qPrintable(QString::number(full_scans)));
    }

    // The index's entries near a value (and a right neighbour) against every entry read one by
    // one, on indexes of one to several blocks. Values on a grid of 1/64 make every difference
    // exact, so the two must agree entry for entry; values drawn at random are checked within
    // a hair of the tolerance.
    void index_entries_near_a_value_are_those_within_the_tolerance()
    {
        std::mt19937 rng(1618);
        for (int round = 0; round < 60; ++round) {
            const bool on_grid = round % 2 == 0;
            std::uniform_int_distribution<int> side(1, 40);
            std::uniform_int_distribution<int> maps_of(1, 30);
            std::uniform_int_distribution<int> roll(0, 999);
            std::uniform_int_distribution<int> level(-40, 40);
            QList<FeatureMap> maps;
            const int count = maps_of(rng);
            for (int m = 0; m < count; ++m) {
                FeatureMap map = FeatureMap::allocate(side(rng), side(rng), "m");
                for (qint64 k = 0; k < map.cell_count(); ++k) {
                    const int r = roll(rng);
                    map.values[k] = r < 20    ? nan_value
                                    : r < 30  ? (r % 2 ? inf_value : -inf_value)
                                    : r < 400 ? float(r % 3) // ties over many blocks
                                    : on_grid ? float(level(rng)) / 64
                                              : std::uniform_real_distribution<float>(-1, 1)(rng);
                }
                maps.append(map);
            }
            const CellIndex index(maps);
            const SortedCells &cells = index.cells();
            // The layout: every finite cell once; blocks ordered by value, each block by the
            // value right of its cells, not a number last.
            qint64 finite = 0;
            for (const FeatureMap &map : maps) {
                for (qint64 k = 0; k < map.cell_count(); ++k) {
                    finite += std::isfinite(map.values[k]) ? 1 : 0;
                }
            }
            QCOMPARE(qint64(index.size()), finite);
            std::set<std::uint64_t> places(cells.places, cells.places + cells.size);
            QCOMPARE(places.size(), cells.size);
            for (std::size_t b = 0; b < cells.blocks(); ++b) {
                const std::size_t first = b * cell_block;
                const std::size_t last = std::min(cells.size, first + cell_block);
                for (std::size_t k = first; k < last; ++k) {
                    QVERIFY(cells.values[k] >= cells.block_low[b] &&
                            cells.values[k] <= cells.block_high[b]);
                    QVERIFY(k + 1 == last || !(cells.next[k + 1] < cells.next[k]));
                    QVERIFY(k + 1 == last || !std::isnan(cells.next[k]) ||
                            std::isnan(cells.next[k + 1]));
                    const FeatureMap &map = maps[index.map(k)];
                    const int at = index.cell(k);
                    QVERIFY(same_bits(map.values[at], cells.values[k]));
                    const float right = (at + 1) % map.width == 0 ? nan_value : map.values[at + 1];
                    QVERIFY(same_bits(right, cells.next[k]) ||
                            (std::isnan(right) && std::isnan(cells.next[k])));
                }
                QVERIFY(b == 0 || cells.block_high[b - 1] <= cells.block_low[b]);
            }
            for (std::size_t k = 0; k < cells.samples(); ++k) {
                QVERIFY(same_bits(cells.next_samples[k], cells.next[k * cell_sample]));
            }
            // Against a plain sort: every block holds the entries that sorting all by (value,
            // place) puts there, in the order (right value, not a number last; value; place).
            struct Plain {
                float value;
                float next;
                std::uint64_t place;
            };
            std::vector<Plain> plain;
            for (std::size_t k = 0; k < cells.size; ++k) {
                plain.push_back({cells.values[k], cells.next[k], cells.places[k]});
            }
            auto by_value = [](const Plain &a, const Plain &b) {
                return a.value < b.value || (a.value == b.value && a.place < b.place);
            };
            auto in_block = [](const Plain &a, const Plain &b) {
                if (std::isnan(a.next) || std::isnan(b.next)) {
                    return !std::isnan(a.next) && std::isnan(b.next) ? true
                           : std::isnan(a.next) && !std::isnan(b.next)
                               ? false
                               : a.value < b.value || (a.value == b.value && a.place < b.place);
                }
                return a.next < b.next ||
                       (a.next == b.next &&
                        (a.value < b.value || (a.value == b.value && a.place < b.place)));
            };
            std::vector<Plain> expected = plain;
            std::sort(expected.begin(), expected.end(), by_value);
            for (std::size_t first = 0; first < expected.size(); first += cell_block) {
                const auto begin = expected.begin() + std::ptrdiff_t(first);
                const auto end = expected.begin() +
                                 std::ptrdiff_t(std::min(expected.size(), first + cell_block));
                std::sort(begin, end, in_block);
            }
            for (std::size_t k = 0; k < plain.size(); ++k) {
                QCOMPARE(plain[k].place, expected[k].place);
            }
            for (int query = 0; query < 40; ++query) {
                const double centre =
                    query % 5 == 0 ? double(roll(rng) % 3) : double(level(rng)) / 64;
                const double right = query % 4 == 0   ? std::numeric_limits<double>::quiet_NaN()
                                     : query % 5 == 1 ? double(roll(rng) % 3)
                                                      : double(level(rng)) / 64;
                const double tolerance = double(roll(rng) % 9) / 64;
                std::vector<std::size_t> found;
                QVERIFY(index.entries_near(centre, right, tolerance, found, cells.size));
                std::sort(found.begin(), found.end());
                QVERIFY(std::adjacent_find(found.begin(), found.end()) == found.end());
                const QString where = QString("round %1 query %2: centre %3 right %4 within %5")
                                          .arg(round)
                                          .arg(query)
                                          .arg(centre)
                                          .arg(right)
                                          .arg(tolerance);
                // Within the tolerance scaled by `by`.
                auto near = [&](std::size_t k, double by) {
                    const double apart =
                        std::fabs(double(cells.values[k]) - centre) +
                        (std::isnan(right) ? 0 : std::fabs(double(cells.next[k]) - right));
                    return apart <= tolerance * by;
                };
                for (std::size_t k = 0; k < cells.size; ++k) {
                    const bool listed = std::binary_search(found.begin(), found.end(), k);
                    if (on_grid) {
                        QVERIFY2(listed == near(k, 1), qPrintable(where));
                    } else {
                        QVERIFY2(!near(k, 1 - 1e-9) || listed, qPrintable(where));
                        QVERIFY2(!listed || near(k, 1 + 1e-9), qPrintable(where));
                    }
                }
                // Stopped early once more than asked for were found.
                if (found.size() > 1) {
                    std::vector<std::size_t> some;
                    QVERIFY(!index.entries_near(centre, right, tolerance, some, found.size() - 1));
                    QVERIFY(some.size() >= found.size());
                }
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestAlignedSearch)
#include "tst_aligned_search.moc"
