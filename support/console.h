#pragma once
// The program's console: every progress, timing and error line of the window, the jobs and the
// command-line front end goes through here. Each call writes its text as one piece, so lines
// written from a worker thread and from the user-interface thread never interleave mid-text.
// Control characters other than line ends and tabs (an escape sequence in a file name) are
// shown as \xNN instead of reaching the terminal.

#include <QString>

#include <iosfwd>
#include <string>
#include <string_view>

namespace console {

void write(std::string_view text);
void write(const QString &text); // encoded as UTF-8
inline void write(const char *text)
{
    write(std::string_view(text));
}
inline void write(const std::string &text)
{
    write(std::string_view(text));
}

// A name as a console line shows it: every control character escaped (\t, \n, \r, \xNN), so
// that a name cannot break a line or a column.
QString printable(const QString &name);

// Control characters other than "\n" and "\t" escaped as \xNN.
std::string without_controls(std::string_view text);

// Sends all further output to `sink` (nullptr: back to std::cout) and returns the previous sink.
std::ostream *set_sink(std::ostream *sink);

} // namespace console
