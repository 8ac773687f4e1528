#pragma once
// How many image pixels may be decoded and mapped at once, across threads. A worker takes a
// lease for its image's pixels before decoding and holds it until the image's maps are made;
// a lease that does not fit waits for others to end. One image alone always gets its lease,
// so that no image waits forever, and no image larger than the limit is decoded at all.

#include <QtGlobal>

#include <condition_variable>
#include <mutex>

class PixelBudget
{
public:
    class Lease
    {
    public:
        Lease() = default;
        Lease(Lease &&other) noexcept;
        Lease &operator=(Lease &&other) noexcept;
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        ~Lease();
        void release();

    private:
        friend class PixelBudget;
        Lease(PixelBudget *budget, qint64 pixels)
            : m_budget(budget)
            , m_pixels(pixels)
        {}
        PixelBudget *m_budget = nullptr;
        qint64 m_pixels = 0;
    };

    explicit PixelBudget(qint64 total)
        : m_total(total)
    {}

    // Waits until `pixels` fit beside the leases held, or until none is held.
    Lease take(qint64 pixels);

    qint64 total() const;
    void set_total(qint64 total);
    qint64 in_use() const;

private:
    void give_back(qint64 pixels);

    mutable std::mutex m_mutex;
    std::condition_variable m_freed;
    qint64 m_total;
    qint64 m_used = 0;
};
