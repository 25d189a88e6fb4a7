// The model record and its operations, free of Python: the binding layer converts the
// arguments and calls these. A Nexus owns its elements, loads, material matrix, the
// global system (mat, rhs, sol) and the prescribed values bc.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "elems/body_load.hpp"
#include "elems/tet.hpp"
#include "lacc/arena.hpp"
#include "lacc/exmat.hpp"
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
};

using EdgeKey = std::pair<std::int32_t, std::int32_t>;
using TetKey = std::array<std::int32_t, 4>;

struct EdgeKeyHash {
    std::size_t operator()(const EdgeKey& key) const noexcept {
        const auto a = static_cast<std::uint32_t>(key.first);
        const auto b = static_cast<std::uint32_t>(key.second);
        return std::hash<std::uint64_t>{}((std::uint64_t{a} << 32) | b);
    }
};

struct TetKeyHash {
    std::size_t operator()(const TetKey& key) const noexcept {
        std::uint64_t h = 0xcbf29ce484222325ull;
        for (const std::int32_t v : key) h = (h ^ static_cast<std::uint32_t>(v)) * 0x100000001b3ull;
        return static_cast<std::size_t>(h);
    }
};

using VertexDofMap = std::unordered_map<std::int32_t, DofRange>;
using EdgeDofMap = std::unordered_map<EdgeKey, DofRange, EdgeKeyHash>;
using TetKeySet = std::unordered_set<TetKey, TetKeyHash>;
using DomEdges = std::unordered_map<EdgeKey, std::array<Point, 2>, EdgeKeyHash>;
using DispEdges = std::unordered_map<EdgeKey, std::array<Point, 3>, EdgeKeyHash>;

Nexus make_nexus(std::span<const Point> pts, std::span<const TetKey> tets);
void set_dof(Nexus& model, const VertexDofMap& ver_dof, const EdgeDofMap& edge_dof);
void set_cmat(Nexus& model, const std::vector<std::vector<double>>& cmat);
void set_f(Nexus& model, std::int32_t group, const TetKeySet& tets, Arena arena,
           std::vector<std::uint64_t> nodes);
void set_solver(Nexus& model, std::uint64_t pos_dof, std::vector<double> bc);
void assemble(Nexus& model);
void solve(Nexus& model, double tol);
DomEdges plot_dom(const Nexus& model);
DispEdges plot_disp(const Nexus& model);
double error(const Nexus& model, Arena arena, std::vector<std::uint64_t> nodes);
void nullify(Nexus& model);

}  // namespace quarvex
