#include "model/dof_nodes.hpp"

#include <array>

#include "base/failure.hpp"

namespace quarvex {

DofNodes dof_nodes(const Nexus& model) {
    const std::size_t rows = model.mat.rows;
    DofNodes nodes;
    nodes.coordinates.assign(3 * rows, 0.0);
    nodes.components.assign(rows, -1);
    // Every element that holds a free number gives it the same node and component; a serial
    // pass (30 writes per element) keeps them from racing.
    for (const Tet& tet : model.tets) {
        std::array<Point, 10> node{};
        for (std::size_t v = 0; v < 4; ++v) node[v] = tet.pts[v];
        for (std::size_t k = 0; k < kEdgeVertices.size(); ++k) {
            const auto [a, b] = kEdgeVertices[k];
            for (std::size_t r = 0; r < 3; ++r) node[4 + k][r] = (tet.pts[a][r] + tet.pts[b][r]) * 0.5;
        }
        std::size_t local = 0;
        for (const DofRange range : tet.dofs) {
            for (std::int32_t k = 0; k < range.count && local < kLocalDofs; ++k, ++local) {
                const std::int64_t d = dof_at(range, k);
                if (d < 0 || static_cast<std::uint64_t>(d) >= rows) continue;
                const auto row = static_cast<std::size_t>(d);
                for (std::size_t r = 0; r < 3; ++r) nodes.coordinates[3 * row + r] = node[local / 3][r];
                nodes.components[row] = static_cast<std::int32_t>(local % 3);
            }
        }
    }
    for (const std::int32_t component : nodes.components)
        if (component < 0) fail_index(0, 0);
    return nodes;
}

}  // namespace quarvex
