#include "search/aligned_search.h"

#include "search/best_window.h"
#include "search/phase_plan.h"
#include "search/phase_search.h"
#include "search/window_compare.h"

#include <algorithm>
#include <cmath>
#include <memory>

using aligned::Layout;
using aligned::Leader;
using aligned::Phase;

namespace {

// The first candidate of the full list in the order (map, phase, x, y), for when no window
// scores below 9999999.
std::optional<AlignedWindow> first_candidate(std::vector<Phase> &phases, CentreDescriptor &pattern,
                                             const QList<FeatureMap> &database)
{
    for (int m = 0; m < database.size(); ++m) {
        const FeatureMap &map = database[m];
        for (Phase &phase : phases) {
            if (map.width >= phase.size.width() && map.height >= phase.size.height()) {
                const FeatureMap &cells = aligned::map_of(phase, pattern);
                return AlignedWindow{{0, 0, window_score(map, cells, 0, 0), map.name, m},
                                     QPoint(phase.px, phase.py)};
            }
        }
    }
    return std::nullopt;
}

AlignedWindow window_of(const Leader &leader, const QList<FeatureMap> &database, int step)
{
    return {{leader.x, leader.y, leader.score, database[leader.map].name, leader.map},
            QPoint(leader.phase % step, leader.phase / step)};
}

// The first round's limit: the rounding residual of an exact match, from the sampled
// magnitude of the first phase's cells.
double exact_match_limit(CentreDescriptor &pattern, const Phase &first)
{
    double sampled = 0;
    int samples = 0;
    for (const QPoint &cell : first.layout->grid) {
        sampled +=
            std::fabs(double(pattern.rough_phase_value(first.px, first.py, cell.x(), cell.y())));
        ++samples;
    }
    const double cells = double(first.size.width()) * first.size.height();
    return std::max(ft1_rounding_residual * (samples > 0 ? sampled / samples * cells : 0), 1e-12);
}

} // namespace

struct AlignedSearcher::State {
    CentreDescriptor &pattern;
    const QList<FeatureMap> &database;
    const CellIndex &index;
    int threads;
    std::vector<Layout> layouts;
    std::vector<Phase> phases;
    std::vector<Phase *> anchored;
    double first_limit = 0;
    WindowScanner scanner;
    std::function<void(int map)> before_reading;

    State(CentreDescriptor &searched, const QList<FeatureMap> &maps, const CellIndex &cells,
          int scan_threads, std::function<void(int map)> before)
        : pattern(searched)
        , database(maps)
        , index(cells)
        , threads(scan_threads)
        , scanner(maps)
        , before_reading(std::move(before))
    {}

    Phase *phase_at(QPoint at)
    {
        const int order = at.y() * pattern.step() + at.x();
        for (Phase &phase : phases) {
            if (phase.order == order) {
                return &phase;
            }
        }
        return nullptr;
    }

    aligned::Rounds search(const std::vector<char> *wanted, float bound, double from_limit,
                           bool lookups_only = false)
    {
        aligned::PhaseSearch rounds(pattern, database, index, scanner, wanted, bound, threads,
                                    &before_reading, lookups_only);
        return rounds.run(phases, anchored, from_limit);
    }
};

AlignedSearcher::AlignedSearcher(CentreDescriptor &pattern, const QList<FeatureMap> &database,
                                 const CellIndex &index, int threads,
                                 std::function<void(int map)> before_reading)
    : m(std::make_unique<State>(pattern, database, index, threads, std::move(before_reading)))
{
    m->phases = aligned::phases_of(pattern, index, m->layouts);
    if (m->phases.empty()) {
        return;
    }
    m->first_limit = exact_match_limit(pattern, m->phases.front());
    for (Phase &phase : m->phases) {
        if (std::isfinite(phase.anchor_value)) {
            m->anchored.push_back(&phase);
        }
    }
}

AlignedSearcher::~AlignedSearcher() = default;

double AlignedSearcher::first_limit() const
{
    return m->first_limit;
}

