// The aligned search against the literal search on the same database: 200 synthetic 800 x 600
// images read back through the .ft1 text (six-digit values, as a loaded database holds them),
// ten crops of them at random offsets, exact or recompressed as JPEG (quality 90). Both on one
// thread, per pattern; the runner-ups, found after either search's timed part, are left out.

#include "bench_support.h"
#include "ft1/ft1_number.h"
#include "maps/centre_descriptor.h"
#include "maps/descriptor.h"
#include "search/aligned_search.h"
#include "search/candidate_index.h"
#include "search/cell_index.h"
#include "search/database_search.h"
#include "support/console.h"

#include <QBuffer>

#include <benchmark/benchmark.h>

#include <map>
#include <sstream>

namespace {

constexpr int images = 200;
constexpr int patterns_per_iteration = 10;

struct Collection {
    QList<FeatureMap> database;
    CellIndex index;
    CandidateIndex candidates;
    QList<FeatureMap> exact;
    QList<FeatureMap> noisy;
};

// A map as the .ft1 text gives it back.
FeatureMap through_text(const FeatureMap &map)
{
    FeatureMap copy = FeatureMap::allocate(map.width, map.height, map.name);
    char text[ft1_value_max_length + 1];
    for (qint64 k = 0; k < map.cell_count(); ++k) {
        char *end = format_ft1_value(map.values[k], text);
        copy.values[k] = parse_ft1_value(text, end);
    }
    return copy;
}

FeatureMap grey_of(const QImage &image, const QString &name)
{
    FeatureMap grey = grey_map_from_loaded_image(image);
    grey.name = name;
    return grey;
}

const Collection &collection(int radius)
{
    static std::map<int, Collection> made;
    Collection &c = made[radius];
    if (!c.database.isEmpty()) {
        return c;
    }
    SyntheticRandom random(123);
    for (int k = 0; k < images; ++k) {
        const QImage image = synthetic_image(7, k, 800, 600);
        const QString name = QString("img%1").arg(k);
        FeatureMap map = descriptor_map(grey_of(image, name), {radius, 1});
        c.database.append(through_text(map));
        const QRect crop = synthetic_crop(random, 800, 600);
        if (k % (images / patterns_per_iteration) == 3) {
            const QImage part = image.copy(crop);
            c.exact.append(grey_of(part, name));
            QByteArray jpeg;
            QBuffer buffer(&jpeg);
            buffer.open(QIODevice::WriteOnly);
            part.save(&buffer, "JPEG", 90);
            c.noisy.append(grey_of(QImage::fromData(jpeg, "JPEG"), name));
        }
    }
    c.index = CellIndex(c.database);
    c.candidates = CandidateIndex::build(c.database);
    return c;
}

void run(benchmark::State &state, SearchMode mode, bool noisy)
{
    const int radius = int(state.range(0));
    const Collection &c = collection(radius);
    SearchOptions options;
    options.threads = 1;
    options.runner_up = false;
    options.mode = mode;
    options.index = &c.index;
    options.candidates = &c.candidates;
    std::ostringstream quiet;
    std::ostream *sink = console::set_sink(&quiet);
    int found = 0;
    for (auto _ : state) {
        found = search_patterns({radius, 1}, noisy ? c.noisy : c.exact, c.database, options).found;
    }
    console::set_sink(sink);
    state.counters["found"] = found;
    if (mode == SearchMode::aligned) {
        // The work behind the time: candidate windows looked at and phases scanned in full.
        qint64 candidates = 0;
        int full_scans = 0;
        for (const FeatureMap &pattern : noisy ? c.noisy : c.exact) {
            CentreDescriptor centres(pattern, WindowSettings{radius, 1});
            AlignedOptions aligned;
            aligned.threads = 1;
            aligned.runner_up = false;
            const AlignedSearch one = aligned_search(centres, c.database, c.index, aligned);
            candidates += one.work.candidates;
            full_scans += one.work.full_scans;
        }
        state.counters["candidates"] = double(candidates);
        state.counters["full scans"] = full_scans;
    }
    state.counters["index MB"] = double(c.index.memory_bytes()) / (1 << 20);
    state.SetLabel("10 patterns");
}

void radii(benchmark::internal::Benchmark *bench)
{
    bench->Arg(20)->Arg(50)->ArgName("radius")->Unit(benchmark::kMillisecond)->UseRealTime();
}

void BM_aligned_literal_exact(benchmark::State &state)
{
    run(state, SearchMode::literal, false);
}
BENCHMARK(BM_aligned_literal_exact)->Apply(radii);

void BM_aligned_aligned_exact(benchmark::State &state)
{
    run(state, SearchMode::aligned, false);
}
BENCHMARK(BM_aligned_aligned_exact)->Apply(radii);

void BM_aligned_literal_noisy(benchmark::State &state)
{
    run(state, SearchMode::literal, true);
}
BENCHMARK(BM_aligned_literal_noisy)->Arg(20)->ArgName("radius")->Unit(benchmark::kMillisecond);

void BM_aligned_aligned_noisy(benchmark::State &state)
{
    run(state, SearchMode::aligned, true);
}
BENCHMARK(BM_aligned_aligned_noisy)->Arg(20)->ArgName("radius")->Unit(benchmark::kMillisecond);

} // namespace

namespace {

void BM_aligned_indexed_exact(benchmark::State &state)
{
    run(state, SearchMode::indexed, false);
}
BENCHMARK(BM_aligned_indexed_exact)->Apply(radii);

void BM_aligned_indexed_noisy(benchmark::State &state)
{
    run(state, SearchMode::indexed, true);
}
BENCHMARK(BM_aligned_indexed_noisy)->Arg(20)->ArgName("radius")->Unit(benchmark::kMillisecond);

} // namespace
