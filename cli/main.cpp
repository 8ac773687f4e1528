// pictrace-cli: the headless front end. Every command does what the window's commands do, with
// the same console lines and database files; after each command comes the text that the window
// would show as its result, on a line of its own.

#include "cli/progress.h"
#include "evaluation/multi_search.h"
#include "evaluation/radius_sweep.h"
#include "evaluation/synthetic_images.h"
#include "matcher/console.h"
#include "matcher/database_builder.h"
#include "matcher/image_matcher.h"
#include "search/single_search.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTextStream>

#include <charconv>
#include <cstdio>
#include <optional>

namespace {

const char usage_text[] =
    "usage: pictrace-cli [options] COMMAND [ARGS]\n"
    "\n"
    "options (before COMMAND):\n"
    "  -C DIR, --workdir DIR     work as if started in DIR (precomputed_databases/, database/,\n"
    "                            patterns)\n"
    "  -r N,   --radius N        matcher radius, default 50 (the window's h' at start)\n"
    "  -c N,   --step-divisor N  matcher step divisor, default 1\n"
    "  --report FILE             multi and monster: write one tab-separated line per pattern\n"
    "                            (radius, pattern file, its base name, picked name, best score,\n"
    "                            x, y, found 0/1), with a header line\n"
    "  -h, --help                this help\n"
    "\n"
    "commands:\n"
    "  build IMAGE_DIR NAME      as Pre-process database with the name NAME typed: writes\n"
    "                            precomputed_databases/NAME.ft1\n"
    "  build-sweep IMAGE_DIR     builds precomputed_databases/db3_ft1_N.ft1 for N = 20, 30 ... "
    "150,\n"
    "                            each with radius N and step divisor 1, as Monster compare reads "
    "them\n"
    "  search PATTERN DB.ft1...  as Open database for each file in order, then Search in DB\n"
    "  multi DB.ft1...           as Open database for each file in order, then Multi search in DB\n"
    "  monster                   as Monster compare\n"
    "  make-demo DIR [IMAGES]    makes a demo workspace in DIR: database/ with IMAGES synthetic\n"
    "                            images (36 by default), patterns/ with one crop of each, and\n"
    "                            precomputed_databases/ as build-sweep makes it\n"
    "\n"
    "exit status: 0 when the command ran, 1 when an input could not be used, 2 for a usage error\n";

enum Status { ran = 0, unusable_input = 1, usage_error = 2 };

struct Options {
    QString workdir;
    int radius = 50;
    int step_divisor = 1;
    QString report;
};

class UsageError
{
public:
    explicit UsageError(QString text)
        : message(std::move(text))
    {}
    QString message;
};

int to_number(const QString &text, const QString &option)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok) {
        throw UsageError(QString("%1 needs a whole number, not \"%2\"").arg(option, text));
    }
    return value;
}

void fail(const QString &text)
{
    std::fprintf(stderr, "pictrace-cli: %s\n", text.toUtf8().constData());
}

// One tab-separated line per searched pattern.
class Report
{
public:
    bool open(const QString &path)
    {
        if (path.isEmpty()) {
            return true;
        }
        m_file.setFileName(path);
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate)) {
            return false;
        }
        m_file.write("radius\tpattern_file\tbase_name\tpicked_name\tbest_score\tx\ty\tfound\n");
        return true;
    }

    void add(int radius, const MultiSearch &search)
    {
        if (!m_file.isOpen()) {
            return;
        }
        for (int k = 0; k < search.outcome.picks.size(); ++k) {
            const PatternPick &pick = search.outcome.picks[k];
            QStringList fields = {QString::number(radius), search.patterns.files[k],
                                  pick.pattern_name, pick.picked_name};
            if (pick.has_candidate) {
                char score[32];
                *std::to_chars(score, score + sizeof score - 1, pick.score).ptr = '\0';
                fields << score << QString::number(pick.x) << QString::number(pick.y);
            } else {
                fields << ""
                       << ""
                       << "";
            }
            fields << (pick.found ? "1" : "0");
            m_file.write((fields.join('\t') + "\n").toUtf8());
        }
    }

