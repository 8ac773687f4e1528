#pragma once
// ImageMatcher: the computing object of the window. It holds the window settings (radius a and
// step divisor c, the window step being a / c) and the weight lists, and carries the operations
// on feature maps under their established names. Each is a thin member over the free function
// that does the work:
//
//   compute_descriptor_map  maps/descriptor.h        build_database   ft1/database_builder.h
//   load_database           ft1/database_file.h      compare_windows  search/window_compare.h
//   pick_best_name          search/window_compare.h  search_database  search/database_search.h

#include "maps/feature_map.h"
#include "maps/window_settings.h"
#include "search/match_candidate.h"

#include <QList>
#include <QString>

struct BuildOptions;
struct LoadOptions;

class ImageMatcher
{
public:
    // Writes "running\n" to the console.
    ImageMatcher(int radius_value, int step_divisor_value);
    // The same without the console line, for code that prints only its commands' lines.
    struct Quiet {
    };
    ImageMatcher(int radius_value, int step_divisor_value, Quiet);

    QList<float> weights_x; // element k: weight of a column offset of +k or -k
    QList<float> weights_y; // element k: weight of a row offset of +k or -k
    int step_divisor;
    int radius;

    WindowSettings settings() const { return {radius, step_divisor}; }

    // Both weight lists become [radius, radius - 1, ..., 1, 0].
    void fill_weights();

    // Descriptor map of `source` with window half-width a, step a / step_divisor and the weight
    // lists; `result` receives its own array, the sizes and the source's name. With settings that
    // give no step, or weight lists shorter than a + 1, the result is an empty 0 x 0 map.
    void compute_descriptor_map(const FeatureMap &source, FeatureMap &result, int a) const;

    // Writes the descriptor maps of the images of `directory` to "precomputed_databases/" +
    // file_name, then the elapsed milliseconds and a tab to the console. True when the file was
    // written.
    bool build_database(const QString &directory, const QString &file_name);
    bool build_database(const QString &directory, const QString &file_name,
                        const BuildOptions &options);

    // Appends the maps of the complete records of the ".ft1" file to `database` and sets
    // `message` to the summary; writes "file with precomputed db was not opened\n" instead
    // when the file cannot be opened.
    void load_database(const QString &path, QList<FeatureMap> &database, QString &message) const;
    void load_database(const QString &path, QList<FeatureMap> &database, QString &message,
                       const LoadOptions &options) const;

    // Window comparison and best pick; they depend on their arguments alone.
    void compare_windows(const FeatureMap &database_map, const FeatureMap &pattern,
                         QList<MatchCandidate> &candidates) const;
    QString pick_best_name(const QList<MatchCandidate> &candidates) const;

    // Searches the pattern grey maps in the database and writes the console line of the search.
    // The three outputs change only when the database is not empty and the settings are valid:
    // the elapsed milliseconds, the name picked for the last pattern, the success rate.
    void search_database(const QList<FeatureMap> &patterns, const QList<FeatureMap> &database,
                         int &elapsed, QString &found_name, float &rate);
};
