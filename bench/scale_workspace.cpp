// Writes a workspace for measuring pictrace-cli and pictrace-mpi at scale, without decoding a
// single image for the database:
//   DIR/precomputed_databases/scale.ft1  RECORDS generated records (radius 20), ten of them
//                                       the maps of real synthetic images
//   DIR/patterns/                       a crop of each real image, named after its record
//   DIR/database/                       IMAGES synthetic images of 800 x 600 to build from
// Usage: pictrace_scale_workspace DIR RECORDS [IMAGES]

#include "demo/scale_database.h"
#include "demo/synthetic_images.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    bool ok = arguments.size() >= 3;
    ScaleDatabase plan;
    int images = 0;
    if (ok) {
        plan.records = arguments[2].toInt(&ok);
        ok = ok && plan.records > 0;
    }
    if (ok && arguments.size() >= 4) {
        images = arguments[3].toInt(&ok);
    }
    if (!ok || arguments.size() > 4) {
        std::fputs("usage: pictrace_scale_workspace DIR RECORDS [IMAGES]\n", stderr);
        return 2;
    }
    const QDir dir(arguments[1]);
    if (!dir.mkpath("precomputed_databases") || !dir.mkpath("patterns") ||
        !dir.mkpath("database")) {
        std::fputs("cannot make the workspace's folders\n", stderr);
        return 1;
    }
    const QString error =
        write_scale_database(dir.filePath("precomputed_databases/scale.ft1"), plan);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    for (const ScalePattern &pattern : scale_pattern_images(plan)) {
        if (!pattern.image.save(dir.filePath("patterns/" + pattern.name + ".png"))) {
            std::fputs("cannot write a pattern\n", stderr);
            return 1;
        }
    }
    for (int k = 0; k < images; ++k) {
        const QString name = dir.filePath(QString("database/img%1.png").arg(k, 5, 10, QChar('0')));
        if (!synthetic_image(plan.seed + 1, k, 800, 600).save(name)) {
            std::fputs("cannot write an image\n", stderr);
            return 1;
        }
    }
    return 0;
}
