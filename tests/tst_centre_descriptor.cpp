// The descriptor at every centre: each phase is, bit for bit, the literal descriptor map of the
// image cropped by the phase's offset.

#include "maps/centre_descriptor.h"
#include "reference/reference_descriptor.h"
#include "test_support.h"

#include <QtTest>

namespace {

FeatureMap cropped(const FeatureMap &image, int x0, int y0)
{
    FeatureMap part = FeatureMap::allocate(image.width - x0, image.height - y0, image.name);
    for (int y = 0; y < part.height; ++y) {
        for (int x = 0; x < part.width; ++x) {
            part.at(x, y) = image.at(x0 + x, y0 + y);
        }
    }
    return part;
}

} // namespace

class TestCentreDescriptor : public QObject
{
    Q_OBJECT

private slots:
    void phases_are_literal_maps_of_crops_data()
    {
        QTest::addColumn<int>("radius");
        QTest::addColumn<int>("step_divisor");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("grey_levels"); // false: values the exact path declines
        QTest::newRow("radius 3") << 3 << 1 << QSize(37, 29) << true;
        QTest::newRow("radius 4, step 2") << 4 << 2 << QSize(40, 33) << true;
        QTest::newRow("radius 7") << 7 << 1 << QSize(61, 47) << true;
        QTest::newRow("radius 12, step 4") << 12 << 3 << QSize(70, 58) << true;
        QTest::newRow("just one centre") << 5 << 1 << QSize(11, 11) << true;
        QTest::newRow("a row of centres") << 5 << 5 << QSize(30, 11) << true;
        QTest::newRow("radius 1: not a number") << 1 << 1 << QSize(9, 8) << true;
        QTest::newRow("not grey levels: the literal loop") << 4 << 1 << QSize(30, 26) << false;
        QTest::newRow("centres in several blocks") << 3 << 1 << QSize(300, 270) << true;
    }
    void phases_are_literal_maps_of_crops()
    {
        QFETCH(int, radius);
        QFETCH(int, step_divisor);
        QFETCH(QSize, size);
        QFETCH(bool, grey_levels);
        std::mt19937 rng(radius * 100 + step_divisor);
        FeatureMap image = random_grey_map(rng, size.width(), size.height(), "img");
        if (!grey_levels) {
            image.at(3, 2) += 0.25f;
        }
        const WindowSettings settings{radius, step_divisor};
        CentreDescriptor centres(image, settings);
        CentreDescriptor all_at_once(image, settings);
        const std::vector<float> every = all_at_once.all_values();
        QCOMPARE(every.size(), std::size_t(centres.centres_x()) * std::size_t(centres.centres_y()));
        const int step = settings.step();
        int phases = 0;
        // Phases in an order that reads cells before whole maps, as a search does.
        for (int py = step - 1; py >= 0; --py) {
            for (int px = 0; px < step; ++px) {
                const FeatureMap expected =
                    reference::descriptor_map(cropped(image, px, py), radius, step_divisor);
                QCOMPARE(centres.phase_size(px, py), QSize(expected.width, expected.height));
                QCOMPARE(centres.phase_has_cells(px, py), expected.has_values());
                if (!expected.has_values()) {
                    continue;
                }
                ++phases;
                // Cell by cell, as a search reads them, and as a whole map.
                for (int l = expected.height - 1; l >= 0; --l) {
                    for (int k = 0; k < expected.width; ++k) {
                        const std::size_t at =
                            std::size_t(px + k * step) +
                            std::size_t(py + l * step) * std::size_t(centres.centres_x());
                        QVERIFY(same_bits(every[at], expected.at(k, l)));
                        QVERIFY2(
                            same_bits(centres.phase_value(px, py, k, l), expected.at(k, l)),
                            qPrintable(
                                QString("phase %1, %2 cell %3, %4").arg(px).arg(py).arg(k).arg(l)));
                    }
                }
                const FeatureMap map = centres.phase_map(px, py);
                for (int l = 0; l < map.height; ++l) {
                    for (int k = 0; k < map.width; ++k) {
                        QVERIFY2(same_bits(map.at(k, l), expected.at(k, l)),
                                 qPrintable(QString("phase %1, %2 cell %3, %4: %5 against %6")
                                                .arg(px)
                                                .arg(py)
                                                .arg(k)
                                                .arg(l)
                                                .arg(double(map.at(k, l)), 0, 'g', 9)
                                                .arg(double(expected.at(k, l)), 0, 'g', 9)));
                    }
                }
            }
        }
        QVERIFY(phases > 0);
    }

    // Rough values read a sparse grid of the window: the whole window up to radius 6, and at any
    // radius the exact slopes of a linear ramp, which any grid of samples recovers.
    void rough_values_follow_the_exact_ones_data()
    {
        QTest::addColumn<int>("radius");
        QTest::addColumn<bool>("ramp");
        QTest::newRow("radius 4, noise") << 4 << false;
        QTest::newRow("radius 6, noise") << 6 << false;
        QTest::newRow("radius 40, ramp") << 40 << true;
        QTest::newRow("radius 57, ramp") << 57 << true;
    }
    void rough_values_follow_the_exact_ones()
    {
        QFETCH(int, radius);
        QFETCH(bool, ramp);
        std::mt19937 rng(radius);
        FeatureMap image = random_grey_map(rng, 2 * radius + 11, 2 * radius + 9, "img");
        if (ramp) {
            for (int y = 0; y < image.height; ++y) {
                for (int x = 0; x < image.width; ++x) {
                    image.at(x, y) = float(x + y);
                }
            }
        }
        CentreDescriptor centres(image, {radius, 1});
        for (int cy = 0; cy < centres.centres_y(); cy += 3) {
            for (int cx = 0; cx < centres.centres_x(); cx += 5) {
                const float exact = centres.value(cx, cy);
                const float rough = centres.rough_value(cx, cy);
                QVERIFY2(std::fabs(rough - exact) <= 1e-5f * (1 + std::fabs(exact)),
                         qPrintable(QString("centre %1, %2: %3 against %4")
                                        .arg(cx)
                                        .arg(cy)
                                        .arg(double(rough))
                                        .arg(double(exact))));
            }
        }
    }

    void too_small_for_any_centre()
    {
        std::mt19937 rng(1);
        const FeatureMap image = random_grey_map(rng, 20, 9, "img");
        CentreDescriptor centres(image, {5, 1});
        QCOMPARE(centres.centres_y(), 0);
        QVERIFY(!centres.phase_has_cells(0, 0));
        QVERIFY(!centres.phase_map(0, 0).has_values());
        CentreDescriptor invalid(image, {0, 1});
        QVERIFY(!invalid.phase_has_cells(0, 0));
    }
};

QTEST_GUILESS_MAIN(TestCentreDescriptor)
#include "tst_centre_descriptor.moc"
