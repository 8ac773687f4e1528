// Whole database builds of a folder of 32 photographs (16.6 Mpx): the literal single-threaded
// build against the fast build on one thread and on every core. The fast builds are repeated
// and their medians compared, as this kind of machine is shared and noisy.

#include "bench_support.h"
#include "ft1/database_builder.h"
#include "matcher/image_matcher.h"
#include "reference/reference_build.h"
#include "support/console.h"

#include <benchmark/benchmark.h>

#include <sstream>

namespace {

QString photos()
{
    return photo_folder(32, 832, 624);
}

void build_args(benchmark::internal::Benchmark *bench)
{
    bench->Args({50, 1})->Args({50, 4})->ArgNames({"radius", "divisor"});
    bench->Unit(benchmark::kMillisecond)->UseRealTime();
}

void BM_build_literal(benchmark::State &state)
{
    const QString folder = photos();
    QTemporaryDir out;
    for (auto _ : state) {
        reference::build_database(folder, out.filePath("db.ft1"), int(state.range(0)),
                                  int(state.range(1)));
    }
}
BENCHMARK(BM_build_literal)->Apply(build_args);

void run_build(benchmark::State &state, int threads)
{
    const QString folder = photos();
    QTemporaryDir out;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(out.path());
    std::ostringstream quiet;
    std::ostream *sink = console::set_sink(&quiet);
    ImageMatcher matcher(int(state.range(0)), int(state.range(1)), ImageMatcher::Quiet{});
    BuildOptions options;
    options.threads = threads;
    for (auto _ : state) {
        matcher.build_database(folder, "db.ft1", options);
    }
    console::set_sink(sink);
    QDir::setCurrent(previous);
}

void BM_build_fast_1_thread(benchmark::State &state)
{
    run_build(state, 1);
}
BENCHMARK(BM_build_fast_1_thread)->Apply(build_args)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_build_fast_all_threads(benchmark::State &state)
{
    run_build(state, 0);
}
BENCHMARK(BM_build_fast_all_threads)->Apply(build_args)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace
