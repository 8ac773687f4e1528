#include "demo/photo_views.h"

#include "demo/synthetic_images.h"

#include <algorithm>
#include <cmath>

PhotoViews::PhotoViews(QList<FeatureMap> sources)
{
    for (const FeatureMap &source : sources) {
        if (source.has_values() && source.width >= 2 && source.height >= 2) {
            m_sources.append(source);
        }
    }
}

namespace {

// Mirrored beyond the edges, so that a view near a border stays a photograph.
int folded(int v, int n)
{
    const int period = 2 * n - 2;
    v %= period;
    v = v < 0 ? v + period : v;
    return v < n ? v : period - v;
}

} // namespace

FeatureMap PhotoViews::view(std::uint64_t seed, int width, int height) const
{
    FeatureMap out = FeatureMap::allocate(width, height);
    if (m_sources.isEmpty() || !out.has_values()) {
        return out;
    }
    SyntheticRandom random(seed * 0x9e3779b97f4a7c15ull + 17);
    const FeatureMap &source = m_sources[int(random.next() % std::uint64_t(m_sources.size()))];
    const double scale = std::exp(std::log(0.5) + random.uniform() * std::log(4.0));
    const double angle = random.uniform() * 6.283185307179586;
    const bool mirrored = random.uniform() < 0.5;
    const double gamma = std::exp((random.uniform() - 0.5) * 0.8);
    const double gain = 0.8 + random.uniform() * 0.4;
    const double offset = (random.uniform() - 0.5) * 30;
    const double centre_x = random.uniform() * source.width;
    const double centre_y = random.uniform() * source.height;
    float tone[256];
    for (int level = 0; level < 256; ++level) {
        tone[level] = float(std::clamp(
            std::round(std::pow(level / 255.0, gamma) * 255.0 * gain + offset), 0.0, 255.0));
    }
    // Source position of output pixel (x, y): the centre plus the turned, scaled offset.
    const double c = std::cos(angle) / scale;
    const double s = std::sin(angle) / scale;
    const double sign = mirrored ? -1 : 1;
    for (int y = 0; y < height; ++y) {
        const double v = y - height / 2.0;
        float *row = out.data() + qint64(y) * width;
        for (int x = 0; x < width; ++x) {
            const double u = sign * (x - width / 2.0);
            const double sx = centre_x + c * u - s * v;
            const double sy = centre_y + s * u + c * v;
            const int x0 = int(std::floor(sx));
            const int y0 = int(std::floor(sy));
            const double fx = sx - x0;
            const double fy = sy - y0;
            const bool inside =
                x0 >= 0 && y0 >= 0 && x0 + 1 < source.width && y0 + 1 < source.height;
            const int xa = inside ? x0 : folded(x0, source.width);
            const int xb = inside ? x0 + 1 : folded(x0 + 1, source.width);
            const int ya = inside ? y0 : folded(y0, source.height);
            const int yb = inside ? y0 + 1 : folded(y0 + 1, source.height);
            const float *top = source.data() + qint64(ya) * source.width;
            const float *bottom = source.data() + qint64(yb) * source.width;
            const double value = (1 - fy) * ((1 - fx) * top[xa] + fx * top[xb]) +
                                 fy * ((1 - fx) * bottom[xa] + fx * bottom[xb]);
            row[x] = tone[std::clamp(int(value + 0.5), 0, 255)]; // value >= 0
        }
    }
    return out;
}
