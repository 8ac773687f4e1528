#include "evaluation/radius_sweep.h"

#include "ft1/database_builder.h"
#include "ft1/database_file.h"
#include "search/candidate_index.h"
#include "search/cell_index.h"
#include "support/console.h"

#include <memory>

QList<int> sweep_radii()
{
    QList<int> radii;
    for (int radius = 20; radius <= 150; radius += 10) {
        radii.append(radius);
    }
    return radii;
}

QString sweep_database_path(int radius)
{
    return database_directory() + "db3_ft1_" + QString::number(radius, 10) + ".ft1";
}

QList<SweepPass> radius_sweep(const QString &directory, const SweepOptions &options)
{
    QList<SweepPass> passes;
    for (int radius : sweep_radii()) {
        SweepPass pass;
        pass.radius = radius;
        console::write(std::to_string(radius) + "\t");
        const Ft1Contents database = load_database_file(sweep_database_path(radius));
        if (database.opened) {
            pass.load_message = ft1_summary(database.header_lines);
            pass.records = database.records;
        }
        SearchOptions search = options.search;
        std::unique_ptr<CellIndex> index;
        std::unique_ptr<CandidateIndex> candidates;
        if (search.mode != SearchMode::literal) {
            index = std::make_unique<CellIndex>(database.maps);
            search.index = index.get();
        }
        if (search.mode == SearchMode::indexed) {
            candidates = std::make_unique<CandidateIndex>(database.candidates.bits > 0
                                                              ? database.candidates
                                                              : candidate_arrays(database.maps));
            search.candidates = candidates.get();
        }
        pass.search = multi_search({radius, 1}, database.maps, directory, search);
        if (options.pass_done) {
            options.pass_done(pass);
        }
        passes.append(pass);
    }
    return passes;
}
