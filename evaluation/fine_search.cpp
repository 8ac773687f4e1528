#include "evaluation/fine_search.h"

#include "evaluation/answer.h"
#include "ft1/value_guard.h"
#include "maps/descriptor.h"
#include "search/database_search.h"
#include "search/indexed_search.h"
#include "support/console.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace {

// A pattern searched again at the smaller radius, accepted there, still fits some window of
// another image by chance unless it has this many cells there: the crops of photographs taken
// there have 80 and more; tiny crops of generated images were accepted there with 6 to 56, at
// another image or at the wrong place.
constexpr int fine_least_cells = 2 * indexed_few_cells;
// Nor does a pattern climb a scale (or turn there) at the smaller radius at which the larger one
// gave it this many cells, enough for the first search to judge it: the crops of photographs
// won back there had 8 to 56 at their true scale at radius 20. It spares a crop of an image
// outside the collection, which climbs everything, most of the rungs that enlarge it.
constexpr int fine_climbed_cells = 64;

// The cells of a pattern's map at `settings` once resampled as a crop of `scale` would be back.
qint64 cells_at(QSize size, const WindowSettings &settings, double scale)
{
    const int step = settings.step();
    const auto side = [&](int extent) {
        return qint64(std::max(
            0, descriptor_extent(int(std::lround(extent / scale)), settings.radius, step)));
    };
    return side(size.width()) * side(size.height());
}

// The cells of the pick's answer when it is accepted (exact or found); nothing otherwise.
std::optional<int> accepted_cells(const PatternPick &pick, QSize size,
                                  const WindowSettings &settings)
{
    const Answer answer = indexed_answer(pick, QString(), size, settings);
    if (answer.verdict == Verdict::exact || answer.verdict == Verdict::found) {
        return answer.cells();
    }
    return std::nullopt;
}

// How far a pick stands out of the other images' windows the votes named: its score over their
// median, lower the clearer; nothing without such windows.
std::optional<double> standing(const PatternPick &pick)
{
    if (!pick.best || pick.unrelated == 0 || !(pick.unrelated_median > 0)) {
        return std::nullopt;
    }
    return double(pick.best->score) / pick.unrelated_median;
}

} // namespace

bool few_cells(QSize size, const WindowSettings &settings, const ScaleRange &scales)
{
    const double shrink = std::max({1.0, scales.low, scales.high});
    return double(cells_at(size, settings, 1)) < indexed_few_cells * shrink * shrink;
}

SearchOutcome search_at_two_radii(const WindowSettings &settings, const QList<FeatureMap> &patterns,
                                  const QList<FeatureMap> &database, const SearchOptions &options,
                                  const FineMaps *fine)
{
    const bool two = fine && options.mode == SearchMode::indexed && fine->settings.valid() &&
                     fine->settings.radius < settings.radius && !fine->maps.isEmpty();
    SearchOptions first = options;
    first.rate_line = options.rate_line && !two;
    SearchOutcome outcome = search_patterns(settings, patterns, database, first);
    if (!two || outcome.status != SearchStatus::searched) {
        return outcome;
    }
    QList<FeatureMap> again;
    QList<int> which;
    for (int k = 0; k < patterns.size(); ++k) {
        const QSize size(patterns[k].width, patterns[k].height);
        if (few_cells(size, settings, options.scales) &&
            !accepted_cells(outcome.picks[k], size, settings)) {
            again.append(patterns[k]);
            which.append(k);
        }
    }
    if (!again.isEmpty()) {
        SearchOptions second = options;
        second.index = fine->indexes.index;
        second.candidates = fine->indexes.candidates;
        second.before_reading = fine->indexes.before_reading;
        second.progress = {};
        second.rate_line = false;
        second.climbs = [settings](QSize size, double scale) {
            return cells_at(size, settings, scale) < fine_climbed_cells;
        };
        try {
            const SearchOutcome finer = search_patterns(fine->settings, again, fine->maps, second);
            for (int n = 0; n < which.size() && n < finer.picks.size(); ++n) {
                const int k = which[n];
                const QSize size(patterns[k].width, patterns[k].height);
                // Accepted there, or accepted at neither radius and standing out more there: the
                // pick shown for a crop not found is the likelier one. (One accepted there with
                // too few cells is not taken at all.)
                const std::optional<int> cells =
                    accepted_cells(finer.picks[n], size, fine->settings);
                const std::optional<double> there = standing(finer.picks[n]);
                const std::optional<double> here = standing(outcome.picks[k]);
                if ((cells && *cells >= fine_least_cells) ||
                    (!cells && there && (!here || *there < *here))) {
                    PatternPick pick = finer.picks[n];
                    pick.radius = fine->settings.radius;
                    pick.step_divisor = fine->settings.step_divisor;
                    outcome.found += (pick.found ? 1 : 0) - (outcome.picks[k].found ? 1 : 0);
                    outcome.picks[k] = pick;
                }
            }
            outcome.elapsed_ms += finer.elapsed_ms;
            outcome.seconds += finer.seconds;
        } catch (const DamagedIndex &damaged) {
            console::write(damaged.path() +
                           ": corrupt (a block of values does not match its checksum); the "
                           "patterns with few cells keep their answers at radius " +
                           QString::number(settings.radius) + "\n");
        }
    }
    outcome.rate = static_cast<float>(double(outcome.found) / outcome.patterns * 100.0);
    if (options.rate_line) {
        write_rate_line(outcome);
    }
    return outcome;
}
