#pragma once
// The best window of a pattern over a whole database without listing the candidates: the same
// pick that pick_best_index makes on the full candidate list (the first candidate with the
// lowest score below 9999999; the first candidate when there is none), with memory bounded by
// the number of database maps.
//
// Windows are scored exactly as compare_windows scores them, but a window is dropped as soon
// as its lower bound or its running sum shows that it cannot reach the best score found so far
// (see window_bounds.h). Since only windows that cannot equal the best are dropped, the order
// in which windows are scored does not matter: eight positions are scored at once in vector
// lanes, threads share the database maps, and the result is always the sequential pick.

#include "maps/feature_map.h"
#include "search/match_candidate.h"

#include <QList>

#include <memory>
#include <optional>
#include <vector>

// Nothing when no window of any map fits the pattern. `threads`: 0 for one per core.
std::optional<MatchCandidate> best_window(const FeatureMap &pattern,
                                          const QList<FeatureMap> &database, int threads);

// The first window with the lowest score among those scoring at most `bound`, in the maps m
// with (*wanted)[m] set (every map when `wanted` is null); nothing when none does, or when the
// pattern has no cells.
std::optional<MatchCandidate> best_window_within(const FeatureMap &pattern,
                                                 const QList<FeatureMap> &database, int threads,
                                                 float bound,
                                                 const std::vector<char> *wanted = nullptr);

struct PreparedMap;

// Scans many patterns of few sizes (the phases of one pattern) in one database: what each map's
// scan needs for a size, whatever the pattern's values, is made once. Not for use by several
// threads at once (each scan may use several).
class WindowScanner
{
public:
    explicit WindowScanner(const QList<FeatureMap> &database);
    ~WindowScanner();
    WindowScanner(const WindowScanner &) = delete;
    WindowScanner &operator=(const WindowScanner &) = delete;

    // As best_window_within.
    std::optional<MatchCandidate> best_within(const FeatureMap &pattern, float bound,
                                              const std::vector<char> *wanted, int threads);

private:
    struct Prepared {
        int width = 0;
        int height = 0;
        std::vector<std::unique_ptr<PreparedMap>> maps; // null for maps without windows
    };
    const std::vector<std::unique_ptr<PreparedMap>> &prepared_for(int width, int height);

    const QList<FeatureMap> &m_database;
    std::vector<Prepared> m_prepared;
};

// Runner-ups are looked for up to this many times the best score: beyond, the best is clear,
// and proving how far the runner-up lies would cost a scan of nearly every window.
constexpr int literal_runner_up_reach = 2;

struct RunnerUp {
    // The best window among the maps whose name differs from that of `best` (the first such
    // minimum), when it scores at most literal_runner_up_reach times the best score.
    std::optional<MatchCandidate> window;
    bool other_images = false; // some map of another name has windows
};

// The runner-up of the best window `best`; none is looked for a pattern without cells or a best
// score of 9999999 or more.
RunnerUp runner_up_window(const FeatureMap &pattern, const QList<FeatureMap> &database, int threads,
                          const MatchCandidate &best);
