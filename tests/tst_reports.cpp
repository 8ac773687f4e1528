// The sweep plot and the HTML page, made by the CLI for a small demo workspace, read back: the
// SVG and the page parse as XML and hold what they promise; the page's thumbnails are images
// with the crop drawn; and, when Chromium is installed, the page renders to a screenshot that
// is not blank.

#include "test_support.h"

#include <QProcess>
#include <QStandardPaths>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

using Run = ProgramRun;

Run cli(const QStringList &arguments)
{
    return run_program(PICTRACE_CLI, arguments, 600);
}

// The text of every element named `name`, and the attributes of each, in document order.
struct Element {
    QString text;
    QXmlStreamAttributes attributes;
};

QList<Element> elements(const QByteArray &xml, const QString &name, QString *error)
{
    QList<Element> found;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == name) {
            Element element;
            element.attributes = reader.attributes();
            element.text = reader.readElementText(QXmlStreamReader::IncludeChildElements);
            found.append(element);
        }
    }
    if (reader.hasError()) {
        *error = reader.errorString() + QString(" at line %1").arg(reader.lineNumber());
    }
    return found;
}

QImage data_uri_image(const QString &uri)
{
    const QString prefix = "data:image/jpeg;base64,";
    if (!uri.startsWith(prefix)) {
        return QImage();
    }
    return QImage::fromData(QByteArray::fromBase64(uri.mid(prefix.size()).toLatin1()), "JPEG");
}

// Pixels whose red clearly dominates: the crop's rectangle.
int red_pixels(const QImage &image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            count += qRed(p) > 180 && qGreen(p) < 90 && qBlue(p) < 90 ? 1 : 0;
        }
    }
    return count;
}

} // namespace

