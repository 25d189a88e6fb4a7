// One element: a 10-node quadratic tetrahedron with copies of its four vertex positions,
// its vertex indices as given, its load group, and its global degrees of freedom as ranges
// in local node order (vertices 0..3, then the six edges in the order of kEdgeVertices).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarvex {

// Local degree of freedom 3a + c is component c of node a: 10 nodes, 3 components.
constexpr std::size_t kLocalDofs = 30;

// The two vertices of edge node 4 + e, in local edge order.
inline constexpr std::array<std::array<std::size_t, 2>, 6> kEdgeVertices = {{
    {0, 1},
    {1, 2},
    {0, 2},
    {0, 3},
    {1, 3},
    {2, 3},
}};

// `count` consecutive degrees of freedom running away from zero: start, start + 1, ... for
// start >= 0 (free), start, start - 1, ... for start < 0 (prescribed, value bc[-d]).
struct DofRange {
    std::int32_t start = 0;
    std::int32_t count = 0;
};

using Point = std::array<double, 3>;

struct Tet {
    std::array<Point, 4> pts{};
    std::vector<DofRange> dofs;
    std::array<std::int32_t, 4> verts{};
    std::int32_t group = 0;
};

// The k-th degree of freedom of a range (k < count), as a 64-bit value so that no
// arithmetic on caller-supplied numbers can overflow.
inline std::int64_t dof_at(DofRange range, std::int32_t k) {
    return range.start >= 0 ? std::int64_t{range.start} + k : std::int64_t{range.start} - k;
}

// Number of degrees of freedom the element's ranges expand to (ranges with count <= 0 add none).
inline std::int64_t expanded_count(const Tet& tet) {
    std::int64_t total = 0;
    for (const DofRange range : tet.dofs) total += range.count > 0 ? range.count : 0;
    return total;
}

// Calls visit(d) for every degree of freedom of the element's ranges, in order.
template <class Visit>
void for_each_dof(const Tet& tet, Visit&& visit) {
    for (const DofRange range : tet.dofs)
        for (std::int32_t k = 0; k < range.count; ++k) visit(dof_at(range, k));
}

}  // namespace quarvex
