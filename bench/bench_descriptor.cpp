// Descriptor maps and grey maps: the fast paths against the literal versions.

#include "bench_support.h"
#include "matcher/image_matcher.h"
#include "reference/reference_descriptor.h"
#include "reference/reference_grey_map.h"

#include <benchmark/benchmark.h>

namespace {

void descriptor_args(benchmark::internal::Benchmark *bench)
{
    for (int radius : {20, 50, 150}) {
        for (int divisor : {1, 4}) {
            bench->Args({radius, divisor});
        }
    }
    bench->ArgNames({"radius", "divisor"})->Unit(benchmark::kMillisecond);
}

void BM_descriptor_literal(benchmark::State &state)
{
    const FeatureMap grey = synthetic_grey_map(1024, 768);
    const int radius = static_cast<int>(state.range(0));
    const int divisor = static_cast<int>(state.range(1));
    for (auto _ : state) {
        benchmark::DoNotOptimize(reference::descriptor_map(grey, radius, divisor).data());
    }
}
BENCHMARK(BM_descriptor_literal)->Apply(descriptor_args);

void BM_descriptor_fast(benchmark::State &state)
{
    const FeatureMap grey = synthetic_grey_map(1024, 768);
    ImageMatcher matcher(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                         ImageMatcher::Quiet{});
    matcher.fill_weights();
    for (auto _ : state) {
        FeatureMap result;
        matcher.compute_descriptor_map(grey, result, matcher.radius);
        benchmark::DoNotOptimize(result.data());
    }
}
BENCHMARK(BM_descriptor_fast)->Apply(descriptor_args);

QString grey_file()
{
    static QTemporaryDir dir;
    const QString path = dir.filePath("photo.png");
    if (!QFile::exists(path)) {
        synthetic_image(3, 1, 1024, 768).save(path);
    }
    return path;
}

void BM_grey_map_literal(benchmark::State &state)
{
    const QString path = grey_file();
    for (auto _ : state) {
        benchmark::DoNotOptimize(reference::grey_map_from_image(path)->data());
    }
    state.SetLabel("1024 x 768 png, decoding included");
}
BENCHMARK(BM_grey_map_literal)->Unit(benchmark::kMillisecond);

void BM_grey_map_fast(benchmark::State &state)
{
    const QString path = grey_file();
    for (auto _ : state) {
        benchmark::DoNotOptimize(grey_map_from_image(path)->data());
    }
    state.SetLabel("1024 x 768 png, decoding included");
}
BENCHMARK(BM_grey_map_fast)->Unit(benchmark::kMillisecond);

} // namespace
