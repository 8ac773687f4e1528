#include "search/indexed_strategy.h"

#include "maps/centre_descriptor.h"
#include "maps/descriptor.h"
#include "maps/grey_map.h"
#include "search/aligned_search.h"
#include "search/cell_index.h"
#include "search/gain_fit.h"
#include "search/shard_picks.h"
#include "support/threads.h"

#include <QDataStream>
#include <QIODevice>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>

namespace {

// An exact match scores about the aligned search's first limit; a few times that still finds
// nothing but exact matches.
constexpr double exact_limits = 4;

// A pattern whose votes name no window clearly is asked again with this many times the blocks.
constexpr int escalation = 4;

// Patterns searched between two exchanges: each holds its descriptor at every centre.
constexpr int batch_size = 64;

// Neighbouring scales of the ladder: a crop resampled to within about a tenth of its true
// scale still draws the right votes (checked on photographs), and refining the best of them
// then finds the scale to half a percent.
constexpr double ladder_ratio = 1.19;

// The scales refined around the best of the ladder, in steps of the ladder, and how many
// pixels around the window's corner are scored at each: off-scale cells drift from the corner.
struct Refinement {
    std::vector<double> steps;
    int reach;
};
// A pattern found clearly at its own scale whose window scores at most this share of its cells
// is not refined; one that is keeps another scale only if that scores at most this share of what
// its own does (resampling blurs: a crop of its own scale scores worse resampled).
constexpr double settled_closeness = 0.05;
constexpr double rescaling_gain = 0.8;
// Nor is one found clearly, at its own scale and unturned, turned unless it scores more than
// this share: crops that are only recompressed score up to about 0.07, crops turned by 2 degrees
// and found unturned 0.03 to 0.13.
constexpr double loose_closeness = 0.075;
// Nor does it take a scale this close to 1: resampled a little, a recompressed crop loses some
// of its noise and scores lower without being any other size. A crop that much smaller or
// larger is placed within about 1 % of its size at its own scale.
constexpr double least_rescaling = 1.025;
// Of the many windows the scales name, some fit a pattern of a few cells by chance: a scale
// must give it this many.
constexpr int rescaled_cells = 12;
// The rungs of a pattern refined: those whose windows stand out most.
constexpr std::size_t refined_rungs = 2;

// Patterns climbing the ladder at once: each holds its resampled descriptors.
constexpr std::size_t climbing_at_once = 16;

const Refinement refinements[] = {
    {{-0.5, -0.25, 0.25, 0.5}, 3}, {{-0.125, 0.125}, 2}, {{-0.0625, 0.0625}, 1}};

// The votes of a pattern resampled: a pick among many scales must be compared with windows of
// other images.
IndexedOptions ladder_options()
{
    IndexedOptions options;
    options.other_maps = 4;
    return options;
}

// The ladder's scales from low to high, leaving out those about 1 (the pattern's own scale
// is searched first).
void nearest_one_first(std::vector<double> &rungs);

std::vector<double> ladder_of(const ScaleRange &range)
{
    std::vector<double> rungs;
    const double low = std::min(range.low, range.high);
    const double high = std::max(range.low, range.high);
    if (!(low > 0) || !range.beyond_one()) {
        return rungs;
    }
    const int steps = int(std::ceil(std::log(high / low) / std::log(ladder_ratio) - 1e-9));
    const double ratio = steps > 0 ? std::pow(high / low, 1.0 / steps) : ladder_ratio;
    for (int k = 0; k <= steps; ++k) {
        const double scale = low * std::pow(ratio, k);
        if (std::fabs(std::log(scale)) > std::log(ladder_ratio) / 4) {
            rungs.push_back(scale);
        }
    }
    nearest_one_first(rungs);
    return rungs;
}

// Nearest 1 first: most crops are resized a little, and a pattern stops climbing at the first
// rung that names its window clearly.
void nearest_one_first(std::vector<double> &rungs)
{
    std::stable_sort(rungs.begin(), rungs.end(), [](double a, double b) {
        return std::fabs(std::log(a)) < std::fabs(std::log(b));
    });
}

// The scales halfway (geometrically) between neighbouring rungs of the ladder and 1, nearest 1
// first: climbed by the patterns no rung names a window for clearly. A crop 9 % off the
// nearest rung fits its own image's cells little better than a view of grass or gravel.
std::vector<double> between_rungs(std::vector<double> rungs)
{
    if (rungs.empty()) {
        return rungs;
    }
    rungs.push_back(1.0);
    std::sort(rungs.begin(), rungs.end());
    std::vector<double> between;
    for (std::size_t k = 1; k < rungs.size(); ++k) {
        between.push_back(std::sqrt(rungs[k - 1] * rungs[k]));
    }
    nearest_one_first(between);
    return between;
}

// How close a search's best is to the pattern: its score over the sum of |cells| of its phase,
// comparable between scales of one window.
double closeness(const IndexedSearch &found)
{
    return found.best && found.magnitude > 0 ? double(found.best->window.score) / found.magnitude
                                             : std::numeric_limits<double>::infinity();
}

void put(QDataStream &out, const VotedWindow &w)
{
    out << qint32(w.map) << qint32(w.x) << qint32(w.y) << qint32(w.votes) << w.weight << w.probed
        << double(w.score) << qint32(w.best_x) << qint32(w.best_y) << w.fitted << w.gain << w.name;
}

VotedWindow take(QDataStream &in)
{
    qint32 map = 0;
    qint32 x = 0;
    qint32 y = 0;
    qint32 votes = 0;
    qint32 best_x = 0;
    qint32 best_y = 0;
    double score = 0;
    VotedWindow w;
    in >> map >> x >> y >> votes >> w.weight >> w.probed >> score >> best_x >> best_y >> w.fitted >>
        w.gain >> w.name;
    w.map = map;
    w.x = x;
    w.y = y;
    w.votes = votes;
    w.score = float(score);
    w.best_x = best_x;
    w.best_y = best_y;
    return w;
}

// The windows of several patterns, to travel between the slices.
QByteArray pack_windows(const std::vector<std::vector<VotedWindow>> &windows)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    for (const std::vector<VotedWindow> &list : windows) {
        out << quint32(list.size());
        for (const VotedWindow &w : list) {
            put(out, w);
        }
    }
    return bytes;
}

