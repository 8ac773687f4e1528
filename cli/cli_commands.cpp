#include "cli/cli_commands.h"

#include "cli/outputs.h"
#include "cli/progress.h"
#include "commands/commands.h"
#include "demo/synthetic_images.h"
#include "ft1/ft1_index.h"
#include "ft1/settings_fit.h"
#include "report/html_report.h"
#include "report/sweep_plot.h"
#include "support/console.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QJsonArray>

#include <cerrno>
#include <cstdio>
#include <cstring>

void print_failure(const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", QCoreApplication::applicationName().toUtf8().constData(),
                 text.toUtf8().constData());
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
    return options;
}

QString system_error(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}

void show_result(const std::optional<QString> &text)
{
    if (text) {
        console::write(*text + "\n");
    }
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

QString settings_words(const WindowSettings &settings)
{
    return QString("radius %1, step divisor %2").arg(settings.radius).arg(settings.step_divisor);
}

QString option_words(const WindowSettings &settings)
{
    return settings.step_divisor == 1
               ? QString("-r %1").arg(settings.radius)
               : QString("-r %1 -c %2").arg(settings.radius).arg(settings.step_divisor);
}

// The settings to search with: those given when they fit the databases' records; those of the
// databases when the radius was not given and exactly one setting fits; none (after saying
// why) when no record fits the settings given.
std::optional<WindowSettings> settings_for(const CliOptions &options,
                                           const commands::Database &database, QString &source)
{
    source = options.radius_given ? "option" : "default";
    const SettingsFit fit = settings_fit(database.records, options.settings);
    if (!fit.known() || fit.fits_all()) {
        return options.settings;
    }
    const QString files = database.files.join(", ");
    // The radius is taken from the database for the step divisor in use only: the window
    // always builds with 1, and other divisors fit by chance.
    const QList<WindowSettings> same_divisor =
        fitting_settings(database.records, options.settings.step_divisor);
    if (!options.radius_given && same_divisor.size() == 1) {
        print_failure(QString("%1: built with %2: searching with %3")
                          .arg(files, settings_words(same_divisor.first()),
                               option_words(same_divisor.first())));
        source = "database";
        return same_divisor.first();
    }
    if (!fit.fits_none()) {
        print_failure(QString("%1: %2 of the %3 records were not built with %4")
                          .arg(files)
                          .arg(fit.informative - fit.fitting)
                          .arg(fit.informative)
                          .arg(settings_words(options.settings)));
        return options.settings;
    }
    const QList<WindowSettings> fitting =
        same_divisor.isEmpty() ? fitting_settings(database.records) : same_divisor;
    QString text = QString("%1: not built with %2").arg(files, settings_words(options.settings));
    if (!fitting.isEmpty()) {
        text += QString(" (built with %1? use %2)")
                    .arg(settings_text(fitting), option_words(fitting.first()));
    }
    print_failure(text);
    return std::nullopt;
}

QString mode_name(const CliOptions &options)
{
    return options.aligned ? "aligned" : "literal";
}

SearchMode mode_of(const CliOptions &options)
{
    return options.aligned ? SearchMode::aligned : SearchMode::literal;
}

QJsonObject settings_json(const WindowSettings &settings, const QString &source,
                          const CliOptions &options)
{
    return {{"radius", settings.radius},
            {"step_divisor", settings.step_divisor},
            {"step", settings.step()},
            {"radius_from", source},
            {"mode", mode_name(options)}};
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

int build_sweep(const QString &directory, int threads)
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
        all_written &= commands::build(request);
    }
    return all_written ? exit_ran : exit_unusable_input;
}

QString settings_summary(const WindowSettings &settings, SearchMode mode)
{
    return QString("radius %1, step divisor %2 (grid step %3 pixels), %4 search")
        .arg(settings.radius)
        .arg(settings.step_divisor)
        .arg(settings.step())
        .arg(mode == SearchMode::aligned ? "aligned" : "literal");
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

QList<ReportRow> report_rows_of(const QList<Answer> &answers, const QString &folder)
{
    QList<ReportRow> rows;
    for (const Answer &answer : answers) {
        rows.append({answer, folder + "/" + answer.file, {}});
    }
    sort_failures_first(rows);
    return rows;
}

SweepSeries series_of(const QString &name, const commands::SweepResult &sweep)
{
    SweepSeries series;
    series.name = name;
    for (const commands::SweepPassResult &pass : sweep.passes) {
        if (pass.opened && !pass.search.answers.isEmpty()) {
            series.points.append(
                {pass.radius, double(pass.search.rate), pass.search.ms_per_pattern()});
        }
    }
    return series;
}

} // namespace

