#include "model/dofs.hpp"

#include <algorithm>
#include <bit>

#include "lacc/pool.hpp"

namespace quarvex {
namespace {

// 32-bit wrapping sum, defined for every input (the numbers are the caller's).
std::int32_t wrapping_add(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::int32_t wrapping_sub(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

// (s, n) continues (t, m) when s = t + m for t >= 0, or s = t - m for t < 0.
void append_range(std::vector<DofRange>& dofs, DofRange range) {
    if (!dofs.empty()) {
        DofRange& last = dofs.back();
        const std::int32_t next =
            last.start >= 0 ? wrapping_add(last.start, last.count) : wrapping_sub(last.start, last.count);
        if (range.start == next) {
            last.count = wrapping_add(last.count, range.count);
            return;
        }
    }
    dofs.push_back(range);
}

}  // namespace

void set_dof(Nexus& model, const VertexDofMap& ver_dof, const EdgeDofMap& edge_dof) {
    model.dof_version += 1;
    model.reversed_edges.resize(model.tets.size(), 0);
    parallel_for(model.tets.size(), [&](std::size_t e) {
        Tet& tet = model.tets[e];
        for (const std::int32_t vertex : tet.verts)
            if (const DofRange* found = ver_dof.find(vertex)) append_range(tet.dofs, *found);
        for (std::size_t k = 0; k < kEdgeVertices.size(); ++k) {
            const auto [i, j] = kEdgeVertices[k];
            if (const DofRange* found = edge_dof.find(EdgeKey{tet.verts[i], tet.verts[j]}))
                append_range(tet.dofs, *found);
            else if (edge_dof.contains(EdgeKey{tet.verts[j], tet.verts[i]}))
                model.reversed_edges[e] |= 1u << k;
        }
    });
}

std::string reversed_edge_warning(const Nexus& model) {
    const auto first = std::find_if(model.reversed_edges.begin(), model.reversed_edges.end(),
                                    [](std::uint8_t mask) { return mask != 0; });
    if (first == model.reversed_edges.end()) return "";
    const std::size_t e = static_cast<std::size_t>(first - model.reversed_edges.begin());
    const auto [i, j] = kEdgeVertices[static_cast<std::size_t>(std::countr_zero(*first))];
    const std::string a = std::to_string(model.tets[e].verts[i]);
    const std::string b = std::to_string(model.tets[e].verts[j]);
    return "element " + std::to_string(e) + " has no degrees of freedom on its edge (" + a + ", " + b +
           "): edge_dof lists that edge only as (" + b + ", " + a +
           "); edge keys follow the vertex order of each element that uses the edge";
}

}  // namespace quarvex