// Every slice's windows of each pattern, one after the other in slice order.
std::vector<std::vector<VotedWindow>> unpack_windows(const QList<QByteArray> &slices, int count)
{
    std::vector<std::vector<VotedWindow>> windows(static_cast<std::size_t>(count));
    for (const QByteArray &bytes : slices) {
        QDataStream in(bytes);
        for (std::vector<VotedWindow> &list : windows) {
            quint32 size = 0;
            in >> size;
            for (quint32 k = 0; k < size && in.status() == QDataStream::Ok; ++k) {
                list.push_back(take(in));
            }
        }
        if (in.status() != QDataStream::Ok || !in.atEnd()) {
            throw std::runtime_error("the windows of a process arrived damaged");
        }
    }
    return windows;
}

// Whether votes named a window clearly enough not to ask again: one far closer than any other
// image's and close to the pattern (the indexed verdicts' found).
bool conclusive(const IndexedSearch &found);

// Which of two searches of a pattern at different scales names its window more clearly: a
// conclusive one, then the one whose best scores the least share of the other images' windows'
// median (a small pattern matches some window of the database closely by chance; it does not
// stand out of the others).
bool clearer(const IndexedSearch &a, const IndexedSearch &b);

bool conclusive(const IndexedSearch &found)
{
    if (!found.best) {
        return false;
    }
    const double runner_up = found.runner_up ? double(found.runner_up->window.score) : 0;
    const double median =
        found.unrelated.empty() ? 0 : double(found.unrelated[found.unrelated.size() / 2]);
    const int unrelated = int(found.unrelated.size());
    if (stands_out(found.best->window.score, found.magnitude,
                   found.runner_up ? &runner_up : nullptr, unrelated, median)) {
        return true;
    }
    // Or with the contrast fitted to every window (a brightened crop), by a gain within the
    // bounds: one at a bound fits a window no change of contrast gives.
    const double gain = found.best->gain;
    const double fitted_runner_up = found.runner_up ? found.runner_up->fitted : 0;
    const double fitted_median =
        found.unrelated_fitted.empty() ? 0 : found.unrelated_fitted[unrelated / 2];
    return gain > least_gain && gain < most_gain &&
           stands_out(found.best->fitted, gain * found.magnitude,
                      found.runner_up ? &fitted_runner_up : nullptr, unrelated, fitted_median);
}

// Whether a search of the pattern resampled names its window as clearly as a pick at another
// scale must (the indexed verdicts of evaluation/answer.h), by the system's scores or by those
// with the contrast fitted.
bool clear_rescaled(const IndexedSearch &found)
{
    if (!found.best) {
        return false;
    }
    const bool lone = found.unrelated.empty();
    auto clear = [&](double best, double magnitude, double median) {
        return lone ? best <= indexed_lone_share * magnitude
                    : best < indexed_rescaled_unrelated * median;
    };
    const std::size_t middle = found.unrelated.size() / 2;
    const double gain = found.best->gain;
    return clear(found.best->window.score, found.magnitude,
                 lone ? 0 : double(found.unrelated[middle])) ||
           (gain > least_gain && gain < most_gain &&
            clear(found.best->fitted, gain * found.magnitude,
                  lone ? 0 : found.unrelated_fitted[middle]));
}

bool clearer(const IndexedSearch &a, const IndexedSearch &b)
{
    auto rank = [](const IndexedSearch &found) {
        const double share = !found.best ? std::numeric_limits<double>::infinity()
                             : found.unrelated.empty()
                                 ? closeness(found)
                                 : double(found.best->window.score) /
                                       double(found.unrelated[found.unrelated.size() / 2]);
        return std::make_pair(!conclusive(found), share);
    };
    return rank(a) < rank(b);
}

PatternPick pick_of(const QString &name, const IndexedSearch &found, QSize first_phase)
{
    PatternPick pick;
    pick.pattern_name = name;
    pick.picked_by = PickedBy::votes;
    pick.any_cells = found.any_cells;
    const QSize size = found.best ? found.map_size : first_phase;
    pick.map_width = size.width();
    pick.map_height = size.height();
    pick.magnitude = found.magnitude;
    if (found.best) {
        pick.best = found.best->window;
        pick.phase = found.best->phase;
        pick.votes = found.best->votes;
        pick.fitted_score = found.best->fitted;
        pick.gain = found.best->gain;
    }
    if (found.runner_up) {
        pick.runner_up = found.runner_up->window;
        pick.runner_up_fitted = found.runner_up->fitted;
    }
    pick.other_images = !found.unrelated.empty();
    pick.unrelated = int(found.unrelated.size());
    if (!found.unrelated.empty()) {
        pick.unrelated_median = found.unrelated[found.unrelated.size() / 2];
        pick.unrelated_fitted_median = found.unrelated_fitted[found.unrelated.size() / 2];
    }
    pick.found = name == pick.picked_name();
    return pick;
}

