#include "elems/tet_edges.hpp"

#include "base/failure.hpp"

namespace quarvex {

double dof_value(std::int64_t d, std::span<const double> sol, std::span<const double> bc) {
    if (d >= 0) {
        check_index(static_cast<std::uint64_t>(d), sol.size());
        return sol[static_cast<std::size_t>(d)];
    }
    const auto k = static_cast<std::uint64_t>(-d);
    check_index(k, bc.size());
    return bc[k];
}

std::array<DomEdge, 6> dom_edges(const Tet& tet) {
    std::array<DomEdge, 6> edges{};
    for (std::size_t k = 0; k < 6; ++k) {
        const auto [a, b] = kEdgeVertices[k];
        edges[k] = DomEdge{{tet.verts[a], tet.verts[b]}, {tet.pts[a], tet.pts[b]}};
    }
    return edges;
}

std::array<DispEdge, 6> disp_edges(const Tet& tet, std::span<const double> sol, std::span<const double> bc) {
    // Ten nodes: the vertices, then the edge midpoints in edge order.
    std::array<Point, 10> nodes{};
    for (std::size_t v = 0; v < 4; ++v) nodes[v] = tet.pts[v];
    for (std::size_t k = 0; k < 6; ++k) {
        const auto [a, b] = kEdgeVertices[k];
        for (std::size_t r = 0; r < 3; ++r) nodes[4 + k][r] = (tet.pts[a][r] + tet.pts[b][r]) * 0.5;
    }
    // Local degree of freedom 3a + c displaces component c of node a; a list that runs out
    // leaves the rest undisplaced, and entries past the thirtieth are not read.
    std::size_t local = 0;
    for (const DofRange range : tet.dofs) {
        for (std::int32_t k = 0; k < range.count && local < kLocalDofs; ++k, ++local)
            nodes[local / 3][local % 3] += dof_value(dof_at(range, k), sol, bc);
        if (local == kLocalDofs) break;
    }
    std::array<DispEdge, 6> edges{};
    for (std::size_t k = 0; k < 6; ++k) {
        const auto [a, b] = kEdgeVertices[k];
        edges[k] = DispEdge{{tet.verts[a], tet.verts[b]}, {nodes[a], nodes[4 + k], nodes[b]}};
    }
    return edges;
}

}  // namespace quarvex
