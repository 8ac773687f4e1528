// Answers of the literal search: where the crop lies in pixels, the runner-up, the verdict,
// and the settings a database was built with.

#include "demo/synthetic_images.h"
#include "evaluation/answer.h"
#include "ft1/ft1_number.h"
#include "ft1/settings_fit.h"
#include "maps/descriptor.h"
#include "maps/grey_map.h"
#include "report/html_report.h"
#include "search/best_window.h"
#include "search/cell_index.h"
#include "search/crop_location.h"
#include "search/database_search.h"
#include "test_support.h"

#include <QBuffer>
#include <QtTest>

namespace {

// Smooth images that differ from each other: a crop off the grid still looks most like its own
// image.
FeatureMap smooth_image(int seed, int width, int height, const QString &name)
{
    FeatureMap map = FeatureMap::allocate(width, height, name);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double value = 128 + 55 * std::sin(x * (0.021 + 0.004 * seed) + seed) +
                                 45 * std::cos(y * (0.017 + 0.003 * seed) + 2 * seed) +
                                 20 * std::sin((x + y) * 0.05 + seed);
            map.at(x, y) = float(std::clamp(int(value), 0, 255));
        }
    }
    return map;
}

FeatureMap crop(const FeatureMap &image, int x0, int y0, int width, int height)
{
    FeatureMap part = FeatureMap::allocate(width, height, image.name);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            part.at(x, y) = image.at(x0 + x, y0 + y);
        }
    }
    return part;
}

struct Collection {
    QList<FeatureMap> images;
    QList<FeatureMap> database;
};

Collection collection(const WindowSettings &settings, const QStringList &names)
{
    Collection c;
    for (int k = 0; k < names.size(); ++k) {
        c.images.append(smooth_image(k, 320, 260, names[k]));
        FeatureMap map = descriptor_map(c.images.last(), settings);
        map.name = names[k];
        c.database.append(map);
    }
    return c;
}

Answer answer_for(const FeatureMap &pattern, const QList<FeatureMap> &database,
                  const WindowSettings &settings)
{
    ConsoleCapture quiet;
    const SearchOutcome outcome = search_patterns(settings, {pattern}, database);
    return literal_answer(outcome.picks.first(), pattern.name + ".png",
                          QSize(pattern.width, pattern.height), settings, "nowhere");
}

// A map as a loaded database holds it: every value rounded to the six digits of the .ft1 text.
FeatureMap through_text(const FeatureMap &map)
{
    FeatureMap copy = FeatureMap::allocate(map.width, map.height, map.name);
    char text[ft1_value_max_length + 1];
    for (qint64 k = 0; k < map.cell_count(); ++k) {
        copy.values[k] = parse_ft1_value(text, format_ft1_value(map.values[k], text));
    }
    return copy;
}

QImage recompressed(const QImage &image, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", quality);
    return QImage::fromData(bytes, "JPEG");
}

Ft1Record record(int image_width, int image_height, const WindowSettings &settings)
{
    Ft1Record r;
    r.image_width = image_width;
    r.image_height = image_height;
    r.map_width = descriptor_extent(image_width, settings.radius, settings.step());
    r.map_height = descriptor_extent(image_height, settings.radius, settings.step());
    r.complete = true;
    return r;
}

} // namespace

Q_DECLARE_METATYPE(QList<WindowSettings>)

