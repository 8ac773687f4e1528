#include "maps/centre_descriptor.h"

#include "maps/descriptor.h"

#include <algorithm>
#include <cstdlib>

namespace {

using Wide = __int128;

// Whether the window sums, formed from prefix sums over `extent` pixels in each direction,
// stay below 2^62 with every product on the way.
bool prefixes_fit(int a, int extent)
{
    Wide bx = 0;
    for (Wide k = 1; k <= a; ++k) {
        bx += 2 * k * (a - k);
    }
    const Wide largest = 255 * std::max<Wide>(bx, Wide(a) * a);
    const Wide n = extent + 1;
    return 8 * n * n * n * largest < (Wide(1) << 62);
}

// Whether every value is a whole number from 0 to 255. Adding and taking off 2^23 rounds a
// value of that range to a whole number: it comes back unchanged only if it was one.
bool grey_levels(const float *values, qint64 count)
{
    int other = 0;
    for (qint64 k = 0; k < count; ++k) {
        const float v = values[k];
        other |= (v < 0.0f) | (v > 255.0f) | ((v + 8388608.0f) - 8388608.0f != v);
    }
    return other == 0;
}

// Triangle-weighted sums around the centre c of half-width a, from the prefix sums (of f, t f
// and t^2 f over t < n) at n = c - a, c + 1 and c + a + 1:
//   t0 = sum (a - |c - t|) f(t),   t1 = sum (a - |c - t|) (c - t) f(t).
void triangle(const qint64 *lo, const qint64 *mid, const qint64 *hi, qint64 c, qint64 a, qint64 &t0,
              qint64 &t1)
{
    const qint64 s0l = mid[0] - lo[0], s1l = mid[1] - lo[1], s2l = mid[2] - lo[2];
    const qint64 s0r = hi[0] - mid[0], s1r = hi[1] - mid[1], s2r = hi[2] - mid[2];
    t0 = (a - c) * s0l + s1l + (a + c) * s0r - s1r;
    t1 = (a - c) * c * s0l + (2 * c - a) * s1l - s2l + (a + c) * c * s0r - (2 * c + a) * s1r + s2r;
}

} // namespace

// Centres asked for alone before their whole tile is made.
constexpr int singles_per_tile = 2;
// Whole phase maps made from the image before they are made from tiles.
constexpr int maps_from_the_image = 8;
// A map of at most this many cells costs less from its cells alone, several of which a search
// has usually asked for already.
constexpr qint64 few_cells = 64;
// The side, in centres, of the blocks all_values makes at once.
constexpr int block_side = 256;

struct CentreDescriptor::Tile {
    int width = 0; // centres
    int height = 0;
    bool whole = false;
    int singles = 0;
    std::vector<float> values;
    std::vector<bool> known;
};

CentreDescriptor::CentreDescriptor(const FeatureMap &grey, const WindowSettings &settings)
    : m_grey(grey)
    , m_settings(settings)
{
    if (!settings.valid()) {
        return;
    }
    const int a = settings.radius;
    m_step = settings.step();
    m_centres_x = int(std::max<qint64>(0, grey.width - 2 * qint64(a)));
    m_centres_y = int(std::max<qint64>(0, grey.height - 2 * qint64(a)));
    if (m_centres_x == 0 || m_centres_y == 0) {
        m_centres_x = m_centres_y = 0;
        return;
    }
    m_tiles_x = (m_centres_x + m_step - 1) / m_step;
    const int tiles_y = (m_centres_y + m_step - 1) / m_step;
    m_tiles.resize(static_cast<std::size_t>(m_tiles_x) * tiles_y);
    m_exact = grey.width <= exact_max_side && grey.height <= exact_max_side &&
              descriptor_sums_exact(a) && prefixes_fit(a, m_step + 2 * a) &&
              grey_levels(grey.data(), grey.cell_count());
    if (m_exact) {
        m_sxx = window_sxx(a);
        // Pixel u of a window row is offset i = a - u.
        for (int u = 0; u <= 2 * a; ++u) {
            const int i = a - u;
            m_row_weights.push_back(double(a - std::abs(i)));
            m_row_moments.push_back(double(a - std::abs(i)) * i);
        }
    }
}

CentreDescriptor::~CentreDescriptor() = default;

float CentreDescriptor::value(int cx, int cy)
{
    const int tx = cx / m_step;
    const int ty = cy / m_step;
    Tile &made = tile(tx, ty);
    const std::size_t at = static_cast<std::size_t>(cy % m_step) * made.width + cx % m_step;
    if (!made.whole && !made.known[at]) {
        if (++made.singles > singles_per_tile) {
            make_whole(made, tx, ty);
        } else {
            made.values[at] = single(cx, cy);
            made.known[at] = true;
            ++m_singles_made;
        }
    }
    return made.values[at];
}

CentreDescriptor::Tile &CentreDescriptor::tile(int tx, int ty)
{
    std::unique_ptr<Tile> &slot = m_tiles[static_cast<std::size_t>(ty) * m_tiles_x + tx];
    if (!slot) {
        slot = std::make_unique<Tile>();
        slot->width = std::min(m_step, m_centres_x - tx * m_step);
        slot->height = std::min(m_step, m_centres_y - ty * m_step);
        const std::size_t count = static_cast<std::size_t>(slot->width) * slot->height;
        slot->values.resize(count);
        slot->known.resize(count);
    }
    return *slot;
}

// One centre's sums straight from its window's pixels: rows j = a .. -a of the window, each
// row's h0 = sum (a - |i|) v and h1 = sum (a - |i|) i v, then Sxv = sum (a - |j|) h1 and
// Syv = sum (a - |j|) j h0, all whole numbers. The row sums are formed in double, which holds
// them exactly (below 2^53), so that they vectorise; a window with a value that is not a grey
// level goes through the literal loop.
float CentreDescriptor::single(int cx, int cy) const
{
    const int a = m_settings.radius;
    const int side = 2 * a + 1;
    qint64 sxv = 0;
    qint64 syv = 0;
    for (int t = 0; t < side && m_exact; ++t) {
        // Window row j = a - t; the window's column x - i is pixel column cx + a - i.
        const float *row = m_grey.data() + cx + qint64(cy + t) * m_grey.width;
        // Four partial sums each: whole numbers, so the order does not matter.
        double h0[4] = {0, 0, 0, 0};
        double h1[4] = {0, 0, 0, 0};
        int u = 0;
        for (; u + 4 <= side; u += 4) {
            for (int lane = 0; lane < 4; ++lane) {
                const double v = row[u + lane];
                h0[lane] += m_row_weights[std::size_t(u + lane)] * v;
                h1[lane] += m_row_moments[std::size_t(u + lane)] * v;
            }
        }
        for (; u < side; ++u) {
            const double v = row[u];
            h0[0] += m_row_weights[std::size_t(u)] * v;
            h1[0] += m_row_moments[std::size_t(u)] * v;
        }
        const qint64 j = a - t;
        const qint64 weight = a - (j < 0 ? -j : j);
        sxv += weight * static_cast<qint64>((h1[0] + h1[1]) + (h1[2] + h1[3]));
        syv += weight * j * static_cast<qint64>((h0[0] + h0[1]) + (h0[2] + h0[3]));
    }
    if (!m_exact) {
        const std::vector<float> weights = window_weights(a);
        FeatureMap window = FeatureMap::allocate(side, side);
        for (int y = 0; y < side; ++y) {
            std::copy_n(m_grey.data() + cx + qint64(cy + y) * m_grey.width, side,
                        window.data() + qint64(y) * window.width);
        }
        FeatureMap one = FeatureMap::allocate(1, 1);
        descriptor_values_literal(window, one, a, 1, weights.data(), weights.data());
        return one.values[0];
    }
    return static_cast<float>(static_cast<long double>(sxv) / m_sxx +
                              static_cast<long double>(syv) / m_sxx);
}

float CentreDescriptor::rough_value(int cx, int cy) const
{
    const int a = m_settings.radius;
    const int stride = std::max(1, a / 6);
    // Offsets 0, +-stride, +-2 stride, ... inside the window: a grid symmetric about the centre,
    // so that the weighted offsets sum to zero as in the whole window.
    const int reach = (a - 1) / stride * stride;
    double sxv = 0;
    double syv = 0;
    double sxx = 0;
    for (int j = -reach; j <= reach; j += stride) {
        const double wj = a - std::abs(j);
        // Window row j lies at pixel row cy + a - j; offset i at column cx + a - i.
        const float *row = m_grey.data() + cx + a + qint64(cy + a - j) * m_grey.width;
        double h0 = 0;
        double h1 = 0;
        double h2 = 0;
        for (int i = -reach; i <= reach; i += stride) {
            const double wi = a - std::abs(i);
            const double v = row[-i];
            h0 += wi * v;
            h1 += wi * i * v;
            h2 += wi * i * i;
        }
        sxv += wj * h1;
        syv += wj * j * h0;
        sxx += wj * h2;
    }
    return sxx > 0 ? static_cast<float>((sxv + syv) / sxx) : 0.0f;
}

void CentreDescriptor::make_whole(Tile &made, int tx, int ty)
{
    made.whole = true;
    ++m_tiles_made;
    const qint64 a = m_settings.radius;
    const int cx0 = tx * m_step;
    const int cy0 = ty * m_step;
    const int columns = made.width;
    const int rows = made.height;
    if (!m_exact) {
        const std::vector<float> weights = window_weights(int(a));
        FeatureMap window = FeatureMap::allocate(int(2 * a + 1), int(2 * a + 1));
        FeatureMap one = FeatureMap::allocate(1, 1);
        for (int r = 0; r < rows; ++r) {
            for (int q = 0; q < columns; ++q) {
                for (int y = 0; y <= 2 * a; ++y) {
                    std::copy_n(m_grey.data() + (cx0 + q) + qint64(cy0 + r + y) * m_grey.width,
                                2 * a + 1, window.data() + qint64(y) * window.width);
                }
                descriptor_values_literal(window, one, int(a), 1, weights.data(), weights.data());
                made.values[std::size_t(r) * columns + q] = one.values[0];
            }
        }
        return;
    }
    exact_block(cx0, cy0, columns, rows, made.values.data(), columns);
}

std::vector<float> CentreDescriptor::all_values()
{
    std::vector<float> values(std::size_t(m_centres_x) * std::size_t(m_centres_y));
    const int a = m_settings.radius;
    if (m_exact && prefixes_fit(a, block_side + 2 * a)) {
        // Blocks much larger than a tile, so that the pixels a window reaches beyond its
        // block are summed a few times rather than nine.
        for (int cy0 = 0; cy0 < m_centres_y; cy0 += block_side) {
            for (int cx0 = 0; cx0 < m_centres_x; cx0 += block_side) {
                exact_block(cx0, cy0, std::min(block_side, m_centres_x - cx0),
                            std::min(block_side, m_centres_y - cy0),
                            values.data() + cx0 + qint64(cy0) * m_centres_x, m_centres_x);
            }
        }
        return values;
    }
    for (int cy = 0; cy < m_centres_y; ++cy) {
        for (int cx = 0; cx < m_centres_x; ++cx) {
            values[std::size_t(cx) + std::size_t(cy) * std::size_t(m_centres_x)] = value(cx, cy);
        }
    }
    return values;
}

