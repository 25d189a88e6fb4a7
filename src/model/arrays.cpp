// Mesh and numbering from flat arrays; see arrays.hpp.
#include "model/arrays.hpp"

#include <limits>

#include "base/failure.hpp"

namespace quarvex {
namespace {

template <class Index>
std::vector<TetKey> keys_from_rows(std::span<const Index> indices) {
    check_equal(indices.size() % 4, 0);
    std::vector<TetKey> keys(indices.size() / 4);
    for (std::size_t e = 0; e < keys.size(); ++e)
        for (std::size_t k = 0; k < 4; ++k) keys[e][k] = static_cast<std::int32_t>(indices[4 * e + k]);
    return keys;
}

}  // namespace

std::vector<Point> points_from_rows(std::span<const double> coords) {
    check_equal(coords.size() % 3, 0);
    std::vector<Point> points(coords.size() / 3);
    for (std::size_t i = 0; i < points.size(); ++i) points[i] = {coords[3 * i], coords[3 * i + 1], coords[3 * i + 2]};
    return points;
}

std::vector<TetKey> tet_keys_from_rows(std::span<const std::int32_t> indices) {
    return keys_from_rows(indices);
}

std::vector<TetKey> tet_keys_from_rows(std::span<const std::int64_t> indices) {
    return keys_from_rows(indices);
}

std::size_t first_outside_i32(std::span<const std::int64_t> values) {
    constexpr std::int64_t kLow = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t kHigh = std::numeric_limits<std::int32_t>::max();
    for (std::size_t k = 0; k < values.size(); ++k)
        if (values[k] < kLow || values[k] > kHigh) return k;
    return values.size();
}

VertexDofMap vertex_dof_map(std::span<const std::int32_t> ids, std::span<const std::int32_t> ranges) {
    check_equal(ranges.size(), 2 * ids.size());
    VertexDofMap map;
    map.reserve(ids.size());
    for (std::size_t k = 0; k < ids.size(); ++k)
        map.insert_or_assign(ids[k], DofRange{ranges[2 * k], ranges[2 * k + 1]});
    return map;
}

EdgeDofMap edge_dof_map(std::span<const std::int32_t> keys, std::span<const std::int32_t> ranges) {
    check_equal(keys.size() % 2, 0);
    check_equal(ranges.size(), keys.size());
    EdgeDofMap map;
    map.reserve(keys.size() / 2);
    for (std::size_t k = 0; 2 * k < keys.size(); ++k)
        map.insert_or_assign(EdgeKey{keys[2 * k], keys[2 * k + 1]}, DofRange{ranges[2 * k], ranges[2 * k + 1]});
    return map;
}

}  // namespace quarvex
