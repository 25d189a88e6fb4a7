#include "model/mesh.hpp"

#include "base/failure.hpp"

namespace quarvex {

Nexus make_nexus(std::span<const Point> pts, std::span<const TetKey> tets) {
    // Room for the ranges one set_dof appends at most (four vertices, six edges), so that the
    // parallel set_dof allocates nothing; a later set_dof grows the list.
    constexpr std::size_t kDofRangeRoom = 10;
    Nexus model;
    model.tets.reserve(tets.size());
    for (const TetKey& verts : tets) {
        Tet tet;
        for (std::size_t k = 0; k < 4; ++k) {
            // A negative index is reported as its unsigned 64-bit two's-complement value.
            const auto index = static_cast<std::uint64_t>(std::int64_t{verts[k]});
            check_index(index, pts.size());
            tet.pts[k] = pts[index];
        }
        tet.dofs.reserve(kDofRangeRoom);
        tet.verts = verts;
        model.tets.push_back(std::move(tet));
    }
    return model;
}

}  // namespace quarvex
