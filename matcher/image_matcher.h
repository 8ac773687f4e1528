#pragma once
// ImageMatcher: the computing object. It holds the window settings (radius a and step divisor c,
// the window step being a / c) and the weight lists, and carries the operations on feature maps:
// descriptor maps, database files, window comparison and database search.

#include "matcher/feature_map.h"

#include <QList>
#include <QString>

#include <string>

struct BuildOptions;
struct LoadOptions;
struct MatchCandidate;

class ImageMatcher
{
public:
    // Writes "running\n" to the console.
    ImageMatcher(int radius_value, int step_divisor_value);
    // The same without the console line, for front ends that print only their commands' lines.
    struct Quiet {
    };
    ImageMatcher(int radius_value, int step_divisor_value, Quiet);

    QList<float> weights_x; // element k: weight of a column offset of +k or -k
    QList<float> weights_y; // element k: weight of a row offset of +k or -k
    int step_divisor;
    int radius;

    // Settings give a window step radius / step_divisor of at least one pixel. Other settings
    // (a radius of 0, a radius below the step divisor, a step divisor of 0) are refused by every
    // command before it computes anything.
    static bool settings_valid(int radius_value, int step_divisor_value);
    bool settings_valid() const { return settings_valid(radius, step_divisor); }
    static std::string invalid_settings_message(int radius_value, int step_divisor_value);
    // Writes the refusal to the console and returns true when the settings are not valid.
    static bool refuse_invalid_settings(int radius_value, int step_divisor_value);
    bool refuse_invalid_settings() const { return refuse_invalid_settings(radius, step_divisor); }

    // Both weight lists become [radius, radius - 1, ..., 1, 0].
    void fill_weights();

    // Descriptor map of `source` with window half-width a and step a / step_divisor; `result`
    // receives its own array, the sizes and the source's name. Needs weight lists of at least
    // a + 1 entries. With settings that give no step, or too short weight lists, the result is an
    // empty 0 x 0 map.
    void compute_descriptor_map(const FeatureMap &source, FeatureMap &result, int a) const;

    // Writes the descriptor maps of the images of `directory` (in name order, case ignored) to
    // "precomputed_databases/" + file_name, then the elapsed milliseconds and a tab to the
    // console; "cannot open file for writing database" when the file cannot be created. An
    // existing database is replaced only once the new one is complete. True when the file was
    // written.
    bool build_database(const QString &directory, const QString &file_name);
    bool build_database(const QString &directory, const QString &file_name,
                        const BuildOptions &options);

    // Appends the maps of the complete records of the ".ft1" file to `database` and sets
    // `message` to the summary; writes "file with precomputed db was not opened\n" instead
    // when the file cannot be opened. Malformed lines are reported on the console.
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
