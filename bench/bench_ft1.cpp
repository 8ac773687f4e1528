// The ".ft1" writer and reader against the QTextStream / split-toFloat versions.

#include "bench_support.h"
#include "ft1/database_file.h"
#include "ft1/ft1_writer.h"
#include "matcher/image_matcher.h"
#include "reference/reference_ft1.h"

#include <benchmark/benchmark.h>

namespace {

// Descriptor maps of 32 synthetic images (radius 20, divisor 2): realistic values.
const QList<FeatureMap> &descriptor_maps()
{
    static QList<FeatureMap> maps;
    if (maps.isEmpty()) {
        ImageMatcher matcher(20, 2, ImageMatcher::Quiet{});
        matcher.fill_weights();
        for (int k = 0; k < 32; ++k) {
            FeatureMap map;
            matcher.compute_descriptor_map(synthetic_grey_map(800, 600, k), map, 20);
            map.name = QString("img%1").arg(k);
            maps.append(map);
        }
    }
    return maps;
}

qint64 value_count()
{
    qint64 count = 0;
    for (const FeatureMap &map : descriptor_maps()) {
        count += map.cell_count();
    }
    return count;
}

void BM_ft1_writer_stream(benchmark::State &state)
{
    descriptor_maps(); // made before the clock runs
    for (auto _ : state) {
        QByteArray text;
        for (const FeatureMap &map : descriptor_maps()) {
            text += reference::record_text(map.name, 800, 600, map);
        }
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(state.iterations() * value_count());
}
BENCHMARK(BM_ft1_writer_stream)->Unit(benchmark::kMillisecond);

void BM_ft1_writer_fast(benchmark::State &state)
{
    descriptor_maps();
    for (auto _ : state) {
        QByteArray text;
        for (const FeatureMap &map : descriptor_maps()) {
            append_ft1_record(text, encode_ft1_name(map.name), 800, 600, map);
        }
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(state.iterations() * value_count());
}
BENCHMARK(BM_ft1_writer_fast)->Unit(benchmark::kMillisecond);

QString database_file()
{
    static QTemporaryDir dir;
    const QString path = dir.filePath("maps.ft1");
    if (!QFile::exists(path)) {
        QByteArray text;
        for (const FeatureMap &map : descriptor_maps()) {
            append_ft1_record(text, encode_ft1_name(map.name), 800, 600, map);
        }
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(text);
    }
    return path;
}

void BM_ft1_reader_stream(benchmark::State &state)
{
    const QString path = database_file();
    for (auto _ : state) {
        benchmark::DoNotOptimize(reference::load(path).maps.size());
    }
    state.SetItemsProcessed(state.iterations() * value_count());
}
BENCHMARK(BM_ft1_reader_stream)->Unit(benchmark::kMillisecond);

void BM_ft1_reader_fast(benchmark::State &state)
{
    const QString path = database_file();
    for (auto _ : state) {
        benchmark::DoNotOptimize(read_ft1(path).maps.size());
    }
    state.SetItemsProcessed(state.iterations() * value_count());
}
BENCHMARK(BM_ft1_reader_fast)->Unit(benchmark::kMillisecond);

} // namespace