int run_build(const CliOptions &options, const QStringList &args)
{
    if (refuse_invalid(options.settings) || !folder_exists(args[0])) {
        return exit_unusable_input;
    }
    const std::optional<QString> file_name = commands::database_file_name(args[1], true);
    if (!file_name) {
        console::write("\n");
        return exit_unusable_input;
    }
    Progress progress("images");
    commands::BuildRequest request;
    request.directory = args[0];
    request.file_name = *file_name;
    request.settings = options.settings;
    request.threads = options.threads;
    request.progress = progress_of(progress);
    return commands::build(request) ? exit_ran : exit_unusable_input;
}

int run_build_sweep(const CliOptions &options, const QStringList &args)
{
    return build_sweep(args[0], options.threads);
}

int run_search(const CliOptions &options, const QStringList &args)
{
    if (refuse_invalid(options.settings)) {
        return exit_unusable_input;
    }
    Outputs outputs(QString(), options.json);
    QJsonArray databases;
    std::optional<commands::Database> database = open_databases(args.mid(1), databases);
    if (!database) {
        return exit_unusable_input;
    }
    if (options.aligned) {
        database->make_index();
    }
    QString source;
    const std::optional<WindowSettings> settings = settings_for(options, *database, source);
    if (!settings) {
        return exit_unusable_input;
    }
    commands::SearchRequest request;
    request.pattern_path = args[0];
    request.settings = *settings;
    request.mode = mode_of(options);
    request.threads = options.threads;
    const commands::SearchResult result = commands::search(request, *database);
    show_result(result.label_text);
    if (!result.pattern_loaded) {
        print_failure(QString("%1: %2").arg(args[0], result.pattern_problem));
        return exit_unusable_input;
    }
    if (!result.searched) {
        print_failure("the databases hold no map to search in");
        return exit_unusable_input;
    }
    console::write(answer_block(result.answer));
    if (!options.html.isEmpty()) {
        HtmlReport page;
        page.title = "Search: " + QFileInfo(args[0]).fileName();
        page.summary = {{"settings", settings_summary(*settings, request.mode)},
                        {"databases", databases_summary(*database)},
                        {"pattern", args[0]},
                        {"time", QString("%1 ms").arg(result.elapsed_ms)}};
        page.rows_caption = "The pattern";
        page.rows = {ReportRow{result.answer, args[0], {}}};
        outputs.add_file(options.html, html_report(page));
    }
    outputs.json() = {{"command", "search"},
                      {"version", QCoreApplication::applicationVersion()},
                      {"settings", settings_json(*settings, source, options)},
                      {"databases", databases},
                      {"timing", QJsonObject{{"search_ms", result.elapsed_ms}}},
                      {"results", QJsonArray{answer_json(result.answer)}}};
    return outputs.write() ? exit_ran : exit_unusable_input;
}

int run_multi(const CliOptions &options, const QStringList &args)
{
    if (refuse_invalid(options.settings)) {
        return exit_unusable_input;
    }
    Outputs outputs(options.report, options.json);
    QJsonArray databases;
    std::optional<commands::Database> database = open_databases(args, databases);
    if (!database) {
        return exit_unusable_input;
    }
    if (options.aligned) {
        database->make_index();
    }
    QString source;
    const std::optional<WindowSettings> settings = settings_for(options, *database, source);
    if (!settings) {
        return exit_unusable_input;
    }
    Progress progress("patterns");
    SearchOptions search = search_progress(progress, options);
    search.mode = mode_of(options);
    const commands::MultiResult result =
        commands::multi_search(*settings, *database, patterns_directory(), search);
    show_result(result.label_text);
    if (!result.searched) {
        print_failure("the databases hold no map to search in");
        return exit_unusable_input;
    }
    if (result.answers.isEmpty()) {
        print_failure(pattern_problem(patterns_directory()));
        return exit_unusable_input;
    }
    outputs.add_report(report_rows(settings->radius, result.answers));
    if (!options.html.isEmpty()) {
        HtmlReport page;
        page.title = "Multi search: " + QDir::current().dirName();
        page.summary = {
            {"settings", settings_summary(*settings, search.mode)},
            {"databases", databases_summary(*database)},
            {"patterns", QDir::current().dirName() + "/" + patterns_directory()},
            {"rate", rate_summary(result.answers)},
            {"time", QString("%1 ms per pattern").arg(result.ms_per_pattern(), 0, 'g', 4)}};
        page.rows_caption = "Patterns, failures first";
        page.rows = report_rows_of(result.answers, patterns_directory());
        outputs.add_file(options.html, html_report(page));
    }
    QJsonObject json = search_json(result);
    json["command"] = "multi";
    json["version"] = QCoreApplication::applicationVersion();
    json["settings"] = settings_json(*settings, source, options);
    json["databases"] = databases;
    outputs.json() = json;
    return outputs.write() ? exit_ran : exit_unusable_input;
}