class TestAnswers : public QObject
{
    Q_OBJECT

private slots:
    // A crop is found exactly where it was cut, on the grid or off it, at the pick the literal
    // search made: the same image, cell and score.
    void crop_position_in_pixels_data()
    {
        QTest::addColumn<int>("radius");
        QTest::addColumn<int>("step_divisor");
        QTest::addColumn<int>("x0");
        QTest::addColumn<int>("y0");
        QTest::newRow("radius 4, at the corner") << 4 << 1 << 0 << 0;
        QTest::newRow("radius 4, on the grid") << 4 << 1 << 12 << 28;
        QTest::newRow("radius 4, off the grid") << 4 << 1 << 13 << 30;
        QTest::newRow("radius 6, off the grid by one") << 6 << 1 << 37 << 19;
        QTest::newRow("radius 6, off the grid by five") << 6 << 1 << 47 << 65;
        QTest::newRow("radius 8 step 4, on the grid") << 8 << 2 << 40 << 44;
        QTest::newRow("radius 8 step 4, off the grid") << 8 << 2 << 42 << 45;
        QTest::newRow("radius 10, off the grid") << 10 << 1 << 77 << 53;
    }
    void crop_position_in_pixels()
    {
        QFETCH(int, radius);
        QFETCH(int, step_divisor);
        QFETCH(int, x0);
        QFETCH(int, y0);
        const WindowSettings settings{radius, step_divisor};
        const Collection c = collection(settings, {"a", "b", "c"});
        const FeatureMap pattern = crop(c.images[1], x0, y0, 150, 120);
        const Answer answer = answer_for(pattern, c.database, settings);
        QCOMPARE(answer.picked_name, QString("b"));
        QVERIFY(answer.found);
        QCOMPARE(answer.crop, QRect(x0, y0, 150, 120));
        QCOMPARE(answer.tolerance, 0);
        QVERIFY(answer.located);
        const std::optional<MatchCandidate> literal =
            best_window(descriptor_map(pattern, settings), c.database, 1);
        QCOMPARE((QList<float>{float(answer.best->x), float(answer.best->y), answer.best->score}),
                 (QList<float>{float(literal->x), float(literal->y), literal->score}));
        QCOMPARE(answer.map_size, QSize(descriptor_extent(150, radius, settings.step()),
                                        descriptor_extent(120, radius, settings.step())));
    }

    // The corner is found from a cell up to locate_reach cells off the true one, in a map read
    // back from its text; farther off, it is not.
    void crop_located_near_the_cell_data()
    {
        QTest::addColumn<int>("x0");
        QTest::addColumn<int>("y0");
        QTest::addColumn<QPoint>("off"); // cells from the true one
        QTest::addColumn<bool>("located");
        QTest::newRow("at the true cell") << 47 << 65 << QPoint(0, 0) << true;
        QTest::newRow("three cells right, one up") << 47 << 65 << QPoint(3, -1) << true;
        QTest::newRow("the reach either way")
            << 47 << 65 << QPoint(-locate_reach, locate_reach) << true;
        QTest::newRow("at the image's corner, from two cells off")
            << 0 << 0 << QPoint(2, 2) << true;
        QTest::newRow("beyond the reach") << 47 << 65 << QPoint(locate_reach + 2, 0) << false;
    }
    void crop_located_near_the_cell()
    {
        QFETCH(int, x0);
        QFETCH(int, y0);
        QFETCH(QPoint, off);
        QFETCH(bool, located);
        const WindowSettings settings{6, 1};
        const FeatureMap image = smooth_image(1, 320, 260, "b");
        const FeatureMap map = through_text(descriptor_map(image, settings));
        const int step = settings.step();
        const QPoint cell((x0 + step - 1) / step + off.x(), (y0 + step - 1) / step + off.y());
        const std::optional<LocatedCrop> found =
            locate_crop(crop(image, x0, y0, 150, 120), map, settings, cell);
        QVERIFY(found);
        QCOMPARE(found->corner == QPoint(x0, y0), located);
        QCOMPARE(found->corner, QPoint(found->cell.x() * step - found->phase.x(),
                                       found->cell.y() * step - found->phase.y()));
    }

