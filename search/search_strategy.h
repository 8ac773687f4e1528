#pragma once
// The strategies of the database search behind one small interface, and the one place that
// maps a search mode to its strategy (search_strategy.cpp). The hall (database_search.cpp)
// and the shared work (shared_search.cpp) ask a strategy for picks and never look inside it;
// a strategy knows neither the others nor the processes sharing the work.

#include "maps/feature_map.h"
#include "maps/window_settings.h"
#include "search/search_records.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <memory>

// What a strategy searches: the whole database, or the slice of it one process of shared work
// searches.
struct SearchSlice {
    QList<FeatureMap> maps;
    int first = 0;     // the index of maps[0] in the whole database
    bool whole = true; // the slice is the whole database
};

// One pattern's search among the windows scoring at most a bound, for searches that several
// processes settle round by round (see shared_search.h).
class BoundedSearch
{
public:
    virtual ~BoundedSearch() = default;
    // The first round's bound: about what an exact match scores.
    virtual double first_limit() const = 0;
    struct Result {
        PatternPick pick; // no best when no window scores within the bound
        // A lower bound of the score of every window left above the bound, infinite when none
        // was looked at (where the next bound pays to start).
        double least_rejected = 0;
    };
    virtual Result best_within(float bound) = 0;
};

class SearchStrategy
{
public:
    using Progress = std::function<void(int done, int total)>; // may be empty

    virtual ~SearchStrategy() = default;
    // The best pick of each pattern in the slice, in pattern order, `progress` after each.
    virtual QList<PatternPick> best_picks(const QList<FeatureMap> &patterns,
                                          const Progress &progress) = 0;
    // With `runner_up`, each pick's runner-up in the slice; and whether the slice has other
    // images with windows, as far as the strategy tells it. Picks without a best stay as they
    // are.
    virtual void find_runner_ups(const QList<FeatureMap> &patterns, QList<PatternPick> &picks,
                                 bool runner_up) = 0;
    // After the search, outside its time: the picks' crops placed in their images, for
    // strategies whose picks leave that to within a step. `database` is the whole database.
    virtual void locate_crops(const QList<FeatureMap> & /*patterns*/, QList<PatternPick> &,
                              const QList<FeatureMap> & /*database*/)
    {}
    // Whether the strategy tells other images without runner-ups (its best picks do, and
    // find_runner_ups without `runner_up`): shared work, whose reduction of the best picks
    // cannot keep them, then asks for them again.
    virtual bool tells_other_images() const { return false; }
    // Whether bounded gives searches: shared work then settles the patterns round by round
    // rather than reducing the slices' best picks.
    virtual bool searches_within_bounds() const { return false; }
    // One pattern's search within a bound; called by several threads at once.
    virtual std::unique_ptr<BoundedSearch> bounded(const FeatureMap &) const { return nullptr; }

    // Every slice's bytes, in slice order, for the bytes of this one.
    using Exchange = std::function<QList<QByteArray>(const QByteArray &mine)>;
    // Strategies whose steps exchange what each slice found give the whole database's picks,
    // runner-ups included, from best_picks_exchanging; the shared work then neither reduces
    // their picks nor looks for runner-ups.
    virtual bool exchanges() const { return false; }
    virtual QList<PatternPick> best_picks_exchanging(const QList<FeatureMap> &, const Exchange &,
                                                     const Progress &)
    {
        return {};
    }
};

// The strategy of `mode` over `slice`, with what it needs made before the search is timed.
std::unique_ptr<SearchStrategy> make_search_strategy(SearchMode mode,
                                                     const WindowSettings &settings,
                                                     const SearchSlice &slice,
                                                     const SearchOptions &options);

// Runner-ups are looked for up to this many times the best score: beyond, the best is clear.
// Answers and reports say how far the search looked with it.
double runner_up_reach(SearchMode mode);
