#include "ft1/ft1_reader.h"

#include "ft1/ft1_number.h"

#include "support/checksum.h"

#include <QFile>
#include <QFileInfo>
#include <QTextCodec>
#include <QTextStream>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Field = std::string_view;

// The first five fields of a line at most: a header needs no more, and a line of millions of
// fields costs nothing more than its text.
std::vector<Field> split_fields(Field line)
{
    constexpr std::size_t header_fields = 5;
    std::vector<Field> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find(';', start);
        if (end == Field::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, end - start));
        if (fields.size() == header_fields) {
            return fields;
        }
        start = end + 1;
    }
}

Field first_field(Field line)
{
    return line.substr(0, line.find(';'));
}

QString text_of(Field field)
{
    return QString::fromUtf8(field.data(), static_cast<int>(field.size()));
}

// A field as a message quotes it: long ones cut.
QString quoted(Field field)
{
    constexpr std::size_t longest = 60;
    return field.size() <= longest ? text_of(field) : text_of(field.substr(0, longest)) + "...";
}

int to_int(Field field, bool *ok)
{
    // No whole number of an int takes this many characters, even with spaces around it.
    constexpr std::size_t longest = 64;
    if (field.size() > longest) {
        *ok = false;
        return 0;
    }
    return text_of(field).toInt(ok, 10);
}

bool is_number(Field field)
{
    bool ok = false;
    parse_ft1_value(field.data(), field.data() + field.size(), &ok);
    return ok;
}

// A line that opens a record: five fields or more, whole-number map sizes, and a first field
// that is not a number (so that it is not mistaken for a data line).
bool is_whole_number(Field field)
{
    bool ok = false;
    to_int(field, &ok);
    return ok;
}

bool looks_like_header(const std::vector<Field> &fields)
{
    return fields.size() >= 5 && !is_number(fields[0]) && is_whole_number(fields[3]) &&
           is_whole_number(fields[4]);
}

// Lines reach the parser as UTF-8: plain ASCII lines as they are in the file, other lines
// decoded with the file's codec (as a text stream would) and re-encoded.
class Ft1Parser
{
public:
    Ft1Parser(const QString &path, QTextCodec *codec, int expected_records, qint64 file_size,
              const TextReadOptions &options)
        : m_path(path)
        , m_codec(codec)
        , m_expected_records(expected_records)
        , m_file_size(file_size)
        , m_options(options)
    {}

    // A line too long to be part of a database, left out unread.
    void overlong_line(qint64 number)
    {
        problem_at(number,
                   QString("line longer than %1 MiB; it is ignored").arg(longest_line >> 20));
    }

    void line(Field raw, qint64 number, bool terminated, qint64 bytes_after)
    {
        if (raw.empty()) {
            return;
        }
        const Field text = normalised(raw, terminated);
        if (text.empty()) {
            return;
        }
        m_number = number;
        const bool end_line = first_field(text) == "EOR";
        switch (m_state) {
        case State::Skipping:
            if (end_line) {
                m_state = State::Header;
            } else if (looks_like_header(split_fields(text))) {
                header(text, bytes_after);
            }
            return;
        case State::Header:
            if (!end_line) {
                header(text, bytes_after);
            }
            return;
        case State::Record:
            if (end_line) {
                close_record();
            } else {
                record_line(text, bytes_after);
            }
            return;
        }
    }

    Ft1Contents finish()
    {
        if (m_state == State::Record) {
            problem_at(m_record_line, QString("record \"%1\" has no EOR before the end of the "
                                              "file; it is not loaded")
                                          .arg(m_map.name));
        }
        close_problem_list(m_contents, m_path);
        return std::move(m_contents);
    }

private:
    enum class State { Header, Record, Skipping };

    Field normalised(Field raw, bool terminated)
    {
        bool ascii = true;
        for (char c : raw) {
            if (static_cast<unsigned char>(c) >= 0x80) {
                ascii = false;
                break;
            }
        }
        if (ascii) {
            return raw;
        }
        // Decoded with its line end, as a stream sees it, so that a sequence cut by the end
        // of the line decodes the same; the header of the codec is not looked for mid-file.
        QByteArray bytes(raw.data(), static_cast<int>(raw.size()));
        if (terminated) {
            bytes.append('\n');
        }
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        QString decoded = m_codec->toUnicode(bytes.constData(), bytes.size(), &state);
        if (terminated && decoded.endsWith(QLatin1Char('\n'))) {
            decoded.chop(1);
        }
        m_scratch = decoded.toUtf8();
        return Field(m_scratch.constData(), static_cast<std::size_t>(m_scratch.size()));
    }