private:
    QFile m_file;
};

SearchOptions search_progress(Progress &progress)
{
    SearchOptions options;
    options.progress = [&progress](int done, int total) { progress.update(done, total); };
    return options;
}

// As Open database does for each file: the loader's lines, "Database readed", then the text
// the window would show. False at the first file that does not open.
bool open_databases(const QStringList &files, QList<FeatureMap> &database)
{
    const ImageMatcher loader(1, 1, ImageMatcher::Quiet{});
    for (const QString &file : files) {
        QString message;
        QList<FeatureMap> loaded;
        loader.load_database(file, loaded, message);
        database.append(loaded);
        console::write("Database readed\n");
        console::write(message + "\n");
        if (message.isEmpty()) {
            return false;
        }
    }
    return true;
}

bool refuse_settings(const Options &options)
{
    return ImageMatcher::refuse_invalid_settings(options.radius, options.step_divisor);
}

int build(const Options &options, const QString &directory, const QString &name)
{
    if (refuse_settings(options)) {
        return unusable_input;
    }
    if (!QFileInfo(directory).isDir()) {
        fail(QString("no folder %1").arg(directory));
        return unusable_input;
    }
    if (name.isEmpty()) {
        console::write("name is not valid\n");
        return unusable_input;
    }
    ImageMatcher matcher(options.radius, options.step_divisor, ImageMatcher::Quiet{});
    Progress progress("images");
    BuildOptions build_options;
    build_options.progress = [&progress](int done, int total) { progress.update(done, total); };
    const bool written = matcher.build_database(directory, name + ".ft1", build_options);
    console::write("Database pre-processing done\n");
    return written ? ran : unusable_input;
}

int build_sweep(const QString &directory)
{
    if (!QFileInfo(directory).isDir()) {
        fail(QString("no folder %1").arg(directory));
        return unusable_input;
    }
    ImageMatcher matcher(50, 1, ImageMatcher::Quiet{});
    bool all_written = true;
    for (int radius : sweep_radii()) {
        matcher.radius = radius;
        matcher.step_divisor = 1;
        Progress progress(QString("radius %1, images").arg(radius));
        BuildOptions build_options;
        build_options.progress = [&progress](int done, int total) { progress.update(done, total); };
        all_written &= matcher.build_database(
            directory, QFileInfo(sweep_database_path(radius)).fileName(), build_options);
        console::write("Database pre-processing done\n");
    }
    return all_written ? ran : unusable_input;
}

int search(const Options &options, const QString &pattern_path, const QStringList &databases)
{
    if (refuse_settings(options)) {
        return unusable_input;
    }
    QList<FeatureMap> database;
    if (!open_databases(databases, database)) {
        return unusable_input;
    }
    const std::optional<FeatureMap> pattern =
        pattern_from_image(QImage(pattern_path), pattern_path);
    if (!pattern) {
        console::write("not supported image file\n");
        return unusable_input;
    }
    ImageMatcher matcher(options.radius, options.step_divisor, ImageMatcher::Quiet{});
    const SingleSearch result = search_single_pattern(matcher, *pattern, database, pattern_path);
    console::write("pattern found in db in " + QString::number(result.elapsed_ms) + " ms\n");
    return ran;
}

int multi(const Options &options, const QStringList &databases, Report &report)
{
    if (refuse_settings(options)) {
        return unusable_input;
    }
    QList<FeatureMap> database;
    if (!open_databases(databases, database)) {
        return unusable_input;
    }
    ImageMatcher matcher(options.radius, options.step_divisor, ImageMatcher::Quiet{});
    Progress progress("patterns");
    const MultiSearch result =
        multi_search(matcher, database, patterns_directory(), search_progress(progress));
    report.add(options.radius, result);
    console::write(success_rate_text(result.outcome.rate) + "\n");
    return ran;
}

