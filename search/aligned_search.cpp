#include "search/aligned_search.h"

#include "search/best_window.h"
#include "search/window_bounds.h"
#include "search/window_compare.h"
#include "search/window_sums.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <tuple>

namespace {

constexpr double epsilon = std::numeric_limits<double>::epsilon();
// A candidate's anchor difference may exceed the score it bounds by the rounding of the score
// to float: the tolerance is widened by this factor.
constexpr double tolerance_slack = 1 + 0x1p-20;
// The cells a candidate is first checked on, besides its anchor.
constexpr int probe_cells = 6;

// The best window so far, in the order (score, map, phase, x, y).
struct Leader {
    bool exists = false;
    float score = no_best_score;
    int map = 0;
    int phase = 0;
    int x = 0;
    int y = 0;

    bool beaten_by(float s, int m, int p, int cx, int cy) const
    {
        if (!exists) {
            return s < no_best_score;
        }
        return s < score || (s == score && std::tie(m, p, cx, cy) < std::tie(map, phase, x, y));
    }
};

// The cells of the phases of one size: the rarest cells of the first phase, moved into them,
// which give each phase its anchor and its probe cells; and a grid of cells over them.
struct Layout {
    QSize size;
    std::vector<QPoint> choices;      // distinct, rarest first
    std::vector<QPoint> grid;         // distinct from the choices
    std::unique_ptr<WindowSums> sums; // made when a phase of this size first needs it
};

struct Phase {
    int px = 0;
    int py = 0;
    int order = 0; // py * step + px
    QSize size;
    const Layout *layout = nullptr;
    std::size_t anchor = 0; // in layout->choices; the other choices are its probe cells
    float anchor_value = 0;
    bool other_anchors_tried = false;
    std::size_t budget = 0;   // candidates worth more than a full scan of the phase
    float scanned_up_to = -1; // the bound of the last full scan, if any
    FeatureMap map;           // made when a candidate looks real
    double total = 0;         // the sum of the cells, once the map is made
    double total_slack = 0;   // its rounding
};

// Entries within the tolerance of an anchor worth trying other anchors for: more than a block
// of the index, where a lookup starts to cost more than a few cache lines.
constexpr std::size_t crowded_anchor = cell_block;

// Candidates worth reading the window sums for rather than taking them from the cells.
constexpr std::size_t many_candidates = 256;

// After its probe cells, a candidate is checked on a grid of up to this many more cells before
// the phase's whole map is made for its score.
constexpr int spread_cells = 16;

class PhaseSearch
{
public:
    PhaseSearch(CentreDescriptor &pattern, const QList<FeatureMap> &database,
                const CellIndex &index, WindowScanner &scanner, const std::vector<char> *wanted,
                float bound, int threads)
        : m_pattern(pattern)
        , m_database(database)
        , m_index(index)
        , m_scanner(scanner)
        , m_wanted(wanted)
        , m_bound(bound)
        , m_threads(threads)
    {}

    // Rounds of a growing limit, starting at `first_limit`: in each, every window that scores
    // at most the limit is found, from the candidates whose anchor difference is at most the
    // limit. The first round that finds one has found the best.
    // `anchored`: the phases whose anchor value is finite. A phase whose anchor is not finite
    // has every window cut off or not a number: it matters only when no score below 9999
    // exists.
    // After run: a lower bound of the windows left above the last round's limit.
    double least_rejected() const { return m_least_rejected; }

