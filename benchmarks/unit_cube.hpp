// The structured unit cube for the benchmarks: n x n x n cubes of six tetrahedra each (every
// cube cut along its main diagonal), quadratic nodes on the doubled grid numbered x fastest,
// three consecutive degrees of freedom per node, ranges merged as set_dof merges them.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "base/tet.hpp"

namespace quarvex::bench {

inline std::vector<Tet> unit_cube(int n) {
    const int side = 2 * n + 1;  // nodes per line of the doubled grid
    auto node = [side](const std::array<int, 3>& p) { return p[0] + side * (p[1] + side * p[2]); };
    constexpr std::array<std::array<int, 3>, 6> kAxisOrders{
        {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}}};
    constexpr std::array<std::array<int, 2>, 6> kEdges{{{0, 1}, {1, 2}, {0, 2}, {0, 3}, {1, 3}, {2, 3}}};
    std::vector<Tet> tets;
    tets.reserve(static_cast<std::size_t>(6) * n * n * n);
    for (int k = 0; k < n; ++k)
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i)
                for (const auto& order : kAxisOrders) {
                    std::array<std::array<int, 3>, 4> corner{};
                    corner[0] = {2 * i, 2 * j, 2 * k};
                    for (int v = 1; v < 4; ++v) {
                        corner[v] = corner[v - 1];
                        corner[v][order[v - 1]] += 2;
                    }
                    Tet tet;
                    tet.dofs.reserve(10);  // as make_nexus reserves room for one set_dof
                    auto append = [&tet](std::int32_t start) {
                        if (!tet.dofs.empty() && tet.dofs.back().start + tet.dofs.back().count == start)
                            tet.dofs.back().count += 3;
                        else
                            tet.dofs.push_back({start, 3});
                    };
                    for (int v = 0; v < 4; ++v) {
                        for (int c = 0; c < 3; ++c) tet.pts[v][c] = 0.5 * corner[v][c] / n;
                        tet.verts[v] = corner[v][0] / 2 + (n + 1) * (corner[v][1] / 2 + (n + 1) * (corner[v][2] / 2));
                        append(3 * node(corner[v]));
                    }
                    for (const auto& edge : kEdges) {
                        std::array<int, 3> middle{};
                        for (int c = 0; c < 3; ++c) middle[c] = (corner[edge[0]][c] + corner[edge[1]][c]) / 2;
                        append(3 * node(middle));
                    }
                    tets.push_back(std::move(tet));
                }
    return tets;
}

// Number of free degrees of freedom of unit_cube(n).
inline std::uint64_t unit_cube_dofs(int n) {
    const std::uint64_t side = 2 * static_cast<std::uint64_t>(n) + 1;
    return 3 * side * side * side;
}

}  // namespace quarvex::bench
