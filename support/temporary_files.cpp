#include "support/temporary_files.h"

#include <QByteArray>
#include <QRandomGenerator>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What the signal handler reads: fixed remembered, no allocation.
struct Slot {
    std::atomic<bool> used{false};
    char path[PATH_MAX] = {};
};

constexpr int slot_count = 64;
Slot remembered[slot_count];
std::mutex slots_mutex;

constexpr int stopping_signals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[sizeof stopping_signals / sizeof stopping_signals[0]];

// Taken when the program starts: files written before are not this process's.
const std::time_t process_start = std::time(nullptr);

void on_signal(int signal)
{
    remove_temporary_files();
    for (std::size_t k = 0; k < sizeof stopping_signals / sizeof stopping_signals[0]; ++k) {
        if (stopping_signals[k] == signal) {
            sigaction(signal, &previous[k], nullptr);
        }
    }
    ::raise(signal);
}

void install_once()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (std::size_t k = 0; k < sizeof stopping_signals / sizeof stopping_signals[0]; ++k) {
            struct sigaction action {
            };
            action.sa_handler = on_signal;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESETHAND;
            sigaction(stopping_signals[k], &action, &previous[k]);
            // A signal ignored (nohup) stays ignored.
            if (previous[k].sa_handler == SIG_IGN) {
                sigaction(stopping_signals[k], &previous[k], nullptr);
            }
        }
    });
}

bool made_by_mkstemp(const char *suffix)
{
    for (int k = 0; k < 6; ++k) {
        const char c = suffix[k];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) {
            return false;
        }
    }
    return suffix[6] == '\0';
}

} // namespace

namespace {

void remember(const QByteArray &path)
{
    if (path.size() >= PATH_MAX) {
        return;
    }
    const std::lock_guard<std::mutex> lock(slots_mutex);
    for (Slot &slot : remembered) {
        if (!slot.used.load()) {
            std::memcpy(slot.path, path.constData(), std::size_t(path.size()) + 1);
            slot.used.store(true);
            return;
        }
    }
}

} // namespace

int create_temporary_file(const QByteArray &target, QByteArray &path)
{
    install_once();
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 1000; ++attempt) {
        path = target + '.';
        for (int k = 0; k < 6; ++k) {
            path += letters[QRandomGenerator::global()->bounded(62)];
        }
        remember(path);
        const int descriptor =
            ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const int error = errno;
        if (descriptor >= 0) {
            ::flock(descriptor, LOCK_EX | LOCK_NB);
            return descriptor;
        }
        forget_temporary_file(path);
        if (error != EEXIST) {
            errno = error;
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

void forget_temporary_file(const QByteArray &path)
{
    const std::lock_guard<std::mutex> lock(slots_mutex);
    for (Slot &slot : remembered) {
        if (slot.used.load() && path == slot.path) {
            slot.used.store(false);
        }
    }
}

void remove_temporary_files()
{
    for (Slot &slot : remembered) {
        if (slot.used.load()) {
            ::unlink(slot.path);
        }
    }
}

void remove_leftovers_of(const QByteArray &target)
{
    const int slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : target.left(std::max(slash, 1));
    const QByteArray prefix = target.mid(slash + 1) + '.';
    DIR *listing = ::opendir(folder.constData());
    if (!listing) {
        return;
    }
    const int folder_fd = ::dirfd(listing);
    while (const dirent *entry = ::readdir(listing)) {
        const char *name = entry->d_name;
        if (std::strncmp(name, prefix.constData(), std::size_t(prefix.size())) != 0 ||
            !made_by_mkstemp(name + prefix.size())) {
            continue;
        }
        const int descriptor =
            ::openat(folder_fd, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
        if (descriptor < 0) {
            continue;
        }
        struct stat status {
        };
        // A write still going on holds a lock on its file.
        if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
            status.st_mtime < process_start && ::flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
            ::unlinkat(folder_fd, name, 0);
        }
        ::close(descriptor);
    }
    ::closedir(listing);
}
