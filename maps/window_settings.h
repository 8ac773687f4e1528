#pragma once
// The two window settings: the radius a (the window is (2a + 1) x (2a + 1) pixels) and the step
// divisor c; window centres lie a / c pixels apart. Settings are usable when that step is at
// least one pixel; every command refuses other settings before it computes anything.

#include <string>

struct WindowSettings {
    // The ranges the window's form offers (h' and c).
    static constexpr int max_radius = 5000;
    static constexpr int max_step_divisor = 99;

    int radius = 50;
    int step_divisor = 1;

    bool valid() const { return step_divisor >= 1 && radius >= step_divisor; }
    // The grid step in pixels; only meaningful for valid settings.
    int step() const { return radius / step_divisor; }

    // "invalid window settings: radius R, step divisor C\n"
    std::string refusal() const;

    bool operator==(const WindowSettings &other) const
    {
        return radius == other.radius && step_divisor == other.step_divisor;
    }
    bool operator!=(const WindowSettings &other) const { return !(*this == other); }
};

// Writes the refusal to the console and returns true when the settings are not valid.
bool refuse_invalid(const WindowSettings &settings);
