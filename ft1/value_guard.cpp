#include "ft1/value_guard.h"

#include "support/checksum.h"

ValueGuard::ValueGuard(std::shared_ptr<const void> storage, const float *values,
                       std::uint64_t count, const std::uint64_t *sums, std::uint64_t block,
                       const QString &index_path)
    : m_storage(std::move(storage))
    , m_values(values)
    , m_count(count)
    , m_sums(sums)
    , m_block(std::max<std::uint64_t>(block, 1))
    , m_path(index_path)
    , m_state(std::size_t((count + m_block - 1) / m_block))
{}

bool ValueGuard::block_ok(std::uint64_t block) const
{
    std::atomic<std::uint8_t> &state = m_state[std::size_t(block)];
    std::uint8_t known = state.load(std::memory_order_acquire);
    if (known == 0) {
        // Two threads may both check a block: they agree.
        const std::uint64_t first = block * m_block;
        const std::uint64_t count = std::min(m_block, m_count - first);
        Checksum sum;
        sum.add(reinterpret_cast<const char *>(m_values + first),
                std::size_t(count * sizeof(float)));
        known = sum.value() == m_sums[block] ? 1 : 2;
        state.store(known, std::memory_order_release);
    }
    return known == 1;
}

void ValueGuard::check(const FeatureMap &map) const
{
    const float *begin = map.data();
    if (!begin || begin < m_values || begin >= m_values + m_count) {
        return;
    }
    const std::uint64_t first = std::uint64_t(begin - m_values);
    const std::uint64_t last = std::min(m_count, first + std::uint64_t(map.cell_count())) - 1;
    for (std::uint64_t block = first / m_block; block <= last / m_block; ++block) {
        if (!block_ok(block)) {
            throw DamagedIndex(m_path);
        }
    }
}

bool ValueGuard::check_all() const
{
    for (std::uint64_t block = 0; block < m_state.size(); ++block) {
        if (!block_ok(block)) {
            return false;
        }
    }
    return true;
}
