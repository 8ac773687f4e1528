// Collections of many records, generated (demo/scale_database.h) with ten real images whose
// crops are the patterns: loading the .ft1 text against its binary index, and the literal and
// aligned searches per pattern, against the number of records. Radius 20, maps of 18 x 13
// cells (images of 400 x 300). 10 000 and 100 000 records always; a million when
// PICTRACE_SCALE_MILLION=1 (2 GB of text, 3.7 GB of index). The files are kept in
// $TMPDIR/pictrace-scale/ between runs.

#include "demo/scale_database.h"
#include "ft1/database_file.h"
#include "ft1/ft1_index.h"
#include "search/aligned_search.h"
#include "search/candidate_index.h"
#include "search/cell_index.h"
#include "search/database_search.h"
#include "support/console.h"

#include <QDir>
#include <QFileInfo>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace {

struct Scale {
    QString path;
    QList<FeatureMap> patterns;
};

double resident_mb()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return double(resident) * 4096 / (1 << 20);
}

const Scale &scale(int records)
{
    static std::map<int, Scale> made;
    Scale &s = made[records];
    if (!s.path.isEmpty()) {
        return s;
    }
    const QString folder = QDir::temp().filePath("pictrace-scale");
    QDir().mkpath(folder);
    s.path = QString("%1/scale-%2.ft1").arg(folder).arg(records);
    ScaleDatabase plan;
    plan.records = records;
    // The files are made only when missing; the patterns each run (cheap).
    if (!QFileInfo::exists(s.path)) {
        write_scale_database(s.path, plan);
    }
    if (read_ft1_index(s.path).state != IndexState::used) {
        write_ft1_index(s.path);
    }
    const QList<FeatureMap> patterns = scale_patterns(plan);
    s.patterns = patterns;
    return s;
}

void records(benchmark::internal::Benchmark *bench)
{
    bench->Arg(10000)->Arg(100000);
    const char *million = std::getenv("PICTRACE_SCALE_MILLION");
    if (million && std::string(million) == "1") {
        bench->Arg(1000000);
    }
    bench->ArgName("records")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
}

void load(benchmark::State &state, bool index)
{
    const Scale &s = scale(int(state.range(0)));
    LoadOptions options;
    options.use_index = index;
    const double before = resident_mb();
    int maps = 0;
    for (auto _ : state) {
        const Ft1Contents contents = read_ft1(s.path, options);
        maps = contents.maps.size();
        state.counters["RSS MB"] = resident_mb() - before;
    }
    state.counters["maps"] = maps;
    state.counters["file MB"] =
        double(QFileInfo(index ? ft1_index_path(s.path) : s.path).size()) / (1 << 20);
}

void BM_scale_load_text(benchmark::State &state)
{
    load(state, false);
}
BENCHMARK(BM_scale_load_text)->Apply(records);

void BM_scale_load_index(benchmark::State &state)
{
    load(state, true);
}
BENCHMARK(BM_scale_load_index)->Apply(records);

void search(benchmark::State &state, SearchMode mode, int threads)
{
    const Scale &s = scale(int(state.range(0)));
    const Ft1Contents contents = read_ft1(s.path);
    const CellIndex index(contents.cells);
    const CandidateIndex candidate_index(contents.candidates);
    SearchOptions options;
    options.threads = threads;
    options.mode = mode;
    options.index = &index;
    options.candidates = &candidate_index;
    options.runner_up = false;
    std::ostringstream quiet;
    std::ostream *sink = console::set_sink(&quiet);
    // One untimed pass first: the index's pages and the maps' names are read on first use,
    // which the load benchmarks measure; the timed pass is what every later pattern costs.
    search_patterns({20, 1}, s.patterns, contents.maps, options);
    // The aligned and the indexed search take milliseconds per pattern: several passes steady
    // their times.
    const int passes = mode == SearchMode::literal ? 1 : 10;
    int found = 0;
    for (auto _ : state) {
        for (int pass = 0; pass < passes; ++pass) {
            found = search_patterns({20, 1}, s.patterns, contents.maps, options).found;
        }
    }
    console::set_sink(sink);
    state.counters["found"] = found;
    if (mode == SearchMode::aligned) {
        // The work behind the time: candidate windows looked at and phases scanned in full.
        qint64 candidates = 0;
        int full_scans = 0;
        for (const FeatureMap &pattern : s.patterns) {
            CentreDescriptor centres(pattern, WindowSettings{20, 1});
            AlignedOptions aligned;
            aligned.threads = 1;
            aligned.runner_up = false;
            const AlignedSearch one = aligned_search(centres, contents.maps, index, aligned);
            candidates += one.work.candidates;
            full_scans += one.work.full_scans;
        }
        state.counters["candidates per pattern"] = double(candidates) / s.patterns.size();
        state.counters["full scans"] = full_scans;
    }
    state.counters["ms per pattern"] = benchmark::Counter(
        double(s.patterns.size()) * passes / 1000,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_scale_search_literal(benchmark::State &state)
{
    search(state, SearchMode::literal, 0);
}
BENCHMARK(BM_scale_search_literal)->Apply(records);

void BM_scale_search_aligned(benchmark::State &state)
{
    search(state, SearchMode::aligned, 1);
}
BENCHMARK(BM_scale_search_aligned)->Apply(records);

void BM_scale_search_indexed(benchmark::State &state)
{
    search(state, SearchMode::indexed, 1);
}
BENCHMARK(BM_scale_search_indexed)->Apply(records);

} // namespace
