// pictrace-cli, the headless front end; built with PICTRACE_MPI, the same front end is
// pictrace-mpi, whose processes share the work of one command.

#include "cli/cli_commands.h"
#include "cli/command_line.h"

#ifdef PICTRACE_MPI
#include "mpi/mpi_shard.h"
#endif

#include <QCoreApplication>

#include <cstdio>
#include <memory>
#include <new>

int main(int argc, char *argv[])
{
#ifdef PICTRACE_MPI
    // Started first and ended last: the job outlives the application.
    MpiJob job(argc, argv);
    set_work_shard(&job);
    const char *program = "pictrace-mpi";
    const bool shares_work = true;
#else
    const char *program = "pictrace-cli";
    const bool shares_work = false;
#endif
    int status = exit_ran;
    {
        const std::unique_ptr<QCoreApplication> application = make_application(argc, argv);
        QCoreApplication::setApplicationName(program);
        QCoreApplication::setApplicationVersion(PICTRACE_VERSION);
        try {
            status = run_command_line(application->arguments(), shares_work);
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
