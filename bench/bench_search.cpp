// Searching patterns in a generated collection: 200 images of 800 x 600 and one crop of each,
// radius 20. The literal search (every window position in a candidate list, then the pick)
// against the fast search on one thread and on every core. Each iteration searches the same
// ten patterns.

#include "bench_support.h"
#include "matcher/image_matcher.h"
#include "search/database_search.h"
#include "search/window_compare.h"
#include "support/console.h"

#include <benchmark/benchmark.h>

#include <map>
#include <sstream>

namespace {

constexpr int radius = 20;
constexpr int patterns_per_iteration = 10;

struct Collection {
    QList<FeatureMap> database;
    QList<FeatureMap> patterns;
};

const Collection &collection(int divisor)
{
    static std::map<int, Collection> made;
    Collection &c = made[divisor];
    if (c.database.isEmpty()) {
        static QList<FeatureMap> images;
        static QList<FeatureMap> crops;
        if (images.isEmpty()) {
            SyntheticRandom random(99);
            for (int k = 0; k < 200; ++k) {
                FeatureMap grey = synthetic_grey_map(800, 600, k);
                grey.name = QString("img%1").arg(k);
                const QRect crop = synthetic_crop(random, 800, 600);
                FeatureMap part = FeatureMap::allocate(crop.width(), crop.height(), grey.name);
                for (int y = 0; y < crop.height(); ++y) {
                    for (int x = 0; x < crop.width(); ++x) {
                        part.at(x, y) = grey.at(crop.x() + x, crop.y() + y);
                    }
                }
                images.append(grey);
                crops.append(part);
            }
        }
        ImageMatcher matcher(radius, divisor, ImageMatcher::Quiet{});
        matcher.fill_weights();
        for (const FeatureMap &grey : images) {
            FeatureMap map;
            matcher.compute_descriptor_map(grey, map, radius);
            c.database.append(map);
        }
        // Ten patterns spread over the collection.
        for (int k = 0; k < patterns_per_iteration; ++k) {
            c.patterns.append(crops[k * 19 + 3]);
        }
    }
    return c;
}

void search_args(benchmark::internal::Benchmark *bench)
{
    bench->Arg(1)->Arg(2)->ArgName("divisor")->Unit(benchmark::kMillisecond)->UseRealTime();
}

void BM_search_literal(benchmark::State &state)
{
    const int divisor = int(state.range(0));
    const Collection &c = collection(divisor);
    ImageMatcher matcher(radius, divisor, ImageMatcher::Quiet{});
    for (auto _ : state) {
        for (const FeatureMap &pattern : c.patterns) {
            matcher.fill_weights();
            FeatureMap descriptor;
            matcher.compute_descriptor_map(pattern, descriptor, radius);
            QList<MatchCandidate> candidates;
            for (const FeatureMap &map : c.database) {
                compare_windows(map, descriptor, candidates);
            }
            benchmark::DoNotOptimize(pick_best_index(candidates));
        }
    }
    state.SetLabel("10 patterns");
}
BENCHMARK(BM_search_literal)->Apply(search_args);

void run_search(benchmark::State &state, int threads, bool runner_up = false)
{
    const int divisor = int(state.range(0));
    const Collection &c = collection(divisor);
    ImageMatcher matcher(radius, divisor, ImageMatcher::Quiet{});
    SearchOptions options;
    options.threads = threads;
    options.runner_up = runner_up;
    std::ostringstream quiet;
    std::ostream *sink = console::set_sink(&quiet);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            search_patterns(matcher.settings(), c.patterns, c.database, options).found);
    }
    console::set_sink(sink);
    state.SetLabel("10 patterns");
}

void BM_search_fast_1_thread(benchmark::State &state)
{
    run_search(state, 1);
}
BENCHMARK(BM_search_fast_1_thread)->Apply(search_args)->Repetitions(3)->ReportAggregatesOnly(true);

void BM_search_fast_all_threads(benchmark::State &state)
{
    run_search(state, 0);
}
BENCHMARK(BM_search_fast_all_threads)
    ->Apply(search_args)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// The same search followed by the runner-up of every pattern, as the answers report it.
void BM_search_with_runner_up_all_threads(benchmark::State &state)
{
    run_search(state, 0, true);
}
BENCHMARK(BM_search_with_runner_up_all_threads)
    ->Apply(search_args)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

} // namespace
