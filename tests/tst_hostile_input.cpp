// Hostile files and settings, each given to the command-line front end in a child process held
// to 2 GiB of address space (the sanitizer build, whose shadow memory needs far more, runs
// without the cap) and a time limit: every case ends with its message and its exit status, and
// the good input beside it is still used.

#include "test_support.h"

#include <QBuffer>
#include <QImageWriter>
#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool memory_capped = false;
#else
constexpr bool memory_capped = true;
#endif
constexpr rlim_t memory_cap = rlim_t(2) << 30;
constexpr int seconds_allowed = 60;

class CappedProcess : public QProcess
{
protected:
    void setupChildProcess() override
    {
        if (memory_capped) {
            const rlimit cap{memory_cap, memory_cap};
            setrlimit(RLIMIT_AS, &cap);
        }
    }
};

using Run = ProgramRun;

Run cli(const QStringList &arguments)
{
    return run_program<CappedProcess>(PICTRACE_CLI, arguments, seconds_allowed);
}

QByteArray big_endian(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int k = 0; k < 4; ++k) {
        bytes[k] = char(value >> (24 - 8 * k));
    }
    return bytes;
}

QByteArray little_endian(quint32 value, int size)
{
    QByteArray bytes(size, '\0');
    for (int k = 0; k < size; ++k) {
        bytes[k] = char(value >> (8 * k));
    }
    return bytes;
}

QByteArray png_chunk(const QByteArray &type, const QByteArray &data)
{
    const QByteArray body = type + data;
    const auto crc =
        quint32(crc32(0, reinterpret_cast<const Bytef *>(body.constData()), uInt(body.size())));
    return big_endian(quint32(data.size())) + body + big_endian(crc);
}

// A PNG declaring width x height (1-bit grey) with `rows` rows of data.
QByteArray png(quint32 width, quint32 height, int rows)
{
    const QByteArray row(int(1 + (width + 7) / 8), '\0');
    QByteArray compressed = qCompress(row.repeated(rows), 9).mid(4); // zlib stream
    return QByteArray("\x89PNG\r\n\x1a\n", 8) +
           png_chunk("IHDR",
                     big_endian(width) + big_endian(height) + QByteArray("\x01\0\0\0\0", 5)) +
           png_chunk("IDAT", compressed) + png_chunk("IEND", QByteArray());
}

// A small real JPEG whose frame header is then made to declare width x height.
QByteArray jpeg(int width, int height, bool progressive)
{
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(qRgb(90, 120, 150));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    for (int k = 0; k + 9 < bytes.size(); ++k) {
        const auto marker = quint8(bytes[k + 1]);
        if (quint8(bytes[k]) == 0xff && (marker == 0xc0 || marker == 0xc2)) {
            bytes[k + 5] = char(height >> 8);
            bytes[k + 6] = char(height);
            bytes[k + 7] = char(width >> 8);
            bytes[k + 8] = char(width);
            break;
        }
    }
    return bytes;
}

QByteArray bmp(qint32 width, qint32 height)
{
    return "BM" + little_endian(0, 4) + little_endian(0, 4) + little_endian(54, 4) +
           little_endian(40, 4) + little_endian(quint32(width), 4) +
           little_endian(quint32(height), 4) + little_endian(1, 2) + little_endian(24, 2) +
           QByteArray(24, '\0') + QByteArray(64, '\x7f');
}

// An icon of one entry (its directory says 256 x 256), the image given.
QByteArray ico(const QByteArray &image)
{
    QByteArray bytes("\0\0\1\0\1\0", 6);
    bytes += QByteArray("\0\0\0\0\1\0\x20\0", 8);
    for (quint32 value : {quint32(image.size()), quint32(22)}) {
        for (int k = 0; k < 4; ++k) {
            bytes += char(value >> (8 * k) & 0xff);
        }
    }
    return bytes + image;
}

QByteArray gif(int width, int height)
{
    return "GIF89a" + little_endian(quint32(width), 2) + little_endian(quint32(height), 2) +
           QByteArray("\0\0\0,\0\0\0\0", 8) + little_endian(quint32(width), 2) +
           little_endian(quint32(height), 2) + QByteArray("\0\x02\x02\x4c\x01\0;", 7);
}

// A folder "images" with one good image and the hostile file under `name`.
void images_with(const QString &name, const QByteArray &bytes)
{
    QDir().mkpath("images");
    save_grey_image("images/good.png", 120, 90, [](int x, int y) { return (x * 7 + y * 3) % 256; });
    if (!bytes.isNull()) {
        QVERIFY(write_file("images/" + name, bytes));
    }
}

} // namespace

