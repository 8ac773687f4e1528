#include "cli/cli_commands.h"

#include "cli/outputs.h"
#include "cli/progress.h"
#include "cli/terminal.h"
#include "commands/commands.h"
#include "commands/settings_verdict.h"
#include "demo/synthetic_images.h"
#include "ft1/database_builder.h"
#include "ft1/database_file.h"
#include "ft1/database_stats.h"
#include "ft1/ft1_index.h"
#include "maps/image_file.h"
#include "report/html_report.h"
#include "report/sweep_plot.h"
#include "report/sweep_report.h"
#include "support/console.h"
#include "support/shard.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QJsonArray>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

void print_failure(const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", QCoreApplication::applicationName().toUtf8().constData(),
                 console::without_controls(text.toUtf8().toStdString()).c_str());
}

namespace {

commands::Progress progress_of(Progress &progress)
{
    return [&progress](int done, int total) { progress.update(done, total); };
}

SearchOptions search_progress(Progress &progress, const CliOptions &cli)
{
    SearchOptions options;
    options.progress = progress_of(progress);
    options.threads = cli.threads;
    options.scales = cli.scales;
    return options;
}

QString system_error(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}

void show_result(const std::optional<QString> &text)
{
    if (text) {
        show(*text + "\n");
    }
}

// An error the system writes among its informational lines, kept when they are left out.
void keep_when_quiet(const QString &text)
{
    if (quiet()) {
        show(text);
    }
}

bool settings_refused(const WindowSettings &settings)
{
    if (refuse_invalid(settings)) {
        keep_when_quiet(QString::fromStdString(settings.refusal()));
        return true;
    }
    return false;
}

// A database named as build names it, "holiday" for precomputed_databases/holiday.ft1, when no
// file of that name is here.
QString database_path(const QString &name)
{
    // A folder of the name is likely the images the database was built from.
    if (QFileInfo(name).isFile() || name.contains('/')) {
        return name;
    }
    const QString built = database_directory() + (name.endsWith(".ft1") ? name : name + ".ft1");
    return QFileInfo(built).isFile() ? built : name;
}

QStringList database_paths(const QStringList &names)
{
    QStringList paths;
    for (const QString &name : names) {
        paths << database_path(name);
    }
    return paths;
}

// The patterns whose base names are no database name: they cannot be found, which a success
// rate alone does not tell.
void warn_of_unknown_names(const QStringList &unknown, const QList<Answer> &answers)
{
    if (unknown.isEmpty()) {
        return;
    }
    const int patterns =
        static_cast<int>(std::count_if(answers.begin(), answers.end(), [&](const Answer &answer) {
            return unknown.contains(answer.base_name);
        }));
    const int shown = 3;
    QString names = QStringList(unknown.mid(0, shown)).join(", ");
    if (unknown.size() > shown) {
        names += ", ...";
    }
    print_failure(QString("warning: the base names of %1 of the %2 patterns are not names in the "
                          "database (%3); they cannot count as found: a pattern's base name, its "
                          "file name up to the first dot, must be the name of the database image "
                          "it was cut from (cat.crop.png from cat.png)")
                      .arg(patterns)
                      .arg(answers.size())
                      .arg(names));
}

int checked(const CliOptions &options, bool all_accepted, int status)
{
    return options.check && status == exit_ran && !all_accepted ? exit_not_accepted : status;
}

bool all_accepted(const QList<Answer> &answers)
{
    return std::all_of(answers.begin(), answers.end(), [](const Answer &answer) {
        return answer.found && commands::accepted(answer);
    });
}

bool folder_exists(const QString &directory)
{
    if (QFileInfo(directory).isDir()) {
        return true;
    }
    print_failure(QString("no folder %1").arg(directory));
    return false;
}

// The databases, opened as Open database opens each file in turn, each followed by the text
// the window would show. Nothing when a file does not open or holds no database.
std::optional<commands::Database> open_databases(const QStringList &files, QJsonArray &described)
{
    commands::Database database;
    for (const QString &file : files) {
        const commands::LoadResult loaded = commands::load(file);
        database.append(loaded.database);
        console::write(loaded.label_text + "\n");
        described.append(database_json(file, loaded));
        if (!loaded.opened) {
            print_failure(QString("%1: %2").arg(file, loaded.error));
            return std::nullopt;
        }
        if (loaded.not_a_database) {
            print_failure(QString("%1: not a .ft1 database (no complete record)").arg(file));
            return std::nullopt;
        }
    }
    return database;
}

QString mode_name(const CliOptions &options)
{
    return mode_text(options.mode);
}

SearchMode mode_of(const CliOptions &options)
{
    return options.mode;
}

QJsonObject settings_json(const WindowSettings &settings, const QString &source,
                          const CliOptions &options, const commands::FineDatabase *fine = nullptr)
{
    QJsonObject json{{"radius", settings.radius},
                     {"step_divisor", settings.step_divisor},
                     {"step", settings.step()},
                     {"radius_from", source},
                     {"mode", mode_name(options)}};
    if (fine) {
        json["fine"] = QJsonObject{{"database", fine->database.files.value(0)},
                                   {"radius", fine->settings.radius}};
    }
    return json;
}

QJsonArray answers_json(const QList<Answer> &answers)
{
    QJsonArray array;
    for (const Answer &answer : answers) {
        array.append(answer_json(answer));
    }
    return array;
}

QJsonObject search_json(const commands::MultiResult &result)
{
    int found = 0;
    for (const Answer &answer : result.answers) {
        found += answer.found ? 1 : 0;
    }
    return {{"timing", QJsonObject{{"search_ms", double(result.elapsed_ms)},
                                   {"ms_per_pattern", result.ms_per_pattern()}}},
            {"patterns", result.answers.size()},
            {"found", found},
            {"rate", double(result.rate)},
            {"results", answers_json(result.answers)}};
}

// Why a multi search had nothing to search, or an empty string.
QString pattern_problem(const QString &directory)
{
    if (!QFileInfo(directory).isDir()) {
        return QString("%1: %2").arg(directory, system_error(ENOENT));
    }
    return QString("%1: no readable pattern image").arg(directory);
}

// The build, ended by the line that sums it up.
bool build_one(commands::BuildRequest request)
{
    BuildSummary summary;
    request.summary = &summary;
    const bool written = commands::build(request);
    console::write(QString("%1: %2 images written, %3 skipped, radius %4, step divisor %5\n")
                       .arg(database_directory() + request.file_name)
                       .arg(summary.images)
                       .arg(summary.skipped)
                       .arg(request.settings.radius)
                       .arg(request.settings.step_divisor));
    return written;
}

int build_sweep(const QString &directory, int threads, bool index)
{
    if (!folder_exists(directory)) {
        return exit_unusable_input;
    }
    bool all_written = true;
    for (int radius : sweep_radii()) {
        Progress progress(QString("radius %1, images").arg(radius));
        console::write(QString("radius %1: %2\n").arg(radius).arg(sweep_database_path(radius)));
        commands::BuildRequest request;
        request.directory = directory;
        request.file_name = QFileInfo(sweep_database_path(radius)).fileName();
        request.settings = {radius, 1};
        request.threads = threads;
        request.progress = progress_of(progress);
        request.index = index;
        all_written &= build_one(request);
    }
    return all_written ? exit_ran : exit_unusable_input;
}

QString settings_summary(const WindowSettings &settings, SearchMode mode)
{
    return QString("radius %1, step divisor %2 (grid step %3 pixels), %4 search")
        .arg(settings.radius)
        .arg(settings.step_divisor)
        .arg(settings.step())
        .arg(mode_text(mode));
}

QString databases_summary(const commands::Database &database)
{
    return QString("%1 (%2 maps)").arg(database.files.join(", ")).arg(database.maps.size());
}

QString rate_summary(const QList<Answer> &answers)
{
    int found = 0;
    for (const Answer &answer : answers) {
        found += answer.found ? 1 : 0;
    }
    return QString("%1 of %2 patterns found (%3 %)")
        .arg(found)
        .arg(answers.size())
        .arg(answers.isEmpty() ? 0.0 : 100.0 * found / answers.size(), 0, 'g', 4);
}

// What search and multi start from: their databases opened in turn and the settings to search
// them with.
struct PreparedSearch {
    commands::Database database;
    QJsonArray databases; // each file, as the JSON document describes it
    WindowSettings settings;
    QString source; // where the settings came from: "option", "default" or "database"
    std::optional<commands::FineDatabase> fine; // --fine's
    const commands::FineDatabase *fine_database() const { return fine ? &*fine : nullptr; }
};

// Why the maps of `fine` are not those of the same images as `database`'s, or nothing.
std::optional<QString> differing_image(const commands::Database &fine,
                                       const commands::Database &database)
{
    if (fine.maps.size() != database.maps.size()) {
        return QString("%1 maps against %2").arg(fine.maps.size()).arg(database.maps.size());
    }
    QStringList names;
    QStringList theirs;
    for (int k = 0; k < fine.maps.size(); ++k) {
        names << fine.maps[k].name;
        theirs << database.maps[k].name;
    }
    names.sort();
    theirs.sort();
    for (int k = 0; k < names.size(); ++k) {
        if (names[k] != theirs[k]) {
            const QString only = names[k] < theirs[k] ? names[k] : theirs[k];
            return QString("%1 is in %2 only")
                .arg(console::printable(only), names[k] < theirs[k] ? "it" : "the databases");
        }
    }
    return std::nullopt;
}

// --fine's database, which must fit its radius (--fine-radius, else half the search's) and the
// search's step divisor, smaller than the search's; nothing after saying why not.
std::optional<commands::FineDatabase> prepare_fine(const CliOptions &options,
                                                   PreparedSearch &prepared)
{
    const QString &name = options.fine;
    if (sharded()) {
        print_failure("--fine: the processes of pictrace-mpi do not share that search; use "
                      "pictrace-cli");
        return std::nullopt;
    }
    const WindowSettings settings{options.fine_radius > 0 ? options.fine_radius
                                                          : prepared.settings.radius / 2,
                                  prepared.settings.step_divisor};
    if (!settings.valid()) {
        print_failure(QString("--fine %1: radius %2 with step divisor %3 gives no window step "
                              "(--fine-radius N gives another)")
                          .arg(name)
                          .arg(settings.radius)
                          .arg(settings.step_divisor));
        return std::nullopt;
    }
    if (settings.radius >= prepared.settings.radius) {
        print_failure(QString("--fine %1: radius %2 is not smaller than the search's %3")
                          .arg(name)
                          .arg(settings.radius)
                          .arg(prepared.settings.radius));
        return std::nullopt;
    }
    std::optional<commands::Database> database =
        open_databases(database_paths({name}), prepared.databases);
    if (!database) {
        return std::nullopt;
    }
    const commands::SettingsVerdict verdict =
        commands::settings_verdict(database->records, settings);
    if (!verdict.fits()) {
        QString text = QString("--fine %1: not built with radius %2, step divisor %3")
                           .arg(name)
                           .arg(settings.radius)
                           .arg(settings.step_divisor);
        if (!verdict.same_divisor.isEmpty()) {
            const int built = verdict.same_divisor.first().radius;
            text += built < prepared.settings.radius
                        ? QString(" (built with radius %1? use --fine-radius %1)").arg(built)
                        : QString(" (built with radius %1, not smaller than the search's %2?)")
                              .arg(built)
                              .arg(prepared.settings.radius);
        }
        print_failure(text);
        return std::nullopt;
    }
    // The answers found there name its images: they must be the databases' own.
    const std::optional<QString> differing = differing_image(*database, prepared.database);
    if (differing) {
        print_failure(QString("--fine %1 does not hold the images of the databases: %2")
                          .arg(name, *differing));
        return std::nullopt;
    }
    database->make_index(SearchMode::indexed);
    return commands::FineDatabase{settings, std::move(*database)};
}

// Nothing, after saying why, when the settings are not valid, a file does not open or holds no
// database, or no record fits the settings given.
std::optional<PreparedSearch> prepare_search(const CliOptions &options, const QStringList &files)
{
    if (settings_refused(options.settings)) {
        return std::nullopt;
    }
    PreparedSearch prepared;
    std::optional<commands::Database> database =
        open_databases(database_paths(files), prepared.databases);
    if (!database) {
        return std::nullopt;
    }
    prepared.database = std::move(*database);
    prepared.database.make_index(options.mode);
    const commands::SettingsChoice choice = commands::choose_settings(
        prepared.database.records, prepared.database.files, options.settings, options.radius_given);
    if (choice.message) {
        print_failure(*choice.message);
    }
    if (!choice.settings) {
        return std::nullopt;
    }
    prepared.settings = *choice.settings;
    prepared.source = choice.from_database   ? "database"
                      : options.radius_given ? "option"
                                             : "default";
    if (!options.fine.isEmpty()) {
        prepared.fine = prepare_fine(options, prepared);
        if (!prepared.fine) {
            return std::nullopt;
        }
    }
    return prepared;
}

// Monster compare's sweeps: one, or the literal and then the aligned one.
QList<NamedSweep> run_sweeps(const CliOptions &options)
{
    QList<SearchMode> modes{mode_of(options)};
    if (options.both) {
        modes = {SearchMode::literal, SearchMode::aligned};
    }
    QList<NamedSweep> sweeps;
    for (SearchMode mode : modes) {
        Progress progress(mode == SearchMode::aligned && options.both ? "aligned, patterns"
                                                                      : "patterns");
        SearchOptions search = search_progress(progress, options);
        search.mode = mode;
        sweeps.append({mode_text(mode), commands::radius_sweep(patterns_directory(), search,
                                                               [](const QString &warning) {
                                                                   print_failure(warning);
                                                               })});
        show_result(sweeps.last().result.label_text);
    }
    return sweeps;
}

// Why a sweep searched nothing, or an empty string.
QString sweep_problem(const commands::SweepResult &sweep)
{
    bool any_opened = false;
    bool any_pattern = false;
    for (const commands::SweepPassResult &pass : sweep.passes) {
        any_opened |= pass.opened;
        any_pattern |= !pass.search.answers.isEmpty();
    }
    if (!any_opened) {
        return QString("%1: none of the sweep databases %2 to %3 opened")
            .arg(QFileInfo(sweep_database_path(20)).path(),
                 QFileInfo(sweep_database_path(sweep_radii().first())).fileName(),
                 QFileInfo(sweep_database_path(sweep_radii().last())).fileName());
    }
    return any_pattern ? QString() : pattern_problem(patterns_directory());
}

QString sizes_text(const SizeRange &sizes)
{
    return sizes.empty() ? QString("-")
                         : QString("%1 x %2 to %3 x %4")
                               .arg(sizes.least.width())
                               .arg(sizes.least.height())
                               .arg(sizes.most.width())
                               .arg(sizes.most.height());
}

// What info prints of one database.
QString info_text(const QString &path, const Ft1Contents &contents)
{
    const DatabaseStats stats = database_stats(contents.records);
    QStringList duplicates;
    for (const auto &name : stats.duplicates) {
        duplicates << QString("%1 (%2 records)").arg(name.first).arg(name.second);
    }
    duplicates.sort(); // in the order of the text shown
    QString text = path + "\n";
    text += QString("  records          %1: %2 with a map, %3 without cells, %4 incomplete\n")
                .arg(stats.records)
                .arg(stats.with_map)
                .arg(stats.without_cells)
                .arg(stats.incomplete);
    text += QString("  image sizes      %1\n").arg(sizes_text(stats.image_sizes));
    text += QString("  map sizes        %1\n").arg(sizes_text(stats.map_sizes));
    text += QString("  built with       %1\n")
                .arg(stats.built_with.isEmpty() ? QString("no single setting fits every record")
                                                : settings_text(stats.built_with));
    text += QString("  duplicate names  %1\n")
                .arg(duplicates.isEmpty() ? QString("none") : duplicates.join(", "));
    text += QString("  binary index     %1\n")
                .arg(contents.from_index             ? ft1_index_path(path) + " (read)"
                     : contents.index_note.isEmpty() ? QString("none")
                                                     : contents.index_note);
    text += QString("  malformed lines  %1\n").arg(contents.problem_count);
    for (int k = 0; k < contents.problems.size() && k < 5; ++k) {
        text += "    " + contents.problems[k] + "\n";
    }
    return text;
}

} // namespace

