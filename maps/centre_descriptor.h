#pragma once
// The descriptor at every window centre of an image, not only on the grid. The grid of step s
// seen from pixel (px, py) of the image, 0 <= px, py < s, is one "phase" of it: its cells are
// the centres (px + a + q * s, py + a + r * s), and it is, value for value, the descriptor map
// of the image cropped by px columns and py rows. Phase (0, 0) is the image's own map.
//
// Every value is bit for bit that of the literal loop at its centre. Values are made when first
// asked for: alone at first, then, once enough of the same tile of s x s centres were asked
// for, the whole tile at once. One tile holds cell (q, r) of every phase, so a search that
// reads one cell of each phase pays for one tile, not for the image. Window sums are exact
// integers where that is guaranteed (grey levels, radius up to 2191): summed directly for a
// single centre, from prefix sums over a tile's pixels for a tile. Elsewhere the literal loop
// runs at each centre. A whole phase map is the exact descriptor map of the cropped image.
// Not for use by several threads at once.

#include "maps/feature_map.h"
#include "maps/window_settings.h"

#include <QSize>

#include <memory>
#include <vector>

class CentreDescriptor
{
public:
    CentreDescriptor(const FeatureMap &grey, const WindowSettings &settings);
    ~CentreDescriptor();
    CentreDescriptor(const CentreDescriptor &) = delete;
    CentreDescriptor &operator=(const CentreDescriptor &) = delete;

    const WindowSettings &settings() const { return m_settings; }
    int step() const { return m_step; }
    // Window centres along each side: the image side minus 2 * radius, or 0.
    int centres_x() const { return m_centres_x; }
    int centres_y() const { return m_centres_y; }

    // The value at the centre pixel (radius + cx, radius + cy).
    float value(int cx, int cy);

    // The sizes of phase (px, py): descriptor_extent of the image cropped by px and py.
    QSize phase_size(int px, int py) const;
    bool phase_has_cells(int px, int py) const;
    // Cell (k, l) of phase (px, py).
    float phase_value(int px, int py, int k, int l)
    {
        return value(px + k * m_step, py + l * m_step);
    }
    // About the value at (radius + cx, radius + cy), from a sparse grid of the window's pixels
    // (a few hundred at any radius): for choosing where to look, never for a result.
    float rough_value(int cx, int cy) const;
    float rough_phase_value(int px, int py, int k, int l) const
    {
        return rough_value(px + k * m_step, py + l * m_step);
    }

    // The value at every centre, row by row (centres_x() floats a row): the same values as
    // value(), made in large blocks at once, for a search that reads every phase.
    std::vector<float> all_values();

    // The whole map of one phase, named after the image.
    FeatureMap phase_map(int px, int py);

    // Whole tiles and phase maps made so far, for tests and benchmarks.
    int tiles_made() const { return m_tiles_made; }
    int phase_maps_made() const { return m_phase_maps_made; }
    int singles_made() const { return m_singles_made; }

private:
    struct Tile;
    Tile &tile(int tx, int ty);
    void make_whole(Tile &tile, int tx, int ty);
    float single(int cx, int cy) const;
    void exact_block(int cx0, int cy0, int columns, int rows, float *out, qint64 stride) const;

    FeatureMap m_grey;
    WindowSettings m_settings;
    int m_step = 1;
    int m_centres_x = 0;
    int m_centres_y = 0;
    int m_tiles_x = 0;
    bool m_exact = false;
    long double m_sxx = 0;
    std::vector<double> m_row_weights; // a - |i| for the pixels of a window row
    std::vector<double> m_row_moments; // (a - |i|) i
    std::vector<std::unique_ptr<Tile>> m_tiles;
    int m_tiles_made = 0;
    int m_phase_maps_made = 0;
    int m_singles_made = 0;
};
