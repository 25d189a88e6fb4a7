// A box of nx x ny x nz cubes of six quadratic tetrahedra (cut like unit_cube.hpp), sized
// lx x ly x lz, with an isotropic material and the load f = (0, 0, -1), assembled. The free
// unknowns are numbered node by node on the doubled grid, x fastest, a node's free components
// consecutive; the held ones are prescribed to zero. Each free unknown's node coordinates and
// component come along for the rigid-body modes.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "bench_common.hpp"
#include "unit_cube.hpp"

namespace quarvex::bench {

struct BoxModel {
    Nexus model;
    double assemble_seconds = 0.0;         // set_solver and assemble
    std::vector<double> coordinates;       // free unknowns x 3
    std::vector<std::int32_t> components;  // free unknowns
};

// How the box is held: clamped at x = 0, free, or on the three symmetry planes x = 0, y = 0,
// z = 0 (the normal displacement prescribed there, so that nodes keep one, two or three unknowns).
enum class Support { clamped, free, symmetry_planes };

struct BoxShape {
    int nx = 1, ny = 1, nz = 1;
    double lx = 1.0, ly = 1.0, lz = 1.0;
    Support support = Support::clamped;
};

inline BoxModel box_model(const BoxShape& shape, double lam, double mu) {
    const int sx = 2 * shape.nx + 1, sy = 2 * shape.ny + 1, sz = 2 * shape.nz + 1;
    // The free unknown of every component of every node of the doubled grid, -1 if prescribed.
    std::vector<std::array<std::int32_t, 3>> dof(static_cast<std::size_t>(sx) * sy * sz, {-1, -1, -1});
    BoxModel out;
    std::int32_t next = 0;
    for (int k = 0; k < sz; ++k)
        for (int j = 0; j < sy; ++j)
            for (int i = 0; i < sx; ++i)
                for (int c = 0; c < 3; ++c) {
                    const std::array<int, 3> at{i, j, k};
                    const bool held = shape.support == Support::clamped
                                          ? i == 0
                                          : shape.support == Support::symmetry_planes && at[c] == 0;
                    if (held) continue;
                    dof[i + sx * (j + static_cast<std::size_t>(sy) * k)][c] = next++;
                    out.coordinates.insert(
                        out.coordinates.end(),
                        {0.5 * i * shape.lx / shape.nx, 0.5 * j * shape.ly / shape.ny, 0.5 * k * shape.lz / shape.nz});
                    out.components.push_back(c);
                }
    std::vector<Tet>& tets = out.model.tets;
    tets.reserve(static_cast<std::size_t>(6) * shape.nx * shape.ny * shape.nz);
    for_each_box_tet(shape.nx, shape.ny, shape.nz, [&](const std::array<std::array<int, 3>, 10>& nodes) {
        Tet tet;
        for (int v = 0; v < 4; ++v) {
            tet.pts[v] = {0.5 * nodes[v][0] * shape.lx / shape.nx, 0.5 * nodes[v][1] * shape.ly / shape.ny,
                          0.5 * nodes[v][2] * shape.lz / shape.nz};
            tet.verts[v] = nodes[v][0] / 2 + (shape.nx + 1) * (nodes[v][1] / 2 + (shape.ny + 1) * (nodes[v][2] / 2));
        }
        for (const auto& p : nodes)
            for (const std::int32_t d : dof[p[0] + sx * (p[1] + static_cast<std::size_t>(sy) * p[2])]) {
                if (d < 0)
                    tet.dofs.push_back({-1, 1});  // prescribed: bc[1] = 0
                else if (!tet.dofs.empty() && tet.dofs.back().start >= 0 &&
                         tet.dofs.back().start + tet.dofs.back().count == d)
                    ++tet.dofs.back().count;
                else
                    tet.dofs.push_back({d, 1});
            }
        tets.push_back(std::move(tet));
    });
    set_cmat(out.model, isotropic(lam, mu));
    Arena load;
    for (int i = 0; i < 3; ++i) new_var(load);
    const auto zero = new_cst(load, 0.0);
    const auto down = new_cst(load, -1.0);
    set_f(out.model, 0, {}, std::move(load), {zero, zero, down});
    const auto start = std::chrono::steady_clock::now();
    set_solver(out.model, static_cast<std::uint64_t>(next), {0.0, 0.0, 0.0, 0.0});
    assemble(out.model);
    out.assemble_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return out;
}

// Lame parameters with mu = 1 for Poisson's ratio nu: lambda = 2 nu / (1 - 2 nu).
inline double lambda_for(double nu) {
    return 2.0 * nu / (1.0 - 2.0 * nu);
}

}  // namespace quarvex::bench