// One pattern's searches, kept between the exchanges of a batch.
struct PatternSearches {
    // At the pattern's own scale, exact matches looked up first.
    PatternSearches(const FeatureMap &pattern, const WindowSettings &settings,
                    const QList<FeatureMap> &slice, const CellIndex &cells,
                    const std::function<void(int map)> &before_reading)
        : name(pattern.name)
        , centres(pattern, settings)
        , exact(std::make_unique<AlignedSearcher>(centres, slice, cells, 1, before_reading))
    {}
    // Resampled as a crop of `crop_scale` would be back to the database's scale, turned back by
    // `turn` degrees first: votes only.
    PatternSearches(const FeatureMap &pattern, const WindowSettings &settings, double crop_scale,
                    double turn = 0)
        : name(pattern.name)
        , scale(crop_scale)
        , angle(turn)
        , centres(resampled_grey_map(turn != 0 ? straightened_grey_map(pattern, turn) : pattern,
                                     1 / crop_scale),
                  settings)
    {}

    QString name;
    double scale = 1;
    double angle = 0;
    CentreDescriptor centres;
    std::unique_ptr<AlignedSearcher> exact;
    std::unique_ptr<IndexedSearcher> votes;
};

class IndexedStrategy : public SearchStrategy
{
public:
    IndexedStrategy(const WindowSettings &settings, const SearchSlice &slice,
                    const SearchOptions &options)
        : m_settings(settings)
        , m_slice(slice)
        , m_threads(options.threads)
        , m_before(options.before_reading)
        , m_rungs(ladder_of(options.scales))
        , m_between(between_rungs(m_rungs))
        , m_low(std::min(options.scales.low, 1.0))
        , m_high(std::max(options.scales.high, 1.0))
        , m_climbs(options.climbs)
    {
        if (options.index && slice.whole) {
            m_cells = options.index;
        } else {
            m_own_cells =
                options.index ? options.index->slice_from(slice.first) : CellIndex(slice.maps);
            m_cells = &m_own_cells;
        }
        // The candidate index numbers maps in the whole database; a slice's own is made so.
        if (options.candidates) {
            m_candidates = options.candidates;
        } else {
            m_own_candidates = CandidateIndex(candidate_arrays(slice.maps, slice.first));
            m_candidates = &m_own_candidates;
        }
    }

    QList<PatternPick> best_picks(const QList<FeatureMap> &patterns,
                                  const Progress &progress) override
    {
        return best_picks_exchanging(
            patterns, [](const QByteArray &mine) { return QList<QByteArray>{mine}; }, progress);
    }

    // Runner-ups come with the picks.
    void find_runner_ups(const QList<FeatureMap> &, QList<PatternPick> &, bool) override {}
    bool exchanges() const override { return true; }

    QList<PatternPick> best_picks_exchanging(const QList<FeatureMap> &patterns,
                                             const Exchange &exchange,
                                             const Progress &progress) override
    {
        if (!m_rungs.empty() && !m_largest.isValid()) {
            m_largest = largest_map(exchange);
        }
        QList<PatternPick> picks;
        for (int first = 0; first < patterns.size(); first += batch_size) {
            const QList<FeatureMap> batch = patterns.mid(first, batch_size);
            picks.append(search_batch(batch, exchange));
            if (progress) {
                progress(picks.size(), patterns.size());
            }
        }
        return picks;
    }

private:
    // Runs step(k) for every open pattern k of the batch on the threads.
    template <class Step> void each(const std::vector<int> &open, Step step) const
    {
        ordered_parallel<int>(
            int(open.size()), thread_count(m_threads),
            [&](int n) {
                step(open[std::size_t(n)]);
                return 0;
            },
            [](int, int &) { return true; });
    }

    // Announcements of maps numbered in the database, and in the slice.
    std::function<void(int map)> before_reading() const { return m_before; }
    std::function<void(int map)> local_reading() const
    {
        if (!m_before) {
            return {};
        }
        return [before = m_before, first = m_slice.first](int map) { before(first + map); };
    }

