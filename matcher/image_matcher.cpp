#include "matcher/image_matcher.h"

#include "matcher/console.h"
#include "matcher/descriptor.h"

#include <vector>

ImageMatcher::ImageMatcher(int radius_value, int step_divisor_value)
    : ImageMatcher(radius_value, step_divisor_value, Quiet{})
{
    console::write("running\n");
}

ImageMatcher::ImageMatcher(int radius_value, int step_divisor_value, Quiet)
    : step_divisor(step_divisor_value)
    , radius(radius_value)
{}

bool ImageMatcher::settings_valid(int radius_value, int step_divisor_value)
{
    return step_divisor_value >= 1 && radius_value >= step_divisor_value;
}

std::string ImageMatcher::invalid_settings_message(int radius_value, int step_divisor_value)
{
    return "invalid window settings: radius " + std::to_string(radius_value) + ", step divisor " +
           std::to_string(step_divisor_value) + "\n";
}

bool ImageMatcher::refuse_invalid_settings(int radius_value, int step_divisor_value)
{
    if (settings_valid(radius_value, step_divisor_value)) {
        return false;
    }
    console::write(invalid_settings_message(radius_value, step_divisor_value));
    return true;
}

void ImageMatcher::fill_weights()
{
    weights_x.clear();
    weights_y.clear();
    for (int k = 0; k <= radius; ++k) {
        weights_x.append(static_cast<float>(radius - k));
        weights_y.append(static_cast<float>(radius - k));
    }
}

void ImageMatcher::compute_descriptor_map(const FeatureMap &source, FeatureMap &result, int a) const
{
    const bool usable =
        settings_valid(a, step_divisor) && weights_x.size() > a && weights_y.size() > a;
    if (!usable) {
        result = FeatureMap::allocate(0, 0, source.name);
        return;
    }
    const int step = a / step_divisor;
    result = FeatureMap::allocate(descriptor_extent(source.width, a, step),
                                  descriptor_extent(source.height, a, step), source.name);
    // QList spaces its elements a pointer apart: copy the weights the loops read.
    const std::vector<float> wx(weights_x.cbegin(), weights_x.cbegin() + a + 1);
    const std::vector<float> wy(weights_y.cbegin(), weights_y.cbegin() + a + 1);
    if (!descriptor_values_exact(source, result, a, step, wx.data(), wy.data())) {
        descriptor_values_literal(source, result, a, step, wx.data(), wy.data());
    }
}