class TestHostileInput : public QObject
{
    Q_OBJECT

private slots:
    // Built with the good image alone; the hostile one is named, never decoded.
    void hostile_images_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        // On standard output; empty: the file is no image, named with the decoder's reason.
        QTest::addColumn<QString>("line");
        const QString over = "more than the limit of 128 megapixels (--max-megapixels N raises it)";
        QTest::newRow("PNG of 60000 x 60000 pixels")
            << "bomb.png" << png(60000, 60000, 4)
            << "skipped bomb.png: 60000 x 60000 pixels (3600 megapixels), " + over;
        QTest::newRow("PNG of a million columns, 200 rows")
            << "wide.png" << png(1000000, 200, 4)
            << "skipped wide.png: 1000000 x 200 pixels (200 megapixels), " + over;
        QTest::newRow("PNG of 2^31 - 1 rows, beyond the decoder's own limit")
            << "tall.png" << png(1, 0x7fffffff, 4)
            << "skipped tall.png: the image does not declare its size";
        QTest::newRow("BMP of one row, 200 million columns")
            << "wide.bmp" << bmp(200000000, 1)
            << "skipped wide.bmp: 200000000 x 1 pixels (200 megapixels), " + over;
        QTest::newRow("JPEG declaring 65500 x 65500")
            << "bomb.jpg" << jpeg(65500, 65500, false)
            << "skipped bomb.jpg: 65500 x 65500 pixels (4290 megapixels), " + over;
        QTest::newRow("progressive JPEG declaring 30000 x 30000")
            << "bomb2.jpg" << jpeg(30000, 30000, true)
            << "skipped bomb2.jpg: 30000 x 30000 pixels (900 megapixels), " + over;
        QTest::newRow("SVG declaring 60000 x 60000")
            << "bomb.svg"
            << QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"60000\" "
                          "height=\"60000\"><rect width=\"10\" height=\"10\"/></svg>")
            << "skipped bomb.svg: 60000 x 60000 pixels (3600 megapixels), " + over;
        QTest::newRow("GIF declaring 65535 x 65535")
            << "bomb.gif" << gif(65535, 65535)
            << "skipped bomb.gif: 65535 x 65535 pixels (4295 megapixels), " + over;
        QTest::newRow("BMP declaring 60000 x -60000")
            << "bomb.bmp" << bmp(60000, -60000)
            << "skipped bomb.bmp: 60000 x 60000 pixels (3600 megapixels), " + over;
        QTest::newRow("PGM declaring 60000 x 60000")
            << "bomb.pgm" << QByteArray("P5\n# made\n60000 60000\n255\n").append(64, '\0')
            << "skipped bomb.pgm: 60000 x 60000 pixels (3600 megapixels), " + over;
        QTest::newRow("XPM declaring 60000 x 60000")
            << "bomb.xpm"
            << QByteArray(
                   "/* XPM */\nstatic char *x[] = {\n\"60000 60000 1 1\",\n\"a c #000000\",\n"
                   "\"aaaa\"};\n")
            << "skipped bomb.xpm: 60000 x 60000 pixels (3600 megapixels), " + over;
        QTest::newRow("icon holding a PNG of 60000 x 60000")
            << "bomb.ico" << ico(png(60000, 60000, 4))
            << "skipped bomb.ico: 60000 x 60000 pixels (3600 megapixels), " + over;
        QTest::newRow("PNG cut short") << "short.png" << png(300, 200, 200).left(60) << "";
        QTest::newRow("empty file") << "empty.png" << QByteArray("") << "";
        QTest::newRow("text under an image name")
            << "notes.jpg" << QByteArray("just words\n") << "";
    }
    void hostile_images()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, line);
        ScopedWorkdir dir;
        images_with(name, bytes);
        const Run run = cli({"-r", "10", "build", "images", "db"});
        // Decoders may warn on standard error; the front end itself has nothing to say there.
        QVERIFY2(!run.err.contains("pictrace-cli"), qPrintable(run.err));
        QCOMPARE(run.status, 0);
        QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.takeLast(), QString("precomputed_databases/db.ft1: 1 images written, 1 "
                                           "skipped, radius 10, step divisor 1"));
        QVERIFY2(lines.takeLast().endsWith("Database pre-processing done"), qPrintable(run.out));
        QCOMPARE(lines.size(), 1);
        if (line.isEmpty()) {
            QVERIFY2(lines[0].startsWith("skipped " + name + ": ") &&
                         lines[0].size() > QString("skipped " + name + ": ").size(),
                     qPrintable(lines[0]));
        } else {
            QCOMPARE(lines[0], line);
        }
        const Run info = cli({"info", "precomputed_databases/db.ft1"});
        QVERIFY2(info.out.contains("records          1: 1 with a map"), qPrintable(info.out));

        // The same file as the pattern of a search: refused with the reason, status 1.
        QVERIFY(QFile::copy("images/good.png", "images/good2.png"));
        if (!line.isEmpty()) {
            const Run search =
                cli({"-r", "10", "search", "images/" + name, "precomputed_databases/db.ft1"});
            QCOMPARE(search.status, 1);
            const QString reason = line.mid(QString("skipped " + name + ": ").size());
            QVERIFY2(search.err.contains("pictrace-cli: images/" + name + ": " + reason + "\n"),
                     qPrintable(search.err));
        }
    }

    // Files that are not regular files, or whose names cannot be opened, never block or vanish.
    void files_that_are_no_regular_images_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("line");
        QTest::newRow("link to a pipe") << "fifo link"
                                        << "skipped link.png: not a regular file";
        QTest::newRow("name that is not UTF-8")
            << "bad name"
            << QString("skipped bad%1.png: the file name is not valid UTF-8")
                   .arg(QChar(QChar::ReplacementCharacter));
    }
    void files_that_are_no_regular_images()
    {
        QFETCH(QString, kind);
        QFETCH(QString, line);
        ScopedWorkdir dir;
        images_with(QString(), QByteArray());
        if (kind == "fifo link") {
            QCOMPARE(mkfifo("pipe", 0600), 0);
            QCOMPARE(symlink("../pipe", "images/link.png"), 0);
        } else {
            const int file = ::open("images/bad\xff.png", O_WRONLY | O_CREAT, 0600);
            QVERIFY(file >= 0);
            ::close(file);
        }
        const Run run = cli({"-r", "10", "build", "images", "db"});
        QCOMPARE(run.status, 0);
        QVERIFY2(run.out.startsWith(line + "\n"), qPrintable(run.out));
        QVERIFY2(run.out.contains("Database pre-processing done"), qPrintable(run.out));
    }

    // Databases: each loads what it holds, says what it skipped, in bounded memory.
    void hostile_databases_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("records"); // as info counts them
        QTest::addColumn<int>("headers");     // the system's count of images restored
        QTest::addColumn<QString>("said");    // a fragment of the lines printed
        QTest::newRow("a thousand records declaring 2500 x 2000, without data")
            << "declared"
            << "1001: 2 with a map, 0 without cells, 999 incomplete" << 1001
            << "declares 2500 x 2000 values; with the records before it, more than the file can "
               "hold";
        QTest::newRow("one line of 2^27 semicolons")
            << "semicolons"
            << "2: 2 with a map" << 2 << "line longer than 64 MiB; it is ignored";
        QTest::newRow("ten million malformed lines")
            << "malformed"
            << "2: 2 with a map" << 2 << "9999900 more malformed lines";
        QTest::newRow("records around 2.1 GB of holes")
            << "sparse"
            << "2: 2 with a map" << 2 << "line longer than 64 MiB";
    }
    void hostile_databases()
    {
        QFETCH(QString, kind);
        QFETCH(QString, records);
        QFETCH(int, headers);
        QFETCH(QString, said);
        ScopedWorkdir dir;
        const QByteArray good = "good;24;24;2;2;\n1;2;\n3;4;\nEOR\n";
        QFile file("db.ft1");
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (kind == "declared") {
            file.write(good);
            for (int k = 0; k < 1000; ++k) {
                file.write(QString("r%1;5000;4000;2500;2000;\nEOR\n").arg(k).toUtf8());
            }
            file.write(QByteArray(10 << 20, '\n'));
        } else if (kind == "semicolons") {
            file.write(good + "a;1;1;1;1;\n");
            file.write(QByteArray(1 << 27, ';'));
            file.write("\nEOR\n");
        } else if (kind == "malformed") {
            file.write(good + "a;1;1;1;1;\n5;\n");
            file.write(QByteArray("6;\n").repeated(10000000));
            file.write("EOR\n");
        } else {
            file.write(good);
            QVERIFY(file.seek((qint64(2) << 30) + 100000000));
            file.write("\n" + good);
        }
        file.close();
        const Run run = cli({"-r", "1", "info", "db.ft1"});
        QCOMPARE(run.err, QString());
        QCOMPARE(run.status, 0);
        QVERIFY2(run.out.contains("records          " + records), qPrintable(run.out.left(2000)));
        // The search loads it the same way and prints at most a hundred malformed lines.
        save_grey_image("p.png", 30, 30, [](int x, int y) { return (x + y) % 256; });
        const Run search = cli({"-r", "10", "search", "p.png", "db.ft1"});
        QVERIFY2(search.status == 0 || search.status == 1, qPrintable(search.err));
        QVERIFY2(search.out.count('\n') < 120, qPrintable(search.out.left(2000)));
        QVERIFY2(search.out.contains(QString("restored %1 images").arg(headers)),
                 qPrintable(search.out.left(2000)));
        QVERIFY2(search.out.contains(said), qPrintable(search.out.left(2000)));
    }
};

QTEST_GUILESS_MAIN(TestHostileInput)
#include "tst_hostile_input.moc"
