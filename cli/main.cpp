// pictrace-cli: the headless front end. Options and commands are described by the two tables
// below, which also make the help. Built with PICTRACE_MPI, the same front end is pictrace-mpi,
// whose processes share the work of one command.

#include "cli/cli_commands.h"
#include "maps/image_file.h"
#include "maps/window_settings.h"
#include "support/console.h"
#include "support/shard.h"

#ifdef PICTRACE_MPI
#include "mpi/mpi_shard.h"
#endif

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>

#include <cstdio>
#include <iostream>
#include <memory>
#include <new>
#include <vector>

namespace {

struct CommandSpec {
    const char *name;
    const char *arguments; // as the help shows them
    int least;             // number of arguments
    int most;              // -1: no limit
    const char *help;
    int (*run)(const CliOptions &, const QStringList &);
};

const std::vector<CommandSpec> &command_table()
{
    static const std::vector<CommandSpec> table = {
        {"build", "IMAGE_DIR NAME", 2, 2,
         "as Pre-process database with the name NAME typed: writes\n"
         "precomputed_databases/NAME.ft1",
         run_build},
        {"build-sweep", "IMAGE_DIR", 1, 1,
         "builds precomputed_databases/db3_ft1_N.ft1 for N = 20, 30 ... 150,\n"
         "each with radius N and step divisor 1, as Monster compare reads them",
         run_build_sweep},
        {"search", "PATTERN DB.ft1...", 2, -1,
         "as Open database for each file in order, then Search in DB", run_search},
        {"multi", "DB.ft1...", 1, -1,
         "as Open database for each file in order, then Multi search in DB", run_multi},
        {"monster", "", 0, 0, "as Monster compare", run_monster},
        {"info", "DB.ft1...", 1, -1,
         "what a database holds: records, image and map sizes, the settings\n"
         "it was built with, duplicate base names, malformed lines",
         run_info},
        {"index", "DB.ft1...", 1, -1,
         "writes DB.ft1.idx beside each database: its maps laid out to be\n"
         "memory-mapped, read instead of the text while the .ft1 is unchanged",
         run_index},
        {"make-demo", "DIR [IMAGES]", 1, 2,
         "makes a demo workspace in DIR: database/ with IMAGES synthetic\n"
         "images (36 by default), patterns/ with one crop of each, and\n"
         "precomputed_databases/ as build-sweep makes it",
         run_make_demo},
    };
    return table;
}

struct OptionSpec {
    QStringList names;
    const char *value; // empty for a flag
    const char *help;
};

const std::vector<OptionSpec> &option_table()
{
    static const std::vector<OptionSpec> table = {
        {{"C", "workdir"},
         "DIR",
         "work as if started in DIR (precomputed_databases/, database/,\npatterns)"},
        {{"r", "radius"}, "N", "matcher radius, default 50 (the window's h' at start)"},
        {{"c", "step-divisor"}, "N", "matcher step divisor, default 1"},
        {{"report"},
         "FILE",
         "multi and monster: one tab-separated line per pattern (the\n"
         "README lists the columns), with a header line; - for standard\n"
         "output"},
        {{"json"},
         "FILE",
         "search, multi and monster: the results as one JSON document;\n"
         "- for standard output, which then holds the document alone"},
        {{"j", "threads"},
         "N",
         "build, build-sweep, search, multi and monster: use N cores\n"
         "(default: all)"},
        {{"html"},
         "FILE",
         "search, multi and monster: one page with the pattern and found\n"
         "images, the located crops, verdicts, and for monster the plot"},
        {{"plot"},
         "FILE",
         "monster: success rate and time per pattern against the radius,\n"
         "as an SVG image"},
        {{"both"},
         "",
         "monster: the literal and then the aligned sweep, side by side in\n"
         "the plot and the page"},
        {{"max-megapixels"},
         "N",
         "refuse images of more than N megapixels (default 128), read from\n"
         "their headers before decoding; also what all threads decode at once"},
        {{"aligned"},
         "",
         "search, multi and monster: the aligned search, which finds a crop\n"
         "whatever its offset, and its exact position in pixels"},
        {{"h", "help"}, "", "this help; after a command, the command's help"},
        {{"v", "version"}, "", "the version"},
    };
    return table;
}

constexpr int help_column = 28;

// "name" padded to the help column, then the help's lines, each further line indented.
QString help_entry(const QString &name, const char *help)
{
    QString text = "  " + name;
    text += text.size() + 1 < help_column ? QString(help_column - text.size(), ' ')
                                          : "\n" + QString(help_column, ' ');
    text += QString(help).replace("\n", "\n" + QString(help_column, ' '));
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
        text += help_entry(option_names(option), option.help);
    }
    return text;
}

QString usage_of(const CommandSpec &command)
{
    return QString("%1 %2").arg(command.name, command.arguments).trimmed();
}

