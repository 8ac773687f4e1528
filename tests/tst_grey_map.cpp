// Grey maps of image files and of images as loaded.

#include "maps/grey_map.h"
#include "test_support.h"

#include <QImage>
#include <QtTest>

namespace {

// The grey map written out literally: convert to 32-bit ARGB, then QImage::pixel per pixel.
FeatureMap literal_grey_map(const QImage &image)
{
    FeatureMap map = FeatureMap::allocate(image.width(), image.height());
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            const QRgb p = image.pixel(x, y);
            const int r = (p >> 16) & 0xff;
            const int g = (p >> 8) & 0xff;
            const int b = p & 0xff;
            map.values[x + y * image.width()] = static_cast<float>((11 * r + 16 * g + 5 * b) / 32);
        }
    }
    return map;
}

QImage random_image(std::mt19937 &rng, int width, int height, QImage::Format format)
{
    QImage image(width, height, QImage::Format_ARGB32);
    std::uniform_int_distribution<unsigned> word;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y, word(rng));
        }
    }
    return image.convertToFormat(format);
}

void compare_maps(const FeatureMap &actual, const FeatureMap &expected)
{
    QCOMPARE(actual.width, expected.width);
    QCOMPARE(actual.height, expected.height);
    for (qint64 k = 0; k < expected.cell_count(); ++k) {
        if (actual.values[k] != expected.values[k]) {
            QFAIL(qPrintable(QString("cell %1: %2 instead of %3")
                                 .arg(k)
                                 .arg(actual.values[k])
                                 .arg(expected.values[k])));
        }
    }
}

} // namespace

class TestGreyMap : public QObject
{
    Q_OBJECT

private slots:
    void pure_colours_data()
    {
        QTest::addColumn<QRgb>("pixel");
        QTest::addColumn<float>("grey");
        QTest::newRow("white") << qRgba(255, 255, 255, 255) << 255.f;
        QTest::newRow("red") << qRgba(255, 0, 0, 255) << 87.f;
        QTest::newRow("green") << qRgba(0, 255, 0, 255) << 127.f;
        QTest::newRow("blue") << qRgba(0, 0, 255, 255) << 39.f;
        QTest::newRow("black") << qRgba(0, 0, 0, 255) << 0.f;
        QTest::newRow("red, half transparent") << qRgba(255, 0, 0, 128) << 87.f;
        QTest::newRow("white, fully transparent") << qRgba(255, 255, 255, 0) << 255.f;
        QTest::newRow("remainder dropped") << qRgba(3, 1, 0, 255) << 1.f;
    }
    void pure_colours()
    {
        QFETCH(QRgb, pixel);
        QFETCH(float, grey);
        ScopedWorkdir dir;
        QImage image(3, 2, QImage::Format_ARGB32);
        image.fill(pixel);
        QVERIFY(image.save(dir.file("c.png")));
        const std::optional<FeatureMap> map = grey_map_from_image(dir.file("c.png"));
        QVERIFY(map.has_value());
        QCOMPARE(map->width, 3);
        QCOMPARE(map->height, 2);
        for (qint64 k = 0; k < 6; ++k) {
            QCOMPARE(map->values[k], grey);
        }
        QCOMPARE(grey_map_from_loaded_image(image).values[5], grey);
    }

    void files_of_every_format_match_the_literal_reading_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("file");
        QTest::newRow("ARGB32 png") << int(QImage::Format_ARGB32) << "a.png";
        QTest::newRow("RGB32 png") << int(QImage::Format_RGB32) << "b.png";
        QTest::newRow("RGB32 bmp") << int(QImage::Format_RGB32) << "c.bmp";
        QTest::newRow("indexed png") << int(QImage::Format_Indexed8) << "d.png";
        QTest::newRow("greyscale png") << int(QImage::Format_Grayscale8) << "e.png";
        QTest::newRow("jpeg") << int(QImage::Format_RGB32) << "f.jpg";
        QTest::newRow("premultiplied png") << int(QImage::Format_ARGB32_Premultiplied) << "g.png";
    }
    void files_of_every_format_match_the_literal_reading()
    {
        QFETCH(int, format);
        QFETCH(QString, file);
        ScopedWorkdir dir;
        std::mt19937 rng(7);
        const QImage image = random_image(rng, 37, 23, QImage::Format(format));
        QVERIFY(image.save(dir.file(file)));

        const std::optional<FeatureMap> map = grey_map_from_image(dir.file(file));
        QVERIFY(map.has_value());
        compare_maps(
            *map, literal_grey_map(QImage(dir.file(file)).convertToFormat(QImage::Format_ARGB32)));

        // As loaded, without conversion: pixel() of the loaded image.
        const QImage loaded(dir.file(file));
        compare_maps(grey_map_from_loaded_image(loaded), literal_grey_map(loaded));
    }

    void not_an_image_gives_nothing_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("create");
        QTest::newRow("missing file") << QByteArray() << false;
        QTest::newRow("text file named png") << QByteArray("not an image\n") << true;
        QTest::newRow("empty file") << QByteArray() << true;
        QTest::newRow("truncated png") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << true;
    }
    void not_an_image_gives_nothing()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, create);
        ScopedWorkdir dir;
        if (create) {
            QFile file(dir.file("x.png"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        QVERIFY(!grey_map_from_image(dir.file("x.png")).has_value());
        QVERIFY(!grey_map_from_loaded_image(QImage(dir.file("x.png"))).has_values());
    }
};

QTEST_GUILESS_MAIN(TestGreyMap)
#include "tst_grey_map.moc"
