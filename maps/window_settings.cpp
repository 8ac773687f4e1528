#include "maps/window_settings.h"

#include "support/console.h"

std::string WindowSettings::refusal() const
{
    return "invalid window settings: radius " + std::to_string(radius) + ", step divisor " +
           std::to_string(step_divisor) + "\n";
}

bool refuse_invalid(const WindowSettings &settings)
{
    if (settings.valid()) {
        return false;
    }
    console::write(settings.refusal());
    return true;
}
