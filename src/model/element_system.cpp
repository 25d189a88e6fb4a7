#include "model/element_system.hpp"

#include <algorithm>
#include <array>

#include "expr/field_values.hpp"

namespace quarvex {

std::size_t body_load_components(std::int32_t group, const QuadPointCoords& points, const LoadMap& loads,
                                 LoadValues& load_values, LoadComponents& components) {
    const auto found = loads.find(group);
    if (found == loads.end()) return 0;
    const BodyLoad& load = found->second;
    auto state = load_values.find(group);
    if (state == load_values.end()) state = load_values.emplace(group, load.arena.values).first;
    evaluate_at_points(load.arena.node_ops, state->second, points);
    const std::size_t count = std::min(load.nodes.size(), components.size());
    load_component_values(state->second, std::span(load.nodes).first(count), kLocalDofs, components);
    return count;
}

void tet_element(const Tet& tet, std::span<double, kElementMatrixSize> element_matrix,
                 std::span<double, kLocalDofs> element_vector, const ExMat& cmat, const LoadMap& loads,
                 LoadValues& load_values) {
    const ElementGeometry geometry = element_geometry(tet);
    check_nondegenerate(tet, geometry);
    LoadComponents components{};
    const std::size_t component_count =
        has_body_load(tet.group, loads)
            ? body_load_components(tet.group, quad_points(tet), loads, load_values, components)
            : 0;
    element_load(geometry.abs_det_j, std::span(components).first(component_count), element_vector);
    element_stiffness(geometry, cmat, element_matrix);
}

}  // namespace quarvex