AlignedSearch AlignedSearcher::best()
{
    return best_within(no_best_score);
}

AlignedSearch AlignedSearcher::best_within(float bound, bool lookups_only)
{
    AlignedSearch result;
    result.any_cells = !m->phases.empty();
    if (!result.any_cells) {
        return result;
    }
    aligned::set_budgets(m->phases, m->database, m->index.map_shapes(m->database), nullptr);
    const aligned::Rounds rounds = m->search(nullptr, bound, m->first_limit, lookups_only);
    result.work = rounds.work;
    result.least_rejected = rounds.least_rejected;
    if (rounds.leader.exists) {
        result.best = window_of(rounds.leader, m->database, m->pattern.step());
    } else if (bound == no_best_score) {
        result.best = first_candidate(m->phases, m->pattern, m->database);
    }
    if (!result.best) {
        return result;
    }
    Phase &best_phase = *m->phase_at(result.best->phase);
    const FeatureMap &cells = aligned::map_of(best_phase, m->pattern);
    result.map_size = QSize(cells.width, cells.height);
    result.magnitude = best_phase.magnitude;
    result.other_images = has_other_images(result.best->window.name);
    return result;
}

std::vector<char> AlignedSearcher::others_of(const QString &name) const
{
    std::vector<char> other(static_cast<std::size_t>(m->database.size()), 0);
    bool any = false;
    for (int k = 0; k < m->database.size(); ++k) {
        const FeatureMap &map = m->database[k];
        if (map.name == name) {
            continue;
        }
        other[static_cast<std::size_t>(k)] = 1;
        for (const Layout &layout : m->layouts) {
            any |= map.width >= layout.size.width() && map.height >= layout.size.height();
        }
    }
    return any ? other : std::vector<char>();
}

bool AlignedSearcher::has_other_images(const QString &name) const
{
    // From the sizes of the maps: those of the name left out, does any map fit a phase?
    const CellIndex::MapShapes &shapes = m->index.map_shapes(m->database);
    const std::vector<int> *named = m->index.maps_named(m->database, name);
    for (const Layout &layout : m->layouts) {
        const auto fits = [&](int width, int height) {
            return width >= layout.size.width() && height >= layout.size.height();
        };
        qint64 fitting = 0;
        for (const auto &size : shapes.sizes) {
            fitting += fits(size.first.width(), size.first.height()) ? size.second : 0;
        }
        for (int k : named ? *named : std::vector<int>()) {
            fitting -= fits(m->database[k].width, m->database[k].height) ? 1 : 0;
        }
        if (fitting > 0) {
            return true;
        }
    }
    return false;
}

std::optional<AlignedWindow> AlignedSearcher::runner_up(const AlignedWindow &best)
{
    Phase *best_phase = m->phase_at(best.phase);
    const std::vector<char> other = others_of(best.window.name);
    if (!best_phase || other.empty() || !(best.window.score < no_best_score)) {
        return std::nullopt;
    }
    aligned::map_of(*best_phase, m->pattern);
    const double reach = std::max(aligned_runner_up_reach * double(best.window.score),
                                  ft1_rounding_residual * best_phase->magnitude);
    const float bound = std::nextafter(static_cast<float>(reach), no_best_score);
    aligned::set_budgets(m->phases, m->database, m->index.map_shapes(m->database),
                         m->index.maps_named(m->database, best.window.name));
    // The runner-up scores at least the best: the rounds start there.
    const Leader second =
        m->search(&other, bound, std::max(m->first_limit, double(best.window.score))).leader;
    if (second.exists && double(second.score) <= reach) {
        return window_of(second, m->database, m->pattern.step());
    }
    return std::nullopt;
}

AlignedSearch aligned_search(CentreDescriptor &pattern, const QList<FeatureMap> &database,
                             const CellIndex &index, const AlignedOptions &options)
{
    AlignedSearcher searcher(pattern, database, index, options.threads);
    AlignedSearch result = searcher.best();
    if (options.runner_up && result.best) {
        result.runner_up = searcher.runner_up(*result.best);
    }
    return result;
}
