#include "search/database_search.h"

#include "maps/centre_descriptor.h"
#include "maps/descriptor.h"
#include "search/aligned_search.h"
#include "search/best_window.h"
#include "search/cell_index.h"
#include "search/shard_picks.h"
#include "search/window_compare.h"
#include "support/console.h"
#include "support/shard.h"
#include "support/threads.h"
#include "support/tick_clock.h"

#include <QDataStream>
#include <atomic>

#include <chrono>
#include <cmath>
#include <limits>
#include <locale>
#include <memory>
#include <sstream>
#include <stdexcept>

std::string format_rate(float rate)
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << static_cast<double>(rate);
    return text.str();
}

namespace {

PatternPick search_one(const WindowSettings &settings, const FeatureMap &pattern,
                       const QList<FeatureMap> &database, int threads)
{
    PatternPick pick;
    pick.pattern_name = pattern.name;
    const FeatureMap descriptor = descriptor_map(pattern, settings);
    pick.map_width = descriptor.width;
    pick.map_height = descriptor.height;
    pick.any_cells = descriptor.has_values();
    pick.best = best_window(descriptor, database, threads);
    pick.found = pattern.name == pick.picked_name();
    return pick;
}

// The pick of a pattern's aligned search.
PatternPick aligned_pick(const QString &pattern_name, const AlignedSearch &found,
                         const CentreDescriptor &centres)
{
    PatternPick pick;
    pick.pattern_name = pattern_name;
    pick.any_cells = found.any_cells;
    const QSize size = found.best ? found.map_size : centres.phase_size(0, 0);
    pick.map_width = size.width();
    pick.map_height = size.height();
    pick.magnitude = found.magnitude;
    pick.other_images = found.other_images;
    if (found.best) {
        pick.best = found.best->window;
        pick.phase = found.best->phase;
    }
    pick.found = pattern_name == pick.picked_name();
    return pick;
}

// Patterns are searched side by side: each search on one thread.
PatternPick search_aligned(const WindowSettings &settings, const FeatureMap &pattern,
                           const QList<FeatureMap> &database, const CellIndex &index)
{
    CentreDescriptor centres(pattern, settings);
    AlignedSearcher searcher(centres, database, index, 1);
    return aligned_pick(pattern.name, searcher.best(), centres);
}

// Whether the database holds other images with windows, and with `runner_up` the best of them.
void find_aligned_runner_up(const WindowSettings &settings, const FeatureMap &pattern,
                            const QList<FeatureMap> &database, const CellIndex &index,
                            PatternPick &pick, bool runner_up_too)
{
    if (!pick.best) {
        return;
    }
    CentreDescriptor centres(pattern, settings);
    AlignedSearcher searcher(centres, database, index, 1);
    pick.other_images = searcher.has_other_images(pick.best->name);
    if (!runner_up_too) {
        return;
    }
    const std::optional<AlignedWindow> runner_up =
        searcher.runner_up(AlignedWindow{*pick.best, pick.phase});
    if (runner_up) {
        pick.runner_up = runner_up->window;
    }
}

// Every process's picks, in rank order.
QList<QList<PatternPick>> gather_picks(Shard &shard, const QList<PatternPick> &picks)
{
    QList<QList<PatternPick>> all;
    const QList<QByteArray> packed = shard.all_gather(pack_picks(picks));
    for (int rank = 0; rank < packed.size(); ++rank) {
        std::optional<QList<PatternPick>> unpacked = unpack_picks(packed[rank], picks.size());
        if (!unpacked) {
            throw std::runtime_error("the picks of process " + std::to_string(rank) +
                                     " arrived damaged");
        }
        all.append(*unpacked);
    }
    return all;
}

void find_runner_up(const WindowSettings &settings, const FeatureMap &pattern,
                    const QList<FeatureMap> &database, int threads, PatternPick &pick)
{
    if (!pick.best) {
        return;
    }
    const RunnerUp runner_up =
        runner_up_window(descriptor_map(pattern, settings), database, threads, *pick.best);
    pick.runner_up = runner_up.window;
    pick.other_images = runner_up.other_images;
}

// The picks of every slice, gathered on every process: the best of each pattern is the one a
// search of the whole database picks, with the pattern's map of the best's phase.
QList<PatternPick> gather_best(Shard &shard, QList<PatternPick> picks, int first)
{
    for (PatternPick &pick : picks) {
        if (pick.best) {
            pick.best->map += first;
        }
    }
    const QList<QList<PatternPick>> all = gather_picks(shard, picks);
    for (int k = 0; k < picks.size(); ++k) {
        QList<std::optional<MatchCandidate>> windows;
        for (const QList<PatternPick> &slice : all) {
            windows.append(slice[k].best);
        }
        PatternPick &pick = picks[k];
        const int winner = earliest_best(windows);
        pick.best.reset();
        pick.runner_up.reset();
        pick.other_images = false;
        if (winner >= 0) {
            const PatternPick &won = all[winner][k];
            pick.best = won.best;
            pick.phase = won.phase;
            pick.map_width = won.map_width;
            pick.map_height = won.map_height;
            pick.magnitude = won.magnitude;
        }
        pick.found = pick.pattern_name == pick.picked_name();
    }
    return picks;
}

// The aligned search shared by processes. A slice that does not hold the crop proves its own best
// at the cost of a search that finds nothing (rounds of growing tolerance, then full scans):
// instead, every process looks only for windows scoring at most a common limit, growing round
// by round as one search's limit grows (to where the windows left above it start, as far as
// any slice saw), and a pattern is settled as soon as some slice has a window within it (every
// window within the limit was seen everywhere, so the lowest of them is the best). Patterns
// still open after the rounds are searched without a limit.
QList<PatternPick> shared_aligned_best(Shard &shard, const WindowSettings &settings,
                                       const QList<FeatureMap> &patterns,
                                       const QList<FeatureMap> &slice, const CellIndex &index,
                                       int first, int threads)
{
    // A pattern's searcher lives for one round: patterns may be many, the rounds after the
    // first search few of them.
    // Each process starts from its own first limit (its searcher's estimate of an exact match's
    // score, which depends on its cells); from the second round on the limit is common.
    struct Open {
        bool started = false;
        double limit = 0;
        float bound = 0;           // searched up to, in the last round
        double least_rejected = 0; // this slice's, in the last round
    };
    std::vector<Open> state(static_cast<std::size_t>(patterns.size()));
    QList<std::optional<PatternPick>> settled;
    for (int k = 0; k < patterns.size(); ++k) {
        settled.append(std::nullopt);
    }
    // Limits stay below the cut-off score: windows cut off are found by the last round alone.
    const double highest_limit = double(std::nextafter(cut_off_score, 0.0f));
    constexpr int rounds = 12;
    for (int round = 0; round <= rounds; ++round) {
        QList<int> open;
        for (int k = 0; k < patterns.size(); ++k) {
            if (!settled[k]) {
                open.append(k);
            }
        }
        if (open.isEmpty()) {
            break;
        }
        const bool last = round == rounds;
        QList<PatternPick> mine;
        ordered_parallel<PatternPick>(
            open.size(), thread_count(threads),
            [&](int n) {
                Open &s = state[static_cast<std::size_t>(open[n])];
                CentreDescriptor centres(patterns[open[n]], settings);
                AlignedSearcher searcher(centres, slice, index, 1);
                if (!s.started) {
                    s.started = true;
                    s.limit = searcher.first_limit();
                }
                s.bound =
                    last ? no_best_score : static_cast<float>(std::min(s.limit, highest_limit));
                const AlignedSearch found = searcher.best_within(s.bound);
                s.least_rejected = found.least_rejected;
                return aligned_pick(patterns[open[n]].name, found, centres);
            },
            [&](int, PatternPick &pick) {
                mine.append(pick);
                return true;
            });
        const QList<PatternPick> gathered = gather_best(shard, mine, first);
        // How far every slice looked, and where the windows it left above start.
        QByteArray looked;
        QDataStream out(&looked, QIODevice::WriteOnly);
        for (int k : open) {
            out << state[static_cast<std::size_t>(k)].bound
                << state[static_cast<std::size_t>(k)].least_rejected;
        }
        std::vector<float> common(static_cast<std::size_t>(open.size()), no_best_score);
        std::vector<double> least(static_cast<std::size_t>(open.size()),
                                  std::numeric_limits<double>::infinity());
        for (const QByteArray &bytes : shard.all_gather(looked)) {
            QDataStream in(bytes);
            for (std::size_t n = 0; n < least.size(); ++n) {
                float bound = 0;
                double rejected = 0;
                in >> bound >> rejected;
                common[n] = std::min(common[n], bound);
                least[n] = std::min(least[n], rejected);
            }
            if (in.status() != QDataStream::Ok) {
                throw std::runtime_error("the limits of a process arrived damaged");
            }
        }
        for (int n = 0; n < open.size(); ++n) {
            Open &s = state[static_cast<std::size_t>(open[n])];
            const double limit = common[std::size_t(n)];
            // Every slice saw every window up to the common limit: a best within it is the
            // best. A pattern without cells has its answer at once.
            if ((gathered[n].best && gathered[n].best->score <= common[std::size_t(n)]) ||
                !gathered[n].any_cells || last) {
                settled[open[n]] = gathered[n];
                s = Open();
            } else if (limit < highest_limit) {
                s.limit = std::max(4 * limit, std::min(least[std::size_t(n)], 64 * limit));
            } else {
                // Nothing below the cut-off anywhere: the last round decides.
                s.limit = highest_limit;
            }
        }
        // Patterns whose limit reached the cut-off wait for the last round.
        bool only_top = true;
        for (int k = 0; k < patterns.size(); ++k) {
            only_top &= settled[k] || state[static_cast<std::size_t>(k)].limit >= highest_limit;
        }
        if (only_top && round < rounds - 1) {
            round = rounds - 1;
        }
    }
    QList<PatternPick> picks;
    for (const std::optional<PatternPick> &pick : settled) {
        picks.append(*pick);
    }
    return picks;
}

// Each slice's runner-up of the common best and whether it holds other images, gathered.
void gather_runner_ups(Shard &shard, QList<PatternPick> &picks, QList<PatternPick> mine, int first)
{
    for (PatternPick &pick : mine) {
        if (pick.runner_up) {
            pick.runner_up->map += first;
        }
    }
    const QList<QList<PatternPick>> all = gather_picks(shard, mine);
    for (int k = 0; k < picks.size(); ++k) {
        QList<std::optional<MatchCandidate>> windows;
        bool other_images = false;
        for (const QList<PatternPick> &slice : all) {
            windows.append(slice[k].runner_up);
            other_images |= slice[k].other_images;
        }
        const int lowest = earliest_lowest(windows);
        picks[k].runner_up = lowest >= 0 ? windows[lowest] : std::nullopt;
        picks[k].other_images = other_images;
    }
}

} // namespace

