#include "model/loads.hpp"

#include "lacc/pool.hpp"

namespace quarvex {

void set_cmat(Nexus& model, const std::vector<std::vector<double>>& cmat) {
    set_material(model.cmat, cmat);
}

void set_f(Nexus& model, std::int32_t group, const TetKeySet& tets, Arena arena, std::vector<std::uint64_t> nodes) {
    model.loads.insert_or_assign(group, BodyLoad{std::move(arena), 3, 1, std::move(nodes)});
    parallel_for(model.tets.size(), [&](std::size_t e) {
        Tet& tet = model.tets[e];
        if (tets.contains(tet.verts)) tet.group = group;
    });
}

}  // namespace quarvex
