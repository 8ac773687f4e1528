#pragma once
// The millisecond tick counter that times builds and searches. Only differences of two readings
// are meaningful; they are taken modulo 2^32, so a wrap of the counter does no harm.

#include <cstdint>

std::uint32_t tick_ms();

inline std::uint32_t ticks_between(std::uint32_t start, std::uint32_t end)
{
    return end - start;
}