SearchOutcome search_patterns(const WindowSettings &settings, const QList<FeatureMap> &patterns,
                              const QList<FeatureMap> &database, const SearchOptions &options)
{
    SearchOutcome outcome;
    if (database.isEmpty()) {
        console::write("database is empty, exiting...\n");
        return outcome;
    }
    if (refuse_invalid(settings)) {
        outcome.status = SearchStatus::invalid_settings;
        return outcome;
    }
    const bool aligned = options.mode == SearchMode::aligned;
    // Shared work: each process searches its slice of the database, and the picks are gathered.
    Shard *shard = sharded() ? work_shard() : nullptr;
    const auto slice_range = shard ? shard_slice(database.size(), shard->rank(), shard->ranks())
                                   : std::pair<int, int>(0, database.size());
    const int first = slice_range.first;
    const QList<FeatureMap> slice =
        shard ? database.mid(first, slice_range.second - first) : database;
    // The literal search needs no index: an empty one stands in. A slice sees the database's
    // index from its first map, or sorts its own cells when there is none.
    CellIndex own_index;
    if (aligned && shard) {
        own_index = options.index ? options.index->slice_from(first) : CellIndex(slice);
    } else if (aligned && !options.index) {
        own_index = CellIndex(slice);
    }
    const CellIndex &index = options.index && !shard ? *options.index : own_index;
    const auto clock = options.clock ? options.clock : tick_ms;
    const std::uint32_t start = clock();
    const auto started = std::chrono::steady_clock::now();
    if (shard && aligned) {
        outcome.picks =
            shared_aligned_best(*shard, settings, patterns, slice, index, first, options.threads);
        if (options.progress) {
            options.progress(patterns.size(), patterns.size());
        }
    } else if (aligned) {
        ordered_parallel<PatternPick>(
            patterns.size(), thread_count(options.threads),
            [&](int k) { return search_aligned(settings, patterns[k], slice, index); },
            [&](int, PatternPick &pick) {
                outcome.picks.append(pick);
                if (options.progress) {
                    options.progress(outcome.picks.size(), patterns.size());
                }
                return true;
            });
    } else {
        for (const FeatureMap &pattern : patterns) {
            outcome.picks.append(search_one(settings, pattern, slice, options.threads));
            if (options.progress) {
                options.progress(outcome.picks.size(), patterns.size());
            }
        }
    }
    if (shard && !aligned) {
        outcome.picks = gather_best(*shard, outcome.picks, first);
    }
    for (const PatternPick &pick : outcome.picks) {
        outcome.found += pick.found ? 1 : 0;
    }
    outcome.elapsed_ms = ticks_between(start, clock());
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    outcome.patterns = patterns.size();
    if (outcome.patterns == 0) {
        console::write("no patterns to search\n");
        outcome.status = SearchStatus::no_patterns;
        return outcome;
    }
    outcome.status = SearchStatus::searched;
    outcome.rate = static_cast<float>(double(outcome.found) / outcome.patterns * 100.0);
    const int average = static_cast<std::int32_t>(outcome.elapsed_ms) / outcome.patterns;
    console::write(std::to_string(average) + "\t" + format_rate(outcome.rate) + "\n");
    // Outside the timed search: the figures above are those of the search alone. Shared work
    // looks for each slice's runner-up of the common best; without runner-ups, the aligned
    // search still tells whether other images have windows.
    if (shard && (options.runner_up || aligned)) {
        // Written by several threads: a vector, which never shares its items.
        std::vector<PatternPick> mine(outcome.picks.begin(), outcome.picks.end());
        std::atomic<int> next{0};
        run_on_threads(aligned ? thread_count(options.threads) : 1, [&] {
            for (int k = next++; k < patterns.size(); k = next++) {
                PatternPick &pick = mine[static_cast<std::size_t>(k)];
                pick.runner_up.reset();
                pick.other_images = false;
                if (aligned) {
                    find_aligned_runner_up(settings, patterns[k], slice, index, pick,
                                           options.runner_up);
                } else {
                    find_runner_up(settings, patterns[k], slice, options.threads, pick);
                }
            }
        });
        gather_runner_ups(*shard, outcome.picks, QList<PatternPick>(mine.begin(), mine.end()),
                          first);
        return outcome;
    }
    if (options.runner_up && aligned) {
        std::atomic<int> next{0};
        run_on_threads(thread_count(options.threads), [&] {
            for (int k = next++; k < patterns.size(); k = next++) {
                find_aligned_runner_up(settings, patterns[k], slice, index, outcome.picks[k], true);
            }
        });
    }
    for (int k = 0; k < patterns.size() && options.runner_up && !aligned; ++k) {
        find_runner_up(settings, patterns[k], slice, options.threads, outcome.picks[k]);
    }
    return outcome;
}