    // The picked image's file: the pattern's suffix first, then the suffixes Qt reads, sorted.
    void found_image_file_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("found");
        QTest::newRow("the pattern's suffix") << QStringList{"cat.jpg", "cat.png"} << "png"
                                              << "db/cat.png";
        QTest::newRow("png crop of a jpeg collection") << QStringList{"cat.jpg"} << "png"
                                                       << "db/cat.jpg";
        QTest::newRow("sorted: jpg before png") << QStringList{"cat.png", "cat.jpg"} << "bmp"
                                                << "db/cat.jpg";
        QTest::newRow("upper case") << QStringList{"cat.JPG"} << "png"
                                    << "db/cat.JPG";
        QTest::newRow("other names and non-images left")
            << QStringList{"cats.png", "cat.txt"} << "png"
            << "";
        QTest::newRow("a folder is no image") << QStringList{"cat.png/"} << "jpg"
                                              << "";
        QTest::newRow("pattern without suffix") << QStringList{"cat.png"} << ""
                                                << "db/cat.png";
    }
    void found_image_file()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, suffix);
        QFETCH(QString, found);
        ScopedWorkdir dir;
        for (const QString &file : files) {
            QVERIFY(file.endsWith('/') ? dir.mkpath("db/" + file)
                                       : dir.mkpath("db") && write_file("db/" + file, "x"));
        }
        QCOMPARE(::found_image_file("db", "cat", suffix), found);
    }

    void verdicts_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QRect>("cut"); // from image 0
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QString>("runner_up");
        QTest::newRow("a clear best")
            << QStringList{"a", "b", "c"} << QRect(20, 16, 160, 120) << "found"
            << "";
        QTest::newRow("the same image under two names")
            << QStringList{"a", "b", "twin"} << QRect(20, 16, 160, 120) << "ambiguous"
            << "twin";
        QTest::newRow("the same image twice under one name")
            << QStringList{"a", "b", "a"} << QRect(20, 16, 160, 120) << "found"
            << "";
        QTest::newRow("smaller than the window")
            << QStringList{"a", "b"} << QRect(0, 0, 8, 30) << "no cells"
            << "";
        QTest::newRow("larger than every map")
            << QStringList{"a", "b"} << QRect(0, 0, 320, 260) << "no window"
            << "";
    }
    void verdicts()
    {
        QFETCH(QStringList, names);
        QFETCH(QRect, cut);
        QFETCH(QString, verdict);
        QFETCH(QString, runner_up);
        const WindowSettings settings{4, 1};
        Collection c = collection(settings, names);
        if (names.last() == "twin" || names.last() == "a") {
            c.database.last() = c.database.first();
            c.database.last().name = names.last();
        }
        FeatureMap pattern = crop(c.images[0], cut.x(), cut.y(), cut.width(), cut.height());
        if (verdict == "no window") {
            // Larger than the image it would come from, too.
            pattern = smooth_image(0, 400, 300, "a");
        }
        const Answer answer = answer_for(pattern, c.database, settings);
        QCOMPARE(verdict_text(answer.verdict), verdict);
        QCOMPARE(answer.runner_up ? answer.runner_up->name : QString(), runner_up);
        if (!runner_up.isEmpty()) {
            QCOMPARE(*answer.ratio(), 1.0); // both score 0
        }
        const QString block = answer_block(answer);
        QVERIFY2(block.startsWith("answer: "), qPrintable(block));
        QVERIFY2(block.contains("(" + verdict + ")"), qPrintable(block));
    }

    // The aligned search's verdicts on generated photographs, read back through the .ft1 text:
    // crops at known offsets off the grid, exact or recompressed, and patterns that are no
    // crop of any image.
    void aligned_verdicts_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QRect>("cut"); // from image 2
        QTest::addColumn<QString>("verdict");
        QTest::newRow("an exact crop off the grid")
            << "exact" << QRect(37, 23, 190, 150) << "exact";
        QTest::newRow("an exact crop on the grid") << "exact" << QRect(40, 60, 170, 140) << "exact";
        QTest::newRow("recompressed as JPEG, quality 90")
            << "jpeg 90" << QRect(51, 9, 200, 160) << "found";
        QTest::newRow("recompressed as JPEG, quality 75")
            << "jpeg 75" << QRect(13, 71, 210, 150) << "found";
        QTest::newRow("the same image under two names")
            << "twin" << QRect(37, 23, 190, 150) << "ambiguous";
        QTest::newRow("an image of no collection")
            << "other" << QRect(30, 30, 200, 160) << "not found";
        QTest::newRow("one side of twice the radius")
            << "exact" << QRect(37, 23, 190, 40) << "too small";
        QTest::newRow("larger than every image") << "large" << QRect(0, 0, 360, 300) << "no window";
    }
    void aligned_verdicts()
    {
        QFETCH(QString, kind);
        QFETCH(QRect, cut);
        QFETCH(QString, verdict);
        const WindowSettings settings{20, 1};
        QList<QImage> images;
        QList<FeatureMap> database;
        for (int k = 0; k < 6; ++k) {
            images.append(synthetic_image(11, k, 320, 240));
            FeatureMap grey = grey_map_from_loaded_image(images.last());
            grey.name = QString("img%1").arg(k);
            database.append(through_text(descriptor_map(grey, settings)));
        }
        if (kind == "twin") {
            database.append(database[2]);
            database.last().name = "twin";
        }
        QImage part = kind == "other"   ? synthetic_image(12, 0, 320, 240).copy(cut)
                      : kind == "large" ? synthetic_image(11, 2, 360, 300)
                                        : images[2].copy(cut);
        if (kind.startsWith("jpeg")) {
            part = recompressed(part, kind.mid(5).toInt());
        }
        FeatureMap pattern = grey_map_from_loaded_image(part);
        pattern.name = "img2";
        const CellIndex index(database);
        SearchOptions options;
        options.mode = SearchMode::aligned;
        options.index = &index;
        ConsoleCapture quiet;
        const SearchOutcome outcome = search_patterns(settings, {pattern}, database, options);
        const Answer answer = aligned_answer(outcome.picks.first(), "img2.png",
                                             QSize(pattern.width, pattern.height), settings);
        const QString block = answer_block(answer);
        QCOMPARE(verdict_text(answer.verdict), verdict);
        QVERIFY2(block.contains("(" + verdict + ")"), qPrintable(block));
        if (verdict == "exact" || verdict == "found") {
            QCOMPARE(answer.picked_name, QString("img2"));
            QCOMPARE(answer.crop, cut); // to the pixel, recompressed or not
            QVERIFY(answer.found);
        }
        if (verdict == "exact") {
            QVERIFY(answer.best->score <= exact_share * answer.magnitude);
        }
        if (verdict == "ambiguous") {
            QVERIFY(answer.runner_up);
            QCOMPARE(answer.crop, cut);
        }
    }

    // A pick the votes named that scores 0: exact when the pattern has texture, never when it
    // has next to none (a flat crop, resampled, matches every flat window of a view exactly).
    void featureless_votes_data()
    {
        QTest::addColumn<double>("magnitude"); // of 12 cells
        QTest::addColumn<bool>("exact");
        QTest::newRow("no texture at all") << 0.0 << false;
        QTest::newRow("next to none") << 0.1 << false;
        QTest::newRow("a photograph's") << 6.0 << true;
    }
    void featureless_votes()
    {
        QFETCH(double, magnitude);
        QFETCH(bool, exact);
        PatternPick pick;
        pick.pattern_name = "p";
        pick.picked_by = PickedBy::votes;
        pick.any_cells = true;
        pick.best = MatchCandidate{3, 2, 0.0f, "view", 0};
        pick.map_width = 4;
        pick.map_height = 3;
        pick.magnitude = magnitude;
        pick.scale = 0.88;
        const Answer answer = indexed_answer(pick, "p.png", QSize(120, 100), {20, 1});
        QCOMPARE(answer.verdict == Verdict::exact, exact);
        QVERIFY(exact || answer.verdict != Verdict::found);
    }

    // The records of a build with given settings fit those settings; the settings that fit
    // them all are found back, and several when the sizes cannot tell them apart.
    void settings_that_fit_data()
    {
        QTest::addColumn<QList<QSize>>("images");
        QTest::addColumn<int>("radius");
        QTest::addColumn<int>("step_divisor");
        QTest::addColumn<QString>("fitting"); // of the same step divisor
        QTest::newRow("varied sizes, radius 20")
            << QList<QSize>{{413, 464}, {945, 1040}, {600, 777}} << 20 << 1
            << "radius 20, step divisor 1";
        QTest::newRow("varied sizes, radius 150")
            << QList<QSize>{{413, 464}, {945, 1040}, {600, 777}, {1200, 1187}} << 150 << 1
            << "radius 150 to 154, step divisor 1";
        QTest::newRow("one image: a run of radii")
            << QList<QSize>{{300, 200}} << 60 << 1 << "radius 60 to 66, step divisor 1";
        QTest::newRow("step divisor 2") << QList<QSize>{{413, 464}, {945, 1040}} << 40 << 2
                                        << "radius 40 to 41, step divisor 2";
        QTest::newRow("images too small for the window")
            << QList<QSize>{{90, 90}, {500, 400}} << 50 << 1 << "radius 50 to 55, step divisor 1";
    }
    void settings_that_fit()
    {
        QFETCH(QList<QSize>, images);
        QFETCH(int, radius);
        QFETCH(int, step_divisor);
        QFETCH(QString, fitting);
        const WindowSettings built{radius, step_divisor};
        QList<Ft1Record> records;
        for (const QSize &size : images) {
            records.append(record(size.width(), size.height(), built));
        }
        QVERIFY(settings_fit(records, built).fits_all());
        QCOMPARE(settings_text(fitting_settings(records, step_divisor)), fitting);
        QVERIFY(fitting_settings(records).contains(built));
        const WindowSettings other{radius + 20, step_divisor};
        QVERIFY(!settings_fit(records, other).fits_all());
        // A record without an image size tells nothing.
        Ft1Record unknown = records.first();
        unknown.image_width = -1;
        QCOMPARE(settings_fit({unknown}, other).known(), false);
    }

    void settings_texts_data()
    {
        QTest::addColumn<QList<WindowSettings>>("settings");
        QTest::addColumn<QString>("text");
        QTest::newRow("none") << QList<WindowSettings>{} << "";
        QTest::newRow("one") << QList<WindowSettings>{{20, 1}} << "radius 20, step divisor 1";
        QTest::newRow("runs by divisor")
            << QList<WindowSettings>{{20, 1}, {21, 1}, {22, 1}, {40, 2}, {60, 1}}
            << "radius 20 to 22, step divisor 1; radius 60, step divisor 1; radius 40, step "
               "divisor 2";
        QTest::newRow("more than three runs")
            << QList<WindowSettings>{{20, 1}, {30, 1}, {40, 1}, {50, 1}}
            << "radius 20, step divisor 1; radius 30, step divisor 1; radius 40, step divisor "
               "1; ...";
    }
    void settings_texts()
    {
        QFETCH(QList<WindowSettings>, settings);
        QFETCH(QString, text);
        QCOMPARE(settings_text(settings), text);
    }

    // How the found crop is placed, in the answer's lines and on the HTML page: a crop found
    // resized or turned back says so and is never called exact.
    void crop_wording_data()
    {
        QTest::addColumn<int>("tolerance");
        QTest::addColumn<double>("scale");
        QTest::addColumn<double>("angle");
        QTest::addColumn<QString>("block"); // in the answer's lines
        QTest::addColumn<QString>("page");  // on the page
        QTest::addColumn<int>("radius");    // of the maps it was found among, when not the search's
        QTest::newRow("exact") << 0 << 1.0 << 0.0 << "(grid phase 0, 0)"
                               << "(exact)" << 0;
        QTest::newRow("within the grid's step") << 6 << 1.0 << 0.0 << "within 6 pixels"
                                                << "(within 6 px)" << 0;
        QTest::newRow("resized") << 0 << 0.75 << 0.0 << "(the crop is 0.75 times its size)"
                                 << "(the crop is 0.75 times its size)" << 0;
        QTest::newRow("turned") << 0 << 1.0 << -2.0 << "(the crop shows it turned by -2 degrees)"
                                << "(the crop shows it turned by -2 degrees)" << 0;
        QTest::newRow("resized and turned")
            << 0 << 1.25 << 1.5 << "is 1.25 times its size and shows it turned by 1.5 degrees"
            << "is 1.25 times its size and shows it turned by 1.5 degrees" << 0;
        QTest::newRow("found at a smaller radius")
            << 0 << 0.5 << 0.0 << "  radius      10: among the maps of the database at that radius"
            << "over 20 cells at radius 10" << 10;
    }
    void crop_wording()
    {
        QFETCH(int, tolerance);
        QFETCH(double, scale);
        QFETCH(double, angle);
        QFETCH(QString, block);
        QFETCH(QString, page);
        QFETCH(int, radius);
        Answer answer;
        answer.file = "cat.png";
        answer.picked_name = "cat";
        answer.found = true;
        answer.verdict = Verdict::found;
        answer.best = MatchCandidate{3, 4, 1.5f, "cat", 0};
        answer.map_size = QSize(5, 4);
        answer.crop = QRect(40, 50, 120, 90);
        answer.tolerance = tolerance;
        answer.scale = scale;
        answer.angle = angle;
        answer.radius = radius;
        const QString lines = answer_block(answer);
        QVERIFY2(lines.contains(block), qPrintable(lines));
        HtmlReport report;
        report.title = "wording";
        report.rows = {ReportRow{answer, "nowhere/cat.png", {}}};
        const QString html = QString::fromUtf8(html_report(report));
        QVERIFY2(html.contains(page), qPrintable(html));
        QCOMPARE(html.contains("(exact)"), page == "(exact)");
    }
};

QTEST_GUILESS_MAIN(TestAnswers)
#include "tst_answers.moc"
