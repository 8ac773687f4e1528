#include "cli/cli_commands.h"

#include "cli/progress.h"
#include "cli/report.h"
#include "commands/commands.h"
#include "demo/synthetic_images.h"
#include "support/console.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

void print_failure(const QString &text)
{
    std::fprintf(stderr, "pictrace-cli: %s\n", text.toUtf8().constData());
}

namespace {

commands::Progress progress_of(Progress &progress)
{
    return [&progress](int done, int total) { progress.update(done, total); };
}

SearchOptions search_progress(Progress &progress)
{
    SearchOptions options;
    options.progress = progress_of(progress);
    return options;
}

// As Open database does for each file in turn, then the text the window would show. False at
// the first file that does not open.
bool open_databases(const QStringList &files, QList<FeatureMap> &database)
{
    for (const QString &file : files) {
        const commands::LoadResult loaded = commands::load(file);
        database.append(loaded.maps);
        console::write(loaded.label_text + "\n");
        if (!loaded.opened) {
            return false;
        }
    }
    return true;
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

int build_sweep(const QString &directory)
{
    if (!folder_exists(directory)) {
        return exit_unusable_input;
    }
    bool all_written = true;
    for (int radius : sweep_radii()) {
        Progress progress(QString("radius %1, images").arg(radius));
        commands::BuildRequest request;
        request.directory = directory;
        request.file_name = QFileInfo(sweep_database_path(radius)).fileName();
        request.settings = {radius, 1};
        request.progress = progress_of(progress);
        all_written &= commands::build(request);
    }
    return all_written ? exit_ran : exit_unusable_input;
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
    request.progress = progress_of(progress);
    return commands::build(request) ? exit_ran : exit_unusable_input;
}

int run_build_sweep(const CliOptions &, const QStringList &args)
{
    return build_sweep(args[0]);
}

int run_search(const CliOptions &options, const QStringList &args)
{
    if (refuse_invalid(options.settings)) {
        return exit_unusable_input;
    }
    QList<FeatureMap> database;
    if (!open_databases(args.mid(1), database)) {
        return exit_unusable_input;
    }
    commands::SearchRequest request;
    request.pattern_path = args[0];
    request.settings = options.settings;
    const commands::SearchResult result = commands::search(request, database);
    show_result(result.label_text);
    return result.pattern_loaded ? exit_ran : exit_unusable_input;
}

int run_multi(const CliOptions &options, const QStringList &args)
{
    Report report;
    if (!report.open(options.report)) {
        print_failure(QString("cannot write the report %1").arg(options.report));
        return exit_unusable_input;
    }
    if (refuse_invalid(options.settings)) {
        return exit_unusable_input;
    }
    QList<FeatureMap> database;
    if (!open_databases(args, database)) {
        return exit_unusable_input;
    }
    Progress progress("patterns");
    const commands::MultiResult result = commands::multi_search(
        options.settings, database, patterns_directory(), search_progress(progress));
    report.add(options.settings.radius, result);
    show_result(result.label_text);
    return exit_ran;
}

int run_monster(const CliOptions &options, const QStringList &)
{
    Report report;
    if (!report.open(options.report)) {
        print_failure(QString("cannot write the report %1").arg(options.report));
        return exit_unusable_input;
    }
    Progress progress("patterns");
    const commands::SweepResult result =
        commands::radius_sweep(patterns_directory(), search_progress(progress));
    for (const commands::SweepPassResult &pass : result.passes) {
        report.add(pass.radius, pass.search);
    }
    show_result(result.label_text);
    return exit_ran;
}

int run_make_demo(const CliOptions &, const QStringList &args)
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
    return build_sweep("database");
}
