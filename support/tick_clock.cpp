#include "support/tick_clock.h"

#include <chrono>

std::uint32_t tick_ms()
{
    using namespace std::chrono;
    const auto now = duration_cast<milliseconds>(steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(now.count());
}