    void problem(const QString &what) { problem_at(m_number, what); }
    void problem_at(qint64 line, const QString &what)
    {
        if (++m_contents.problem_count <= max_problems_listed) {
            m_contents.problems.append(QString("%1:%2: %3").arg(m_path).arg(line).arg(what));
        }
    }

    void header(Field text, qint64 bytes_after)
    {
        ++m_contents.header_lines;
        m_state = State::Header;
        const std::vector<Field> fields = split_fields(text);
        if (fields.size() < 5) {
            problem(QString("header line with %1 of the five fields; the record is skipped")
                        .arg(fields.size()));
            m_state = State::Skipping;
            return;
        }
        bool ok_width = false;
        bool ok_height = false;
        const int width = to_int(fields[3], &ok_width);
        const int height = to_int(fields[4], &ok_height);
        const QString name = text_of(fields[0]);
        if (!ok_width || !ok_height) {
            problem(QString("map sizes \"%1\" and \"%2\" of record \"%3\" are not whole numbers; "
                            "the record is skipped")
                        .arg(quoted(fields[3]), quoted(fields[4]), name));
            m_state = State::Skipping;
            return;
        }
        Ft1Record record;
        record.name = name;
        bool ok = false;
        record.image_width = to_int(fields[1], &ok);
        record.image_width = ok ? record.image_width : -1;
        record.image_height = to_int(fields[2], &ok);
        record.image_height = ok ? record.image_height : -1;
        record.map_width = width;
        record.map_height = height;
        record.complete = width <= 0 || height <= 0;
        m_contents.records.append(record);
        if (width <= 0 || height <= 0) {
            return; // an image too small for the window: counted, no map
        }
        // Every value takes at least two characters ("0;") and every row a line end.
        const qint64 least_bytes = qint64(width) * height * 2 + height;
        if (least_bytes > bytes_after) {
            problem(QString("record \"%1\" declares %2 x %3 values, more than the rest of the "
                            "file can hold; the record is skipped")
                        .arg(name)
                        .arg(width)
                        .arg(height));
            m_state = State::Skipping;
            return;
        }
        // The same holds for all records together: their maps never take more memory than
        // the file's text could fill, however many records declare sizes and stop short.
        if (least_bytes > m_file_size - m_declared_bytes) {
            problem(QString("record \"%1\" declares %2 x %3 values; with the records before it, "
                            "more than the file can hold; the record is skipped")
                        .arg(name)
                        .arg(width)
                        .arg(height));
            m_state = State::Skipping;
            return;
        }
        m_declared_bytes += least_bytes;
        m_open_bytes = least_bytes;
        m_map = FeatureMap::allocate(width, height, name);
        m_row = 0;
        m_record_line = m_number;
        m_state = State::Record;
    }

    void record_line(Field text, qint64 bytes_after)
    {
        const Field first = first_field(text);
        const bool suspicious = m_row >= m_map.height || !is_number(first);
        if (suspicious && looks_like_header(split_fields(text))) {
            problem(QString("record \"%1\" (line %2) has no EOR before this header; it is not "
                            "loaded")
                        .arg(m_map.name)
                        .arg(m_record_line));
            m_declared_bytes -= m_open_bytes;
            m_map = FeatureMap();
            header(text, bytes_after);
            return;
        }
        if (m_row >= m_map.height) {
            problem(QString("more data lines than the %1 rows of record \"%2\"; the line is "
                            "ignored")
                        .arg(m_map.height)
                        .arg(m_map.name));
            return;
        }
        data_line(text);
    }

