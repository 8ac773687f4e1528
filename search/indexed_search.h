#pragma once
// The indexed search: a pattern found among the windows that share blocks with it, looked up
// in the candidate index, instead of among every window; fast whatever the size of the
// database, and meant for crops that were recompressed or lightly edited, whose cells match
// the database's only approximately.
//
// Every grid phase of the pattern (see CentreDescriptor) is tried, since a crop's cells lie on
// the database's grid at one phase only: in each, the pattern's least likely 3 x 3 blocks (see
// KeyRarity; among twice as many, those of the smallest buckets) are looked up, and every entry
// of a block's key is a vote for the window that puts the block there: a map and a crop
// position in pixels, the vote weighing more the fewer entries its bucket has. The windows of
// the heaviest votes are checked on a few cells of the pattern, and those closest there are
// scored exactly as the aligned search scores them (the system's window score, cut-off
// included), at their position and the positions a few pixels around it (votes of neighbouring
// phases land near the right one); the lowest score wins, ties going to the earlier map, then
// the earlier phase, then x, then y.
//
// The pick is not proved best: a window that shares no looked-up block with the pattern is
// never scored. The scores of the other images' candidates, the closest unrelated windows the
// votes found, say how far the pick stands out (see evaluation/answer.h).

#include "maps/centre_descriptor.h"
#include "maps/feature_map.h"
#include "search/candidate_index.h"
#include "search/match_candidate.h"

#include <QList>
#include <QPoint>
#include <QSize>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// A window the votes name is the crop's, clearly, when it scores at most this share of the sum
// of |cells| of its phase, every other image's window the votes named scores at least this many
// times as much, and their median at least as many times as much as the last share says: a crop
// of an image that is not in the database scores about the sum, and the other images' windows,
// the closest unrelated windows of the whole database, about as much (the indexed verdicts of
// evaluation/answer.h, which says how these were measured).
constexpr double indexed_found_share = 0.25;
constexpr double indexed_found_ratio = 3;
constexpr double indexed_found_unrelated = 0.15;
// A window with no other image's window to compare it with (in a small collection the votes may
// name no other) is the crop's when it scores at most this share: crops found so score
// 0.001-0.07 of their cells on photographs (0.13 brightened, 0.1-0.22 turned, before either is
// fitted or turned back), crops of other images 0.17 and more.
constexpr double indexed_lone_share = 0.1;
// Found at another scale, a window must score at most this share of the other images' median:
// resized crops score at most 0.08 of it on photographs, crops of other images from 0.14 up.
constexpr double indexed_rescaled_unrelated = 0.1;
// A pattern of fewer cells must stand out as a resampled one does: small crops of images not in
// the database come to 0.13 of the other images' median at 100 000 records, those of the
// database's stay below 0.1.
constexpr int indexed_few_cells = 24;
// The least mean |cell| of a pattern whose votes can say anything: photographs' crops have 0.05
// and more, a crop of a flat sky or wall 0.0001.
constexpr double indexed_least_texture = 0.01;

// Whether the best's score stands out of the unrelated windows' so, or is that close to the
// pattern when there are none.
inline bool stands_out(double best, double magnitude, const double *runner_up, int unrelated,
                       double unrelated_median)
{
    // Strictly: a featureless crop scores 0 everywhere, and nothing stands out of zeros.
    return best <= indexed_found_share * magnitude &&
           (!runner_up || *runner_up > indexed_found_ratio * best) &&
           (unrelated == 0 ? best <= indexed_lone_share * magnitude
                           : best < indexed_found_unrelated * unrelated_median);
}

struct IndexedOptions {
    int blocks_per_phase = 8; // looked up in each phase
    int shortlisted = 512;    // windows of the heaviest votes, checked on a few cells
    int verified = 16;        // of those, the windows scored: the closest on those cells
    int reach = 2;            // pixels around a voted position that are scored too
    // Windows of maps the shortlist and the verified leave out, shortlisted and scored as well.
    int other_maps = 0;
    int largest_bucket = 1024; // blocks whose bucket holds more entries are not looked up
};

struct IndexedWindow {
    MatchCandidate window; // x, y: the cell in the database map of the phase's first cell
    QPoint phase;
    int votes = 0; // of the voted position it was found near
    // Its score with the pattern's contrast fitted (search/gain_fit.h), and the gain.
    double fitted = 0;
    double gain = 1;
};

// A window the votes named, checked and scored: what shared work passes between processes.
struct VotedWindow {
    int map = 0; // in the database
    int x = 0;   // the crop's corner in pixels
    int y = 0;
    int votes = 0;
    double weight = 0; // of the votes
    double probed = 0; // the sum of |d| on the pattern's probe cells
    float score = 0;   // the lowest of the position and those around it
    int best_x = 0;    // where that lowest score is
    int best_y = 0;
    double fitted = 0; // there, with the pattern's contrast fitted (search/gain_fit.h)
    double gain = 1;
    QString name; // the map's, once scored
};

struct IndexedSearch {
    bool any_cells = false;  // some phase has cells
    bool any_blocks = false; // some phase has a 3 x 3 block to look up
    std::optional<IndexedWindow> best;
    std::optional<IndexedWindow> runner_up; // the best of the maps of other names scored
    QSize map_size;                         // of the best's phase
    double magnitude = 0;                   // sum of |cells| of the best's phase
    // The verified windows of other images than the best's, lowest score first.
    std::vector<float> unrelated;
    std::vector<double> unrelated_fitted; // and their fitted scores, lowest first
    // Work done.
    int lookups = 0;
    qint64 entries = 0;
    int voted = 0; // distinct positions voted for
};

class IndexedSearcher
{
public:
    // Searches the maps of `slice`, numbered in the whole database from `first_map` (the
    // candidate index's entries are numbered so).
    // `before_reading` hears of each map before its values are first read (and may throw).
    IndexedSearcher(CentreDescriptor &pattern, const QList<FeatureMap> &slice,
                    const CandidateIndex &index, int first_map = 0,
                    const IndexedOptions &options = {},
                    std::function<void(int map)> before_reading = {});
    ~IndexedSearcher();
    IndexedSearcher(const IndexedSearcher &) = delete;
    IndexedSearcher &operator=(const IndexedSearcher &) = delete;

    // For asking again, with more blocks, say: what the pattern gave is kept.
    void set_options(const IndexedOptions &options);

    // The positions the slice's entries vote for, heaviest votes first (then the earlier map,
    // then y, then x): the first `shortlisted` of them, each checked on the probe cells.
    std::vector<VotedWindow> votes() const;
    // Of the slices' votes, the windows to score: the first `shortlisted` in that order, then
    // of those the first `verified` in the order of their probe sums (then as before).
    std::vector<VotedWindow> chosen(std::vector<VotedWindow> windows) const;
    // Scores the windows of this slice's maps (the others are left as they are).
    void score(std::vector<VotedWindow> &windows) const;
    // The search's result from scored windows (this slice's, or every slice's).
    IndexedSearch result_of(const std::vector<VotedWindow> &scored) const;

    // All at once, for one process.
    IndexedSearch search() const;

private:
    std::vector<VotedWindow> shortlisted(std::vector<VotedWindow> windows) const;

    struct State;
    std::unique_ptr<State> m;
};
