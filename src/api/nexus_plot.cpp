// plot_dom and plot_disp: each chunk of elements fills its own edge map; the maps are then
// merged in chunk order, a later entry replacing an earlier one of the same key.
#include <algorithm>

#include "api/nexus.hpp"
#include "elems/tet_edges.hpp"
#include "lacc/misc.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

template <class EdgeMap, class Records>
EdgeMap collect_edges(const Nexus& model, Records&& records) {
    const std::size_t n = model.tets.size();
    const std::size_t c = chunk_len(n);
    std::vector<EdgeMap> chunk_maps(chunk_count(n, c));
    parallel_for(chunk_maps.size(), [&](std::size_t chunk) {
        EdgeMap& map = chunk_maps[chunk];
        map.reserve(c);
        const std::size_t end = std::min(n, (chunk + 1) * c);
        for (std::size_t e = chunk * c; e < end; ++e)
            for (const auto& edge : records(model.tets[e])) map.insert_or_assign(EdgeKey{edge.key[0], edge.key[1]}, edge.points);
    });
    std::size_t total = 0;
    for (const EdgeMap& map : chunk_maps) total += map.size();
    EdgeMap merged;
    merged.reserve(total);
    for (EdgeMap& map : chunk_maps) {
        for (auto& [key, points] : map) merged.insert_or_assign(key, points);
        EdgeMap{}.swap(map);  // release each chunk map once merged
    }
    return merged;
}

}  // namespace

DomEdges plot_dom(const Nexus& model) {
    return collect_edges<DomEdges>(model, [](const Tet& tet) { return dom_edges(tet); });
}

DispEdges plot_disp(const Nexus& model) {
    return collect_edges<DispEdges>(model, [&](const Tet& tet) { return disp_edges(tet, model.sol, model.bc); });
}

}  // namespace quarvex