// The exact values of the centres cx0 .. cx0 + columns - 1, cy0 .. cy0 + rows - 1, row by row
// `stride` floats apart.
void CentreDescriptor::exact_block(int cx0, int cy0, int columns, int rows, float *out,
                                   qint64 stride) const
{
    const qint64 a = m_settings.radius;
    const int span_x = columns + int(2 * a);
    const int span_y = rows + int(2 * a);
    // The block's pixels: columns cx0 .. cx0 + columns + 2a, rows likewise.
    // Horizontal pass: per pixel row, prefix sums of v, t v, t^2 v along the block's span, then
    // for every centre column h0 = sum (a - |i|) v and h1 = sum (a - |i|) i v.
    std::vector<qint64> line(static_cast<std::size_t>(span_x + 1) * 3);
    std::vector<qint64> h0(static_cast<std::size_t>(columns) * span_y);
    std::vector<qint64> h1(h0.size());
    for (int y = 0; y < span_y; ++y) {
        const float *pixels = m_grey.data() + cx0 + qint64(cy0 + y) * m_grey.width;
        qint64 s0 = 0, s1 = 0, s2 = 0;
        for (int n = 0;; ++n) {
            line[std::size_t(3 * n)] = s0;
            line[std::size_t(3 * n + 1)] = s1;
            line[std::size_t(3 * n + 2)] = s2;
            if (n == span_x) {
                break;
            }
            const qint64 v = static_cast<qint64>(pixels[n]);
            s0 += v;
            s1 += n * v;
            s2 += qint64(n) * n * v;
        }
        for (int q = 0; q < columns; ++q) {
            const qint64 c = a + q; // the centre, in span coordinates
            triangle(&line[std::size_t(3 * (c - a))], &line[std::size_t(3 * (c + 1))],
                     &line[std::size_t(3 * (c + a + 1))], c, a, h0[std::size_t(q) * span_y + y],
                     h1[std::size_t(q) * span_y + y]);
        }
    }
    // Vertical pass: Sxv weights h1 with a - |j|, Syv weights h0 with (a - |j|) j.
    const long double sxx = m_sxx;
    std::vector<qint64> down(static_cast<std::size_t>(span_y + 1) * 3);
    std::vector<qint64> down0(down.size());
    for (int q = 0; q < columns; ++q) {
        const qint64 *f = h1.data() + std::size_t(q) * span_y;
        const qint64 *g = h0.data() + std::size_t(q) * span_y;
        qint64 f0 = 0, f1 = 0, f2 = 0, g0 = 0, g1 = 0, g2 = 0;
        for (int n = 0;; ++n) {
            qint64 *at = &down[std::size_t(3 * n)];
            qint64 *at0 = &down0[std::size_t(3 * n)];
            at[0] = f0;
            at[1] = f1;
            at[2] = f2;
            at0[0] = g0;
            at0[1] = g1;
            at0[2] = g2;
            if (n == span_y) {
                break;
            }
            const qint64 t = n;
            f0 += f[n];
            f1 += t * f[n];
            f2 += t * t * f[n];
            g0 += g[n];
            g1 += t * g[n];
            g2 += t * t * g[n];
        }
        for (int r = 0; r < rows; ++r) {
            const qint64 c = a + r;
            qint64 sxv = 0, syv = 0, unused = 0;
            triangle(&down[std::size_t(3 * (c - a))], &down[std::size_t(3 * (c + 1))],
                     &down[std::size_t(3 * (c + a + 1))], c, a, sxv, unused);
            triangle(&down0[std::size_t(3 * (c - a))], &down0[std::size_t(3 * (c + 1))],
                     &down0[std::size_t(3 * (c + a + 1))], c, a, unused, syv);
            out[q + qint64(r) * stride] = static_cast<float>(static_cast<long double>(sxv) / sxx +
                                                             static_cast<long double>(syv) / sxx);
        }
    }
}

QSize CentreDescriptor::phase_size(int px, int py) const
{
    if (!m_settings.valid()) {
        return QSize(0, 0);
    }
    const int a = m_settings.radius;
    return QSize(descriptor_extent(m_grey.width - px, a, m_step),
                 descriptor_extent(m_grey.height - py, a, m_step));
}

bool CentreDescriptor::phase_has_cells(int px, int py) const
{
    const QSize size = phase_size(px, py);
    return size.width() > 0 && size.height() > 0;
}

FeatureMap CentreDescriptor::phase_map(int px, int py)
{
    const QSize size = phase_size(px, py);
    if (!phase_has_cells(px, py)) {
        return FeatureMap::allocate(size.width(), size.height(), m_grey.name);
    }
    // The first few maps straight from the image; once many are asked for, the tiles, which
    // then hold every phase, cost less; so does a small map.
    if (++m_phase_maps_made > maps_from_the_image ||
        qint64(size.width()) * size.height() <= few_cells) {
        FeatureMap map = FeatureMap::allocate(size.width(), size.height(), m_grey.name);
        for (int k = 0; k < map.width; ++k) {
            for (int l = 0; l < map.height; ++l) {
                map.at(k, l) = phase_value(px, py, k, l);
            }
        }
        return map;
    }
    FeatureMap cropped = FeatureMap::allocate(m_grey.width - px, m_grey.height - py, m_grey.name);
    for (int y = 0; y < cropped.height; ++y) {
        std::copy_n(m_grey.data() + px + qint64(py + y) * m_grey.width, cropped.width,
                    cropped.data() + qint64(y) * cropped.width);
    }
    return descriptor_map(cropped, m_settings);
}
