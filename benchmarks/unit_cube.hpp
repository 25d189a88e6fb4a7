// The structured unit cube for the benchmarks: n x n x n cubes of six tetrahedra each (every
// cube cut along its main diagonal), quadratic nodes on the doubled grid numbered x fastest,
// three consecutive degrees of freedom per node, ranges merged as set_dof merges them.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "base/tet.hpp"

namespace quarvex::bench {

// Calls visit(nodes) for the six tetrahedra of every cube of an nx x ny x nz box, cubes x
// fastest: nodes holds the doubled-grid coordinates of the four vertices, then of the six edge
// midpoints in the order of kEdgeVertices (the local node order of a Tet).
template <class Visit>
void for_each_box_tet(int nx, int ny, int nz, Visit&& visit) {
    constexpr std::array<std::array<int, 3>, 6> kAxisOrders{
        {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}}};
    for (int k = 0; k < nz; ++k)
        for (int j = 0; j < ny; ++j)
            for (int i = 0; i < nx; ++i)
                for (const auto& order : kAxisOrders) {
                    std::array<std::array<int, 3>, 10> nodes{};
                    nodes[0] = {2 * i, 2 * j, 2 * k};
                    for (int v = 1; v < 4; ++v) {
                        nodes[v] = nodes[v - 1];
                        nodes[v][order[v - 1]] += 2;
                    }
                    for (std::size_t e = 0; e < kEdgeVertices.size(); ++e)
                        for (int c = 0; c < 3; ++c)
                            nodes[4 + e][c] = (nodes[kEdgeVertices[e][0]][c] + nodes[kEdgeVertices[e][1]][c]) / 2;
                    visit(nodes);
                }
}

inline std::vector<Tet> unit_cube(int n) {
    const int side = 2 * n + 1;  // nodes per line of the doubled grid
    auto node = [side](const std::array<int, 3>& p) { return p[0] + side * (p[1] + side * p[2]); };
    std::vector<Tet> tets;
    tets.reserve(static_cast<std::size_t>(6) * n * n * n);
    for_each_box_tet(n, n, n, [&](const std::array<std::array<int, 3>, 10>& nodes) {
        Tet tet;
        tet.dofs.reserve(10);  // as make_nexus reserves room for one set_dof
        for (int v = 0; v < 4; ++v) {
            for (int c = 0; c < 3; ++c) tet.pts[v][c] = 0.5 * nodes[v][c] / n;
            tet.verts[v] = nodes[v][0] / 2 + (n + 1) * (nodes[v][1] / 2 + (n + 1) * (nodes[v][2] / 2));
        }
        for (const auto& p : nodes) {
            const std::int32_t start = 3 * node(p);
            if (!tet.dofs.empty() && tet.dofs.back().start + tet.dofs.back().count == start)
                tet.dofs.back().count += 3;
            else
                tet.dofs.push_back({start, 3});
        }
        tets.push_back(std::move(tet));
    });
    return tets;
}

// Number of free degrees of freedom of unit_cube(n).
inline std::uint64_t unit_cube_dofs(int n) {
    const std::uint64_t side = 2 * static_cast<std::uint64_t>(n) + 1;
    return 3 * side * side * side;
}

}  // namespace quarvex::bench