    Leader run(std::vector<Phase> &phases, const std::vector<Phase *> &anchored, double first_limit,
               qint64 &candidates, int &full_scans)
    {
        m_candidates = &candidates;
        m_full_scans = &full_scans;
        for (double limit = first_limit;;) {
            m_limit = static_cast<float>(std::min(limit, double(m_bound)));
            m_least_rejected = std::numeric_limits<double>::infinity();
            round(anchored);
            if (m_leader.exists && m_leader.score <= m_limit) {
                break; // every window scoring at most the limit was seen
            }
            if (!(m_limit < m_bound) || !(m_limit < cut_off_score)) {
                break;
            }
            // Four times the limit, or further when every window looked at scored well above
            // it (a noisy pattern): the next limit only decides how much is looked at.
            limit = std::max(4 * limit, std::min(m_least_rejected, 64 * limit));
        }
        if (!(m_leader.exists && m_leader.score < cut_off_score) && m_bound >= cut_off_score) {
            // Cut-off windows (9999) and sums of 9999 and more decide: every phase in full.
            m_limit = m_bound;
            for (Phase &phase : phases) {
                scan_in_full(phase);
            }
        }
        return m_leader;
    }

private:
    // Windows scoring above this cannot matter.
    float threshold() const
    {
        return m_leader.exists ? std::min(m_leader.score, m_limit) : m_limit;
    }

    // The threshold's drop threshold (see window_bounds.h), kept while the threshold stays.
    double drop()
    {
        const float now = threshold();
        if (now != m_drop_for) {
            m_drop_for = now;
            m_drop = drop_threshold(now);
        }
        return m_drop;
    }

    bool wanted(int map) const
    {
        return !m_wanted || (*m_wanted)[static_cast<std::size_t>(map)] != 0;
    }

    void consider(float score, int map, const Phase &phase, int x, int y)
    {
        if (score <= m_bound && m_leader.beaten_by(score, map, phase.order, x, y)) {
            m_leader = {true, score, map, phase.order, x, y};
        }
    }

    // A window was left for scoring above the threshold: `bound` is a lower bound of its score.
    void rejected(double bound) { m_least_rejected = std::min(m_least_rejected, bound); }

    // A window from the window sums, with a lower bound of its score.
    struct Queued {
        double bound;
        Phase *phase;
        int map;
        int x;
        int y;
        bool operator<(const Queued &other) const { return bound < other.bound; }
    };

    void round(const std::vector<Phase *> &anchored)
    {
        m_queue.clear();
        const double tolerance = double(m_limit) * tolerance_slack;
        for (Phase *phase : anchored) {
            CellIndex::Span span = m_index.span(double(phase->anchor_value) - tolerance,
                                                double(phase->anchor_value) + tolerance);
            std::size_t estimate = m_index.count_about(span);
            if (estimate > crowded_anchor && !phase->other_anchors_tried) {
                estimate = other_anchor(*phase, tolerance, estimate, span);
            }
            // The cell right of the anchor, where the index knows the values right of its
            // cells: a window scoring at most the limit differs by at most the limit on both
            // cells together, and the index finds such entries without reading the others.
            // Entries enough to be taken by their window sums or a full scan are not listed:
            // those pay for them already.
            const double right = right_of_anchor(*phase);
            // The entries, when no more than the phase's budget.
            auto list = [&] {
                m_entries.clear();
                return m_index.entries_near(span, phase->anchor_value, right, tolerance, m_entries,
                                            phase->budget);
            };
            const std::size_t many = std::max(many_candidates, phase->budget / 4);
            bool listed = false;
            std::size_t count = estimate;
            if (estimate <= many) {
                listed = list();
                count = listed ? m_entries.size() : phase->budget + 1;
            }
            // The window sums of every position cost about as much as checking a sixteenth of
            // the positions' candidates: worth making only for that many.
            if (count > many && take_by_sums(*phase, count)) {
                continue;
            }
            if (count > phase->budget) {
                scan_in_full(*phase);
                continue;
            }
            if (!listed && !list()) {
                scan_in_full(*phase);
                continue;
            }
            *m_candidates += static_cast<qint64>(m_entries.size());
            for (std::size_t k : m_entries) {
                take(*phase, k);
            }
        }
        // The queued windows, lowest bound first: the best is likely among the first, and once
        // the bound passes the best score so far, none of the rest can matter.
        std::sort(m_queue.begin(), m_queue.end());
        for (const Queued &queued : m_queue) {
            if (queued.bound > double(threshold()) * tolerance_slack) {
                rejected(queued.bound);
                break;
            }
            ++*m_candidates;
            check(*queued.phase, queued.map, queued.x, queued.y);
        }
    }