    QList<PatternPick> search_batch(const QList<FeatureMap> &patterns, const Exchange &exchange)
    {
        const int count = patterns.size();
        std::vector<std::unique_ptr<PatternSearches>> searches(static_cast<std::size_t>(count));
        std::vector<int> all;
        for (int k = 0; k < count; ++k) {
            all.push_back(k);
        }
        each(all, [&](int k) {
            searches[std::size_t(k)] = std::make_unique<PatternSearches>(
                patterns[k], m_settings, m_slice.maps, *m_cells, local_reading());
        });
        QList<PatternPick> picks = exact_picks(searches, exchange);
        std::vector<int> open;
        for (int k = 0; k < count; ++k) {
            if (picks[k].picked_by != PickedBy::exact) {
                open.push_back(k);
            }
        }
        // Windows of other images are scored too, for a pick to be compared with something:
        // the votes of a small crop may name one map alone.
        IndexedOptions options = ladder_options();
        std::vector<IndexedSearch> found = voted(searches, open, options, exchange);
        std::vector<int> again;
        for (std::size_t n = 0; n < open.size(); ++n) {
            if (!conclusive(found[n]) && found[n].any_blocks) {
                again.push_back(open[n]);
            }
        }
        options.blocks_per_phase *= escalation;
        options.shortlisted *= escalation;
        options.verified *= escalation;
        const std::vector<IndexedSearch> asked_again = voted(searches, again, options, exchange);
        for (std::size_t n = 0, a = 0; n < again.size(); ++n) {
            while (open[a] != again[n]) {
                ++a;
            }
            found[a] = asked_again[n];
        }
        std::vector<double> scales(open.size(), 1.0);
        std::vector<double> angles(open.size(), 0.0);
        if (!m_rungs.empty()) {
            climb(patterns, open, found, scales, exchange);
            turn(patterns, open, found, scales, angles, exchange);
        }
        for (std::size_t n = 0; n < open.size(); ++n) {
            picks[open[n]] = pick_of(patterns[open[n]].name, found[n],
                                     searches[std::size_t(open[n])]->centres.phase_size(0, 0));
            picks[open[n]].scale = scales[n];
            picks[open[n]].angle = angles[n];
        }
        return picks;
    }

    // The patterns found at their own scale by no window that stands out, searched again over
    // the ladder of scales: resampled to its rungs, nearest 1 first, and looked up until one
    // names a window clearly; the best window of each rung
    // (and of the pattern's own scale) refined by scoring it at scales between the rungs, and
    // the scale of the closest searched once more for the verdict's unrelated windows. A
    // pattern keeps what it had when no scale names a window more clearly.
    void climb(const QList<FeatureMap> &patterns, const std::vector<int> &open,
               std::vector<IndexedSearch> &found, std::vector<double> &scales,
               const Exchange &exchange)
    {
        // Patterns found clearly at their own scale are refined only (a crop a tenth smaller
        // is often found there, a little off), the others climb the whole ladder.
        std::vector<int> unsure;
        std::vector<bool> laddered;
        for (std::size_t n = 0; n < open.size(); ++n) {
            const bool clear = conclusive(found[n]);
            if (!clear || closeness(found[n]) > settled_closeness) {
                unsure.push_back(int(n));
                laddered.push_back(!clear);
            }
        }
        for (std::size_t first = 0; first < unsure.size(); first += climbing_at_once) {
            const std::size_t last = std::min(unsure.size(), first + climbing_at_once);
            climb_some(patterns, open,
                       std::vector<int>(unsure.begin() + std::ptrdiff_t(first),
                                        unsure.begin() + std::ptrdiff_t(last)),
                       std::vector<bool>(laddered.begin() + std::ptrdiff_t(first),
                                         laddered.begin() + std::ptrdiff_t(last)),
                       found, scales, exchange);
        }
    }

