#include "model/error_norm.hpp"

#include <cmath>

#include "elems/tet_element.hpp"
#include "elems/tet_error.hpp"
#include "expr/field_values.hpp"
#include "lacc/pool.hpp"

namespace quarvex {

double error(const Nexus& model, const Arena& arena, const std::vector<std::uint64_t>& nodes) {
    const Arena& field = arena;  // shared read-only by the chunks; each evaluates into its own state
    const double total = sum_chunks(chunking(model.tets.size()), [&](const Chunk& chunk) {
        ArenaValues state = field.values;
        double chunk_sum = 0.0;
        for (std::size_t e = chunk.begin; e < chunk.end; ++e) {
            const Tet& tet = model.tets[e];
            evaluate_at_points(field.node_ops, state, quad_points(tet));
            const FieldValues exact = exact_field_values(state, nodes);
            chunk_sum += element_error(tet, exact, model.sol, model.bc);
        }
        return chunk_sum;
    });
    return std::sqrt(total);
}

}  // namespace quarvex
