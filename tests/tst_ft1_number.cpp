// The number text of database files against Qt's stream output and toFloat.

#include "ft1/ft1_number.h"
#include "reference/reference_ft1.h"
#include "test_support.h"

#include <QtTest>

#include <cstring>
#include <limits>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int random_rounds = 200000;
#else
constexpr int random_rounds = 2000000;
#endif

QString written(float value)
{
    char text[ft1_value_max_length];
    char *end = format_ft1_value(value, text);
    return QString::fromLatin1(text, static_cast<int>(end - text));
}

float parsed(const QString &text, bool *ok = nullptr)
{
    const QByteArray bytes = text.toUtf8();
    return parse_ft1_value(bytes.constData(), bytes.constData() + bytes.size(), ok);
}

float from_bits(std::uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Floats of every kind: any bit pattern, values with few digits, ties, powers and their
// neighbours, subnormals.
float random_float(std::mt19937 &rng)
{
    std::uniform_int_distribution<std::uint32_t> bits;
    std::uniform_int_distribution<int> kind(0, 5);
    std::uniform_int_distribution<int> small(-1000000, 1000000);
    std::uniform_int_distribution<int> exponent(-12, 12);
    switch (kind(rng)) {
    case 0:
        return from_bits(bits(rng));
    case 1: // short decimals, as the descriptor produces near whole slopes
        return static_cast<float>(small(rng)) / static_cast<float>(std::pow(10.0, 1 + kind(rng)));
    case 2: // m * 2^e near the range where ties live
        return std::ldexp(static_cast<float>(small(rng)), exponent(rng));
    case 3: // neighbours of decimal boundaries
        return std::nextafter(static_cast<float>(std::pow(10.0, exponent(rng) / 2)),
                              kind(rng) < 3 ? 0.f : 1e30f);
    case 4:
        return from_bits(bits(rng) & 0x807fffffu); // subnormals and zeros
    default:
        return static_cast<float>(small(rng)) / 64.f; // exact binary fractions
    }
}

} // namespace

class TestFt1Number : public QObject
{
    Q_OBJECT

private slots:
    void writing_data()
    {
        QTest::addColumn<float>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("decimal tie rounds away from zero") << 305.5625f << "305.563";
        QTest::newRow("negative tie") << -305.5625f << "-305.563";
        QTest::newRow("negative zero") << -0.0f << "0";
        QTest::newRow("zero") << 0.0f << "0";
        QTest::newRow("small exponent") << 1.5e-5f << "1.5e-05";
        QTest::newRow("large exponent") << 1234567.f << "1.23457e+06";
        QTest::newRow("rounding up to the next power") << 999999.5f << "1e+06";
        QTest::newRow("fixed down to 1e-4") << 0.0001f << "0.0001";
        QTest::newRow("whole") << 123456.f << "123456";
        QTest::newRow("three-digit exponent") << 1e-40f << "9.99995e-41";
        QTest::newRow("largest float") << std::numeric_limits<float>::max() << "3.40282e+38";
        QTest::newRow("smallest subnormal") << 1e-45f << "1.4013e-45";
        QTest::newRow("a third") << -1.f / 3 << "-0.333333";
        QTest::newRow("nan") << std::numeric_limits<float>::quiet_NaN() << "nan";
        QTest::newRow("negative nan") << -std::numeric_limits<float>::quiet_NaN() << "nan";
        QTest::newRow("inf") << std::numeric_limits<float>::infinity() << "inf";
        QTest::newRow("-inf") << -std::numeric_limits<float>::infinity() << "-inf";
        QTest::newRow("slope") << 12.345678f << "12.3457";
    }
    void writing()
    {
        QFETCH(float, value);
        QFETCH(QString, text);
        QCOMPARE(written(value), text);
        QCOMPARE(reference::stream_text(value), text);
    }

    void writing_matches_the_stream_on_random_floats()
    {
        std::mt19937 rng(1);
        for (int round = 0; round < random_rounds; ++round) {
            const float value = random_float(rng);
            const QString expected = reference::stream_text(value);
            if (written(value) != expected) {
                std::uint32_t bits;
                std::memcpy(&bits, &value, sizeof bits);
                QFAIL(qPrintable(QString("bits %1: \"%2\", the stream writes \"%3\"")
                                     .arg(bits, 8, 16, QLatin1Char('0'))
                                     .arg(written(value), expected)));
            }
        }
    }