    // The patterns still found by no window that stands out, turned back by each searched turn
    // at the scale they were found at; of the turns that name a window clearly, the closest is
    // taken (a crop turned by 2 degrees is found clearly, though less closely, turned back by
    // 1). A turn is taken only so: of many turns and scales, a crop of another image has some
    // window that comes closest.
    void turn(const QList<FeatureMap> &patterns, const std::vector<int> &open,
              std::vector<IndexedSearch> &found, const std::vector<double> &scales,
              std::vector<double> &angles, const Exchange &exchange)
    {
        // Found clearly but loosely at its own scale and unturned, a pattern is turned too: a
        // crop turned by 2 degrees is often named so, a few pixels off. It takes a turn only
        // when that is clearly closer.
        std::vector<std::size_t> turning;
        std::vector<bool> loose(open.size(), false);
        for (std::size_t n = 0; n < open.size(); ++n) {
            const bool clear = conclusive(found[n]) && (scales[n] == 1 || clear_rescaled(found[n]));
            loose[n] = clear && scales[n] == 1 && closeness(found[n]) > loose_closeness;
            if (found[n].any_blocks && climbs(patterns[open[n]], scales[n]) &&
                (!clear || loose[n])) {
                turning.push_back(n);
            }
        }
        std::vector<bool> turned(open.size(), false);
        for (double angle : searched_turns) {
            for (std::size_t first = 0; first < turning.size(); first += climbing_at_once) {
                const std::size_t last = std::min(turning.size(), first + climbing_at_once);
                std::vector<std::unique_ptr<PatternSearches>> searches;
                std::vector<int> all;
                for (std::size_t t = first; t < last; ++t) {
                    all.push_back(int(t - first));
                    searches.emplace_back();
                }
                each(all, [&](int e) {
                    const std::size_t n = turning[first + std::size_t(e)];
                    searches[std::size_t(e)] = std::make_unique<PatternSearches>(
                        patterns[open[n]], m_settings, scales[n], angle);
                });
                const std::vector<IndexedSearch> results =
                    voted(searches, all, ladder_options(), exchange);
                for (std::size_t t = first; t < last; ++t) {
                    const std::size_t n = turning[t];
                    const IndexedSearch &result = results[t - first];
                    const QSize cells = result.map_size;
                    const double bar = closeness(found[n]) * (loose[n] ? rescaling_gain : 1);
                    if (conclusive(result) && cells.width() * cells.height() >= rescaled_cells &&
                        (!(turned[n] || loose[n]) || closeness(result) < bar)) {
                        found[n] = result;
                        angles[n] = angle;
                        turned[n] = true;
                    }
                }
            }
        }
        // The turns taken refined by half a degree each way, scored about the window found,
        // and the closest searched once more for the verdict's unrelated windows.
        std::vector<std::size_t> taken;
        for (std::size_t n : turning) {
            if (turned[n]) {
                taken.push_back(n);
            }
        }
        for (std::size_t first = 0; first < taken.size(); first += climbing_at_once) {
            const std::size_t last = std::min(taken.size(), first + climbing_at_once);
            const std::size_t count = last - first;
            std::vector<int> all;
            for (std::size_t e = 0; e < count; ++e) {
                all.push_back(int(e));
            }
            auto searches_at = [&](const std::vector<double> &turns) {
                std::vector<std::unique_ptr<PatternSearches>> searches(count);
                each(all, [&](int e) {
                    const std::size_t n = taken[first + std::size_t(e)];
                    searches[std::size_t(e)] = std::make_unique<PatternSearches>(
                        patterns[open[n]], m_settings, scales[n], turns[std::size_t(e)]);
                });
                return searches;
            };
            std::vector<double> best(count);
            std::vector<double> nearest(count);
            for (std::size_t e = 0; e < count; ++e) {
                best[e] = angles[taken[first + e]];
                nearest[e] = closeness(found[taken[first + e]]);
            }
            for (double step : {-0.5, 0.5}) {
                std::vector<double> at;
                std::vector<std::vector<VotedWindow>> windows;
                for (std::size_t e = 0; e < count; ++e) {
                    const std::size_t n = taken[first + e];
                    at.push_back(angles[n] + step);
                    windows.push_back({corner_of(*found[n].best)});
                }
                auto searches = searches_at(at);
                const std::vector<IndexedSearch> results =
                    scored(searches, all, windows, IndexedOptions{}, exchange);
                for (std::size_t e = 0; e < count; ++e) {
                    if (closeness(results[e]) < nearest[e]) {
                        nearest[e] = closeness(results[e]);
                        best[e] = at[e];
                    }
                }
            }
            std::vector<int> moved;
            std::vector<double> at(count);
            for (std::size_t e = 0; e < count; ++e) {
                at[e] = best[e];
                if (best[e] != angles[taken[first + e]]) {
                    moved.push_back(int(e));
                }
            }
            auto searches = searches_at(at);
            const std::vector<IndexedSearch> results =
                voted(searches, moved, ladder_options(), exchange);
            for (std::size_t r = 0; r < moved.size(); ++r) {
                const std::size_t n = taken[first + std::size_t(moved[r])];
                if (conclusive(results[r]) && closeness(results[r]) < closeness(found[n])) {
                    found[n] = results[r];
                    angles[n] = at[std::size_t(moved[r])];
                }
            }
        }
    }

