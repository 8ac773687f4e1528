#include "support/console.h"

#include <iostream>
#include <mutex>

namespace console {
namespace {

std::mutex &sink_mutex()
{
    static std::mutex mutex;
    return mutex;
}

std::ostream *&current_sink()
{
    static std::ostream *sink = nullptr;
    return sink;
}

} // namespace

void write(std::string_view text)
{
    const std::lock_guard<std::mutex> lock(sink_mutex());
    std::ostream &sink = current_sink() ? *current_sink() : std::cout;
    sink.write(text.data(), static_cast<std::streamsize>(text.size()));
    // Lines show up as they happen, also when the console is a pipe or a file.
    sink.flush();
}

void write(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    write(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

std::ostream *set_sink(std::ostream *sink)
{
    const std::lock_guard<std::mutex> lock(sink_mutex());
    std::ostream *previous = current_sink();
    current_sink() = sink;
    return previous;
}

} // namespace console
