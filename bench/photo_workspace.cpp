// Writes a workspace for measuring the searches on real photographs at any collection size:
//   DIR/database/NAME.png                the photographs of PHOTOS/db, as the collection's images
//   DIR/precomputed_databases/photos.ft1 RECORDS records: the maps of those photographs spread
//                                        evenly, the others maps of views of PHOTOS/pool's
//                                        photographs (demo/photo_views.h), named viewNNNNNNN
//   DIR/patterns/NAME.KIND.N.png         crops of each photograph of db, changed as KIND says;
//                                        held-NAME.KIND.N.png, crops of PHOTOS/held's (not in
//                                        the collection: never to be accepted)
//   DIR/truth.tsv                        each pattern's source and rectangle in it
// Usage: pictrace_photo_workspace PHOTOS DIR RECORDS [--radius N] [--crops N] [--kinds K,...]
// Kinds: exact jpeg90 jpeg75 noise (Gaussian noise of sigma 3, then JPEG at 85) gain (x 1.15
// - 12) gamma (0.8) grey (Rec. 601 luma) scaleF (resized by F) rotD (turned by D degrees)
// small (sides of 100 to 160 pixels) small-jpeg.

#include "demo/photo_views.h"
#include "demo/synthetic_images.h"
#include "ft1/ft1_writer.h"
#include "maps/descriptor.h"
#include "maps/grey_map.h"
#include "support/atomic_file.h"
#include "support/threads.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QTextStream>
#include <QTransform>

#include <cmath>
#include <cstdio>

namespace {

struct Photo {
    QString name;
    QImage image;
};

// The images of the folder, as RGB, their longer side at most 1024 pixels.
QList<Photo> photos_in(const QString &folder)
{
    QList<Photo> photos;
    QDir dir(folder);
    for (const QString &file :
         dir.entryList({"*.png", "*.jpg", "*.jpeg"}, QDir::Files, QDir::Name | QDir::IgnoreCase)) {
        QImage image(dir.filePath(file));
        if (image.isNull()) {
            continue;
        }
        if (std::max(image.width(), image.height()) > 1024) {
            image = image.scaled(1024, 1024, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        }
        photos.append({QFileInfo(file).baseName(), image.convertToFormat(QImage::Format_RGB32)});
    }
    return photos;
}

QImage jpeg(const QImage &image, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", quality);
    QImage read;
    read.loadFromData(bytes, "JPG");
    return read.convertToFormat(QImage::Format_RGB32);
}

// Each channel through f.
template <class F> QImage mapped(const QImage &image, F f)
{
    QImage out = image.copy();
    for (int y = 0; y < out.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            line[x] = qRgb(f(qRed(line[x])), f(qGreen(line[x])), f(qBlue(line[x])));
        }
    }
    return out;
}

int level(double value)
{
    return std::clamp(int(std::lround(value)), 0, 255);
}

QImage noisy(const QImage &image, SyntheticRandom &random, double sigma)
{
    return mapped(image, [&](int v) {
        // Box-Muller.
        const double u1 = std::max(random.uniform(), 1e-12);
        const double u2 = random.uniform();
        return level(v + sigma * std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307 * u2));
    });
}

QImage luma(const QImage &image)
{
    QImage out = image.copy();
    for (int y = 0; y < out.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            const int v =
                level(0.299 * qRed(line[x]) + 0.587 * qGreen(line[x]) + 0.114 * qBlue(line[x]));
            line[x] = qRgb(v, v, v);
        }
    }
    return out;
}

// The region `crop` of the photograph turned by `degrees` about its centre.
QImage turned(const QImage &photo, const QRect &crop, double degrees)
{
    QImage out(crop.size(), QImage::Format_RGB32);
    out.fill(Qt::black);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QTransform transform;
    transform.translate(crop.width() / 2.0, crop.height() / 2.0);
    transform.rotate(degrees);
    transform.translate(-crop.center().x() - 0.5, -crop.center().y() - 0.5);
    painter.setTransform(transform);
    painter.drawImage(0, 0, photo);
    painter.end();
    return out;
}