    // The value right of the phase's anchor, when it is a finite cell and the index knows the
    // values right of its cells; else not a number.
    double right_of_anchor(Phase &phase)
    {
        const QPoint anchor = phase.layout->choices[phase.anchor];
        if (!m_index.cells().next || anchor.x() + 1 >= phase.size.width()) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        const float right = cell(phase, anchor.x() + 1, anchor.y());
        return std::isfinite(right) ? double(right) : std::numeric_limits<double>::quiet_NaN();
    }

    // A crowded anchor: a few other cells of the phase, as anchors, may have fewer entries
    // within the tolerance. Their values cost a tile each, shared by all phases, which is why
    // only crowded phases look. Returns about how many entries the anchor kept has, and sets
    // `span` to its blocks.
    std::size_t other_anchor(Phase &phase, double tolerance, std::size_t estimate,
                             CellIndex::Span &span)
    {
        phase.other_anchors_tried = true;
        const std::vector<QPoint> &choices = phase.layout->choices;
        for (std::size_t k = 1; k < choices.size() && k < 4; ++k) {
            const float v =
                m_pattern.phase_value(phase.px, phase.py, choices[k].x(), choices[k].y());
            if (!std::isfinite(v)) {
                continue;
            }
            const CellIndex::Span other_span =
                m_index.span(double(v) - tolerance, double(v) + tolerance);
            const std::size_t other = m_index.count_about(other_span);
            if (other < estimate) {
                estimate = other;
                span = other_span;
                phase.anchor = k;
                phase.anchor_value = v;
            }
        }
        return estimate;
    }

    // Takes the windows whose sum lies within the limit of the phase's sum, when they are fewer
    // than `count` and within the phase's budget.
    bool take_by_sums(Phase &phase, std::size_t count)
    {
        Layout &layout = *const_cast<Layout *>(phase.layout);
        if (!layout.sums) {
            layout.sums =
                std::make_unique<WindowSums>(m_database, layout.size.width(), layout.size.height());
        }
        const FeatureMap &cells = map_of(phase);
        const WindowSums &sums = *layout.sums;
        WindowSums::Blocks pattern_blocks{};
        for (int l = 0; l < cells.height; ++l) {
            for (int k = 0; k < cells.width; ++k) {
                pattern_blocks[std::size_t(sums.block_of(k, l))] += cells.at(k, l);
            }
        }
        // The pattern's side is rounded as well: at most total_slack per block.
        const double tolerance = double(threshold()) * tolerance_slack +
                                 WindowSums::blocks * (phase.total_slack + sums.slack());
        const double total = WindowSums::total_of(pattern_blocks.data());
        const auto range = sums.range(total - tolerance, total + tolerance);
        if (range.second - range.first >= count) {
            return false;
        }
        for (std::size_t window = range.first; window < range.second; ++window) {
            const int m = sums.map(window);
            if (!wanted(m)) {
                continue;
            }
            const double *block = sums.block_sums(window);
            double apart = 0;
            for (int b = 0; b < WindowSums::blocks; ++b) {
                apart += std::fabs(block[b] - pattern_blocks[std::size_t(b)]);
            }
            // Both sides' rounding taken off, a lower bound of the score.
            const double bound = apart - WindowSums::blocks * (sums.slack() + phase.total_slack);
            if (bound <= double(threshold()) * tolerance_slack) {
                m_queue.push_back({bound, &phase, m, sums.x(window), sums.y(window)});
            } else {
                rejected(bound);
            }
        }
        return true;
    }

    void scan_in_full(Phase &phase)
    {
        if (phase.scanned_up_to >= m_limit) {
            return;
        }
        phase.scanned_up_to = m_limit;
        ++*m_full_scans;
        const std::optional<MatchCandidate> best =
            m_scanner.best_within(map_of(phase), threshold(), m_wanted, m_threads);
        if (best) {
            consider(best->score, best->map, phase, best->x, best->y);
        }
    }

