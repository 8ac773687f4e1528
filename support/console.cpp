#include "support/console.h"

#include <algorithm>
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

// What a terminal could take as a command, not as text.
bool hidden_control(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f;
}

} // namespace

std::string without_controls(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        if (hidden_control(c)) {
            const auto byte = static_cast<unsigned char>(c);
            static const char digits[] = "0123456789abcdef";
            shown += {'\\', 'x', digits[byte >> 4], digits[byte & 15]};
        } else {
            shown += c;
        }
    }
    return shown;
}

QString printable(const QString &name)
{
    QString shown;
    for (const QChar c : name) {
        if (c == '\t') {
            shown += "\\t";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            shown += QString("\\x%1").arg(c.unicode(), 2, 16, QChar('0'));
        } else {
            shown += c;
        }
    }
    return shown;
}

void write(std::string_view text)
{
    const bool plain = std::none_of(text.begin(), text.end(), hidden_control);
    const std::string shown = plain ? std::string() : without_controls(text);
    if (!plain) {
        text = shown;
    }
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
