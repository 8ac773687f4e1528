#pragma once
// What a search says about one pattern, in terms a user can act on: which image, where in it
// in pixels, how good the match is, how close the runner-up came, and a short verdict.
//
// Positions: a map cell (x, y) of the literal grid puts the pattern's first window centre,
// pattern pixel (radius, radius), on image pixel (radius + x * step, radius + y * step). The
// pattern's own grid starts at its corner, so the crop's top-left corner lies near
// (x * step, y * step), within one step when the crop was not cut on the grid, and on
// photographs now and then a few steps away: the literal answer takes the corner located over
// every grid phase around the pick (search/crop_location.h) instead, when there is one.

#include "maps/window_settings.h"
#include "search/search_records.h"

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <optional>

enum class Verdict {
    // Both searches.
    found,     // a clear best image
    ambiguous, // another image scores about as well
    no_cells,  // the literal search: the pattern is too small for the window, its map has no cells
    no_window, // the pattern's map is larger than every database map
    // The aligned search.
    exact,     // a match to the database's rounding, in exactly one image
    not_found, // the best window is no match
    too_small, // no phase of the pattern has a cell: a side of at most 2 * radius
};

// The image file of the database map `name` in `folder`: "folder/name.suffix" when it exists,
// else the first of "folder/name.S" that exists for S among the suffixes Qt reads, sorted, each
// in lower then upper case (crops saved as PNG from a collection of JPEG photos); empty when
// none does. The window, the answer block and the HTML report all show this file.
QString found_image_file(const QString &folder, const QString &name, const QString &suffix);

// "found", "ambiguous", "no cells", "no window", "exact", "not found", "too small".
QString verdict_text(Verdict verdict);

// The aligned search's verdicts, with M the sum of |cells| of the best's phase map:
//   exact      score <= exact_share * M (the database's six-digit rounding leaves no more in
//              a window that matches exactly), at least exact_cells cells, and no other image
//              scores that low;
//   found      score <= found_share * M, at least found_cells cells, and no other image scores
//              within the search's runner-up reach (runner_up_reach) times the score;
//   ambiguous  as found or exact, but another image comes that close;
//   not found  anything else.
constexpr double exact_share = 5.1e-6;
constexpr double found_share = 0.2;
constexpr int exact_cells = 2;
constexpr int found_cells = 4;

// The indexed search's verdicts. A pick proved best (an exact match found in the cell index)
// gets the aligned search's verdicts. A pick among the windows the votes named is compared
// with the other images' windows the votes named too, the closest unrelated windows of the
// whole database (the more images, the closer they come, so the rule means the same at a
// thousand records and at a million):
//   exact      as the aligned search's;
//   found      score <= indexed_found_share * M, at least found_cells cells, every other
//              image's window scored at least indexed_found_ratio times the score and their
//              median 1 / indexed_found_unrelated times (search/indexed_search.h);
//   ambiguous  as found or exact, but other images' windows that close;
//   not found  anything else: a crop of an image that is not in the database scores about M,
//              and other images' windows about as much.

struct Answer {
    QString file;        // the pattern's file name
    QString base_name;   // the name a database map must bear for the pattern to count as found
    QSize pattern_size;  // in pixels
    QString picked_name; // empty when no window fits
    QString found_image; // the picked image's file in the database folder (found_image_file)
    std::optional<MatchCandidate> best;      // map cell position and score
    std::optional<MatchCandidate> runner_up; // best of the other images, within runner_up_reach()
    bool other_images = false;               // other images have windows at all
    QSize map_size;       // the pattern's descriptor map: map_size.width() x height() cells
    QPoint phase;         // the grid phase of the pattern's cells; (0, 0) on the literal grid
    double magnitude = 0; // the aligned search: sum of |cells| of the best phase's map
    QRect crop;           // the pattern in the found image, in pixels (when there is a best)
    int tolerance = 0;    // how many pixels the crop's corner may be off either way
    bool located = false; // the literal search: the corner located over every grid phase
    Verdict verdict = Verdict::no_window;
    bool found = false; // the picked name is the pattern's base name
    // The search that answered, and how it picked.
    SearchMode mode = SearchMode::literal;
    PickedBy picked_by = PickedBy::search;
    int votes = 0;               // the indexed search: votes of the best's position
    int unrelated = 0;           // other images' windows it scored
    double unrelated_median = 0; // and their median score
    // The indexed search: the best's score with the pattern's contrast fitted to the window
    // (search/gain_fit.h), and the gain that fits it.
    double fitted_score = 0;
    double gain = 1;
    double angle = 0; // degrees the crop shows its image turned by, clockwise on screen
    double scale = 1; // the crop's size over that of what it shows (crop holds the latter)
    // The radius of the maps it was found among, when not the search's: a database of the same
    // images at a smaller radius, which gives a small pattern more cells; 0 otherwise.
    int radius = 0;

    qint64 cells() const { return qint64(map_size.width()) * map_size.height(); }
    // runner-up score / best score, infinite for a best of 0; none without a runner-up.
    std::optional<double> ratio() const;
    // How far the search looked for the runner-up, in times the best score: runner_up_reach of
    // the answer's mode (search/search_strategy.h).
    double runner_up_reach() const;
};

// The answer of the literal search for one pattern: `file` and `size` describe the pattern
// image; `database_folder` is where its found image is looked for.
Answer literal_answer(const PatternPick &pick, const QString &file, QSize size,
                      const WindowSettings &settings,
                      const QString &database_folder = QStringLiteral("database"));

// The answer of the aligned search: the crop's corner is exact, (x * step - px, y * step - py).
Answer aligned_answer(const PatternPick &pick, const QString &file, QSize size,
                      const WindowSettings &settings,
                      const QString &database_folder = QStringLiteral("database"));

// The answer of the indexed search: as the aligned search's, with its own verdicts for picks
// among the windows the votes named.
Answer indexed_answer(const PatternPick &pick, const QString &file, QSize size,
                      const WindowSettings &settings,
                      const QString &database_folder = QStringLiteral("database"));

// The answer of the search of `mode`.
Answer answer_of(SearchMode mode, const PatternPick &pick, const QString &file, QSize size,
                 const WindowSettings &settings,
                 const QString &database_folder = QStringLiteral("database"));

// "literal", "aligned", "indexed", and back (nothing for another text).
QString mode_text(SearchMode mode);
std::optional<SearchMode> mode_named(const QString &text);

// How the crop differs from what it shows: "is 0.75 times its size and shows it turned by 2
// degrees"; empty for neither.
QString crop_changes(const Answer &answer);

// The answer as a few indented lines for people, after a first line "answer: NAME (verdict)".
QString answer_block(const Answer &answer);

// The answer in one line: "NAME (verdict): crop x X, y Y, W x H pixels; runner-up ...".
QString answer_line(const Answer &answer);