    const FeatureMap &map_of(Phase &phase)
    {
        if (!phase.map.has_values()) {
            phase.map = m_pattern.phase_map(phase.px, phase.py);
            double total = 0;
            double magnitude = 0;
            for (qint64 k = 0; k < phase.map.cell_count(); ++k) {
                total += phase.map.values[k];
                magnitude += std::fabs(double(phase.map.values[k]));
            }
            phase.total = total;
            phase.total_slack = 2 * double(phase.map.cell_count() + 1) * magnitude * epsilon;
        }
        return phase.map;
    }

    float cell(Phase &phase, int k, int l)
    {
        return phase.map.has_values() ? phase.map.at(k, l)
                                      : m_pattern.phase_value(phase.px, phase.py, k, l);
    }

    // The window whose anchor lies over index entry `entry`.
    void take(Phase &phase, std::size_t entry)
    {
        const int m = m_index.map(entry);
        // An index read from a file is checked here, where its places are used.
        if (m < 0 || m >= m_database.size() || !wanted(m)) {
            return;
        }
        const FeatureMap &map = m_database[m];
        const auto at = static_cast<std::uint32_t>(m_index.cell(entry));
        if (qint64(at) >= map.cell_count()) {
            return;
        }
        const auto width = static_cast<std::uint32_t>(map.width);
        const QPoint anchor = phase.layout->choices[phase.anchor];
        const int x = int(at % width) - anchor.x();
        const int y = int(at / width) - anchor.y();
        if (x < 0 || y < 0 || x + phase.size.width() > map.width ||
            y + phase.size.height() > map.height) {
            return;
        }
        check(phase, m, x, y);
    }

    // Scores the window of map m at (x, y), unless its first cells show that it cannot matter.
    void check(Phase &phase, int m, int x, int y)
    {
        const FeatureMap &map = m_database[m];
        const int pw = phase.size.width();
        const int ph = phase.size.height();
        const double drop = this->drop();
        const double give_up = drop * (1 + 4 * (double(pw) * ph + 1) * epsilon);
        // A few rare cells first, then a grid of cells: their differences are part of the
        // window's sum. Most candidates fail on the first.
        double probe = 0;
        auto fails_on = [&](const std::vector<QPoint> &cells, std::size_t count, std::size_t skip) {
            for (std::size_t k = 0; k < cells.size() && k < count; ++k) {
                if (k == skip) {
                    continue;
                }
                const QPoint at_cell = cells[k];
                const double difference =
                    std::fabs(double(map.at(x + at_cell.x(), y + at_cell.y())) -
                              double(cell(phase, at_cell.x(), at_cell.y())));
                if (difference > cut_off_difference) {
                    consider(cut_off_score, m, phase, x, y);
                    return true;
                }
                probe += difference;
                if (probe > give_up) {
                    rejected(probe * (1 - 4 * (double(pw) * ph + 1) * epsilon));
                    return true;
                }
            }
            return false;
        };
        const Layout &layout = *phase.layout;
        if (fails_on(layout.choices, probe_cells + 1, phase.anchor) ||
            fails_on(layout.grid, layout.grid.size(), layout.grid.size())) {
            return;
        }
        // The window's score as compare_windows forms it, given up once above the threshold.
        const FeatureMap &pattern = map_of(phase);
        const float *d = map.data() + x + qint64(y) * map.width;
        double sum = 0;
        for (int k = 0; k < pw; ++k) {
            for (int l = 0; l < ph; ++l) {
                const double difference =
                    std::fabs(double(d[k + qint64(l) * map.width]) - double(pattern.at(k, l)));
                if (difference > cut_off_difference) {
                    consider(cut_off_score, m, phase, x, y);
                    return;
                }
                sum += difference;
            }
            if (sum > drop) {
                rejected(sum * (1 - 4 * (double(pw) * ph + 1) * epsilon));
                return;
            }
        }
        consider(static_cast<float>(sum), m, phase, x, y);
    }

