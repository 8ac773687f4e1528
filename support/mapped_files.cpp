#include "support/mapped_files.h"

#include "support/temporary_files.h"

#include <QCoreApplication>
#include <QFile>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {

// What the signal handler may read: fixed slots, no allocation.
struct Slot {
    std::atomic<const char *> begin{nullptr};
    std::atomic<std::size_t> size{0};
    char message[1200] = {};
    std::atomic<std::size_t> length{0};
};

constexpr int slot_count = 64;
Slot mapped[slot_count];
std::mutex mapped_mutex;
struct sigaction previous_handler;

void on_bus_error(int signal, siginfo_t *info, void *context)
{
    const char *address = static_cast<const char *>(info->si_addr);
    for (Slot &slot : mapped) {
        const char *begin = slot.begin.load();
        if (begin && address >= begin && address < begin + slot.size.load()) {
            const ssize_t written = ::write(2, slot.message, slot.length.load());
            static_cast<void>(written);
            remove_temporary_files();
            ::_exit(1);
        }
    }
    // Not one of ours: as it would have been.
    sigaction(signal, &previous_handler, nullptr);
    static_cast<void>(context);
    ::raise(signal);
}

void install_once()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {
        };
        action.sa_sigaction = on_bus_error;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &previous_handler);
    });
}

} // namespace

void remember_mapped_file(const void *begin, std::size_t size, const QString &path)
{
    install_once();
    const QByteArray message =
        (QCoreApplication::applicationName() + ": " + path + " changed while in use\n")
            .toLocal8Bit()
            .left(int(sizeof(Slot::message)));
    const std::lock_guard<std::mutex> lock(mapped_mutex);
    for (Slot &slot : mapped) {
        if (!slot.begin.load()) {
            std::memcpy(slot.message, message.constData(), std::size_t(message.size()));
            slot.length = std::size_t(message.size());
            slot.size = size;
            slot.begin = static_cast<const char *>(begin);
            return;
        }
    }
}

void forget_mapped_file(const void *begin)
{
    const std::lock_guard<std::mutex> lock(mapped_mutex);
    for (Slot &slot : mapped) {
        if (slot.begin.load() == begin) {
            slot.begin = nullptr;
        }
    }
}
