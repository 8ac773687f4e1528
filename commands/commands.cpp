#include "commands/commands.h"

#include "commands/settings_verdict.h"
#include "evaluation/fine_search.h"
#include "ft1/database_file.h"
#include "ft1/ft1_index.h"
#include "ft1/value_guard.h"
#include "maps/grey_map.h"
#include "maps/image_file.h"
#include "search/candidate_index.h"
#include "search/cell_index.h"
#include "search/database_search.h"
#include "support/console.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace commands {

namespace {

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
            answer_of(mode, outcome.picks[k], search.files[k], search.sizes[k], settings));
    }
    result.label_text = success_rate_text(outcome.rate);
    return result;
}

// The options with the database's indexes, unless given.
SearchOptions with_indexes(SearchOptions options, const Database &database)
{
    if (!options.index) {
        options.index = database.index.get();
    }
    if (!options.candidates) {
        options.candidates = database.candidates.get();
    }
    if (!options.before_reading) {
        options.before_reading = database.before_reading();
    }
    return options;
}

// The maps and indexes of a database at a smaller radius, as the search takes them.
std::optional<FineMaps> fine_maps(const FineDatabase *fine)
{
    if (!fine) {
        return std::nullopt;
    }
    return FineMaps{fine->settings, fine->database.maps,
                    with_indexes(SearchOptions(), fine->database)};
}

// The database's files read again from their text, without a word: what a search falls back to
// when a binary index turns out damaged.
Database text_of(const Database &database, SearchMode mode)
{
    Database text;
    for (const QString &file : database.files) {
        LoadOptions options;
        options.use_index = false;
        const Ft1Contents contents = read_ft1(file, options);
        Database one;
        one.maps = contents.maps;
        one.records = contents.records;
        one.files = QStringList{file};
        text.append(one);
    }
    text.make_index(mode);
    return text;
}

// The search, or when a binary index's values turn out damaged while it runs, the line that
// says so and the search again on the databases' text.
template <class Search>
auto search_with_fallback(const Database &database, SearchMode mode, const Search &search)
    -> decltype(search(database))
{
    try {
        return search(database);
    } catch (const DamagedIndex &damaged) {
        console::write(damaged.path() +
                       ": corrupt (a block of values does not match its checksum); the index is "
                       "not used\n");
        return search(text_of(database, mode));
    }
}

} // namespace

void Database::append(const Database &more)
{
    // Indexes read with one file's maps stay valid only while that file's maps are all there
    // is.
    loaded_cells = maps.isEmpty() ? more.loaded_cells : SortedCells();
    loaded_candidates = maps.isEmpty() ? more.loaded_candidates : CandidateArrays();
    for (const auto &guard : more.guards) {
        guards.append({guard.first + maps.size(), guard.second});
    }
    maps.append(more.maps);
    records.append(more.records);
    files.append(more.files);
    index.reset();
    candidates.reset();
}

void Database::make_index(SearchMode mode)
{
    if (mode == SearchMode::literal) {
        return;
    }
    index = loaded_cells.size > 0 ? std::make_shared<const CellIndex>(loaded_cells)
                                  : std::make_shared<const CellIndex>(maps);
    if (mode == SearchMode::indexed) {
        candidates = std::make_shared<const CandidateIndex>(
            loaded_candidates.bits > 0 ? loaded_candidates : candidate_arrays(maps));
    }
}

std::function<void(int map)> Database::before_reading() const
{
    if (guards.isEmpty()) {
        return {};
    }
    // Each check passes over the maps that are not its index's.
    return [all = maps, checks = guards](int map) {
        for (const auto &guard : checks) {
            guard.second->check(all[map]);
        }
    };
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
    options.summary = request.summary;
    const bool written =
        build_database(request.settings, request.directory, request.file_name, options);
    console::write("Database pre-processing done\n");
    // An index left as it was would describe the database that was replaced.
    const QString path = database_directory() + request.file_name;
    const QString index_path = ft1_index_path(path);
    if (written && (request.index || QFileInfo::exists(index_path))) {
        if (!write_index(path)) {
            if (QFile::exists(index_path) && QFile::remove(index_path)) {
                console::write(index_path + ": removed, as it described the database replaced\n");
            }
            return false;
        }
    }
    return written;
}

bool write_index(const QString &path)
{
    const IndexWrite index = write_ft1_index(path);
    console::write(index.written ? ft1_index_path(path) + ": written\n"
                                 : ft1_index_path(path) + ": " + index.error + "\n");
    return index.written;
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
        result.database.maps = contents.maps;
        result.database.records = contents.records;
        result.database.files = QStringList{path};
        result.database.loaded_cells = contents.cells;
        result.database.loaded_candidates = contents.candidates;
        if (contents.guard) {
            result.database.guards.append({0, contents.guard});
        }
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
    options.scales = request.scales;
    const std::optional<FineMaps> fine = fine_maps(request.fine);
    const SearchOutcome outcome =
        search_with_fallback(database, request.mode, [&](const Database &from) {
            return search_at_two_radii(request.settings, {pattern}, from.maps,
                                       with_indexes(options, from), fine ? &*fine : nullptr);
        });
    result.status = outcome.status;
    result.searched = outcome.status == SearchStatus::searched;
    PatternPick pick;
    pick.pattern_name = pattern.name;
    if (result.searched) {
        result.elapsed_ms = static_cast<int>(outcome.elapsed_ms);
        pick = outcome.picks.first();
    }
    result.answer = answer_of(request.mode, pick, QFileInfo(path).fileName(),
                              result.pattern_image.size(), request.settings);
    console::write("search2 = " + result.answer.picked_name + "\n");
    result.found_image_path = result.answer.found_image;
    result.label_text = "pattern found in db in " + QString::number(result.elapsed_ms) + " ms";
    return result;
}

MultiResult multi_search(const WindowSettings &settings, const Database &database,
                         const QString &directory, const SearchOptions &options,
                         const FineDatabase *fine_database)
{
    const std::optional<FineMaps> fine = fine_maps(fine_database);
    const MultiSearch search =
        search_with_fallback(database, options.mode, [&](const Database &from) {
            return ::multi_search(settings, from.maps, directory, with_indexes(options, from),
                                  fine ? &*fine : nullptr);
        });
    return multi_result(search, settings, options.mode);
}

QStringList unknown_base_names(const QList<Answer> &answers, const QList<Ft1Record> &records)
{
    QSet<QString> names;
    for (const Ft1Record &record : records) {
        names.insert(record.name);
    }
    QStringList unknown;
    for (const Answer &answer : answers) {
        if (!names.contains(answer.base_name) && !unknown.contains(answer.base_name)) {
            unknown << answer.base_name;
        }
    }
    return unknown;
}

bool accepted(const Answer &answer)
{
    return answer.verdict == Verdict::exact || answer.verdict == Verdict::found;
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
        done.unknown_names = unknown_base_names(done.search.answers, pass.records);
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