int run_build(const CliOptions &options, const QStringList &args)
{
    if (settings_refused(options.settings) || !folder_exists(args[0])) {
        return exit_unusable_input;
    }
    // The suffix is added to the name: one typed with it is not given another.
    QString name = args[1];
    if (name.endsWith(".ft1")) {
        name.chop(4);
    }
    const std::optional<QString> file_name = commands::database_file_name(name, true);
    if (!file_name) {
        console::write("\n");
        keep_when_quiet("name is not valid\n");
        return exit_unusable_input;
    }
    Progress progress("images");
    commands::BuildRequest request;
    request.directory = args[0];
    request.file_name = *file_name;
    request.settings = options.settings;
    request.threads = options.threads;
    request.progress = progress_of(progress);
    request.index = options.index;
    return build_one(request) ? exit_ran : exit_unusable_input;
}

int run_build_sweep(const CliOptions &options, const QStringList &args)
{
    return build_sweep(args[0], options.threads, options.index);
}

int run_search(const CliOptions &options, const QStringList &args)
{
    // A pattern that cannot be read is told before the databases are loaded.
    const ImageRead pattern = read_image_file(args[0]);
    if (pattern.image.isNull()) {
        print_failure(QString("%1: %2").arg(args[0], pattern.problem));
        return exit_unusable_input;
    }
    const std::optional<PreparedSearch> prepared = prepare_search(options, args.mid(1));
    if (!prepared) {
        return exit_unusable_input;
    }
    Outputs outputs(QString(), options.json);
    commands::SearchRequest request;
    request.pattern_path = args[0];
    request.settings = prepared->settings;
    request.mode = mode_of(options);
    request.threads = options.threads;
    request.scales = options.scales;
    request.fine = prepared->fine_database();
    const commands::SearchResult result = commands::search(request, prepared->database);
    show_result(result.label_text);
    if (!result.pattern_loaded) {
        print_failure(QString("%1: %2").arg(args[0], result.pattern_problem));
        return exit_unusable_input;
    }
    if (!result.searched) {
        print_failure("the databases hold no map to search in");
        return exit_unusable_input;
    }
    show(answer_block(result.answer));
    if (!options.html.isEmpty()) {
        HtmlReport page;
        page.title = "Search: " + QFileInfo(args[0]).fileName();
        page.summary = {{"settings", settings_summary(request.settings, request.mode)},
                        {"databases", databases_summary(prepared->database)},
                        {"pattern", args[0]},
                        {"time", QString("%1 ms").arg(result.elapsed_ms)}};
        page.rows_caption = "The pattern";
        page.rows = {ReportRow{result.answer, args[0], {}}};
        outputs.add_file(options.html, html_report(page));
    }
    outputs.json() = {{"command", "search"},
                      {"version", QCoreApplication::applicationVersion()},
                      {"settings", settings_json(request.settings, prepared->source, options,
                                                 prepared->fine_database())},
                      {"databases", prepared->databases},
                      {"timing", QJsonObject{{"search_ms", result.elapsed_ms}}},
                      {"results", QJsonArray{answer_json(result.answer)}}};
    return checked(options, commands::accepted(result.answer),
                   outputs.write() ? exit_ran : exit_unusable_input);
}

