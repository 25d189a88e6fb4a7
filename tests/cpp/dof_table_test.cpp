// The numbering's lookup table against std::map: assignments that replace earlier ones, growth
// through many sizes, absent keys, negative and extreme indices.
#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <random>

#include "model/dofs.hpp"

namespace quarvex {
namespace {

template <class Table, class Key, class MakeKey>
void check_against_map(MakeKey make_key, unsigned seed) {
    std::mt19937 random(seed);
    Table table;
    std::map<Key, std::pair<std::int32_t, std::int32_t>> reference;
    for (int step = 0; step < 20000; ++step) {
        const Key key = make_key(random);
        const DofRange range{static_cast<std::int32_t>(random()), static_cast<std::int32_t>(random() % 7) - 3};
        if (step % 3 == 0)
            table[key] = range;
        else
            table.insert_or_assign(key, range);
        reference[key] = {range.start, range.count};
        if (step % 997 == 0) table.reserve(table.size() + 500);  // reserving keeps every entry
    }
    ASSERT_EQ(table.size(), reference.size());
    for (const auto& [key, range] : reference) {
        const DofRange* found = table.find(key);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->start, range.first);
        EXPECT_EQ(found->count, range.second);
    }
    for (int probe = 0; probe < 5000; ++probe) {
        const Key key = make_key(random);
        EXPECT_EQ(table.contains(key), reference.contains(key));
    }
}

TEST(DofTable, VertexKeysMatchAnOrderedMap) {
    constexpr std::int32_t kLowest = std::numeric_limits<std::int32_t>::min();
    check_against_map<VertexDofMap, std::int32_t>(
        [](std::mt19937& random) {
            const std::int32_t pick = static_cast<std::int32_t>(random() % 6000) - 1000;
            return pick == 4999 ? kLowest : pick;
        },
        1);
}

TEST(DofTable, EdgeKeysMatchAnOrderedMap) {
    check_against_map<EdgeDofMap, EdgeKey>(
        [](std::mt19937& random) {
            return EdgeKey{static_cast<std::int32_t>(random() % 150) - 20,
                           static_cast<std::int32_t>(random() % 150) - 20};
        },
        2);
}

TEST(DofTable, EmptyTableFindsNothing) {
    const EdgeDofMap table;
    EXPECT_EQ(table.find(EdgeKey{0, 0}), nullptr);
    EXPECT_EQ(table.size(), 0u);
}

}  // namespace
}  // namespace quarvex
