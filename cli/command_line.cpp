#include "cli/command_line.h"

#include "cli/cli_commands.h"
#include "cli/command_inputs.h"
#include "cli/terminal.h"
#include "evaluation/answer.h"
#include "maps/image_file.h"
#include "maps/window_settings.h"
#include "support/console.h"
#include "support/shard.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <vector>

namespace {

struct CommandSpec {
    const char *name;
    const char *arguments; // as the help shows them
    int least;             // number of arguments
    int most;              // -1: no limit
    const char *help;
    int (*run)(const CliOptions &, const QStringList &);
    // The command it ends by running, whose options it takes too.
    const char *runs;
    const char *example; // its arguments and options, after the program's name
};

const std::vector<CommandSpec> &command_table()
{
    static const std::vector<CommandSpec> table = {
        {"build", "IMAGE_DIR NAME", 2, 2,
         "turns the images of IMAGE_DIR into a database the searches read,\n"
         "precomputed_databases/NAME.ft1 (the window's Pre-process database)",
         run_build, "", "build -r 50 database holiday"},
        {"build-sweep", "IMAGE_DIR", 1, 1,
         "builds precomputed_databases/db3_ft1_N.ft1 for N = 20, 30 ... 150,\n"
         "each with radius N and step divisor 1, as Monster compare reads them",
         run_build_sweep, "", "build-sweep database"},
        {"search", "PATTERN DB.ft1...", 2, -1,
         "finds the image of the databases PATTERN was cut from, and where;\n"
         "a database is a file, or a NAME build wrote (the window's Open\n"
         "database for each in order, then Search in DB)",
         run_search, "", "search patterns/cat.crop.png holiday"},
        {"multi", "DB.ft1...", 1, -1,
         "searches every image of patterns/ and tells how many were found:\n"
         "a pattern counts as found when its file name up to the first dot\n"
         "names the image it was cut from (the window's Open database for\n"
         "each in order, then Multi search in DB)",
         run_multi, "", "multi --report results.tsv holiday"},
        {"monster", "", 0, 0,
         "multi at each radius of build-sweep's databases: one line per radius\n"
         "with the ms per pattern and the success rate (the window's Monster\n"
         "compare)",
         run_monster, "", "monster --html sweep.html"},
        {"info", "DB.ft1...", 1, -1,
         "what a database holds: records, image and map sizes, the settings\n"
         "it was built with, duplicate base names, malformed lines",
         run_info, "", "info precomputed_databases/holiday.ft1"},
        {"index", "DB.ft1...", 1, -1,
         "writes DB.ft1.idx beside each database: its maps laid out to be\n"
         "memory-mapped, read instead of the text while the .ft1 is unchanged",
         run_index, "", "index precomputed_databases/holiday.ft1"},
        {"make-demo", "DIR [IMAGES]", 1, 2,
         "makes a demo workspace in DIR: database/ with IMAGES synthetic\n"
         "images (36 by default), patterns/ with one crop of each, and\n"
         "precomputed_databases/ as build-sweep makes it",
         run_make_demo, "build-sweep", "make-demo demo 12"},
    };
    return table;
}

struct OptionSpec {
    QStringList names;
    const char *value; // empty for a flag
    // The commands it applies to, empty for all: the others refuse it rather than ignore it.
    QStringList commands;
    const char *help; // after the commands it applies to
    // An option of all commands that only these use: their help alone lists it.
    QStringList used_by = {};
};

const std::vector<OptionSpec> &option_table()
{
    static const QStringList searching = {"search", "multi", "monster"};
    static const std::vector<OptionSpec> table = {
        {{"C", "workdir"},
         "DIR",
         {},
         "work as if started in DIR (precomputed_databases/, database/,\npatterns)"},
        {{"r", "radius"},
         "N",
         {},
         "matcher radius, default 50 (the window's h' at start)",
         {"build", "search", "multi"}},
        {{"c", "step-divisor"},
         "N",
         {},
         "matcher step divisor, default 1",
         {"build", "search", "multi"}},
        {{"report"},
         "FILE",
         {"multi", "monster"},
         "one tab-separated line per pattern (the\n"
         "README lists the columns), with a header line; - for standard\n"
         "output"},
        {{"json"},
         "FILE",
         searching,
         "the results as one JSON document;\n"
         "- for standard output, which then holds the document alone"},
        {{"j", "threads"},
         "N",
         {"build", "build-sweep", "search", "multi", "monster"},
         "use N cores\n"
         "(default: all)"},
        {{"html"},
         "FILE",
         searching,
         "one page with the pattern and found\n"
         "images, the located crops, verdicts, and for monster the plot"},
        {{"plot"},
         "FILE",
         {"monster"},
         "success rate and time per pattern against the radius,\n"
         "as an SVG image"},
        {{"both"},
         "",
         {"monster"},
         "the literal and then the aligned sweep, side by side in\n"
         "the plot and the page"},
        {{"max-megapixels"},
         "N",
         {},
         "refuse images of more than N megapixels (default 128), read from\n"
         "their headers before decoding; also what all threads decode at once",
         {"build", "build-sweep", "search", "multi", "monster", "make-demo"}},
        {{"search"},
         "MODE",
         searching,
         "literal (the default: the window's search),\n"
         "aligned (every offset of a crop, exact and exhaustive) or indexed\n"
         "(recompressed crops, fast in any collection: the binary index)"},
        {{"aligned"}, "", searching, "the same as --search aligned"},
        {{"scales"},
         "MIN:MAX",
         searching,
         "--search indexed: the scales of crops looked for when a pattern is\n"
         "not found at its own (its size over that of what it shows; default\n"
         "0.5:2); one number for that scale alone, 1 for none"},
        {{"fine"},
         "FILE",
         {"search", "multi"},
         "--search indexed: a database of the same images at a smaller\n"
         "radius (built with -r 10, say, and indexed), where patterns with\n"
         "few cells at the databases' radius are looked for again"},
        {{"fine-radius"},
         "N",
         {"search", "multi"},
         "--fine: the radius its database was built with (default: half the\n"
         "search's), with the search's step divisor"},
        {{"index"},
         "",
         {"build", "build-sweep"},
         "also write the binary index beside the database\n"
         "(see the index command); an index already there is always remade"},
        {{"check"},
         "",
         searching,
         "exit status 3 when the answer is not accepted\n"
         "(a verdict other than exact or found; multi: of any pattern, or\n"
         "a wrong image; monster: unless at some radius every pattern is\n"
         "accepted)"},
        {{"q", "quiet"},
         "",
         {},
         "leave out the informational lines (loading, timings, progress):\n"
         "the answer, the results and the errors stay"},
        {{"force"},
         "",
         {"make-demo"},
         "write into a folder that already holds files (they may be\n"
         "replaced)"},
        {{"h", "help"}, "", {}, "this help; after a command, the command's help"},
        {{"v", "version"}, "", {}, "the version"},
    };
    return table;
}

// "multi and monster: " and the help, for an option that applies to some commands only.
QString option_help(const OptionSpec &option)
{
    if (option.commands.isEmpty()) {
        return option.help;
    }
    QString commands = option.commands.last();
    if (option.commands.size() > 1) {
        commands =
            option.commands.mid(0, option.commands.size() - 1).join(", ") + " and " + commands;
    }
    return commands + ": " + option.help;
}

// The commands an option applies to, with those that end by running one of them.
QStringList option_reach(const OptionSpec &option)
{
    QStringList reach = option.commands;
    for (const CommandSpec &command : command_table()) {
        if (option.commands.contains(command.runs)) {
            reach << command.name;
        }
    }
    return reach;
}

constexpr int help_column = 28;

// "name" padded to the help column, then the help's lines, each further line indented.
QString help_entry(const QString &name, QString help)
{
    QString text = "  " + name;
    text += text.size() + 1 < help_column ? QString(help_column - text.size(), ' ')
                                          : "\n" + QString(help_column, ' ');
    text += help.replace("\n", "\n" + QString(help_column, ' '));
    return text + "\n";
}

QString option_names(const OptionSpec &option)
{
    QStringList names;
    for (const QString &name : option.names) {
        names << (name.size() == 1 ? "-" : "--") + name;
    }
    QString text = names.join(", ");
    if (option.names.first().size() > 1) {
        text = "    " + text;
    }
    return *option.value ? text + " " + option.value : text;
}

QString options_help()
{
    QString text = "options (before or after COMMAND):\n";
    for (const OptionSpec &option : option_table()) {
        text += help_entry(option_names(option), option_help(option));
    }
    return text;
}

// The help's lines broken again to fill the width, without the room the commands took.
QString rewrapped(const QString &help)
{
    constexpr int width = 100 - help_column;
    QString text;
    int line = 0;
    for (const QString &word : help.simplified().split(' ')) {
        if (line > 0 && line + 1 + word.size() > width) {
            text += "\n";
            line = 0;
        } else if (line > 0) {
            text += " ";
            ++line;
        }
        text += word;
        line += word.size();
    }
    return text;
}

// The options `command` takes and uses, without the commands they apply to.
QString own_options_help(const QString &command)
{
    QString text = "options (before or after " + command + "):\n";
    for (const OptionSpec &option : option_table()) {
        const QStringList reach = option_reach(option);
        const bool own = reach.isEmpty()
                             ? option.used_by.isEmpty() || option.used_by.contains(command)
                             : reach.contains(command);
        if (own) {
            text += help_entry(option_names(option), rewrapped(option.help));
        }
    }
    return text;
}

QString usage_of(const CommandSpec &command)
{
    return QString("%1 %2").arg(command.name, command.arguments).trimmed();
}

QString full_help(bool shares_work)
{
    const QString program = QCoreApplication::applicationName();
    QString text = QString("usage: %1 [options] COMMAND [ARGS]\n"
                           "       %1 COMMAND --help\n\n"
                           "Finds the image of a collection from which a pattern image was cut.\n")
                       .arg(program);
    if (shares_work) {
        text += "Started by mpirun, its processes share the work of build, build-sweep, search,\n"
                "multi and monster; the output is that of pictrace-cli.\n";
    }
    text += "\n";
    text += options_help() + "\ncommands:\n";
    for (const CommandSpec &command : command_table()) {
        text += help_entry(usage_of(command), command.help);
    }
    text += "\nexit status: 0 when the command ran, 1 when an input could not be used, 2 for a "
            "usage error,\n3 with --check when the answer is not accepted\n";
    return text;
}

QString command_help(const CommandSpec &command)
{
    const QString program = QCoreApplication::applicationName();
    return "usage: " + program + " [options] " + usage_of(command) + "\n\n" + command.help +
           "\n\n" + own_options_help(command.name) + "\nexample:\n  " + program + " " +
           command.example + "\n";
}

// The number of single-letter edits between two words.
int edit_distance(const QString &a, const QString &b)
{
    std::vector<int> row(static_cast<std::size_t>(b.size()) + 1);
    for (std::size_t j = 0; j < row.size(); ++j) {
        row[j] = static_cast<int>(j);
    }
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const auto k = static_cast<std::size_t>(j);
            const int above = row[k];
            row[k] =
                std::min({above + 1, row[k - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row.back();
}

// " (did you mean build?)" for a name a slip or two away from a command's, else nothing.
QString suggestion_for(const QString &name)
{
    const CommandSpec *closest = nullptr;
    int distance = 3;
    for (const CommandSpec &command : command_table()) {
        const int d = edit_distance(name.toLower(), command.name);
        if (d < distance && d < name.size()) {
            closest = &command;
            distance = d;
        }
    }
    return closest ? QString(" (did you mean %1?)").arg(closest->name) : QString();
}

const CommandSpec *find_command(const QString &name)
{
    for (const CommandSpec &command : command_table()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

// A whole number in the range the window's form offers.
int whole_number(const QCommandLineParser &parser, const QString &option, int least, int most)
{
    const QString text = parser.value(option);
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok) {
        throw UsageError(QString("--%1 needs a whole number, not \"%2\"").arg(option, text));
    }
    if (value < least || value > most) {
        throw UsageError(
            QString("--%1 goes from %2 to %3, not %4").arg(option).arg(least).arg(most).arg(value));
    }
    return value;
}

void print(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
}

// The command, named by the first positional argument, which is taken away; its arguments are
// what remains.
const CommandSpec &command_to_run(const CommandSpec *command, QStringList &positional)
{
    if (positional.isEmpty()) {
        throw UsageError("no command given");
    }
    if (!command) {
        throw UsageError(QString("unknown command %1%2")
                             .arg(positional.first(), suggestion_for(positional.first())));
    }
    positional.removeFirst();
    if (sharded() && (command->name == QString("index") || command->name == QString("make-demo"))) {
        throw UsageError(QString("%1 runs in one process: use pictrace-cli").arg(command->name));
    }
    if (positional.size() < command->least ||
        (command->most >= 0 && positional.size() > command->most)) {
        throw UsageError(
            QString("%1 takes %2")
                .arg(command->name, *command->arguments ? command->arguments : "no arguments"));
    }
    return *command;
}

void refuse_misapplied(const QCommandLineParser &parser, const CommandSpec &command)
{
    for (const OptionSpec &option : option_table()) {
        const QString name = option.names.last();
        const QStringList reach = option_reach(option);
        if (!reach.isEmpty() && parser.isSet(name) && !reach.contains(command.name)) {
            throw UsageError(
                QString("--%1 applies to %2, not to %3").arg(name, reach.join(", "), command.name));
        }
    }
}

// "MIN:MAX" or one scale, each from 0.25 to 4.
ScaleRange scale_range(const QString &text)
{
    const QStringList parts = text.split(':');
    ScaleRange range;
    bool good = parts.size() <= 2;
    std::vector<double> values;
    for (const QString &part : parts) {
        bool number = false;
        const double value = part.toDouble(&number);
        good = good && number && value >= 0.25 && value <= 4;
        values.push_back(value);
    }
    if (!good || values.back() < values.front()) {
        throw UsageError(QString("--scales takes MIN:MAX (0.5:2, say) or one scale, each from "
                                 "0.25 to 4, not \"%1\"")
                             .arg(text));
    }
    range.low = values.front();
    range.high = values.back();
    return range;
}

CliOptions read_options(const QCommandLineParser &parser, const CommandSpec &command)
{
    CliOptions options;
    options.radius_given = parser.isSet("radius");
    if (options.radius_given) {
        options.settings.radius = whole_number(parser, "radius", 1, WindowSettings::max_radius);
    }
    if (parser.isSet("step-divisor")) {
        options.settings.step_divisor =
            whole_number(parser, "step-divisor", 1, WindowSettings::max_step_divisor);
    }
    // Paths of outputs are taken from where the command was started, before -C.
    auto output_path = [&](const QString &option) {
        const QString value = parser.value(option);
        return value.isEmpty() || value == "-" ? value : QFileInfo(value).absoluteFilePath();
    };
    if (parser.isSet("threads")) {
        options.threads = whole_number(parser, "threads", 1, 1024);
    }
    if (parser.isSet("max-megapixels")) {
        set_pixel_limit(qint64(whole_number(parser, "max-megapixels", 1, 100000)) * 1000000);
    }
    set_pixel_limit_advice("--max-megapixels N raises it");
    refuse_misapplied(parser, command);
    if (parser.isSet("search")) {
        const std::optional<SearchMode> mode = mode_named(parser.value("search"));
        if (!mode) {
            throw UsageError(QString("--search takes literal, aligned or indexed, not \"%1\"")
                                 .arg(parser.value("search")));
        }
        options.mode = *mode;
    }
    if (parser.isSet("aligned")) {
        if (parser.isSet("search") && options.mode != SearchMode::aligned) {
            throw UsageError("--aligned and --search " + mode_text(options.mode) +
                             " ask for two searches");
        }
        options.mode = SearchMode::aligned;
    }
    if (parser.isSet("scales")) {
        if (options.mode != SearchMode::indexed) {
            throw UsageError("--scales applies to --search indexed");
        }
        options.scales = scale_range(parser.value("scales"));
    }
    if (parser.isSet("fine")) {
        if (options.mode != SearchMode::indexed) {
            throw UsageError("--fine applies to --search indexed");
        }
        options.fine = parser.value("fine");
        if (options.fine.isEmpty()) {
            throw UsageError("--fine needs a database file");
        }
    }
    if (parser.isSet("fine-radius")) {
        if (options.fine.isEmpty()) {
            throw UsageError("--fine-radius applies to --fine");
        }
        options.fine_radius = whole_number(parser, "fine-radius", 1, WindowSettings::max_radius);
    }
    options.index = parser.isSet("index");
    options.check = parser.isSet("check");
    options.both = parser.isSet("both");
    options.force = parser.isSet("force");
    if (options.both && options.mode != SearchMode::literal) {
        throw UsageError("--both runs the literal and then the aligned sweep: use it without "
                         "--search or --aligned");
    }
    options.report = output_path("report");
    options.json = output_path("json");
    options.html = output_path("html");
    options.plot = output_path("plot");
    if (options.both && (!options.report.isEmpty() || !options.json.isEmpty())) {
        throw UsageError("--report and --json hold one sweep: use them without --both");
    }
    if (options.html == "-" || options.plot == "-") {
        throw UsageError("--html and --plot need a file name");
    }
    if (options.report == "-" && options.json == "-") {
        throw UsageError("--report and --json cannot both go to standard output");
    }
    return options;
}

} // namespace

std::unique_ptr<QCoreApplication> make_application(int &argc, char **argv)
{
    bool drawing = false;
    for (int k = 1; k < argc; ++k) {
        const QByteArray argument(argv[k]);
        drawing |= argument.startsWith("--html") || argument.startsWith("--plot");
    }
    if (drawing) {
        keep_platform_noise_off();
    }
    if (drawing && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (drawing) {
        return std::make_unique<QGuiApplication>(argc, argv);
    }
    return std::make_unique<QCoreApplication>(argc, argv);
}

int run_command_line(const QStringList &arguments, bool shares_work)
{
    QCommandLineParser parser;
    for (const OptionSpec &option : option_table()) {
        parser.addOption(QCommandLineOption(option.names, option_help(option), option.value));
    }
    if (!parser.parse(arguments)) {
        throw UsageError(parser.errorText());
    }
    QStringList positional = parser.positionalArguments();
    const CommandSpec *named = positional.isEmpty() ? nullptr : find_command(positional.first());
    if (parser.isSet("help")) {
        print(named ? command_help(*named) : full_help(shares_work));
        return exit_ran;
    }
    if (parser.isSet("version")) {
        print(QString("%1 %2\n").arg(QCoreApplication::applicationName(),
                                     QCoreApplication::applicationVersion()));
        return exit_ran;
    }
    const CommandSpec &command = command_to_run(named, positional);
    const CliOptions options = read_options(parser, command);
    // Standard output then holds the document alone; the console lines go to standard error.
    if (options.report == "-" || options.json == "-") {
        console::set_sink(&std::cerr);
    }
    if (parser.isSet("quiet")) {
        set_quiet();
    }
    const QString workdir = parser.value("workdir");
    if (!workdir.isEmpty() && !QDir::setCurrent(workdir)) {
        print_failure(QString("no folder %1 to work in").arg(workdir));
        return exit_unusable_input;
    }
    const CommandFiles files = command_files(command.name, options, positional);
    refuse_outputs_that_are_inputs(command.name, files);
    if (!same_inputs_everywhere(files)) {
        return exit_unusable_input;
    }
    return command.run(options, positional);
}
