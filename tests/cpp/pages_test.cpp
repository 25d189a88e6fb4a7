// PageVector: new vectors read zero whatever memory they get (reused memory included), for
// sizes on both sides of the mapping threshold, after their pages are mapped up front.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "lacc/pages.hpp"
#include "lacc/spr.hpp"

namespace quarvex {
namespace {

template <class T>
bool all_zero_bytes(const PageVector<T>& values) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(values.data());
    return std::all_of(bytes, bytes + values.size() * sizeof(T), [](unsigned char b) { return b == 0; });
}

TEST(PageVector, NewVectorsReadZeroAfterReusedMemory) {
    for (const std::size_t count :
         {std::size_t{1}, std::size_t{1000}, kPopulateFrom / 8 - 1, kPopulateFrom / 8 + 3, std::size_t{3} << 20}) {
        for (int round = 0; round < 3; ++round) {
            PageVector<double> values(count);
            populate_pages(values);
            ASSERT_TRUE(all_zero_bytes(values)) << count << " round " << round;
            std::fill(values.begin(), values.end(), -1.5);  // dirty the memory the next round may reuse
            PageVector<quarvex::Run> runs(count);
            ASSERT_TRUE(all_zero_bytes(runs)) << count;
            EXPECT_EQ(runs.front(), quarvex::Run{});
            std::fill(runs.begin(), runs.end(), quarvex::Run{7, 9});
        }
    }
}

TEST(PageVector, CopiesAndFillsKeepValues) {
    PageVector<double> values(5000, 2.5);
    const PageVector<double> copy = values;
    EXPECT_EQ(copy, values);
    values.assign(3, 4.0);
    EXPECT_EQ(values, (PageVector<double>{4.0, 4.0, 4.0}));
    EXPECT_EQ(copy[4999], 2.5);
}

}  // namespace
}  // namespace quarvex
