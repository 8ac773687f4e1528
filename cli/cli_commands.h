#pragma once
// The commands of pictrace-cli. Each does what the window's command of the same purpose does,
// through the same core command, and prints after it the text the window would show as its
// result, on a line of its own; the answers follow for people, or go to --report and --json.
// Each returns the process's exit status.

#include "maps/window_settings.h"
#include "search/search_records.h"

#include <QString>
#include <QStringList>

#include <stdexcept>

enum ExitStatus {
    exit_ran = 0,
    exit_unusable_input = 1,
    exit_usage_error = 2,
    exit_not_accepted = 3 // with --check: the command ran, its answer is not to be taken
};

struct CliOptions {
    WindowSettings settings;
    bool radius_given = false;
    QString report; // a path, "-" for standard output, or empty
    QString json;   // likewise
    SearchMode mode = SearchMode::literal;
    bool index = false;  // build: also write the binary index
    int threads = 0;     // cores to use; 0: all
    QString plot;        // monster: the sweep plot (SVG), or empty
    QString html;        // the page for people, or empty
    bool both = false;   // monster: the literal and the aligned sweep
    ScaleRange scales;   // the indexed search's scales of crops
    QString fine;        // and its database at a smaller radius, or empty
    int fine_radius = 0; // the radius of that database; 0: half the search's
    bool check = false;  // exit_not_accepted when an answer is not accepted
    bool force = false;  // make-demo: into a folder that holds files
};

// A usage problem found while a command reads its arguments.
class UsageError : public std::runtime_error
{
public:
    explicit UsageError(const QString &text)
        : std::runtime_error(text.toStdString())
    {}
};

// "pictrace-cli: " + text, on standard error.
void print_failure(const QString &text);

int run_build(const CliOptions &options, const QStringList &args);
int run_build_sweep(const CliOptions &options, const QStringList &args);
int run_search(const CliOptions &options, const QStringList &args);
int run_multi(const CliOptions &options, const QStringList &args);
int run_monster(const CliOptions &options, const QStringList &args);
int run_info(const CliOptions &options, const QStringList &args);
int run_index(const CliOptions &options, const QStringList &args);
int run_make_demo(const CliOptions &options, const QStringList &args);
