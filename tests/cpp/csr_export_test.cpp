// CSR export of the run-format matrix: every row's columns against the union of the free
// numbers of the elements that hold the row (worked out independently), each value at the
// position locate() gives, both index widths, the empty matrix and the length checks.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <cstdint>
#include <set>
#include <vector>

#include "lacc/pattern.hpp"
#include "lacc/spr.hpp"
#include "model/export.hpp"

namespace quarvex {
namespace {

using test_support::make_tet;
using test_support::panic_text;

// Ranges that merge, leave gaps between runs, run backwards (prescribed) and overlap.
std::vector<Tet> sample_tets() {
    return {make_tet({{0, 3}, {6, 3}}), make_tet({{3, 3}, {9, 2}}), make_tet({{6, 3}, {11, 1}, {-1, 3}}),
            make_tet({{12, 4}, {0, 1}}), make_tet({{14, 2}, {-4, 2}, {5, 1}})};
}

std::set<std::int64_t> coupled_columns(const std::vector<Tet>& tets, std::int64_t row) {
    std::set<std::int64_t> columns;
    for (const Tet& tet : tets) {
        bool holds_row = false;
        for_each_dof(tet, [&](std::int64_t d) { holds_row = holds_row || d == row; });
        if (holds_row)
            for_each_dof(tet, [&](std::int64_t d) {
                if (d >= 0) columns.insert(d);
            });
    }
    return columns;
}

template <class Index>
void check_export(const std::vector<Tet>& tets, SprMat& mat) {
    for (std::size_t k = 0; k < mat.vals.size(); ++k) mat.vals[k] = 0.5 + static_cast<double>(k);
    std::vector<Index> indptr(mat.rows + 1, -7);
    std::vector<Index> indices(stored_count(mat), -7);
    std::vector<double> values(stored_count(mat), -7.0);
    write_csr_structure(mat, std::span<Index>(indptr), std::span<Index>(indices));
    copy_values(mat, values);
    EXPECT_EQ(values, test_support::plain(mat.vals));
    ASSERT_EQ(indptr.front(), 0);
    ASSERT_EQ(static_cast<std::size_t>(indptr.back()), mat.vals.size());
    for (std::size_t r = 0; r < mat.rows; ++r) {
        const std::set<std::int64_t> expected = coupled_columns(tets, static_cast<std::int64_t>(r));
        const std::vector<std::int64_t> got(indices.begin() + indptr[r], indices.begin() + indptr[r + 1]);
        EXPECT_EQ(got, std::vector<std::int64_t>(expected.begin(), expected.end())) << "row " << r;
        for (Index k = indptr[r]; k < indptr[r + 1]; ++k)
            EXPECT_EQ(locate(mat, r, static_cast<std::int32_t>(indices[k])), static_cast<std::size_t>(k));
    }
}

TEST(CsrExport, RowsAreTheCoupledColumnsInOrderWithTheirValues) {
    const std::vector<Tet> tets = sample_tets();
    SprMat mat = build_pattern(tets, 16);
    check_export<std::int32_t>(tets, mat);
    check_export<std::int64_t>(tets, mat);
}

TEST(CsrExport, EmptyMatrixAndLengthChecks) {
    const SprMat empty;
    std::vector<std::int32_t> indptr(1, -1);
    write_csr_structure(empty, std::span<std::int32_t>(indptr), std::span<std::int32_t>());
    EXPECT_EQ(indptr, std::vector<std::int32_t>{0});

    const SprMat mat = build_pattern(sample_tets(), 16);
    std::vector<std::int32_t> short_indices(stored_count(mat) - 1);
    std::vector<std::int32_t> row_pointers(17);
    EXPECT_NE(panic_text([&] { write_csr_structure(mat, std::span<std::int32_t>(row_pointers), short_indices); }),
              "<no panic>");
    std::vector<double> short_values(1);
    EXPECT_NE(panic_text([&] { copy_values(mat, short_values); }), "<no panic>");
}

TEST(CsrExport, StructureStampsAreNewEachTime) {
    const std::uint64_t first = next_pattern_version();
    const std::uint64_t second = next_pattern_version();
    EXPECT_GT(first, 0u);
    EXPECT_GT(second, first);
}

}  // namespace
}  // namespace quarvex