int run_multi(const CliOptions &options, const QStringList &args)
{
    if (!QFileInfo(patterns_directory()).isDir()) {
        print_failure(pattern_problem(patterns_directory()));
        return exit_unusable_input;
    }
    const std::optional<PreparedSearch> prepared = prepare_search(options, args);
    if (!prepared) {
        return exit_unusable_input;
    }
    Outputs outputs(options.report, options.json);
    const WindowSettings &settings = prepared->settings;
    Progress progress("patterns");
    SearchOptions search = search_progress(progress, options);
    search.mode = mode_of(options);
    const commands::MultiResult result = commands::multi_search(
        settings, prepared->database, patterns_directory(), search, prepared->fine_database());
    show_result(result.label_text);
    if (!result.searched) {
        print_failure("the databases hold no map to search in");
        return exit_unusable_input;
    }
    if (result.answers.isEmpty()) {
        print_failure(pattern_problem(patterns_directory()));
        return exit_unusable_input;
    }
    warn_of_unknown_names(commands::unknown_base_names(result.answers, prepared->database.records),
                          result.answers);
    outputs.add_report(report_rows(settings.radius, result.answers));
    if (!options.html.isEmpty()) {
        HtmlReport page;
        page.title = "Multi search: " + QDir::current().dirName();
        page.summary = {
            {"settings", settings_summary(settings, search.mode)},
            {"databases", databases_summary(prepared->database)},
            {"patterns", QDir::current().dirName() + "/" + patterns_directory()},
            {"rate", rate_summary(result.answers)},
            {"time", QString("%1 ms per pattern").arg(result.ms_per_pattern(), 0, 'g', 4)}};
        page.rows_caption = "Patterns, failures first";
        page.rows = failures_first_rows(result.answers, patterns_directory());
        outputs.add_file(options.html, html_report(page));
    }
    QJsonObject json = search_json(result);
    json["command"] = "multi";
    json["version"] = QCoreApplication::applicationVersion();
    json["settings"] =
        settings_json(settings, prepared->source, options, prepared->fine_database());
    json["databases"] = prepared->databases;
    outputs.json() = json;
    return checked(options, all_accepted(result.answers),
                   outputs.write() ? exit_ran : exit_unusable_input);
}

