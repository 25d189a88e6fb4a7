#include "elems/tet_error.hpp"

#include <cmath>

#include "base/lagrange.hpp"
#include "elems/tet_edges.hpp"
#include "elems/tet_element.hpp"

namespace quarvex {

double element_error(const Tet& tet, const FieldValues& exact, std::span<const double> sol,
                     std::span<const double> bc) {
    // uh_c(q) = sum_a phi_a(q) * U[3a + c]; ranges that run out leave the remaining terms out.
    FieldValues discrete{};
    std::size_t local = 0;
    for (const DofRange range : tet.dofs) {
        for (std::int32_t k = 0; k < range.count && local < kLocalDofs; ++k, ++local) {
            const double value = dof_value(dof_at(range, k), sol, bc);
            const PointValues shape = shape_values(local / 3);
            PointValues& component = discrete[local % 3];
            for (std::size_t q = 0; q < kQuadPoints; ++q) component[q] = std::fma(shape[q], value, component[q]);
        }
        if (local == kLocalDofs) break;
    }

    double sum = 0.0;
    for (std::size_t c = 0; c < 3; ++c) {
        double component_sum = 0.0;
        for (std::size_t q = 0; q < kQuadPoints; ++q) {
            const double difference = discrete[c][q] - exact[c][q];
            component_sum += QUAD_WEIGHTS[q] * (difference * difference);
        }
        sum += component_sum;
    }
    return element_geometry(tet).abs_det_j * sum;
}

}  // namespace quarvex