int run_monster(const CliOptions &options, const QStringList &)
{
    Outputs outputs(options.report, options.json);
    // One sweep, or the literal and then the aligned one.
    QList<SearchMode> modes{mode_of(options)};
    if (options.both) {
        modes = {SearchMode::literal, SearchMode::aligned};
    }
    QList<commands::SweepResult> sweeps;
    for (SearchMode mode : modes) {
        Progress progress(mode == SearchMode::aligned && options.both ? "aligned, patterns"
                                                                      : "patterns");
        SearchOptions search = search_progress(progress, options);
        search.mode = mode;
        sweeps.append(commands::radius_sweep(
            patterns_directory(), search, [](const QString &warning) { print_failure(warning); }));
        show_result(sweeps.last().label_text);
    }
    const commands::SweepResult &result = sweeps.last();
    QJsonArray passes;
    bool any_opened = false;
    bool any_pattern = false;
    for (const commands::SweepPassResult &pass : result.passes) {
        any_opened |= pass.opened;
        any_pattern |= !pass.search.answers.isEmpty();
        outputs.add_report(report_rows(pass.radius, pass.search.answers));
        QJsonObject json = search_json(pass.search);
        json["radius"] = pass.radius;
        json["database"] = pass.database_path;
        json["opened"] = pass.opened;
        passes.append(json);
    }
    if (!any_opened) {
        print_failure(QString("%1: none of the sweep databases %2 to %3 opened")
                          .arg(QFileInfo(sweep_database_path(20)).path(),
                               QFileInfo(sweep_database_path(sweep_radii().first())).fileName(),
                               QFileInfo(sweep_database_path(sweep_radii().last())).fileName()));
        return exit_unusable_input;
    }
    if (!any_pattern) {
        print_failure(pattern_problem(patterns_directory()));
        return exit_unusable_input;
    }
    QList<SweepSeries> series;
    for (int k = 0; k < sweeps.size(); ++k) {
        series.append(
            series_of(modes[k] == SearchMode::aligned ? "aligned" : "literal", sweeps[k]));
    }
    const QString workspace = QDir::current().dirName();
    QByteArray plot;
    if (!options.plot.isEmpty() || !options.html.isEmpty()) {
        plot = sweep_plot_svg(series, "Monster compare: " + workspace);
    }
    if (!options.plot.isEmpty()) {
        outputs.add_file(options.plot, plot);
    }
    if (!options.html.isEmpty()) {
        // The rows: the last pass that ran, with each pattern's result at every radius.
        const commands::SweepPassResult *last = nullptr;
        for (const commands::SweepPassResult &pass : result.passes) {
            if (pass.opened && !pass.search.answers.isEmpty()) {
                last = &pass;
            }
        }
        HtmlReport page;
        page.title = "Monster compare: " + workspace;
        page.summary = {
            {"settings", QString("radius 20 to 150, step divisor 1, %1 search")
                             .arg(options.both ? "literal and aligned" : mode_name(options))},
            {"databases", QFileInfo(sweep_database_path(20)).path() + "/db3_ft1_N.ft1"},
            {"patterns", QDir::current().dirName() + "/" + patterns_directory()}};
        // Rate and time per pattern by radius, one pair of columns per search.
        page.table_header << "radius";
        for (const SweepSeries &s : series) {
            page.table_header << s.name + " found (%)" << s.name + " ms per pattern";
        }
        for (int radius : sweep_radii()) {
            QStringList row{QString::number(radius)};
            bool any = false;
            for (const SweepSeries &s : series) {
                QString rate = "-";
                QString time = "-";
                for (const SweepPoint &point : s.points) {
                    if (point.radius == radius) {
                        rate = QString::number(point.rate, 'f', 1);
                        time = QString::number(point.ms_per_pattern, 'f', 2);
                        any = true;
                    }
                }
                row << rate << time;
            }
            if (any) {
                page.table_rows << row;
            }
        }
        page.plot_svg = plot;
        page.rows_caption =
            QString("Patterns at radius %1 (%2 search), failures first; under each, the radii "
                    "it was found at")
                .arg(last->radius)
                .arg(modes.last() == SearchMode::aligned ? "aligned" : "literal");
        QList<Answer> answers = last->search.answers;
        page.rows = report_rows_of(answers, patterns_directory());
        for (ReportRow &row : page.rows) {
            for (const commands::SweepPassResult &pass : result.passes) {
                for (const Answer &answer : pass.search.answers) {
                    if (answer.file == row.answer.file) {
                        row.passes.append({pass.radius, answer.found});
                    }
                }
            }
        }
        outputs.add_file(options.html, html_report(page));
    }
    outputs.json() = {{"command", "monster"},
                      {"version", QCoreApplication::applicationVersion()},
                      {"settings", QJsonObject{{"step_divisor", 1}, {"mode", mode_name(options)}}},
                      {"passes", passes}};
    return outputs.write() ? exit_ran : exit_unusable_input;
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
        int with_map = 0;
        int without_cells = 0;
        QSize least_image(INT_MAX, INT_MAX), most_image(0, 0);
        QSize least_map(INT_MAX, INT_MAX), most_map(0, 0);
        QHash<QString, int> count_of_name;
        for (const Ft1Record &record : contents.records) {
            const bool cells = record.map_width > 0 && record.map_height > 0;
            with_map += cells && record.complete ? 1 : 0;
            without_cells += cells ? 0 : 1;
            ++count_of_name[record.name];
            if (record.image_width >= 0 && record.image_height >= 0) {
                const QSize image(record.image_width, record.image_height);
                least_image = least_image.boundedTo(image);
                most_image = most_image.expandedTo(image);
            }
            const QSize map(record.map_width, record.map_height);
            least_map = least_map.boundedTo(map);
            most_map = most_map.expandedTo(map);
        }
        QStringList duplicates;
        for (auto name = count_of_name.cbegin(); name != count_of_name.cend(); ++name) {
            if (name.value() > 1) {
                duplicates << QString("%1 (%2 records)").arg(name.key()).arg(name.value());
            }
        }
        duplicates.sort();
        auto sizes = [](QSize least, QSize most) {
            return least.width() == INT_MAX ? QString("-")
                                            : QString("%1 x %2 to %3 x %4")
                                                  .arg(least.width())
                                                  .arg(least.height())
                                                  .arg(most.width())
                                                  .arg(most.height());
        };
        // Settings of step divisor 1, as the window builds, when any fit.
        const QList<WindowSettings> fitting =
            fitting_settings_like(contents.records, WindowSettings{1, 1});
        const int incomplete = contents.records.size() - contents.complete_records();
        QString text = path + "\n";
        text += QString("  records          %1: %2 with a map, %3 without cells, %4 incomplete\n")
                    .arg(contents.records.size())
                    .arg(with_map)
                    .arg(without_cells)
                    .arg(incomplete);
        text += QString("  image sizes      %1\n").arg(sizes(least_image, most_image));
        text += QString("  map sizes        %1\n").arg(sizes(least_map, most_map));
        text += QString("  built with       %1\n")
                    .arg(fitting.isEmpty() ? QString("no single setting fits every record")
                                           : settings_text(fitting));
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
        console::write(text);
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
        QString error;
        if (!write_ft1_index(path, &error)) {
            print_failure(QString("%1: %2").arg(path, error));
            status = exit_unusable_input;
            continue;
        }
        console::write(QString("%1: written\n").arg(ft1_index_path(path)));
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
    if (!QDir().mkpath(directory) || !QDir::setCurrent(directory)) {
        print_failure(QString("cannot make the folder %1").arg(directory));
        return exit_unusable_input;
    }
    const QString error = write_demo_images(".", demo);
    if (!error.isEmpty()) {
        print_failure(error);
        return exit_unusable_input;
    }
    return build_sweep("database", options.threads);
}