struct Pattern {
    QImage image;
    QRect source; // in the photograph
    double scale = 1;
    double angle = 0;
};

// A crop of the photograph changed as `kind` says; a null image for an unknown kind.
Pattern make_pattern(const QImage &photo, const QString &kind, SyntheticRandom &random)
{
    const bool small = kind.startsWith("small");
    const int w = photo.width();
    const int h = photo.height();
    int cw = 0;
    int ch = 0;
    if (small) {
        cw = std::min(w, random.between(100, 160));
        ch = std::min(h, random.between(100, 160));
    } else {
        cw = std::min(w, std::max(100, int(w * (0.25 + 0.35 * random.uniform()))));
        ch = std::min(h, std::max(100, int(h * (0.25 + 0.35 * random.uniform()))));
    }
    const QRect crop(random.between(0, w - cw), random.between(0, h - ch), cw, ch);
    Pattern pattern;
    pattern.source = crop;
    const QImage cut = photo.copy(crop);
    if (kind == "exact" || kind == "small") {
        pattern.image = cut;
    } else if (kind == "jpeg90") {
        pattern.image = jpeg(cut, 90);
    } else if (kind == "jpeg75" || kind == "small-jpeg") {
        pattern.image = jpeg(cut, 75);
    } else if (kind == "noise") {
        pattern.image = jpeg(noisy(cut, random, 3), 85);
    } else if (kind == "gain") {
        pattern.image = mapped(cut, [](int v) { return level(v * 1.15 - 12); });
    } else if (kind == "gamma") {
        pattern.image = mapped(cut, [](int v) { return level(std::pow(v / 255.0, 0.8) * 255); });
    } else if (kind == "grey") {
        pattern.image = luma(cut);
    } else if (kind.startsWith("scale")) {
        bool ok = false;
        pattern.scale = kind.mid(5).toDouble(&ok);
        if (ok && pattern.scale > 0) {
            pattern.image = cut.scaled(std::max(1, int(std::lround(cw * pattern.scale))),
                                       std::max(1, int(std::lround(ch * pattern.scale))),
                                       Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        }
    } else if (kind.startsWith("rot")) {
        bool ok = false;
        pattern.angle = kind.mid(3).toDouble(&ok);
        if (ok) {
            pattern.image = turned(photo, crop, pattern.angle);
        }
    }
    return pattern;
}

int usage()
{
    std::fputs("usage: pictrace_photo_workspace PHOTOS DIR RECORDS [--radius N] [--crops N] "
               "[--kinds K,...]\n",
               stderr);
    return 2;
}

bool write_database(const QString &path, const QList<Photo> &photos, const PhotoViews &views,
                    int records, const WindowSettings &settings)
{
    const QSize view_size(400, 300);
    // The photographs' records are spread evenly through the others.
    const int every = std::max(1, records / std::max(1, int(photos.size())));
    auto photo_at = [&](int k) {
        return k % every == every / 2 && k / every < photos.size() ? k / every : -1;
    };
    AtomicFile file(path);
    if (!file.open()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(path), qPrintable(file.error()));
        return false;
    }
    QByteArray buffer;
    bool ok = true;
    ordered_parallel<QByteArray>(
        records, thread_count(0),
        [&](int k) {
            QByteArray record;
            const int p = photo_at(k);
            if (p >= 0) {
                const FeatureMap map =
                    descriptor_map(grey_map_from_loaded_image(photos[p].image), settings);
                append_ft1_record(record, encode_ft1_name(photos[p].name), photos[p].image.width(),
                                  photos[p].image.height(), map);
            } else {
                const FeatureMap grey =
                    views.view(std::uint64_t(k), view_size.width(), view_size.height());
                append_ft1_record(
                    record, encode_ft1_name(QString("view%1").arg(k, 7, 10, QChar('0'))),
                    view_size.width(), view_size.height(), descriptor_map(grey, settings));
            }
            return record;
        },
        [&](int, QByteArray &record) {
            buffer += record;
            if (buffer.size() > (1 << 24)) {
                ok = file.write(buffer);
                buffer.clear();
            }
            return ok;
        });
    ok = ok && file.write(buffer) && file.commit();
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(path), qPrintable(file.error()));
    }
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments();
    arguments.removeFirst();
    WindowSettings settings{20, 1};
    int crops = 3;
    QStringList kinds{"exact", "jpeg90", "jpeg75", "noise"};
    QStringList positional;
    for (int k = 0; k < arguments.size(); ++k) {
        const QString &argument = arguments[k];
        if ((argument == "--radius" || argument == "--crops" || argument == "--kinds") &&
            k + 1 < arguments.size()) {
            const QString value = arguments[++k];
            if (argument == "--radius") {
                settings.radius = value.toInt();
            } else if (argument == "--crops") {
                crops = value.toInt();
            } else {
                kinds = value.split(',', Qt::SkipEmptyParts);
            }
        } else {
            positional << argument;
        }
    }
    bool ok = positional.size() == 3;
    const int records = ok ? positional[2].toInt(&ok) : 0;
    if (!ok || records < 1 || !settings.valid() || crops < 1) {
        return usage();
    }
    const QDir photos_dir(positional[0]);
    const QList<Photo> photos = photos_in(photos_dir.filePath("db"));
    const QList<Photo> held = photos_in(photos_dir.filePath("held"));
    QList<FeatureMap> pool;
    for (const Photo &photo : photos_in(photos_dir.filePath("pool"))) {
        pool.append(grey_map_from_loaded_image(photo.image));
    }
    if (photos.isEmpty() || pool.isEmpty()) {
        std::fputs("PHOTOS needs images in db/ and pool/\n", stderr);
        return 1;
    }
    const QDir dir(positional[1]);
    if (!dir.mkpath("precomputed_databases") || !dir.mkpath("patterns") ||
        !dir.mkpath("database")) {
        std::fputs("cannot make the workspace's folders\n", stderr);
        return 1;
    }
    for (const Photo &photo : photos) {
        photo.image.save(dir.filePath("database/" + photo.name + ".png"));
    }
    QFile truth(dir.filePath("truth.tsv"));
    if (!truth.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fputs("cannot write truth.tsv\n", stderr);
        return 1;
    }
    QTextStream out(&truth);
    out << "pattern\tsource\tkind\tx\ty\twidth\theight\tscale\tangle\tin_collection\n";
    SyntheticRandom random(2026);
    for (int set = 0; set < 2; ++set) {
        for (const Photo &photo : set == 0 ? photos : held) {
            const QString name = set == 0 ? photo.name : "held-" + photo.name;
            for (int c = 0; c < crops; ++c) {
                // The same rectangles for every kind: kinds compare on the same crops.
                const std::uint64_t state = random.next();
                for (const QString &kind : kinds) {
                    SyntheticRandom crop_random(state);
                    const Pattern pattern = make_pattern(photo.image, kind, crop_random);
                    if (pattern.image.isNull()) {
                        std::fprintf(stderr, "unknown kind %s\n", qPrintable(kind));
                        return 2;
                    }
                    const QString file = QString("%1.%2.%3.png").arg(name, kind).arg(c);
                    pattern.image.save(dir.filePath("patterns/" + file));
                    const QRect &r = pattern.source;
                    out << file << '\t' << name << '\t' << kind << '\t' << r.x() << '\t' << r.y()
                        << '\t' << r.width() << '\t' << r.height() << '\t' << pattern.scale << '\t'
                        << pattern.angle << '\t' << (set == 0 ? 1 : 0) << '\n';
                }
            }
        }
    }
    return write_database(dir.filePath("precomputed_databases/photos.ft1"), photos,
                          PhotoViews(pool), records, settings)
               ? 0
               : 1;
}
