#include "model/curved_system.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "base/failure.hpp"
#include "expr/field_values.hpp"

namespace quarvex {

CurvedElements curved_elements(std::size_t element_count, std::span<const std::int64_t> elements,
                               std::span<const double> edge_coords) {
    check_equal(edge_coords.size(), 18 * elements.size());
    CurvedElements curved;
    if (elements.empty()) return curved;
    curved.slot.assign(element_count, -1);
    curved.edge_points.resize(elements.size());
    for (std::size_t k = 0; k < elements.size(); ++k) {
        const std::int64_t e = elements[k];
        check_index(static_cast<std::uint64_t>(e), element_count);  // a negative index reads as a huge one
        std::int64_t& slot = curved.slot[static_cast<std::size_t>(e)];
        if (slot >= 0) panic("element " + std::to_string(e) + " is listed twice among the curved elements");
        slot = static_cast<std::int64_t>(k);
        for (std::size_t edge = 0; edge < 6; ++edge)
            for (std::size_t r = 0; r < 3; ++r) curved.edge_points[k][edge][r] = edge_coords[18 * k + 3 * edge + r];
    }
    return curved;
}

void curved_tet_element(std::size_t element, const Tet& tet, const EdgePoints& edge_points,
                        std::span<double, kElementMatrixSize> element_matrix,
                        std::span<double, kLocalDofs> element_vector, const ExMat& cmat, const LoadMap& loads,
                        LoadValues& load_values) {
    const NodePoints nodes = node_points(tet, edge_points);
    const CurvedGeometry geometry = curved_geometry(nodes);
    check_unfolded(element, geometry);
    LoadComponents components{};
    const std::size_t component_count =
        has_body_load(tet.group, loads)
            ? body_load_components(tet.group, curved_quad_points(nodes), loads, load_values, components)
            : 0;
    curved_load(geometry, std::span(components).first(component_count), element_vector);
    curved_stiffness(geometry, cmat, element_matrix);
}

}  // namespace quarvex
