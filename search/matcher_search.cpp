// The search operations of the matcher.

#include "matcher/image_matcher.h"
#include "search/database_search.h"
#include "search/window_compare.h"

void ImageMatcher::compare_windows(const FeatureMap &database_map, const FeatureMap &pattern,
                                   QList<MatchCandidate> &candidates) const
{
    ::compare_windows(database_map, pattern, candidates);
}

QString ImageMatcher::pick_best_name(const QList<MatchCandidate> &candidates) const
{
    return ::pick_best_name(candidates);
}

void ImageMatcher::search_database(const QList<FeatureMap> &patterns,
                                   const QList<FeatureMap> &database, int &elapsed,
                                   QString &found_name, float &rate)
{
    const SearchOutcome outcome = search_patterns(*this, patterns, database);
    if (outcome.status == SearchStatus::empty_database ||
        outcome.status == SearchStatus::invalid_settings) {
        return;
    }
    elapsed = static_cast<int>(outcome.elapsed_ms);
    if (!outcome.picks.isEmpty()) {
        found_name = outcome.picks.last().picked_name;
    }
    rate = outcome.rate;
}