    void data_line(Field text)
    {
        float *row = m_map.data() + qint64(m_row) * m_map.width;
        int values = 0;
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = text.find(';', start);
            if (end == Field::npos) {
                break; // the last field follows the last ";" and holds no value
            }
            const Field field = text.substr(start, end - start);
            if (values < m_map.width) {
                bool ok = false;
                row[values] = parse_ft1_value(field.data(), field.data() + field.size(), &ok);
                if (!ok) {
                    problem(QString("\"%1\" is not a number; it reads as %2")
                                .arg(quoted(field))
                                .arg(double(row[values])));
                }
            }
            ++values;
            start = end + 1;
        }
        if (start < text.size()) {
            problem(QString("no \";\" after the last value \"%1\"; it is dropped")
                        .arg(quoted(text.substr(start))));
        }
        if (values != m_map.width) {
            problem(QString("%1 values in a row of record \"%2\", which has %3; %4")
                        .arg(values)
                        .arg(m_map.name)
                        .arg(m_map.width)
                        .arg(values < m_map.width ? "the missing ones read as 0"
                                                  : "the extra ones are ignored"));
        }
        ++m_row;
    }

    void close_record()
    {
        if (m_row < m_map.height) {
            problem(QString("record \"%1\" ends after %2 of its %3 rows; the missing rows read "
                            "as 0")
                        .arg(m_map.name)
                        .arg(m_row)
                        .arg(m_map.height));
        }
        ++m_maps_read;
        m_contents.records.last().complete = true;
        if (m_options.on_map) {
            m_options.on_map(m_map);
        } else {
            m_contents.maps.append(m_map);
        }
        m_map = FeatureMap();
        m_state = State::Header;
        if (m_options.progress) {
            m_options.progress(m_maps_read, m_expected_records);
        }
    }

    QString m_path;
    QTextCodec *m_codec;
    int m_expected_records;
    qint64 m_file_size;
    qint64 m_declared_bytes = 0; // the least text of the records kept or open
    qint64 m_open_bytes = 0;     // of the open record
    const TextReadOptions &m_options;
    Ft1Contents m_contents;
    int m_maps_read = 0;
    State m_state = State::Header;
    FeatureMap m_map;
    int m_row = 0;
    qint64 m_record_line = 0;
    qint64 m_number = 0;
    QByteArray m_scratch;
};

// The file's lines, read piece by piece. Text mode: carriage returns are dropped, as a text
// stream reading the file sees it. Files in an encoding whose bytes are not ASCII-based (UTF-16,
// UTF-32 with their marks, or such a locale) are decoded as a stream does and passed on as
// UTF-8; others pass as they are, a UTF-8 byte order mark removed.
// The file's bytes as they are read, checksummed on the way: the bytes summed are the bytes
// parsed, whatever happens to the file meanwhile.
class SummingDevice : public QIODevice
{
public:
    explicit SummingDevice(QFile &file)
        : m_file(file)
    {
        QIODevice::open(QIODevice::ReadOnly);
    }

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_file.size(); }
    bool seek(qint64 position) override
    {
        if (position == 0) {
            m_sum = Checksum();
            m_bytes = 0;
        }
        return QIODevice::seek(position) && m_file.seek(position);
    }

    std::uint64_t checksum() const { return m_sum.value(); }
    qint64 bytes() const { return m_bytes; }

protected:
    qint64 readData(char *data, qint64 most) override
    {
        const qint64 read = m_file.read(data, most);
        if (read > 0) {
            m_sum.add(data, std::size_t(read));
            m_bytes += read;
        }
        return read;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QFile &m_file;
    Checksum m_sum;
    qint64 m_bytes = 0;
};

class LineSource
{
public:
    explicit LineSource(QIODevice &file)
        : m_file(file)
        , m_size(file.size())
    {
        QTextCodec *codec = QTextCodec::codecForLocale();
        const int mib = codec->mibEnum();
        const bool ascii_based =
            mib == 106 /* UTF-8 */ || mib == 4 /* ISO-8859-1 */ || mib == 3 /* US-ASCII */;
        const QByteArray head = file.peek(4);
        QTextCodec *marked = QTextCodec::codecForUtfText(head, nullptr);
        if (marked && marked->mibEnum() == 106) {
            file.read(3); // a UTF-8 byte order mark
            m_codec = marked;
        } else if (marked || !ascii_based) {
            m_stream = std::make_unique<QTextStream>(&file);
            m_codec = QTextCodec::codecForMib(106);
        } else {
            m_codec = codec;
        }
    }