    void every_tie_below_a_million_is_written_as_the_stream_writes_it()
    {
        // Exact seven-digit ties x.xxxxx5 at several scales.
        for (int scale = -3; scale <= 3; ++scale) {
            for (int digits = 1000005; digits < 10000000; digits += 1370) {
                const float value = static_cast<float>(digits * std::pow(10.0, scale - 6));
                QCOMPARE(written(value), reference::stream_text(value));
            }
        }
    }

    void reading_data()
    {
        QTest::addColumn<QString>("text");
        for (const char *text : {"1.5",
                                 "+5",
                                 ".5",
                                 "5.",
                                 ".",
                                 " 1.5 ",
                                 "1e5",
                                 "1E5",
                                 "1e",
                                 "nan",
                                 "NaN",
                                 "NAN",
                                 "-nan",
                                 "+nan",
                                 "inf",
                                 "INF",
                                 "+inf",
                                 "-Inf",
                                 "infinity",
                                 "1e400",
                                 "-1e400",
                                 "1e-50",
                                 "1e-40",
                                 "0x10",
                                 "007",
                                 "1,5",
                                 "-0",
                                 "1.5e+05",
                                 "1e+",
                                 "--1",
                                 "+-1",
                                 "1e5.5",
                                 "1..2",
                                 "\t2",
                                 "e5",
                                 "5e-3",
                                 "",
                                 "-",
                                 "+",
                                 "+.5",
                                 "-.5",
                                 "1.e5",
                                 "00.5",
                                 "1e0001",
                                 "1e-0",
                                 "305.563",
                                 "3.40282e+38",
                                 "3.40283e+38",
                                 "1.17549e-38",
                                 "1.4013e-45",
                                 "7e-46",
                                 "123456789012345",
                                 "1234567890123456",
                                 "0.000000000000000000001",
                                 "1e22",
                                 "1e23",
                                 "9007199254740993",
                                 "1 ",
                                 "1_0",
                                 "½",
                                 "١"}) {
            QTest::newRow(text) << QString::fromUtf8(text);
        }
    }
    void reading()
    {
        QFETCH(QString, text);
        bool ok = false;
        bool expected_ok = false;
        const float value = parsed(text, &ok);
        const float expected = text.toFloat(&expected_ok);
        QVERIFY2(same_bits(value, expected) || (std::isnan(value) && std::isnan(expected)),
                 qPrintable(QString("%1 instead of %2").arg(value).arg(expected)));
        QCOMPARE(ok, expected_ok);
    }

    void reading_matches_to_float_on_random_text()
    {
        std::mt19937 rng(2);
        const char alphabet[] = "0123456789.eE+-0000111nafi ";
        std::uniform_int_distribution<int> length(0, 12);
        std::uniform_int_distribution<int> letter(0, sizeof alphabet - 2);
        std::uniform_int_distribution<int> kind(0, 3);
        for (int round = 0; round < random_rounds; ++round) {
            QString text;
            if (kind(rng) == 0) {
                const int n = length(rng);
                for (int k = 0; k < n; ++k) {
                    text.append(QLatin1Char(alphabet[letter(rng)]));
                }
            } else {
                text = reference::stream_text(random_float(rng)); // what the writer writes
            }
            bool ok = false;
            bool expected_ok = false;
            const float value = parsed(text, &ok);
            const float expected = text.toFloat(&expected_ok);
            if (!(same_bits(value, expected) || (std::isnan(value) && std::isnan(expected))) ||
                ok != expected_ok) {
                QFAIL(qPrintable(QString("\"%1\" reads as %2 (ok %3), toFloat gives %4 (ok %5)")
                                     .arg(text)
                                     .arg(double(value), 0, 'g', 9)
                                     .arg(ok)
                                     .arg(double(expected), 0, 'g', 9)
                                     .arg(expected_ok)));
            }
        }
    }

    void written_text_reads_back_to_the_rounded_value()
    {
        std::mt19937 rng(3);
        for (int round = 0; round < random_rounds / 10; ++round) {
            const float value = random_float(rng);
            const QString text = written(value);
            const float back = parsed(text);
            QVERIFY(same_bits(back, reference::to_float(text)) ||
                    (std::isnan(back) && std::isnan(value)));
        }
    }
};

QTEST_GUILESS_MAIN(TestFt1Number)
#include "tst_ft1_number.moc"
