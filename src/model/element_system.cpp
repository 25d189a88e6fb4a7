#include "model/element_system.hpp"

#include <algorithm>
#include <array>

#include "expr/field_values.hpp"

namespace quarvex {

void tet_element(const Tet& tet, std::span<double, kElementMatrixSize> element_matrix,
                 std::span<double, kLocalDofs> element_vector, const ExMat& cmat, const LoadMap& loads,
                 LoadValues& load_values) {
    const ElementGeometry geometry = element_geometry(tet);
    check_nondegenerate(tet, geometry);
    // One past the 30 components a vector can take is enough to report a longer node list.
    std::array<const double*, kLocalDofs + 1> components{};
    std::size_t component_count = 0;
    const auto found = loads.find(tet.group);
    if (found != loads.end()) {
        const BodyLoad& load = found->second;
        auto state = load_values.find(tet.group);
        if (state == load_values.end()) state = load_values.emplace(tet.group, load.arena.values).first;
        evaluate_at_points(load.arena.node_ops, state->second, quad_points(tet));
        component_count = std::min(load.nodes.size(), components.size());
        load_component_values(state->second, std::span(load.nodes).first(component_count), kLocalDofs, components);
    }
    element_load(geometry.abs_det_j, std::span(components).first(component_count), element_vector);
    element_stiffness(geometry, cmat, element_matrix);
}

}  // namespace quarvex
