#include "model/plot.hpp"

#include <vector>

#include "elems/tet_edges.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

template <class EdgeMap, class Records>
EdgeMap collect_edges(const Nexus& model, Records&& records) {
    const Chunking chunks = chunking(model.tets.size());
    std::vector<EdgeMap> chunk_maps(chunks.count);
    for_each_chunk(chunks, [&](const Chunk& chunk) {
        EdgeMap& map = chunk_maps[chunk.index];
        map.reserve(chunks.len);
        for (std::size_t e = chunk.begin; e < chunk.end; ++e)
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
