// The model record: a Nexus owns its elements, body loads, material matrix, the global
// system (mat, rhs, sol) and the prescribed values bc. The operations on it live beside it
// in this folder, one file each (mesh, dofs, loads, system, assembly, plot, error_norm).
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/tet.hpp"
#include "elems/exmat.hpp"
#include "expr/body_load.hpp"
#include "lacc/spr.hpp"

namespace quarvex {

struct Nexus {
    std::vector<Tet> tets;
    LoadMap loads;
    ExMat cmat;
    SprMat mat;
    std::vector<double> rhs;
    std::vector<double> sol;
    std::vector<double> bc;
    // Bookkeeping that lets assemble refuse a matrix built for an older numbering.
    std::uint64_t dof_version = 0;  // bumped by every set_dof
    std::uint64_t mat_version = 0;  // dof_version that the current mat was built from
    // Process-unique stamp of mat's structure (next_pattern_version), for caches of exports.
    std::uint64_t pattern_version = 0;
    // Per element, bit k set when set_dof found local edge k only under the reversed key: the
    // edge then has no degrees of freedom, which assemble warns about.
    std::vector<std::uint8_t> reversed_edges;
};

// An edge as the ordered pair of its vertex indices, and a tetrahedron as its four.
using EdgeKey = std::pair<std::int32_t, std::int32_t>;
using TetKey = std::array<std::int32_t, 4>;

struct TetKeyHash {
    std::size_t operator()(const TetKey& key) const noexcept {
        std::uint64_t h = 0xcbf29ce484222325ull;
        for (const std::int32_t v : key) h = (h ^ static_cast<std::uint32_t>(v)) * 0x100000001b3ull;
        return static_cast<std::size_t>(h);
    }
};

}  // namespace quarvex
