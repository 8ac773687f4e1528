#include "matcher/image_matcher.h"

#include "ft1/database_builder.h"
#include "ft1/database_file.h"
#include "maps/descriptor.h"
#include "search/database_search.h"
#include "search/window_compare.h"
#include "support/console.h"

#include <vector>

ImageMatcher::ImageMatcher(int radius_value, int step_divisor_value)
    : ImageMatcher(radius_value, step_divisor_value, Quiet{})
{
    console::write("running\n");
}

ImageMatcher::ImageMatcher(int radius_value, int step_divisor_value, Quiet)
    : step_divisor(step_divisor_value)
    , radius(radius_value)
{}

void ImageMatcher::fill_weights()
{
    const std::vector<float> weights = window_weights(radius);
    weights_x = QList<float>(weights.cbegin(), weights.cend());
    weights_y = weights_x;
}

void ImageMatcher::compute_descriptor_map(const FeatureMap &source, FeatureMap &result, int a) const
{
    if (!WindowSettings{a, step_divisor}.valid() || weights_x.size() <= a ||
        weights_y.size() <= a) {
        result = FeatureMap::allocate(0, 0, source.name);
        return;
    }
    // QList spaces its elements a pointer apart: copy the weights the loops read.
    const std::vector<float> wx(weights_x.cbegin(), weights_x.cbegin() + a + 1);
    const std::vector<float> wy(weights_y.cbegin(), weights_y.cbegin() + a + 1);
    result = descriptor_map(source, a, step_divisor, wx.data(), wy.data());
}

bool ImageMatcher::build_database(const QString &directory, const QString &file_name)
{
    return build_database(directory, file_name, BuildOptions());
}

bool ImageMatcher::build_database(const QString &directory, const QString &file_name,
                                  const BuildOptions &options)
{
    fill_weights();
    return ::build_database(settings(), directory, file_name, options);
}

void ImageMatcher::load_database(const QString &path, QList<FeatureMap> &database,
                                 QString &message) const
{
    ::load_database(path, database, message, LoadOptions());
}

void ImageMatcher::load_database(const QString &path, QList<FeatureMap> &database, QString &message,
                                 const LoadOptions &options) const
{
    ::load_database(path, database, message, options);
}

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
    const SearchOutcome outcome = search_patterns(settings(), patterns, database);
    if (outcome.status == SearchStatus::empty_database ||
        outcome.status == SearchStatus::invalid_settings) {
        return;
    }
    if (!patterns.isEmpty()) {
        fill_weights(); // rebuilt before every pattern
    }
    elapsed = static_cast<int>(outcome.elapsed_ms);
    if (!outcome.picks.isEmpty()) {
        found_name = outcome.picks.last().picked_name();
    }
    rate = outcome.rate;
}