int run_monster(const CliOptions &options, const QStringList &)
{
    Outputs outputs(options.report, options.json);
    const QList<NamedSweep> sweeps = run_sweeps(options);
    const commands::SweepResult &result = sweeps.last().result;
    QJsonArray passes;
    for (const commands::SweepPassResult &pass : result.passes) {
        outputs.add_report(report_rows(pass.radius, pass.search.answers));
        QJsonObject json = search_json(pass.search);
        json["radius"] = pass.radius;
        json["database"] = pass.database_path;
        json["opened"] = pass.opened;
        passes.append(json);
    }
    const QString problem = sweep_problem(result);
    if (!problem.isEmpty()) {
        print_failure(problem);
        return exit_unusable_input;
    }
    // Of the last pass that searched: each pass reads its own database.
    bool any_pass_accepted = false;
    const commands::SweepPassResult *last = nullptr;
    for (const NamedSweep &sweep : sweeps) {
        for (const commands::SweepPassResult &pass : sweep.result.passes) {
            if (pass.opened && !pass.search.answers.isEmpty()) {
                any_pass_accepted |= all_accepted(pass.search.answers);
                last = &pass;
            }
        }
    }
    warn_of_unknown_names(last->unknown_names, last->search.answers);
    const QString workspace = QDir::current().dirName();
    QByteArray plot;
    if (!options.plot.isEmpty() || !options.html.isEmpty()) {
        plot = sweep_plot_svg(sweep_series(sweeps), "Monster compare: " + workspace);
    }
    if (!options.plot.isEmpty()) {
        outputs.add_file(options.plot, plot);
    }
    if (!options.html.isEmpty()) {
        outputs.add_file(options.html, html_report(sweep_report(sweeps, workspace, plot)));
    }
    outputs.json() = {{"command", "monster"},
                      {"version", QCoreApplication::applicationVersion()},
                      {"settings", QJsonObject{{"step_divisor", 1}, {"mode", mode_name(options)}}},
                      {"passes", passes}};
    return checked(options, any_pass_accepted, outputs.write() ? exit_ran : exit_unusable_input);
}

