#include "lacc/myr.hpp"

#include <algorithm>

#include "base/failure.hpp"

namespace quarvex {

FieldValues field_values(Arena& arena, std::span<const std::uint64_t> nodes, const std::array<PointValues, 3>& points) {
    for (std::uint64_t r = 0; r < 3; ++r) bind_values(arena, r, points[r], 0, 1);
    evaluate(arena);
    FieldValues values{};
    for (std::size_t c = 0; c < 3; ++c) {
        check_index(c, nodes.size());
        const std::uint64_t node = nodes[c];
        check_index(node, node_count(arena));
        const Dyr& value = arena.node_values[node];
        if (value.len != kQuadPoints) panic("wrong length!");
        std::copy_n(value.data.begin(), kQuadPoints, values[c].begin());
    }
    return values;
}

}  // namespace quarvex
