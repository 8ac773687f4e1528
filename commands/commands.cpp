#include "commands/commands.h"

#include "commands/settings_verdict.h"
#include "ft1/database_builder.h"
#include "ft1/database_file.h"
#include "maps/grey_map.h"
#include "maps/image_file.h"
#include "search/cell_index.h"
#include "search/database_search.h"
#include "support/console.h"

#include <QFileInfo>

namespace commands {

namespace {

Answer answer_of(const PatternPick &pick, const QString &file, QSize size,
                 const WindowSettings &settings, SearchMode mode)
{
    return mode == SearchMode::aligned ? aligned_answer(pick, file, size, settings)
                                       : literal_answer(pick, file, size, settings);
}

MultiResult multi_result(const MultiSearch &search, const WindowSettings &settings, SearchMode mode)
{
    MultiResult result;
    result.refused = search.refused;
    if (search.refused) {
        return result;
    }
    const SearchOutcome &outcome = search.outcome;
    result.searched = outcome.status != SearchStatus::empty_database;
    result.rate = outcome.rate;
    result.elapsed_ms = outcome.elapsed_ms;
    result.seconds = outcome.seconds;
    for (int k = 0; k < outcome.picks.size(); ++k) {
        result.answers.append(
            answer_of(outcome.picks[k], search.files[k], search.sizes[k], settings, mode));
    }
    result.label_text = success_rate_text(outcome.rate);
    return result;
}

} // namespace

void Database::append(const Database &more)
{
    // Cells read with one file's maps stay valid only while that file's maps are all there is.
    loaded_cells = maps.isEmpty() ? more.loaded_cells : SortedCells();
    maps.append(more.maps);
    records.append(more.records);
    files.append(more.files);
    index.reset();
}

void Database::make_index()
{
    index = loaded_cells.size > 0 ? std::make_shared<const CellIndex>(loaded_cells)
                                  : std::make_shared<const CellIndex>(maps);
}

double MultiResult::ms_per_pattern() const
{
    return answers.isEmpty() ? 0 : 1000 * seconds / answers.size();
}

int MultiResult::average_ms() const
{
    return answers.isEmpty() ? 0 : static_cast<std::int32_t>(elapsed_ms) / answers.size();
}

std::optional<QString> database_file_name(const QString &typed, bool accepted)
{
    if (!accepted || typed == QString()) {
        console::write("name is not valid");
        return std::nullopt;
    }
    return typed + ".ft1";
}

bool build(const BuildRequest &request)
{
    if (refuse_invalid(request.settings)) {
        return false;
    }
    BuildOptions options;
    options.threads = request.threads;
    options.progress = request.progress;
    const bool written =
        build_database(request.settings, request.directory, request.file_name, options);
    console::write("Database pre-processing done\n");
    return written;
}

LoadResult load(const QString &path, const Progress &progress)
{
    LoadResult result;
    LoadOptions options;
    options.progress = progress;
    const Ft1Contents contents = load_database_file(path, options);
    result.opened = contents.opened;
    result.error = contents.error;
    if (contents.opened) {
        result.not_a_database = contents.not_a_database();
        result.problems = contents.problem_count;
        result.database = {contents.maps, contents.records, {path}, nullptr, contents.cells};
        result.label_text = ft1_summary(contents.header_lines);
    }
    console::write("Database readed\n");
    return result;
}

SearchResult search(const SearchRequest &request, const Database &database)
{
    SearchResult result;
    const QString &path = request.pattern_path;
    ImageRead read = path.isEmpty() ? ImageRead() : read_image_file(path);
    result.pattern_image = read.image;
    result.pattern_problem = read.problem;
    if (result.pattern_image.isNull()) {
        if (read.refused) {
            console::write(path + ": " + read.problem + "\n");
        }
        console::write("not supported image file\n");
        return result;
    }
    result.pattern_loaded = true;
    FeatureMap pattern = grey_map_from_loaded_image(result.pattern_image);
    pattern.name = QFileInfo(path).baseName();

    SearchOptions options;
    options.threads = request.threads;
    options.mode = request.mode;
    options.index = database.index.get();
    const SearchOutcome outcome =
        search_patterns(request.settings, {pattern}, database.maps, options);
    result.searched = outcome.status == SearchStatus::searched;
    PatternPick pick;
    pick.pattern_name = pattern.name;
    if (result.searched) {
        result.elapsed_ms = static_cast<int>(outcome.elapsed_ms);
        pick = outcome.picks.first();
    }
    result.answer = answer_of(pick, QFileInfo(path).fileName(), result.pattern_image.size(),
                              request.settings, request.mode);
    console::write("search2 = " + result.answer.picked_name + "\n");
    result.found_image_path =
        "database/" + result.answer.picked_name + "." + QFileInfo(path).suffix();
    result.label_text = "pattern found in db in " + QString::number(result.elapsed_ms) + " ms";
    return result;
}

MultiResult multi_search(const WindowSettings &settings, const Database &database,
                         const QString &directory, const SearchOptions &options)
{
    SearchOptions with_index = options;
    if (!with_index.index) {
        with_index.index = database.index.get();
    }
    return multi_result(::multi_search(settings, database.maps, directory, with_index), settings,
                        options.mode);
}

SweepResult radius_sweep(const QString &directory, const SearchOptions &options, const Warn &warn)
{
    SweepResult result;
    SweepOptions sweep;
    sweep.search = options;
    sweep.pass_done = [&](const SweepPass &pass) {
        SweepPassResult done;
        done.radius = pass.radius;
        done.database_path = sweep_database_path(pass.radius);
        done.opened = !pass.load_message.isEmpty();
        const WindowSettings settings{pass.radius, 1};
        done.search = multi_result(pass.search, settings, options.mode);
        const std::optional<QString> warning = settings_warning(pass.records, settings);
        if (warning && warn) {
            warn(done.database_path + ": " + *warning);
        }
        result.passes.append(done);
        result.label_text = success_rate_text(pass.search.outcome.rate);
    };
    ::radius_sweep(directory, sweep);
    return result;
}

} // namespace commands