    // The climb of the patterns open[unsure[u]], the whole ladder for those `laddered`.
    void climb_some(const QList<FeatureMap> &patterns, const std::vector<int> &open,
                    const std::vector<int> &unsure, const std::vector<bool> &laddered,
                    std::vector<IndexedSearch> &found, std::vector<double> &scales,
                    const Exchange &exchange)
    {
        // Resampled searches of unsure patterns (`of`: their places in `unsure`) at `at`.
        auto searches_at = [&](const std::vector<std::size_t> &of, const std::vector<double> &at) {
            std::vector<std::unique_ptr<PatternSearches>> searches(of.size());
            std::vector<int> all;
            for (std::size_t e = 0; e < of.size(); ++e) {
                all.push_back(int(e));
            }
            each(all, [&](int e) {
                const std::size_t u = of[std::size_t(e)];
                const FeatureMap &pattern = patterns[open[std::size_t(unsure[u])]];
                searches[std::size_t(e)] =
                    std::make_unique<PatternSearches>(pattern, m_settings, at[std::size_t(e)]);
            });
            return std::make_pair(std::move(searches), all);
        };
        // A window to refine: of which unsure pattern, at which scale, how close.
        struct Climber {
            std::size_t unsure;
            double scale;
            IndexedSearch found;
        };
        std::vector<Climber> climbers;
        std::vector<std::size_t> every;
        for (std::size_t u = 0; u < unsure.size(); ++u) {
            climbers.push_back({u, 1.0, found[std::size_t(unsure[u])]});
            if (laddered[u]) {
                every.push_back(u);
            }
        }
        // The rungs, then the scales between them for the patterns none of them settled.
        std::vector<double> climbed = m_rungs;
        climbed.insert(climbed.end(), m_between.begin(), m_between.end());
        for (double rung : climbed) {
            std::vector<std::size_t> fitting;
            for (std::size_t u : every) {
                const FeatureMap &pattern = patterns[open[std::size_t(unsure[u])]];
                if (!outgrows(pattern, rung) && climbs(pattern, rung)) {
                    fitting.push_back(u);
                }
            }
            if (fitting.empty()) {
                continue;
            }
            auto [searches, all] = searches_at(fitting, std::vector<double>(fitting.size(), rung));
            const std::vector<IndexedSearch> results =
                voted(searches, all, ladder_options(), exchange);
            for (std::size_t f = 0; f < fitting.size(); ++f) {
                climbers.push_back({fitting[f], rung, results[f]});
                if (conclusive(results[f])) {
                    every.erase(std::find(every.begin(), every.end(), fitting[f]));
                }
            }
        }
        // Of each pattern's rungs, the clearest few.
        std::stable_sort(climbers.begin(), climbers.end(), [](const Climber &a, const Climber &b) {
            if (a.unsure != b.unsure) {
                return a.unsure < b.unsure;
            }
            if ((a.scale == 1) != (b.scale == 1)) {
                return a.scale == 1;
            }
            return clearer(a.found, b.found);
        });
        std::vector<Climber> kept;
        for (std::size_t c = 0, rungs = 0; c < climbers.size(); ++c) {
            rungs = c > 0 && climbers[c].unsure == climbers[c - 1].unsure ? rungs + 1 : 0;
            if (climbers[c].found.best && rungs <= refined_rungs) {
                kept.push_back(std::move(climbers[c]));
            }
        }
        climbers = std::move(kept);
        // Refined a batch at a time: each holds its pattern resampled.
        for (std::size_t first = 0; first < climbers.size(); first += batch_size) {
            const std::size_t last = std::min(climbers.size(), first + batch_size);
            for (const Refinement &refinement : refinements) {
                refine(patterns, open, unsure, climbers, first, last, refinement, searches_at,
                       exchange);
            }
        }
        // Each pattern's closest, if clearly closer than at its own scale.
        std::vector<double> scale(unsure.size(), 1.0);
        std::vector<double> nearest(unsure.size());
        for (std::size_t u = 0; u < unsure.size(); ++u) {
            nearest[u] = rescaling_gain * closeness(found[std::size_t(unsure[u])]);
        }
        for (const Climber &climber : climbers) {
            const QSize cells = climber.found.map_size;
            if (std::fabs(std::log(climber.scale)) > std::log(least_rescaling) &&
                cells.width() * cells.height() >= rescaled_cells &&
                closeness(climber.found) < nearest[climber.unsure]) {
                nearest[climber.unsure] = closeness(climber.found);
                scale[climber.unsure] = climber.scale;
            }
        }
        std::vector<std::size_t> rescaled;
        std::vector<double> at;
        for (std::size_t u = 0; u < unsure.size(); ++u) {
            if (scale[u] != 1) {
                rescaled.push_back(u);
                at.push_back(scale[u]);
            }
        }
        auto [searches, all] = searches_at(rescaled, at);
        const std::vector<IndexedSearch> results = voted(searches, all, ladder_options(), exchange);
        for (std::size_t r = 0; r < rescaled.size(); ++r) {
            const std::size_t n = std::size_t(unsure[rescaled[r]]);
            if (clearer(results[r], found[n])) {
                found[n] = results[r];
                scales[n] = at[r];
            }
        }
        // Taken within half a rung of its own scale, a pattern is searched at its own once more
        // with the window found added to its votes': a crop the votes missed at its own scale
        // is often found a few per cent off it, and a few pixels off its place. Its own scale
        // is taken back unless the other is clearly closer.
        std::vector<std::size_t> near;
        std::vector<std::vector<VotedWindow>> added;
        for (std::size_t u = 0; u < unsure.size(); ++u) {
            const std::size_t n = std::size_t(unsure[u]);
            if (scales[n] != 1 && found[n].best &&
                std::fabs(std::log(scales[n])) < std::log(ladder_ratio) / 2) {
                near.push_back(u);
                added.push_back({rescaled_window(patterns[open[n]], found[n], scales[n], 1)});
            }
        }
        auto [own, every_own] = searches_at(near, std::vector<double>(near.size(), 1.0));
        IndexedOptions options = ladder_options();
        options.reach = refinements[0].reach;
        const std::vector<IndexedSearch> at_own = voted(own, every_own, options, exchange, &added);
        for (std::size_t r = 0; r < near.size(); ++r) {
            const std::size_t n = std::size_t(unsure[near[r]]);
            if (conclusive(at_own[r]) &&
                !(closeness(found[n]) < rescaling_gain * closeness(at_own[r]))) {
                found[n] = at_own[r];
                scales[n] = 1;
            }
        }
    }

    // One level of refinement of climbers [first, last): each scored about its window at the
    // level's scales around its own, keeping the closest.
    template <class Climber, class SearchesAt>
    void refine(const QList<FeatureMap> &patterns, const std::vector<int> &open,
                const std::vector<int> &unsure, std::vector<Climber> &climbers, std::size_t first,
                std::size_t last, const Refinement &refinement, const SearchesAt &searches_at,
                const Exchange &exchange)
    {
        std::vector<double> around;
        std::vector<std::size_t> of;
        for (std::size_t c = first; c < last; ++c) {
            around.push_back(climbers[c].scale);
            of.push_back(climbers[c].unsure);
        }
        for (double step : refinement.steps) {
            std::vector<double> at;
            std::vector<std::vector<VotedWindow>> windows;
            for (std::size_t c = first; c < last; ++c) {
                const double from = around[c - first];
                at.push_back(std::clamp(from * std::pow(ladder_ratio, step), m_low, m_high));
                const FeatureMap &pattern = patterns[open[std::size_t(unsure[climbers[c].unsure])]];
                windows.push_back(
                    {rescaled_window(pattern, climbers[c].found, climbers[c].scale, at.back())});
            }
            auto [searches, all] = searches_at(of, at);
            IndexedOptions options;
            options.reach = refinement.reach;
            const std::vector<IndexedSearch> results =
                scored(searches, all, windows, options, exchange);
            for (std::size_t c = first; c < last; ++c) {
                if (closeness(results[c - first]) < closeness(climbers[c].found)) {
                    climbers[c].found = results[c - first];
                    climbers[c].scale = at[c - first];
                }
            }
        }
    }