    QTextCodec *codec() const { return m_codec; }
    qint64 size() const { return m_size; }

    // Calls line(text, number, terminated, bytes_after) for every line, and overlong(number)
    // for each line longer than longest_line. bytes_after is at least what follows the line.
    template <typename Line, typename Overlong>
    void each(const Line &line, const Overlong &overlong)
    {
        QByteArray pending;
        qint64 number = 0;
        bool skipping = false; // inside a line too long to keep
        for (;;) {
            const QByteArray piece = next_piece();
            const bool last = piece.isEmpty();
            pending.append(piece);
            int start = 0;
            for (;;) {
                const int end = pending.indexOf('\n', start);
                if (end < 0) {
                    break;
                }
                ++number;
                if (skipping) {
                    skipping = false;
                } else {
                    line(std::string_view(pending.constData() + start, std::size_t(end - start)),
                         number, true, unread() + (pending.size() - end - 1));
                }
                start = end + 1;
            }
            pending.remove(0, start);
            if (!skipping && pending.size() > longest_line) {
                overlong(number + 1);
                skipping = true;
            }
            if (skipping) {
                pending.clear();
            }
            if (last) {
                if (!pending.isEmpty() && !skipping) {
                    line(std::string_view(pending.constData(), std::size_t(pending.size())),
                         number + 1, false, 0);
                }
                return;
            }
        }
    }

private:
    static constexpr qint64 piece_size = qint64(4) << 20;

    qint64 unread() const { return m_stream ? m_size - m_file.pos() : m_size - m_read; }

    QByteArray next_piece()
    {
        if (m_stream) {
            QString text = m_stream->read(piece_size / 2);
            if (!text.isEmpty() && QChar(text.back()).isHighSurrogate()) {
                text += m_stream->read(1); // a pair is never cut
            }
            QByteArray piece = text.toUtf8();
            piece.replace('\r', QByteArray());
            return piece;
        }
        // No larger than what is left (and one byte more, to see the end), so that a small file
        // costs a small buffer.
        QByteArray piece =
            m_file.read(std::min(piece_size, std::max<qint64>(m_size - m_read, 0) + 1));
        m_read += piece.size();
        piece.replace('\r', QByteArray());
        return piece;
    }

    QIODevice &m_file;
    qint64 m_size;
    qint64 m_read = 0;
    QTextCodec *m_codec = nullptr;
    std::unique_ptr<QTextStream> m_stream;
};

} // namespace

namespace {

// Opens only regular files, without waiting on a pipe or a device on the way (which could also
// feed the reader without end); why not, or an empty string.
QString open_regular(const QString &path, QFile &file)
{
    const int descriptor =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return QString::fromLocal8Bit(std::strerror(errno));
    }
    struct stat status {
    };
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        const bool folder = S_ISDIR(status.st_mode);
        ::close(descriptor);
        return folder ? QStringLiteral("is a folder") : QStringLiteral("not a regular file");
    }
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return file.errorString();
    }
    return QString();
}

} // namespace

Ft1Contents read_ft1_text(const QString &path, const TextReadOptions &options)
{
    Ft1Contents contents;
    QFile file;
    contents.error = open_regular(path, file);
    if (!contents.error.isEmpty()) {
        return contents;
    }
    const FileStamp stamp = stamp_of_descriptor(file.handle());
    SummingDevice device(file);
    // Progress counts records against the "EOR" lines of the file, counted first.
    int end_lines = 0;
    if (options.progress) {
        LineSource counting(device);
        counting.each([&](std::string_view text, qint64, bool,
                          qint64) { end_lines += text.substr(0, 3) == "EOR" ? 1 : 0; },
                      [](qint64) {});
        device.seek(0);
    }
    LineSource source(device);
    Ft1Parser parser(path, source.codec(), end_lines, source.size(), options);
    source.each([&](std::string_view text, qint64 number, bool terminated,
                    qint64 bytes_after) { parser.line(text, number, terminated, bytes_after); },
                [&](qint64 number) { parser.overlong_line(number); });
    contents = parser.finish();
    contents.opened = true;
    contents.source = {device.bytes(), device.checksum(), stamp};
    return contents;
}