class TestReports : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_workspace;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_workspace = m_dir.filePath("demo");
        const Run made = cli({"make-demo", m_workspace, "6"});
        QCOMPARE(made.status, 0);
        const Run run = cli({"-C", m_workspace, "--both", "--plot", m_dir.filePath("sweep.svg"),
                             "--html", m_dir.filePath("sweep.html"), "monster"});
        QVERIFY2(run.status == 0, qPrintable(run.err));
    }

    // Two panels, their titles, axes with units, the legend, one line per search.
    void plot()
    {
        const QByteArray svg = file_bytes(m_dir.filePath("sweep.svg"));
        QString error;
        const QList<Element> roots = elements(svg, "svg", &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(roots.size(), 1);
        QCOMPARE(roots[0].attributes.value("viewBox").toString(), QString("0 0 960 400"));
        QStringList texts;
        for (const Element &text : elements(svg, "text", &error)) {
            texts << text.text.trimmed();
        }
        for (const char *expected :
             {"Success rate", "Search time", "patterns found (%)", "ms per pattern",
              "window radius (pixels)", "literal", "aligned"}) {
            QVERIFY2(texts.contains(expected),
                     qPrintable(QString(expected) + " not in " + texts.join(QChar(0x7c))));
        }
        // Every radius labelled under both panels, the last one too.
        for (int radius = 20; radius <= 150; radius += 10) {
            QVERIFY2(texts.count(QString::number(radius)) >= 2,
                     qPrintable(QString::number(radius)));
        }
        QCOMPARE(texts.count("window radius (pixels)"), 2);
        // Each search draws a line in each panel: four open paths at least.
        QVERIFY(elements(svg, "path", &error).size() >= 4);
    }

    // The summary, the table of rates, the plot, and one row per pattern, failures first, with
    // thumbnails of the pattern and of the found image carrying the crop's rectangle, and of the
    // true image beside a wrong pick; the rows of the last radius, then those of each radius.
    void page()
    {
        const QByteArray html = file_bytes(m_dir.filePath("sweep.html"));
        QString error;
        const QList<Element> titles = elements(html, "h1", &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(titles.size(), 1);
        QCOMPARE(titles[0].text, QString("Monster compare: demo"));
        const QList<Element> images = elements(html, "img", &error);
        QVERIFY(images[0].attributes.value("src").startsWith("data:image/svg+xml;base64,"));
        const QByteArray plot =
            QByteArray::fromBase64(images[0].attributes.value("src").mid(26).toLatin1());
        QVERIFY(plot.contains("Success rate"));

        // Each table of rows stands on its own as XML; in a radius's section, the patterns found
        // as they stand follow it by name.
        const QByteArray open = "<table class=\"rows\">";
        const QByteArray close = "</table>\n";
        const QByteArray named = "<p class=\"named\">Found as they stand: ";
        int tables = 0;
        for (int at = html.indexOf(open); at >= 0; at = html.indexOf(open, at + 1), ++tables) {
            const int end = html.indexOf(close, at) + close.size();
            const QByteArray table = html.mid(at, end - at);
            QList<Element> rows;
            for (const Element &row : elements(table, "tr", &error)) {
                if (!row.attributes.value("class").isEmpty()) {
                    rows.append(row);
                }
            }
            QVERIFY2(error.isEmpty(), qPrintable(error));
            int names = 0;
            if (html.mid(end, named.size()) == named) {
                QVERIFY(tables > 0);
                names = html.mid(end, html.indexOf("</p>", end) - end).count(".crop.png");
            }
            QCOMPARE(rows.size() + names, 6);
            // Failures first: no row of a pattern not found after one that was found.
            bool seen_found = false;
            int wrong_picks = 0;
            for (const Element &row : rows) {
                const bool found = row.attributes.value("class") != QLatin1String("bad");
                QVERIFY2(found || !seen_found, qPrintable(row.text));
                seen_found |= found;
                QVERIFY2(row.text.contains(QRegularExpression("img00\\d\\.crop\\.png")),
                         qPrintable(row.text));
                QVERIFY2(found || row.text.contains("true image"), qPrintable(row.text));
                wrong_picks += row.text.contains("wrong image") ? 1 : 0;
            }
            QMap<QString, int> kinds;
            for (const Element &image : elements(table, "img", &error)) {
                const QString kind = image.attributes.value("class").toString();
                ++kinds[kind];
                const QImage thumbnail = data_uri_image(image.attributes.value("src").toString());
                QVERIFY2(!thumbnail.isNull(), qPrintable(kind));
                QVERIFY(thumbnail.width() <= 260 && thumbnail.height() <= 260);
                QVERIFY(kind != "found" || red_pixels(thumbnail) > 40);
            }
            QCOMPARE(kinds.value("pattern"), rows.size());
            QCOMPARE(kinds.value("found"), rows.size());
            QCOMPARE(kinds.value("true"), wrong_picks);
        }
        // The last radius's rows, then a section per radius of each sweep.
        QCOMPARE(tables, 1 + 2 * 14);
    }

    // Each rate of the table links to its radius's section, and each section to the table.
    void page_links_each_radius()
    {
        const QByteArray html = file_bytes(m_dir.filePath("sweep.html"));
        QString error;
        QStringList ids;
        for (const Element &div : elements(html, "div", &error)) {
            if (div.attributes.value("class") == QLatin1String("section")) {
                ids << div.attributes.value("id").toString();
            }
        }
        QStringList links;
        int back = 0;
        for (const Element &link : elements(html, "a", &error)) {
            const QString target = link.attributes.value("href").toString();
            target == "#figures" ? void(++back) : void(links << target.mid(1));
        }
        QVERIFY2(error.isEmpty(), qPrintable(error));
        links.sort();
        ids.sort();
        QCOMPARE(links, ids);
        QVERIFY(ids.contains("literal-radius-20") && ids.contains("aligned-radius-150"));
        QCOMPARE(back, ids.size());
        QVERIFY(html.contains("<table class=\"figures\" id=\"figures\">"));
    }

    // Pages are drawn on Qt's offscreen platform, which says nothing on standard error, also
    // without a runtime folder.
    void page_without_platform_noise()
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("XDG_RUNTIME_DIR");
        environment.remove("QT_QPA_PLATFORM");
        process.setProcessEnvironment(environment);
        process.start(PICTRACE_CLI,
                      {"-C", m_workspace, "-r", "20", "--html", m_dir.filePath("multi.html"),
                       "multi", "precomputed_databases/db3_ft1_20.ft1"});
        QVERIFY(process.waitForFinished(120000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(process.readAllStandardError()), QString());
    }

    // Rendered by a browser: the screenshot has the window's size and is far from blank.
    void page_renders_in_a_browser()
    {
        QString browser;
        for (const char *name : {"chromium", "chromium-browser"}) {
            browser = QStandardPaths::findExecutable(name);
            if (!browser.isEmpty()) {
                break;
            }
        }
        if (browser.isEmpty()) {
            QSKIP("Chromium is not installed");
        }
        const QString shot = m_dir.filePath("shot.png");
        QProcess process;
        process.start(browser, {"--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                                "--window-size=1100,900", "--screenshot=" + shot,
                                QUrl::fromLocalFile(m_dir.filePath("sweep.html")).toString()});
        QVERIFY(process.waitForFinished(120000));
        const QImage image(shot);
        QVERIFY2(!image.isNull(), qPrintable(QString::fromUtf8(process.readAllStandardError())));
        QCOMPARE(image.size(), QSize(1100, 900));
        // The page's background is near white; text, plot lines and thumbnails are not.
        int drawn = 0;
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 2) {
            for (int x = 0; x < image.width(); x += 2) {
                const QRgb p = image.pixel(x, y);
                drawn += qGray(p) < 200 ? 1 : 0;
                colours.insert(p & 0xf0f0f0);
            }
        }
        const int samples = (image.width() / 2) * (image.height() / 2);
        QVERIFY2(drawn > samples / 50, qPrintable(QString::number(drawn)));
        QVERIFY2(colours.size() > 50, qPrintable(QString::number(colours.size())));
    }
};

QTEST_MAIN(TestReports)
#include "tst_reports.moc"