    // The largest sides of the database's maps, in cells, of every slice.
    QSize largest_map(const Exchange &exchange) const
    {
        QByteArray mine;
        QDataStream out(&mine, QIODevice::WriteOnly);
        int width = 0;
        int height = 0;
        for (const FeatureMap &map : m_slice.maps) {
            width = std::max(width, map.width);
            height = std::max(height, map.height);
        }
        out << qint32(width) << qint32(height);
        QSize largest(0, 0);
        for (const QByteArray &bytes : exchange(mine)) {
            QDataStream in(bytes);
            qint32 w = 0;
            qint32 h = 0;
            in >> w >> h;
            largest = largest.expandedTo(QSize(w, h));
        }
        return largest;
    }

    // The window of `found` (the pattern searched at `from`) for the pattern resampled to `to`,
    // about the window's middle, where the votes aligned it.
    VotedWindow rescaled_window(const FeatureMap &pattern, const IndexedSearch &found, double from,
                                double to) const
    {
        const double growth = 1 / from - 1 / to;
        VotedWindow window = corner_of(*found.best);
        window.x += int(std::lround(pattern.width * growth / 2));
        window.y += int(std::lround(pattern.height * growth / 2));
        return window;
    }

    // Whether the pattern climbs to `scale` (or is turned back there).
    bool climbs(const FeatureMap &pattern, double scale) const
    {
        return !m_climbs || m_climbs(QSize(pattern.width, pattern.height), scale);
    }

    // Whether the pattern resampled to a crop of `scale` has more cells along a side than any
    // map of the database: no window can hold it.
    bool outgrows(const FeatureMap &pattern, double scale) const
    {
        const int a = m_settings.radius;
        const int step = m_settings.step();
        return descriptor_extent(int(std::lround(pattern.width / scale)), a, step) >
                   m_largest.width() ||
               descriptor_extent(int(std::lround(pattern.height / scale)), a, step) >
                   m_largest.height();
    }

    // The search's searcher of votes, made on first use, asked with `options`.
    IndexedSearcher &searcher_of(PatternSearches &search, const IndexedOptions &options) const
    {
        if (search.votes) {
            search.votes->set_options(options);
        } else {
            search.votes =
                std::make_unique<IndexedSearcher>(search.centres, m_slice.maps, *m_candidates,
                                                  m_slice.first, options, before_reading());
        }
        return *search.votes;
    }

    // The window to score again: at the found corner, in pixels.
    VotedWindow corner_of(const IndexedWindow &found) const
    {
        VotedWindow window;
        window.map = found.window.map;
        window.x = found.window.x * m_settings.step() - found.phase.x();
        window.y = found.window.y * m_settings.step() - found.phase.y();
        return window;
    }

    // Each pattern's window matching to the database's rounding, when it has one: the best of
    // every slice's is the best.
    QList<PatternPick> exact_picks(std::vector<std::unique_ptr<PatternSearches>> &searches,
                                   const Exchange &exchange)
    {
        const int count = int(searches.size());
        std::vector<PatternPick> mine(static_cast<std::size_t>(count));
        std::vector<int> all;
        for (int k = 0; k < count; ++k) {
            all.push_back(k);
        }
        each(all, [&](int k) {
            PatternSearches &search = *searches[std::size_t(k)];
            const AlignedSearch exact =
                search.exact->best_within(float(exact_limits * search.exact->first_limit()), true);
            PatternPick &pick = mine[std::size_t(k)];
            pick.pattern_name = search.name;
            pick.any_cells = exact.any_cells;
            if (exact.best) {
                pick.best = exact.best->window;
                pick.best->map += m_slice.first;
                pick.phase = exact.best->phase;
                pick.map_width = exact.map_size.width();
                pick.map_height = exact.map_size.height();
                pick.magnitude = exact.magnitude;
            }
        });
        const QList<QList<PatternPick>> slices =
            unpacked(exchange(pack_picks(QList<PatternPick>(mine.begin(), mine.end()))), count);
        QList<PatternPick> picks;
        for (int k = 0; k < count; ++k) {
            QList<std::optional<MatchCandidate>> windows;
            for (const QList<PatternPick> &slice : slices) {
                windows.append(slice[k].best);
            }
            const int winner = earliest_lowest(windows);
            PatternPick pick = winner >= 0 ? slices[winner][k] : mine[std::size_t(k)];
            pick.pattern_name = searches[std::size_t(k)]->name;
            pick.picked_by = winner >= 0 ? PickedBy::exact : PickedBy::votes;
            pick.found = pick.pattern_name == pick.picked_name();
            picks.append(pick);
        }
        exact_runner_ups(searches, picks, exchange);
        return picks;
    }