int run_info(const CliOptions &, const QStringList &args)
{
    int status = exit_ran;
    for (const QString &path : args) {
        LoadOptions load;
        load.check_index_data = true; // info reads the whole index
        const Ft1Contents contents = read_ft1(path, load);
        if (!contents.opened) {
            print_failure(QString("%1: %2").arg(path, contents.error));
            status = exit_unusable_input;
            continue;
        }
        show(info_text(path, contents));
        if (contents.not_a_database()) {
            print_failure(QString("%1: not a .ft1 database (no complete record)").arg(path));
            status = exit_unusable_input;
        }
    }
    return status;
}

int run_index(const CliOptions &, const QStringList &args)
{
    int status = exit_ran;
    for (const QString &path : args) {
        const IndexWrite index = write_ft1_index(path);
        if (!index.written) {
            print_failure(QString("%1: %2").arg(path, index.error));
            status = exit_unusable_input;
            continue;
        }
        show(QString("%1: written\n").arg(ft1_index_path(path)));
    }
    return status;
}

int run_make_demo(const CliOptions &options, const QStringList &args)
{
    DemoWorkspace demo;
    if (args.size() == 2) {
        bool ok = false;
        demo.images = args[1].toInt(&ok, 10);
        if (!ok || demo.images < 1) {
            throw UsageError(QString("make-demo needs a number of images of at least 1, not \"%1\"")
                                 .arg(args[1]));
        }
    }
    const QString &directory = args[0];
    if (!options.force && !QDir(directory).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        throw UsageError(
            QString("make-demo: %1 already holds files (--force writes into it)").arg(directory));
    }
    errno = 0;
    if (!QDir().mkpath(directory) || !QDir::setCurrent(directory)) {
        print_failure(QString("cannot make the folder %1\n%1: %2")
                          .arg(directory, system_error(errno ? errno : ENOTDIR)));
        return exit_unusable_input;
    }
    const QString error = write_demo_images(".", demo);
    if (!error.isEmpty()) {
        print_failure(error);
        return exit_unusable_input;
    }
    return build_sweep("database", options.threads, options.index);
}