int monster(Report &report)
{
    ImageMatcher matcher(50, 1, ImageMatcher::Quiet{});
    QList<FeatureMap> database;
    Progress progress("patterns");
    float last_rate = 0;
    SweepCallbacks callbacks;
    callbacks.search = search_progress(progress);
    callbacks.searched = [&](const SweepPass &pass) {
        report.add(pass.radius, pass.search);
        last_rate = pass.search.outcome.rate;
    };
    radius_sweep(matcher, database, patterns_directory(), callbacks);
    console::write(success_rate_text(last_rate) + "\n");
    return ran;
}

int make_demo(const QString &directory, int images)
{
    if (images < 1) {
        throw UsageError("make-demo needs at least one image");
    }
    if (!QDir().mkpath(directory) || !QDir::setCurrent(directory)) {
        fail(QString("cannot make the folder %1").arg(directory));
        return unusable_input;
    }
    DemoWorkspace demo;
    demo.images = images;
    const QString error = write_demo_images(".", demo);
    if (!error.isEmpty()) {
        fail(error);
        return unusable_input;
    }
    return build_sweep("database");
}

int run(QStringList args)
{
    Options options;
    while (!args.isEmpty() && args.first().startsWith('-')) {
        const QString option = args.takeFirst();
        if (option == "-h" || option == "--help") {
            std::fputs(usage_text, stdout);
            return ran;
        }
        if (args.isEmpty()) {
            throw UsageError(QString("%1 needs a value").arg(option));
        }
        const QString value = args.takeFirst();
        if (option == "-C" || option == "--workdir") {
            options.workdir = value;
        } else if (option == "-r" || option == "--radius") {
            options.radius = to_number(value, option);
        } else if (option == "-c" || option == "--step-divisor") {
            options.step_divisor = to_number(value, option);
        } else if (option == "--report") {
            options.report = QFileInfo(value).absoluteFilePath();
        } else {
            throw UsageError(QString("unknown option %1").arg(option));
        }
    }
    if (args.isEmpty()) {
        throw UsageError("no command given");
    }
    const QString command = args.takeFirst();
    auto need = [&](int least, int most) {
        if (args.size() < least || (most >= 0 && args.size() > most)) {
            throw UsageError(QString("wrong number of arguments for %1").arg(command));
        }
    };
    if (command == "build") {
        need(2, 2);
    } else if (command == "build-sweep") {
        need(1, 1);
    } else if (command == "search") {
        need(2, -1);
    } else if (command == "multi") {
        need(1, -1);
    } else if (command == "monster") {
        need(0, 0);
    } else if (command == "make-demo") {
        need(1, 2);
    } else {
        throw UsageError(QString("unknown command %1").arg(command));
    }

    if (!options.workdir.isEmpty() && !QDir::setCurrent(options.workdir)) {
        fail(QString("no folder %1 to work in").arg(options.workdir));
        return unusable_input;
    }
    if (command == "make-demo") {
        return make_demo(args[0],
                         args.size() == 2 ? to_number(args[1], command) : DemoWorkspace().images);
    }
    Report report;
    if (!report.open(options.report)) {
        fail(QString("cannot write the report %1").arg(options.report));
        return unusable_input;
    }
    if (command == "build") {
        return build(options, args[0], args[1]);
    }
    if (command == "build-sweep") {
        return build_sweep(args[0]);
    }
    if (command == "search") {
        return search(options, args[0], args.mid(1));
    }
    if (command == "multi") {
        return multi(options, args, report);
    }
    return monster(report);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    try {
        return run(app.arguments().mid(1));
    } catch (const UsageError &error) {
        fail(error.message);
        std::fputs("\n", stderr);
        std::fputs(usage_text, stderr);
        return usage_error;
    }
}