QString full_help()
{
    const QString program = QCoreApplication::applicationName();
    QString text = QString("usage: %1 [options] COMMAND [ARGS]\n"
                           "       %1 COMMAND --help\n\n"
                           "Finds the image of a collection from which a pattern image was cut.\n")
                       .arg(program);
#ifdef PICTRACE_MPI
    text += "Started by mpirun, its processes share the work of build, build-sweep, search,\n"
            "multi and monster; the output is that of pictrace-cli.\n";
#endif
    text += "\n";
    text += options_help() + "\ncommands:\n";
    for (const CommandSpec &command : command_table()) {
        text += help_entry(usage_of(command), command.help);
    }
    text += "\nexit status: 0 when the command ran, 1 when an input could not be used, 2 for a "
            "usage error\n";
    return text;
}

QString command_help(const CommandSpec &command)
{
    return "usage: " + QCoreApplication::applicationName() + " [options] " + usage_of(command) +
           "\n\n" + command.help + "\n\n" + options_help();
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

int run(const QStringList &arguments)
{
    QCommandLineParser parser;
    for (const OptionSpec &option : option_table()) {
        parser.addOption(QCommandLineOption(option.names, option.help, option.value));
    }
    if (!parser.parse(arguments)) {
        throw UsageError(parser.errorText());
    }
    QStringList positional = parser.positionalArguments();
    const CommandSpec *command = positional.isEmpty() ? nullptr : find_command(positional.first());
    if (parser.isSet("help")) {
        print(command ? command_help(*command) : full_help());
        return exit_ran;
    }
    if (parser.isSet("version")) {
        print(QString("%1 %2\n").arg(QCoreApplication::applicationName(),
                                     QCoreApplication::applicationVersion()));
        return exit_ran;
    }
    if (positional.isEmpty()) {
        throw UsageError("no command given");
    }
    if (!command) {
        throw UsageError(QString("unknown command %1").arg(positional.first()));
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

    CliOptions options;
    options.radius_given = parser.isSet("radius");
    if (options.radius_given) {
        options.settings.radius = whole_number(parser, "radius", 1, WindowSettings::max_radius);
    }
    options.step_divisor_given = parser.isSet("step-divisor");
    if (options.step_divisor_given) {
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
    // Options that only some commands use are refused by the others rather than ignored.
    const struct {
        const char *option;
        QStringList commands;
    } reach[] = {{"report", {"multi", "monster"}},
                 {"json", {"search", "multi", "monster"}},
                 {"aligned", {"search", "multi", "monster"}},
                 {"html", {"search", "multi", "monster"}},
                 {"plot", {"monster"}},
                 {"both", {"monster"}},
                 {"threads", {"build", "build-sweep", "search", "multi", "monster", "make-demo"}}};
    for (const auto &entry : reach) {
        if (parser.isSet(entry.option) && !entry.commands.contains(command->name)) {
            throw UsageError(QString("--%1 applies to %2, not to %3")
                                 .arg(entry.option, entry.commands.join(", "), command->name));
        }
    }
    options.aligned = parser.isSet("aligned");
    options.both = parser.isSet("both");
    if (options.both && options.aligned) {
        throw UsageError("--both runs the aligned sweep already");
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
    // Standard output then holds the document alone; the console lines go to standard error.
    if (options.report == "-" || options.json == "-") {
        console::set_sink(&std::cerr);
    }
    const QString workdir = parser.value("workdir");
    if (!workdir.isEmpty() && !QDir::setCurrent(workdir)) {
        print_failure(QString("no folder %1 to work in").arg(workdir));
        return exit_unusable_input;
    }
    return command->run(options, positional);
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef PICTRACE_MPI
    // Started first and ended last: the job outlives the application.
    MpiJob job(argc, argv);
    set_work_shard(&job);
    const char *program = "pictrace-mpi";
#else
    const char *program = "pictrace-cli";
#endif
    // Pages and plots draw text, which needs the fonts of a GUI application; without a display,
    // on the offscreen platform. Other commands start as a plain application.
    bool drawing = false;
    for (int k = 1; k < argc; ++k) {
        const QByteArray argument(argv[k]);
        drawing |= argument.startsWith("--html") || argument.startsWith("--plot");
    }
    if (drawing && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int status = exit_ran;
    {
        std::unique_ptr<QCoreApplication> application =
            drawing ? std::make_unique<QGuiApplication>(argc, argv)
                    : std::make_unique<QCoreApplication>(argc, argv);
        QCoreApplication &app = *application;
        QCoreApplication::setApplicationName(program);
        QCoreApplication::setApplicationVersion(PICTRACE_VERSION);
        try {
            status = run(app.arguments());
        } catch (const UsageError &error) {
            print_failure(QString::fromStdString(error.what()));
            std::fprintf(stderr, "see %s --help\n", program);
            status = exit_usage_error;
        } catch (const std::bad_alloc &) {
#ifdef PICTRACE_MPI
            if (job.ranks() > 1) {
                job.abort("not enough memory");
            }
#endif
            std::fprintf(stderr, "%s: not enough memory\n", program);
            status = exit_unusable_input;
        }
#ifdef PICTRACE_MPI
        catch (const std::exception &error) {
            // The others wait for this process: the job ends, with no partial answer.
            job.abort(error.what());
        }
#endif
    }
#ifdef PICTRACE_MPI
    status = job.finish(status);
#endif
    return status;
}
