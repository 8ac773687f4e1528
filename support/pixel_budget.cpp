#include "support/pixel_budget.h"

#include <utility>

PixelBudget::Lease::Lease(Lease &&other) noexcept
    : m_budget(std::exchange(other.m_budget, nullptr))
    , m_pixels(std::exchange(other.m_pixels, 0))
{}

PixelBudget::Lease &PixelBudget::Lease::operator=(Lease &&other) noexcept
{
    if (this != &other) {
        release();
        m_budget = std::exchange(other.m_budget, nullptr);
        m_pixels = std::exchange(other.m_pixels, 0);
    }
    return *this;
}

PixelBudget::Lease::~Lease()
{
    release();
}

void PixelBudget::Lease::release()
{
    if (m_budget) {
        m_budget->give_back(m_pixels);
        m_budget = nullptr;
        m_pixels = 0;
    }
}

PixelBudget::Lease PixelBudget::take(qint64 pixels)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_freed.wait(lock, [&] { return m_used == 0 || m_used + pixels <= m_total; });
    m_used += pixels;
    return Lease(this, pixels);
}

qint64 PixelBudget::total() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_total;
}

void PixelBudget::set_total(qint64 total)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_total = total;
    }
    m_freed.notify_all();
}

qint64 PixelBudget::in_use() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_used;
}

void PixelBudget::give_back(qint64 pixels)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_used -= pixels;
    }
    m_freed.notify_all();
}
