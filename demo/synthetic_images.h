#pragma once
// Synthetic image collections for demos and benchmarks: deterministic for a given seed on every
// machine (own random generator, no library distributions), varied enough that descriptor maps
// differ: gradients, shapes, textures and noise, in colour.

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

#include <cstdint>

class SyntheticRandom
{
public:
    explicit SyntheticRandom(std::uint64_t seed)
        : m_state(seed)
    {}
    std::uint64_t next();
    double uniform();               // [0, 1)
    int between(int low, int high); // [low, high]

private:
    std::uint64_t m_state;
};

// Image number `index` of the collection `seed`, of the given size.
QImage synthetic_image(std::uint64_t seed, int index, int width, int height);

// A crop of an image of the given size: 40 % to 70 % of each side (at least `min_side` pixels
// where the image allows), at a random offset.
QRect synthetic_crop(SyntheticRandom &random, int width, int height, int min_side = 0);

struct DemoWorkspace {
    int images = 36;
    int min_side = 400;
    int max_side = 1200;
    std::uint64_t seed = 2026;
};

// Where each pattern of the demo workspace was cut from its image: imgNNN.crop.png is the part
// crops[NNN] of imgNNN.png.
QList<QRect> demo_crops(const DemoWorkspace &demo = DemoWorkspace());

// Writes database/imgNNN.png and patterns/imgNNN.crop.png (one crop per image) under
// `directory`. Returns an error text, empty on success.
QString write_demo_images(const QString &directory, const DemoWorkspace &demo = DemoWorkspace());
