// The pattern builder against a plain reference (one ordered column set per row, compressed
// into runs entry by entry), the layouts of small cases written out by hand, and the failures
// with their texts and their order.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "lacc/pattern.hpp"

namespace quarvex {
namespace {

using test_support::make_tet;
using test_support::panic_text;

// "(col, off) (col, off) ...", so that a mismatch prints readably.
template <class Runs>
std::string runs_text(const Runs& runs) {
    std::ostringstream text;
    for (const quarvex::Run run : runs) text << "(" << run.col << ", " << run.off << ") ";
    return text.str();
}

// The reference: row d gets every free number of every element that has d; each row's set is
// compressed into runs one column at a time.
struct Layout {
    std::vector<std::int32_t> row_runs;
    std::vector<quarvex::Run> runs;
    std::size_t nnz = 0;
};

Layout reference_layout(const std::vector<Tet>& tets, std::size_t rows) {
    std::vector<std::set<std::int64_t>> columns(rows);
    for (const Tet& tet : tets) {
        std::vector<std::int64_t> free;
        for_each_dof(tet, [&](std::int64_t d) {
            if (d >= 0) free.push_back(d);
        });
        for (const std::int64_t d : free) columns.at(d).insert(free.begin(), free.end());
    }
    Layout layout;
    layout.runs.push_back({0, 0});
    for (const auto& row : columns) {
        layout.row_runs.push_back(static_cast<std::int32_t>(layout.runs.size()));
        std::int64_t last = -2;
        for (const std::int64_t c : row) {
            if (c != last + 1)
                layout.runs.push_back({static_cast<std::int32_t>(c), static_cast<std::uint32_t>(layout.nnz)});
            ++layout.nnz;
            last = c;
        }
    }
    layout.row_runs.push_back(static_cast<std::int32_t>(layout.runs.size()));
    layout.runs.push_back({0, static_cast<std::uint32_t>(layout.nnz)});
    return layout;
}

void expect_layout(const SprMat& mat, const Layout& expected, std::size_t rows) {
    EXPECT_EQ(mat.rows, rows);
    EXPECT_EQ(mat.cols, rows);
    EXPECT_EQ(mat.row_runs, expected.row_runs);
    EXPECT_EQ(runs_text(mat.runs), runs_text(expected.runs));
    EXPECT_EQ(test_support::plain(mat.vals), std::vector<double>(expected.nnz, 0.0));
}

struct LayoutCase {
    const char* name;
    std::vector<std::vector<DofRange>> elements;
    std::size_t rows;
};

class PatternLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(PatternLayout, MatchesReference) {
    std::vector<Tet> tets;
    for (const auto& dofs : GetParam().elements) tets.push_back(make_tet(dofs));
    expect_layout(build_pattern(tets, GetParam().rows), reference_layout(tets, GetParam().rows), GetParam().rows);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PatternLayout,
    testing::Values(LayoutCase{"no_rows", {}, 0}, LayoutCase{"constrained_only", {{{-1, 30}}, {{-4, 3}, {-100, 6}}}, 0},
                    LayoutCase{"one_element", {{{0, 30}}}, 30},
                    LayoutCase{"node_ranges_out_of_order", {{{9, 3}, {0, 3}, {-1, 3}, {3, 3}}, {{6, 3}, {3, 3}}}, 12},
                    LayoutCase{"repeated_ranges", {{{0, 30}, {0, 30}}}, 30},
                    LayoutCase{"empty_and_negative_counts", {{{0, 3}, {10, 0}, {3, -5}, {3, 3}, {-2, 0}}}, 6},
                    LayoutCase{"overlapping_ranges", {{{0, 4}, {2, 4}}, {{5, 2}, {9, 1}}, {{8, 1}, {7, 1}}}, 10},
                    LayoutCase{
                        "gaps_between_runs", {{{0, 1}, {2, 2}, {5, 3}, {9, 5}}, {{1, 1}}, {{4, 1}}, {{8, 1}}}, 14},
                    LayoutCase{"chain", {{{0, 3}, {3, 3}}, {{3, 3}, {6, 3}}, {{6, 3}, {9, 3}}, {{12, 3}, {0, 3}}}, 15}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

TEST(PatternLayoutByHand, ZeroRowsIsTheEmptyMatrix) {
    const SprMat mat = build_pattern({}, 0);
    EXPECT_EQ(mat.row_runs, std::vector<std::int32_t>{1});
    EXPECT_EQ(runs_text(mat.runs), "(0, 0) (0, 0) ");
    EXPECT_TRUE(mat.vals.empty());
}

TEST(PatternLayoutByHand, OneFullElement) {
    const std::vector<Tet> tets{make_tet({{0, 30}})};
    const SprMat mat = build_pattern(tets, 30);
    std::vector<quarvex::Run> runs{{0, 0}};
    std::vector<std::int32_t> row_runs;
    for (std::uint32_t r = 0; r < 30; ++r) {
        runs.push_back({0, 30 * r});
        row_runs.push_back(static_cast<std::int32_t>(r + 1));
    }
    runs.push_back({0, 900});
    row_runs.push_back(31);
    EXPECT_EQ(runs_text(mat.runs), runs_text(runs));
    EXPECT_EQ(mat.row_runs, row_runs);
    EXPECT_EQ(test_support::plain(mat.vals), std::vector<double>(900, 0.0));
}

TEST(PatternLayoutByHand, DuplicateColumnsCollapse) {
    // Row 3 receives 3, 4 from the first element and 3, 7 from the second: sorted 3, 3, 4, 7.
    const std::vector<Tet> tets{make_tet({{3, 2}}), make_tet({{3, 1}, {7, 1}}), make_tet({{0, 3}}), make_tet({{5, 2}})};
    const SprMat mat = build_pattern(tets, 8);
    const std::size_t first = static_cast<std::size_t>(mat.row_runs[3]);
    ASSERT_EQ(mat.row_runs[4] - mat.row_runs[3], 2);
    const std::uint32_t k = mat.runs[first].off;
    EXPECT_EQ(k, 9u);  // rows 0..2 hold three entries each
    EXPECT_EQ(mat.runs[first], (quarvex::Run{3, k}));
    EXPECT_EQ(mat.runs[first + 1], (quarvex::Run{7, k + 2}));
    EXPECT_EQ(mat.runs[first + 2].off, k + 3);
}

TEST(PatternLayoutByHand, ConstrainedRangesAddNothing) {
    const std::vector<Tet> tets{make_tet({{0, 3}, {-1, 3}, {3, 3}})};
    const SprMat mat = build_pattern(tets, 6);
    EXPECT_EQ(mat.row_runs, (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 7}));
    for (std::uint32_t r = 0; r < 6; ++r) EXPECT_EQ(mat.runs[r + 1], (quarvex::Run{0, 6 * r}));
    EXPECT_EQ(mat.runs.back(), (quarvex::Run{0, 36}));
}

// Random elements: a few ranges each, free or constrained, possibly empty, overlapping or
// repeated, in random order; every row below `rows` is covered by a diagonal element.
TEST(PatternRandom, MatchesReference) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 random(seed);
        const std::size_t rows = 1 + random() % 300;
        std::vector<Tet> tets;
        for (std::size_t e = 0; e < rows / 3 + 5; ++e) {
            std::vector<DofRange> dofs;
            const int range_count = 1 + static_cast<int>(random() % 8);
            for (int k = 0; k < range_count; ++k) {
                const int count = static_cast<int>(random() % 6) - 1;
                const bool free = random() % 4 != 0;
                const int start = free ? static_cast<int>(random() % rows) : -1 - static_cast<int>(random() % 50);
                dofs.push_back({start, count});
            }
            if (random() % 5 == 0) dofs.push_back(dofs.front());
            tets.push_back(make_tet(dofs));
        }
        for (std::size_t r = 0; r < rows; r += 1 + random() % 4)
            tets.push_back(make_tet({{static_cast<std::int32_t>(r), 4}}));
        for (std::size_t r = 0; r < rows; ++r) tets.push_back(make_tet({{static_cast<std::int32_t>(r), 1}}));
        for (auto& tet : tets)
            for (auto& range : tet.dofs)
                if (range.start >= 0 && static_cast<std::size_t>(range.start) + std::max(range.count, 0) > rows)
                    range.count = static_cast<std::int32_t>(rows) - range.start;
        SCOPED_TRACE("seed " + std::to_string(seed));
        expect_layout(build_pattern(tets, rows), reference_layout(tets, rows), rows);
    }
}

struct FailureCase {
    const char* name;
    std::vector<std::vector<DofRange>> elements;
    std::uint64_t rows;
    std::string message;
};

class PatternFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(PatternFailure, Message) {
    std::vector<Tet> tets;
    for (const auto& dofs : GetParam().elements) tets.push_back(make_tet(dofs));
    EXPECT_EQ(panic_text([&] { build_pattern(tets, GetParam().rows); }), GetParam().message);
}

const std::string kTooLarge = "matrix too large: ";

INSTANTIATE_TEST_SUITE_P(
    Cases, PatternFailure,
    testing::Values(
        FailureCase{"too_few_rows", {{{0, 30}}}, 29, "index out of bounds: the len is 29 but the index is 29"},
        FailureCase{"too_many_rows", {{{0, 30}}}, 31, "index out of bounds: the len is 0 but the index is 0"},
        FailureCase{"no_rows", {{{-1, 3}, {5, 3}}}, 0, "index out of bounds: the len is 0 but the index is 5"},
        FailureCase{"first_in_expansion_order",
                    {{{0, 3}, {50, 1}, {31, 1}}},
                    30,
                    "index out of bounds: the len is 30 but the index is 50"},
        FailureCase{"lowest_element",
                    {{{0, 30}}, {{35, 1}}, {{32, 1}}},
                    30,
                    "index out of bounds: the len is 30 but the index is 35"},
        FailureCase{"out_of_range_before_gap",
                    {{{0, 10}}, {{40, 3}}},
                    30,
                    "index out of bounds: the len is 30 but the index is 40"},
        FailureCase{"gap_inside", {{{0, 10}}, {{12, 3}}}, 15, "index out of bounds: the len is 0 but the index is 0"},
        FailureCase{"no_free_numbers", {{{-1, 30}}}, 4, "index out of bounds: the len is 0 but the index is 0"},
        FailureCase{"huge_row_count",
                    {{{0, 30}}},
                    std::uint64_t{1} << 40,
                    "index out of bounds: the len is 0 but the index is 0"},
        FailureCase{"column_beyond_2_31",
                    {{{2147483647, 3}}},
                    (std::uint64_t{1} << 31) + 2,
                    kTooLarge + "2147483650 columns, column numbers must stay below 2^31"},
        FailureCase{"entries_reach_2_32",
                    {{{0, 65536}}},
                    65536,
                    kTooLarge + "4294967296 entries, at most 2^32 - 1 are supported"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quarvex
