#include "commands/commands.h"

#include "ft1/database_builder.h"
#include "ft1/ft1_reader.h"
#include "maps/grey_map.h"
#include "search/database_search.h"
#include "support/console.h"

#include <QFileInfo>

namespace commands {

namespace {

QList<PatternResult> pattern_results(const QStringList &files, const SearchOutcome &outcome)
{
    QList<PatternResult> results;
    for (int k = 0; k < outcome.picks.size(); ++k) {
        const PatternPick &pick = outcome.picks[k];
        results.append(
            {k < files.size() ? files[k] : QString(), pick.pattern_name, pick.best, pick.found});
    }
    return results;
}

MultiResult multi_result(const MultiSearch &search)
{
    MultiResult result;
    result.refused = search.refused;
    if (search.refused) {
        return result;
    }
    result.rate = search.outcome.rate;
    result.elapsed_ms = search.outcome.elapsed_ms;
    result.patterns = pattern_results(search.files, search.outcome);
    result.label_text = success_rate_text(search.outcome.rate);
    return result;
}

} // namespace

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
    load_database(path, result.maps, result.label_text, options);
    result.opened = !result.label_text.isEmpty();
    console::write("Database readed\n");
    return result;
}

SearchResult search(const SearchRequest &request, const QList<FeatureMap> &database)
{
    SearchResult result;
    const QString &path = request.pattern_path;
    result.pattern_image = path.isEmpty() ? QImage() : QImage(path);
    if (result.pattern_image.isNull()) {
        console::write("not supported image file\n");
        return result;
    }
    result.pattern_loaded = true;
    FeatureMap pattern = grey_map_from_loaded_image(result.pattern_image);
    pattern.name = QFileInfo(path).baseName();

    SearchOptions options;
    options.threads = request.threads;
    const SearchOutcome outcome = search_patterns(request.settings, {pattern}, database, options);
    const bool searched = outcome.status == SearchStatus::searched;
    if (searched) {
        result.elapsed_ms = static_cast<int>(outcome.elapsed_ms);
        result.pattern = pattern_results({QFileInfo(path).fileName()}, outcome).first();
    } else {
        result.pattern.file = QFileInfo(path).fileName();
        result.pattern.base_name = pattern.name;
    }
    const QString picked = searched ? result.pattern.picked_name() : QString();
    console::write("search2 = " + picked + "\n");
    result.found_image_path = "database/" + picked + "." + QFileInfo(path).suffix();
    result.label_text = "pattern found in db in " + QString::number(result.elapsed_ms) + " ms";
    return result;
}

MultiResult multi_search(const WindowSettings &settings, const QList<FeatureMap> &database,
                         const QString &directory, const SearchOptions &options)
{
    return multi_result(::multi_search(settings, database, directory, options));
}

SweepResult radius_sweep(const QString &directory, const SearchOptions &options)
{
    SweepResult result;
    SweepOptions sweep;
    sweep.search = options;
    for (const SweepPass &pass : ::radius_sweep(directory, sweep)) {
        result.passes.append({pass.radius, multi_result(pass.search)});
        result.label_text = success_rate_text(pass.search.outcome.rate);
    }
    return result;
}

} // namespace commands
