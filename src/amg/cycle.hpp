// The multigrid cycle: one symmetric V-cycle of a hierarchy (amg.hpp) as a preconditioner,
// with the work vectors it runs in.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "amg/amg.hpp"
#include "lacc/spr.hpp"

namespace quarvex {

// Work vectors of the cycle, four per level, each holding `width` interleaved columns
// (amg/matrix.hpp): the cycle then preconditions that many vectors at once.
struct AmgWork {
    std::size_t width = 1;
    std::vector<std::vector<double>> x, b, r, d;
};
AmgWork amg_work(const AmgHierarchy& hierarchy, std::size_t width = 1);

// z = M r: one symmetric V-cycle from z = 0 on each of the work's columns, with the matrix the
// hierarchy was built for (the caller's check: amg_matches). Throws Panic when the hierarchy is
// not ready.
void amg_apply(const AmgHierarchy& hierarchy, const SprMat& matrix, AmgWork& work, std::span<const double> r,
               std::span<double> z);

}  // namespace quarvex
