#pragma once
// The values of a binary index's maps, checked against their checksums a block at a time before
// a search first reads them, so that a damaged index never makes a wrong answer: a block that
// does not match throws DamagedIndex, and the command reads the database's text instead. The
// index's mapping is not read until then, so a search of one pattern reads the blocks of the
// maps it looks at and no others.

#include "maps/feature_map.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

class DamagedIndex : public std::runtime_error
{
public:
    explicit DamagedIndex(const QString &index_path)
        : std::runtime_error("damaged index")
        , m_path(index_path)
    {}
    const QString &path() const { return m_path; }

private:
    QString m_path;
};

class ValueGuard
{
public:
    // `values` and `sums` stay valid while `storage` lives.
    ValueGuard(std::shared_ptr<const void> storage, const float *values, std::uint64_t count,
               const std::uint64_t *sums, std::uint64_t block, const QString &index_path);

    // Throws DamagedIndex when a block holding some of the map's values does not match; maps
    // that are not the index's are left alone.
    void check(const FeatureMap &map) const;
    // Checks every block; false when one does not match.
    bool check_all() const;

private:
    bool block_ok(std::uint64_t block) const;

    std::shared_ptr<const void> m_storage;
    const float *m_values;
    std::uint64_t m_count;
    const std::uint64_t *m_sums;
    std::uint64_t m_block;
    QString m_path;
    // 0 not checked yet, 1 matches, 2 does not.
    mutable std::vector<std::atomic<std::uint8_t>> m_state;
};
