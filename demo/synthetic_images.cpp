#include "demo/synthetic_images.h"

#include <QDir>
#include <QImageWriter>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <vector>

std::uint64_t SyntheticRandom::next()
{
    // SplitMix64.
    std::uint64_t z = (m_state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

double SyntheticRandom::uniform()
{
    return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
}

int SyntheticRandom::between(int low, int high)
{
    return low + static_cast<int>(next() % static_cast<std::uint64_t>(high - low + 1));
}

namespace {

int clamp_level(double value)
{
    return std::clamp(static_cast<int>(value), 0, 255);
}

QColor random_colour(SyntheticRandom &random)
{
    return QColor(random.between(0, 255), random.between(0, 255), random.between(0, 255));
}

void fill_gradient(QImage &image, SyntheticRandom &random)
{
    const double angle = random.uniform() * 6.2832;
    const double dx = std::cos(angle);
    const double dy = std::sin(angle);
    const QColor a = random_colour(random);
    const QColor b = random_colour(random);
    const double span = std::abs(dx) * image.width() + std::abs(dy) * image.height();
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            double t = (x * dx + y * dy) / span;
            t = t - std::floor(t);
            line[x] = qRgb(clamp_level(a.red() + t * (b.red() - a.red())),
                           clamp_level(a.green() + t * (b.green() - a.green())),
                           clamp_level(a.blue() + t * (b.blue() - a.blue())));
        }
    }
}

void draw_shapes(QImage &image, SyntheticRandom &random, int count)
{
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    for (int k = 0; k < count; ++k) {
        QColor colour = random_colour(random);
        colour.setAlpha(random.between(120, 255));
        painter.setBrush(colour);
        const int w = random.between(image.width() / 20, image.width() / 3);
        const int h = random.between(image.height() / 20, image.height() / 3);
        const QRect rect(random.between(-w / 2, image.width()),
                         random.between(-h / 2, image.height()), w, h);
        if (random.between(0, 1) == 0) {
            painter.drawEllipse(rect);
        } else {
            painter.drawRect(rect);
        }
    }
}

void fill_texture(QImage &image, SyntheticRandom &random)
{
    struct Wave {
        double fx, fy, phase, amplitude;
    };
    std::vector<Wave> waves[3];
    for (auto &channel : waves) {
        for (int k = 0; k < 4; ++k) {
            channel.push_back({(random.uniform() - 0.5) * 0.12, (random.uniform() - 0.5) * 0.12,
                               random.uniform() * 6.2832, 15 + random.uniform() * 30});
        }
    }
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            int level[3];
            for (int c = 0; c < 3; ++c) {
                double value = 128;
                for (const Wave &w : waves[c]) {
                    value += w.amplitude * std::sin(w.fx * x + w.fy * y + w.phase);
                }
                level[c] = clamp_level(value);
            }
            line[x] = qRgb(level[0], level[1], level[2]);
        }
    }
}

// Value noise: random levels on coarse grids, smoothly interpolated, several octaves.
void fill_noise(QImage &image, SyntheticRandom &random)
{
    const int width = image.width();
    const int height = image.height();
    std::vector<double> sum(static_cast<size_t>(width) * height, 0.0);
    double amplitude = 90;
    for (int cell = 160; cell >= 10; cell /= 2, amplitude *= 0.55) {
        const int gw = width / cell + 2;
        const int gh = height / cell + 2;
        std::vector<double> grid(static_cast<size_t>(gw) * gh);
        for (double &g : grid) {
            g = random.uniform() * 2 - 1;
        }
        for (int y = 0; y < height; ++y) {
            const double fy = double(y) / cell;
            const int gy = static_cast<int>(fy);
            const double ty = (fy - gy) * (fy - gy) * (3 - 2 * (fy - gy));
            for (int x = 0; x < width; ++x) {
                const double fx = double(x) / cell;
                const int gx = static_cast<int>(fx);
                const double tx = (fx - gx) * (fx - gx) * (3 - 2 * (fx - gx));
                const double top = grid[gy * gw + gx] * (1 - tx) + grid[gy * gw + gx + 1] * tx;
                const double bottom =
                    grid[(gy + 1) * gw + gx] * (1 - tx) + grid[(gy + 1) * gw + gx + 1] * tx;
                sum[static_cast<size_t>(y) * width + x] +=
                    amplitude * (top * (1 - ty) + bottom * ty);
            }
        }
    }
    const QColor tint = random_colour(random);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double v = sum[static_cast<size_t>(y) * width + x];
            line[x] = qRgb(clamp_level(tint.red() * 0.5 + v + 64),
                           clamp_level(tint.green() * 0.5 + v + 64),
                           clamp_level(tint.blue() * 0.5 + v + 64));
        }
    }
}

} // namespace

QImage synthetic_image(std::uint64_t seed, int index, int width, int height)
{
    SyntheticRandom random(seed * 1000003u + static_cast<std::uint64_t>(index));
    QImage image(width, height, QImage::Format_RGB32);
    switch (index % 4) {
    case 0:
        fill_gradient(image, random);
        draw_shapes(image, random, 6);
        break;
    case 1:
        fill_gradient(image, random);
        draw_shapes(image, random, 40);
        break;
    case 2:
        fill_texture(image, random);
        draw_shapes(image, random, 4);
        break;
    default:
        fill_noise(image, random);
        break;
    }
    return image;
}

QRect synthetic_crop(SyntheticRandom &random, int width, int height, int min_side)
{
    auto side = [&](int extent) {
        const int low = std::min(extent, std::max(extent * 2 / 5, min_side));
        const int high = std::max(low, extent * 7 / 10);
        return random.between(low, high);
    };
    const int w = side(width);
    const int h = side(height);
    return QRect(random.between(0, width - w), random.between(0, height - h), w, h);
}

QList<QRect> demo_crops(const DemoWorkspace &demo)
{
    // The same draws as write_demo_images, in the same order.
    QList<QRect> crops;
    SyntheticRandom random(demo.seed);
    for (int k = 0; k < demo.images; ++k) {
        const int width = random.between(demo.min_side, demo.max_side);
        const int height = random.between(demo.min_side, demo.max_side);
        crops.append(synthetic_crop(random, width, height, 320));
    }
    return crops;
}

QString write_demo_images(const QString &directory, const DemoWorkspace &demo)
{
    QDir root(directory);
    if (!root.mkpath("database") || !root.mkpath("patterns")) {
        return QString("cannot create the folders of %1").arg(directory);
    }
    SyntheticRandom random(demo.seed);
    for (int k = 0; k < demo.images; ++k) {
        const int width = random.between(demo.min_side, demo.max_side);
        const int height = random.between(demo.min_side, demo.max_side);
        const QImage image = synthetic_image(demo.seed, k, width, height);
        const QString name = QString("img%1").arg(k, 3, 10, QLatin1Char('0'));
        const QRect crop = synthetic_crop(random, width, height, 320);
        for (const auto &file :
             {qMakePair(root.filePath("database/" + name + ".png"), image),
              qMakePair(root.filePath("patterns/" + name + ".crop.png"), image.copy(crop))}) {
            QImageWriter writer(file.first);
            if (!writer.write(file.second)) {
                return QString("cannot write the images of %1\n%2: %3")
                    .arg(directory, file.first, writer.errorString());
            }
        }
    }
    return QString();
}
