#include "search/phase_search.h"

#include "search/window_bounds.h"
#include "search/window_sums.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <tuple>

namespace aligned {

namespace {

constexpr double epsilon = std::numeric_limits<double>::epsilon();
// A candidate's anchor difference may exceed the score it bounds by the rounding of the score
// to float: the tolerance is widened by this factor.
constexpr double tolerance_slack = 1 + 0x1p-20;

// Entries within the tolerance of an anchor worth trying other anchors for: more than a block
// of the index, where a lookup starts to cost more than a few cache lines.
constexpr std::size_t crowded_anchor = cell_block;

// Candidates worth reading the window sums for rather than taking them from the cells.
constexpr std::size_t many_candidates = 256;

} // namespace

bool Leader::beaten_by(float other_score, int other_map, int other_phase, int other_x,
                       int other_y) const
{
    if (!exists) {
        return other_score < no_best_score;
    }
    return other_score < score ||
           (other_score == score &&
            std::tie(other_map, other_phase, other_x, other_y) < std::tie(map, phase, x, y));
}

PhaseSearch::PhaseSearch(CentreDescriptor &pattern, const QList<FeatureMap> &database,
                         const CellIndex &index, WindowScanner &scanner,
                         const std::vector<char> *wanted, float bound, int threads,
                         const std::function<void(int map)> *before_reading, bool lookups_only)
    : m_pattern(pattern)
    , m_database(database)
    , m_index(index)
    , m_scanner(scanner)
    , m_wanted(wanted)
    , m_bound(bound)
    , m_threads(threads)
    , m_before_reading(before_reading && *before_reading ? before_reading : nullptr)
    , m_lookups_only(lookups_only)
{}

void PhaseSearch::reading(int map) const
{
    if (m_before_reading) {
        (*m_before_reading)(map);
    }
}

void PhaseSearch::reading_all()
{
    if (m_before_reading && !m_read_all) {
        for (int map = 0; map < m_database.size(); ++map) {
            (*m_before_reading)(map);
        }
        m_read_all = true;
    }
}

Rounds PhaseSearch::run(std::vector<Phase> &phases, const std::vector<Phase *> &anchored,
                        double first_limit)
{
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
    if (!(m_leader.exists && m_leader.score < cut_off_score) && m_bound >= cut_off_score &&
        !m_lookups_only) {
        // Cut-off windows (9999) and sums of 9999 and more decide: every phase in full.
        m_limit = m_bound;
        for (Phase &phase : phases) {
            scan_in_full(phase);
        }
    }
    return {m_leader, m_work, m_least_rejected};
}

// Windows scoring above this cannot matter.
float PhaseSearch::threshold() const
{
    return m_leader.exists ? std::min(m_leader.score, m_limit) : m_limit;
}

// The threshold's drop threshold (see window_bounds.h), kept while the threshold stays.
double PhaseSearch::drop()
{
    const float now = threshold();
    if (now != m_drop_for) {
        m_drop_for = now;
        m_drop = drop_threshold(now);
    }
    return m_drop;
}

bool PhaseSearch::wanted(int map) const
{
    return !m_wanted || (*m_wanted)[static_cast<std::size_t>(map)] != 0;
}

void PhaseSearch::consider(float score, int map, const Phase &phase, int x, int y)
{
    if (score <= m_bound && m_leader.beaten_by(score, map, phase.order, x, y)) {
        m_leader = {true, score, map, phase.order, x, y};
    }
}

// A window was left for scoring above the threshold: `bound` is a lower bound of its score.
void PhaseSearch::rejected(double bound)
{
    m_least_rejected = std::min(m_least_rejected, bound);
}

void PhaseSearch::round(const std::vector<Phase *> &anchored)
{
    m_queue.clear();
    const double tolerance = double(m_limit) * tolerance_slack;
    for (Phase *phase : anchored) {
        look_up(*phase, tolerance);
    }
    check_queued();
}

// The phase's candidates of this round: from the index's entries near its anchor, from the
// window sums, or from a full scan, whichever costs least.
void PhaseSearch::look_up(Phase &phase, double tolerance)
{
    CellIndex::Span span = m_index.span(double(phase.anchor_value) - tolerance,
                                        double(phase.anchor_value) + tolerance);
    std::size_t estimate = m_index.count_about(span);
    if (estimate > crowded_anchor && !phase.other_anchors_tried) {
        estimate = other_anchor(phase, tolerance, estimate, span);
    }
    // The cell right of the anchor, where the index knows the values right of its cells: a
    // window scoring at most the limit differs by at most the limit on both cells together,
    // and the index finds such entries without reading the others. Entries enough to be taken
    // by their window sums or a full scan are not listed: those pay for them already.
    const double right = right_of_anchor(phase);
    // The entries, when no more than the phase's budget; looking in the index alone, no more
    // than a number that does not depend on which maps are searched (the slices of shared work
    // see the same index).
    const std::size_t most = m_lookups_only ? lookups_most : phase.budget;
    auto list = [&] {
        m_entries.clear();
        return m_index.entries_near(span, phase.anchor_value, right, tolerance, m_entries, most);
    };
    if (m_lookups_only) {
        // A crowded phase is left out: its windows are not all seen.
        if (estimate > lookups_most || !list()) {
            ++m_work.left_out;
            return;
        }
        m_work.candidates += static_cast<qint64>(m_entries.size());
        for (std::size_t k : m_entries) {
            take(phase, k);
        }
        return;
    }
    const std::size_t many = std::max(many_candidates, phase.budget / 4);
    bool listed = false;
    std::size_t count = estimate;
    if (estimate <= many) {
        listed = list();
        count = listed ? m_entries.size() : phase.budget + 1;
    }
    // The window sums of every position cost about as much as checking a sixteenth of the
    // positions' candidates: worth making only for that many.
    if (count > many && take_by_sums(phase, count)) {
        return;
    }
    if (count > phase.budget || (!listed && !list())) {
        scan_in_full(phase);
        return;
    }
    m_work.candidates += static_cast<qint64>(m_entries.size());
    for (std::size_t k : m_entries) {
        take(phase, k);
    }
}

// The queued windows, lowest bound first: the best is likely among the first, and once the
// bound passes the best score so far, none of the rest can matter.
void PhaseSearch::check_queued()
{
    std::sort(m_queue.begin(), m_queue.end());
    for (const Queued &queued : m_queue) {
        if (queued.bound > double(threshold()) * tolerance_slack) {
            rejected(queued.bound);
            break;
        }
        ++m_work.candidates;
        check(*queued.phase, queued.map, queued.x, queued.y);
    }
}

// The value right of the phase's anchor, when it is a finite cell and the index knows the
// values right of its cells; else not a number.
double PhaseSearch::right_of_anchor(Phase &phase)
{
    const QPoint anchor = phase.layout->choices[phase.anchor];
    if (!m_index.cells().next || anchor.x() + 1 >= phase.size.width()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const float right = cell(phase, anchor.x() + 1, anchor.y());
    return std::isfinite(right) ? double(right) : std::numeric_limits<double>::quiet_NaN();
}

// A crowded anchor: a few other cells of the phase, as anchors, may have fewer entries within
// the tolerance. Their values cost a tile each, shared by all phases, which is why only
// crowded phases look. Returns about how many entries the anchor kept has, and sets `span` to
// its blocks.
std::size_t PhaseSearch::other_anchor(Phase &phase, double tolerance, std::size_t estimate,
                                      CellIndex::Span &span)
{
    phase.other_anchors_tried = true;
    const std::vector<QPoint> &choices = phase.layout->choices;
    for (std::size_t k = 1; k < choices.size() && k < 4; ++k) {
        const float v = m_pattern.phase_value(phase.px, phase.py, choices[k].x(), choices[k].y());
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
bool PhaseSearch::take_by_sums(Phase &phase, std::size_t count)
{
    reading_all();
    const WindowSums &sums = phase.layout->sums(m_database);
    const FeatureMap &cells = map_of(phase, m_pattern);
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

void PhaseSearch::scan_in_full(Phase &phase)
{
    if (phase.scanned_up_to >= m_limit) {
        return;
    }
    phase.scanned_up_to = m_limit;
    ++m_work.full_scans;
    reading_all();
    const std::optional<MatchCandidate> best =
        m_scanner.best_within(map_of(phase, m_pattern), threshold(), m_wanted, m_threads);
    if (best) {
        consider(best->score, best->map, phase, best->x, best->y);
    }
}

float PhaseSearch::cell(const Phase &phase, int k, int l)
{
    return phase.map.has_values() ? phase.map.at(k, l)
                                  : m_pattern.phase_value(phase.px, phase.py, k, l);
}

// The window whose anchor lies over index entry `entry`.
void PhaseSearch::take(Phase &phase, std::size_t entry)
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
void PhaseSearch::check(Phase &phase, int m, int x, int y)
{
    reading(m);
    const FeatureMap &map = m_database[m];
    const int pw = phase.size.width();
    const int ph = phase.size.height();
    const double drop = this->drop();
    const double rounding = 4 * (double(pw) * ph + 1) * epsilon;
    const double give_up = drop * (1 + rounding);
    // A few rare cells first, then a grid of cells: their differences are part of the
    // window's sum. Most candidates fail on the first.
    double probe = 0;
    auto fails_on = [&](const std::vector<QPoint> &cells, std::size_t count, std::size_t skip) {
        for (std::size_t k = 0; k < cells.size() && k < count; ++k) {
            if (k == skip) {
                continue;
            }
            const QPoint at_cell = cells[k];
            const double difference = std::fabs(double(map.at(x + at_cell.x(), y + at_cell.y())) -
                                                double(cell(phase, at_cell.x(), at_cell.y())));
            if (difference > cut_off_difference) {
                consider(cut_off_score, m, phase, x, y);
                return true;
            }
            probe += difference;
            if (probe > give_up) {
                rejected(probe * (1 - rounding));
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
    const FeatureMap &pattern = map_of(phase, m_pattern);
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
            rejected(sum * (1 - rounding));
            return;
        }
    }
    consider(static_cast<float>(sum), m, phase, x, y);
}

} // namespace aligned