    CentreDescriptor &m_pattern;
    const QList<FeatureMap> &m_database;
    const CellIndex &m_index;
    WindowScanner &m_scanner;
    const std::vector<char> *m_wanted;
    float m_bound;
    float m_limit = 0;
    int m_threads;
    Leader m_leader;
    std::vector<Queued> m_queue;
    std::vector<std::size_t> m_entries; // the index's entries of the phase in hand
    float m_drop_for = -1;
    double m_drop = 0;
    double m_least_rejected = 0;
    qint64 *m_candidates = nullptr;
    int *m_full_scans = nullptr;
};

// A full scan of a phase costs about what checking a few candidates per window position costs.
// The window positions of a pattern of `size` in a map of `map`.
qint64 positions_in(QSize map, QSize size)
{
    const qint64 across = map.width() - size.width() + 1;
    const qint64 down = map.height() - size.height() + 1;
    return across > 0 && down > 0 ? across * down : 0;
}

// From the sizes of the maps, without visiting them: the maps of the name `left_out` (when
// given) do not count.
void set_budgets(std::vector<Phase> &phases, const QList<FeatureMap> &database,
                 const CellIndex::MapShapes &shapes, const QString *left_out)
{
    std::vector<std::pair<QSize, std::size_t>> budgets;
    for (Phase &phase : phases) {
        auto known = std::find_if(budgets.begin(), budgets.end(),
                                  [&](const auto &entry) { return entry.first == phase.size; });
        if (known == budgets.end()) {
            qint64 positions = 0;
            for (const auto &size : shapes.sizes) {
                positions += size.second * positions_in(size.first, phase.size);
            }
            const auto named =
                left_out ? shapes.by_name.constFind(*left_out) : shapes.by_name.constEnd();
            if (named != shapes.by_name.constEnd()) {
                for (int m : *named) {
                    positions -=
                        positions_in(QSize(database[m].width, database[m].height), phase.size);
                }
            }
            budgets.push_back({phase.size, std::max<std::size_t>(64, std::size_t(positions) / 4)});
            known = budgets.end() - 1;
        }
        phase.budget = known->second;
        phase.scanned_up_to = -1;
    }
}

// The pattern's phases with cells, each with its anchor and probe cells: cells whose values
// are least common in the database. The choice starts from a grid of cells of the first phase,
// rarest first; a phase takes the first of them (moved into it when it is smaller) unless its
// own value there is common, and then the rarest of a few. One cell position of all phases is
// one tile of the pattern's centres, so the phases' anchors cost a few tiles.
std::vector<Phase> phases_of(CentreDescriptor &pattern, const CellIndex &index,
                             std::vector<Layout> &layouts)
{
    std::vector<Phase> phases;
    const int step = pattern.step();
    for (int py = 0; py < step; ++py) {
        for (int px = 0; px < step; ++px) {
            if (pattern.phase_has_cells(px, py)) {
                Phase phase;
                phase.px = px;
                phase.py = py;
                phase.order = py * step + px;
                phase.size = pattern.phase_size(px, py);
                phases.push_back(std::move(phase));
            }
        }
    }
    if (phases.empty()) {
        return phases;
    }
    // A grid of up to 4 x 4 cells of the first phase stands for all of them.
    const Phase &first = phases.front();
    struct Rarity {
        std::size_t nearby;
        QPoint cell;
        float value;
        bool operator<(const Rarity &other) const { return nearby < other.nearby; }
    };
    std::vector<Rarity> cells;
    const int across = std::min(first.size.width(), 4);
    const int down = std::min(first.size.height(), 4);
    for (int gy = 0; gy < down; ++gy) {
        for (int gx = 0; gx < across; ++gx) {
            // Not in the last column when there are two: an anchor is looked up together with
            // the cell right of it.
            const QPoint cell(std::min((2 * gx + 1) * first.size.width() / (2 * across),
                                       std::max(0, first.size.width() - 2)),
                              (2 * gy + 1) * first.size.height() / (2 * down));
            cells.push_back(
                {0, cell, pattern.rough_phase_value(first.px, first.py, cell.x(), cell.y())});
        }
    }
    const double typical = index.median();
    double spread = 0;
    for (const Rarity &sample : cells) {
        spread += std::isfinite(sample.value) ? std::fabs(sample.value - typical) : 0;
    }
    // Rarity is counted within a small share of the values' usual distance.
    const double near = spread / double(cells.size()) / 256 + 1e-12;
    auto nearby = [&](double v) {
        return std::isfinite(v) ? index.count_about(v - near, v + near) : index.size() + 1;
    };
    for (Rarity &sample : cells) {
        sample.nearby = nearby(sample.value);
    }
    std::stable_sort(cells.begin(), cells.end());

    // One layout per size of phase (at most four).
    layouts.reserve(4);
    for (Phase &phase : phases) {
        auto found = std::find_if(layouts.begin(), layouts.end(),
                                  [&](const Layout &layout) { return layout.size == phase.size; });
        if (found == layouts.end()) {
            Layout layout;
            layout.size = phase.size;
            // The samples this size has, in order: the same cells as larger phases', so the
            // same tiles; then, moved inside, those it lacks.
            for (int moved = 0; moved < 2; ++moved) {
                for (const Rarity &sample : cells) {
                    const bool inside = sample.cell.x() < std::max(1, phase.size.width() - 1) &&
                                        sample.cell.y() < phase.size.height();
                    if (inside == (moved == 1)) {
                        continue;
                    }
                    const QPoint cell(
                        std::min(sample.cell.x(), std::max(0, phase.size.width() - 2)),
                        std::min(sample.cell.y(), phase.size.height() - 1));
                    if (std::find(layout.choices.begin(), layout.choices.end(), cell) ==
                        layout.choices.end()) {
                        layout.choices.push_back(cell);
                    }
                }
            }
            const int grid = std::max(1, int(std::sqrt(double(spread_cells))));
            for (int gy = 0; gy < grid; ++gy) {
                for (int gx = 0; gx < grid; ++gx) {
                    const QPoint cell((2 * gx + 1) * phase.size.width() / (2 * grid),
                                      (2 * gy + 1) * phase.size.height() / (2 * grid));
                    if (std::find(
                            layout.choices.begin(),
                            layout.choices.begin() +
                                std::min<std::ptrdiff_t>(layout.choices.size(), probe_cells + 1),
                            cell) ==
                            layout.choices.begin() +
                                std::min<std::ptrdiff_t>(layout.choices.size(), probe_cells + 1) &&
                        std::find(layout.grid.begin(), layout.grid.end(), cell) ==
                            layout.grid.end()) {
                        layout.grid.push_back(cell);
                    }
                }
            }
            layouts.push_back(std::move(layout));
            found = layouts.end() - 1;
        }
        phase.layout = &*found;
    }
    // Every phase's first choice; crowded phases try others while searching.
    for (Phase &phase : phases) {
        const QPoint cell = phase.layout->choices.front();
        phase.anchor = 0;
        phase.anchor_value = pattern.phase_value(phase.px, phase.py, cell.x(), cell.y());
    }
    return phases;
}

// The first candidate of the full list in the order (map, phase, x, y), for when no window
// scores below 9999999.
std::optional<AlignedWindow> first_candidate(std::vector<Phase> &phases, CentreDescriptor &pattern,
                                             const QList<FeatureMap> &database)
{
    for (int m = 0; m < database.size(); ++m) {
        const FeatureMap &map = database[m];
        for (Phase &phase : phases) {
            if (map.width >= phase.size.width() && map.height >= phase.size.height()) {
                const FeatureMap cells = pattern.phase_map(phase.px, phase.py);
                return AlignedWindow{{0, 0, window_score(map, cells, 0, 0), map.name, m},
                                     QPoint(phase.px, phase.py)};
            }
        }
    }
    return std::nullopt;
}

double magnitude_of(const FeatureMap &map)
{
    double sum = 0;
    for (qint64 k = 0; k < map.cell_count(); ++k) {
        sum += std::fabs(double(map.values[k]));
    }
    return sum;
}

AlignedWindow window_of(const Leader &leader, const QList<FeatureMap> &database, int step)
{
    return {{leader.x, leader.y, leader.score, database[leader.map].name, leader.map},
            QPoint(leader.phase % step, leader.phase / step)};
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

    State(CentreDescriptor &p, const QList<FeatureMap> &d, const CellIndex &i, int t)
        : pattern(p)
        , database(d)
        , index(i)
        , threads(t)
        , scanner(d)
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
};

AlignedSearcher::AlignedSearcher(CentreDescriptor &pattern, const QList<FeatureMap> &database,
                                 const CellIndex &index, int threads)
    : m(std::make_unique<State>(pattern, database, index, threads))
{
    m->phases = phases_of(pattern, index, m->layouts);
    if (m->phases.empty()) {
        return;
    }
    // The first round's limit: the rounding residual of an exact match, from the sampled
    // magnitude of the cells.
    const Phase &first = m->phases.front();
    double sampled = 0;
    int samples = 0;
    for (const QPoint &cell : first.layout->grid) {
        sampled +=
            std::fabs(double(pattern.rough_phase_value(first.px, first.py, cell.x(), cell.y())));
        ++samples;
    }
    const double cells = double(first.size.width()) * first.size.height();
    m->first_limit =
        std::max(ft1_rounding_residual * (samples > 0 ? sampled / samples * cells : 0), 1e-12);
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

AlignedSearch AlignedSearcher::best_within(float bound)
{
    AlignedSearch result;
    result.any_cells = !m->phases.empty();
    if (!result.any_cells) {
        return result;
    }
    set_budgets(m->phases, m->database, m->index.map_shapes(m->database), nullptr);
    PhaseSearch search(m->pattern, m->database, m->index, m->scanner, nullptr, bound, m->threads);
    const Leader leader =
        search.run(m->phases, m->anchored, m->first_limit, result.candidates, result.full_scans);
    result.least_rejected = search.least_rejected();
    const int step = m->pattern.step();
    if (leader.exists) {
        result.best = window_of(leader, m->database, step);
    } else if (bound == no_best_score) {
        result.best = first_candidate(m->phases, m->pattern, m->database);
    }
    if (!result.best) {
        return result;
    }
    Phase &best_phase = *m->phase_at(result.best->phase);
    if (!best_phase.map.has_values()) {
        best_phase.map = m->pattern.phase_map(best_phase.px, best_phase.py);
    }
    result.map_size = QSize(best_phase.map.width, best_phase.map.height);
    result.magnitude = magnitude_of(best_phase.map);
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
    const auto named = shapes.by_name.constFind(name);
    for (const Layout &layout : m->layouts) {
        const auto fits = [&](int width, int height) {
            return width >= layout.size.width() && height >= layout.size.height();
        };
        qint64 fitting = 0;
        for (const auto &size : shapes.sizes) {
            fitting += fits(size.first.width(), size.first.height()) ? size.second : 0;
        }
        if (named != shapes.by_name.constEnd()) {
            for (int k : *named) {
                fitting -= fits(m->database[k].width, m->database[k].height) ? 1 : 0;
            }
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
    if (!best_phase->map.has_values()) {
        best_phase->map = m->pattern.phase_map(best_phase->px, best_phase->py);
    }
    const double reach = std::max(aligned_runner_up_reach * double(best.window.score),
                                  ft1_rounding_residual * magnitude_of(best_phase->map));
    const float bound = std::nextafter(static_cast<float>(reach), no_best_score);
    set_budgets(m->phases, m->database, m->index.map_shapes(m->database), &best.window.name);
    PhaseSearch search(m->pattern, m->database, m->index, m->scanner, &other, bound, m->threads);
    // The runner-up scores at least the best: the rounds start there.
    qint64 candidates = 0;
    int full_scans = 0;
    const Leader second =
        search.run(m->phases, m->anchored, std::max(m->first_limit, double(best.window.score)),
                   candidates, full_scans);
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
