#include "expr/field_values.hpp"

#include <algorithm>

#include "base/failure.hpp"
#include "expr/evaluate.hpp"

namespace quarvex {

void evaluate_at_points(std::span<const Op> ops, ArenaValues& state, const PointCoords& points) {
    for (std::uint64_t r = 0; r < 3; ++r) bind_values(state, r, points[r], 0, 1);
    evaluate(ops, state);
}

FieldValues exact_field_values(const ArenaValues& state, std::span<const std::uint64_t> nodes) {
    FieldValues values{};
    for (std::size_t c = 0; c < 3; ++c) {
        check_index(c, nodes.size());
        const std::uint64_t node = nodes[c];
        check_index(node, state.node_values.size());
        const Dyr& value = state.node_values[node];
        if (value.len != kQuadPoints) fail_wrong_length();
        std::copy_n(value.data.begin(), kQuadPoints, values[c].begin());
    }
    return values;
}

void load_component_values(const ArenaValues& state, std::span<const std::uint64_t> nodes, std::uint64_t max_nodes,
                           std::span<const double*> out) {
    const std::uint64_t node_total = state.node_values.size();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const std::uint64_t node = nodes[i];
        check_index(node, node_total);
        const Dyr& values = state.node_values[node];
        check_equal(values.len, kQuadPoints);
        check_index(kQuadPoints - 1, values.data.size());  // a value block is present
        check_index(i, max_nodes);
        out[i] = values.data.data();
    }
}

}  // namespace quarvex