    // The runner-ups of the exact picks, as the aligned search finds them, of every slice.
    void exact_runner_ups(std::vector<std::unique_ptr<PatternSearches>> &searches,
                          QList<PatternPick> &picks, const Exchange &exchange)
    {
        const int count = int(searches.size());
        std::vector<PatternPick> mine(static_cast<std::size_t>(count));
        std::vector<int> exact;
        for (int k = 0; k < count; ++k) {
            if (picks[k].picked_by == PickedBy::exact) {
                exact.push_back(k);
            }
        }
        each(exact, [&](int k) {
            PatternSearches &search = *searches[std::size_t(k)];
            PatternPick &pick = mine[std::size_t(k)];
            MatchCandidate best = *picks[k].best;
            best.map -= m_slice.first;
            pick.other_images = search.exact->has_other_images(best.name);
            const std::optional<AlignedWindow> second =
                search.exact->runner_up(AlignedWindow{best, picks[k].phase});
            if (second) {
                pick.runner_up = second->window;
                pick.runner_up->map += m_slice.first;
            }
        });
        const QList<QList<PatternPick>> slices =
            unpacked(exchange(pack_picks(QList<PatternPick>(mine.begin(), mine.end()))), count);
        for (int k : exact) {
            QList<std::optional<MatchCandidate>> windows;
            bool other_images = false;
            for (const QList<PatternPick> &slice : slices) {
                windows.append(slice[k].runner_up);
                other_images |= slice[k].other_images;
            }
            const int lowest = earliest_lowest(windows);
            picks[k].runner_up = lowest >= 0 ? windows[lowest] : std::nullopt;
            picks[k].other_images = other_images;
        }
    }

    // The votes of the open patterns, exchanged, chosen (with the `added` windows of each, when
    // given), scored where their maps are, and exchanged again.
    std::vector<IndexedSearch> voted(std::vector<std::unique_ptr<PatternSearches>> &searches,
                                     const std::vector<int> &open, const IndexedOptions &options,
                                     const Exchange &exchange,
                                     const std::vector<std::vector<VotedWindow>> *added = nullptr)
    {
        const int count = int(open.size());
        std::vector<std::vector<VotedWindow>> mine(static_cast<std::size_t>(count));
        std::vector<int> numbered;
        for (int n = 0; n < count; ++n) {
            numbered.push_back(n);
        }
        each(numbered, [&](int n) {
            mine[std::size_t(n)] =
                searcher_of(*searches[std::size_t(open[std::size_t(n)])], options).votes();
        });
        std::vector<std::vector<VotedWindow>> chosen =
            unpack_windows(exchange(pack_windows(mine)), count);
        each(numbered, [&](int n) {
            const IndexedSearcher &votes = *searches[std::size_t(open[std::size_t(n)])]->votes;
            chosen[std::size_t(n)] = votes.chosen(std::move(chosen[std::size_t(n)]));
            if (added) {
                const std::vector<VotedWindow> &more = (*added)[std::size_t(n)];
                chosen[std::size_t(n)].insert(chosen[std::size_t(n)].end(), more.begin(),
                                              more.end());
            }
        });
        return scored(searches, open, chosen, options, exchange);
    }

    // The windows of the open patterns scored where their maps are, exchanged, and the results.
    std::vector<IndexedSearch> scored(std::vector<std::unique_ptr<PatternSearches>> &searches,
                                      const std::vector<int> &open,
                                      std::vector<std::vector<VotedWindow>> chosen,
                                      const IndexedOptions &options, const Exchange &exchange)
    {
        const int count = int(open.size());
        std::vector<int> numbered;
        for (int n = 0; n < count; ++n) {
            numbered.push_back(n);
        }
        each(numbered, [&](int n) {
            std::vector<VotedWindow> &windows = chosen[std::size_t(n)];
            searcher_of(*searches[std::size_t(open[std::size_t(n)])], options).score(windows);
            // Only this slice's, which it scored.
            windows.erase(std::remove_if(windows.begin(), windows.end(),
                                         [&](const VotedWindow &w) {
                                             return w.map < m_slice.first ||
                                                    w.map >= m_slice.first + m_slice.maps.size();
                                         }),
                          windows.end());
        });
        const std::vector<std::vector<VotedWindow>> scored =
            unpack_windows(exchange(pack_windows(chosen)), count);
        std::vector<IndexedSearch> results(static_cast<std::size_t>(count));
        each(numbered, [&](int n) {
            results[std::size_t(n)] = searches[std::size_t(open[std::size_t(n)])]->votes->result_of(
                scored[std::size_t(n)]);
        });
        return results;
    }

    static QList<QList<PatternPick>> unpacked(const QList<QByteArray> &slices, int count)
    {
        QList<QList<PatternPick>> all;
        for (int rank = 0; rank < slices.size(); ++rank) {
            std::optional<QList<PatternPick>> picks = unpack_picks(slices[rank], count);
            if (!picks) {
                throw std::runtime_error("the picks of process " + std::to_string(rank) +
                                         " arrived damaged");
            }
            all.append(*picks);
        }
        return all;
    }

    WindowSettings m_settings;
    SearchSlice m_slice;
    int m_threads;
    std::function<void(int map)> m_before;
    CellIndex m_own_cells;
    const CellIndex *m_cells = nullptr;
    CandidateIndex m_own_candidates;
    const CandidateIndex *m_candidates = nullptr;
    std::vector<double> m_rungs;   // the ladder of scales, without 1
    std::vector<double> m_between; // the scales between its rungs
    double m_low;                  // and the scales it may be refined to
    double m_high;
    std::function<bool(QSize, double)> m_climbs; // the scales a pattern climbs, when set
    QSize m_largest; // the sides of the database's largest map, in cells, once asked
};

} // namespace

std::unique_ptr<SearchStrategy> make_indexed_strategy(const WindowSettings &settings,
                                                      const SearchSlice &slice,
                                                      const SearchOptions &options)
{
    return std::make_unique<IndexedStrategy>(settings, slice, options);
}
