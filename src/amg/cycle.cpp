// The multigrid V-cycle. On level l with matrix A, smoother S (a Chebyshev polynomial in M A)
// and transfers P, R = P^T, the cycle for A x = b from x = 0 is
//   x = S b;  r = b - A x;  x += P cycle_{l+1}(R r);  x += S (b - A x),
// and on the last level x = A^-1 b (dense factor). Pre- and post-smoother are the same
// A-self-adjoint polynomial, so the cycle is a symmetric operator.
#include <string>

#include "amg/amg.hpp"
#include "amg/cycle.hpp"
#include "amg/failure.hpp"
#include "base/failure.hpp"
#include "base/interrupt.hpp"

namespace quarvex {
namespace {

void cycle(const AmgHierarchy& hierarchy, const SprMat& fine, AmgWork& work, std::size_t l, std::span<const double> b,
           std::span<double> x) {
    const std::size_t width = work.width;
    check_interrupt();  // on the calling thread, once per level (the smoother checks between its products)
    const AmgLevel& level = hierarchy.levels[l];
    const SprMat& mat = l == 0 ? fine : level.matrix;
    const std::span<const float> values = level.matrix_values;
    if (l + 1 == hierarchy.levels.size()) {
        if (hierarchy.coarse.n == mat.rows)
            solve_dense(hierarchy.coarse, b, x, width);
        else
            chebyshev_smooth(mat, values, level.smoother, level.nodes, b, x, work.r[l], work.d[l], true, false, width);
        return;
    }
    // x = S b, r = b - A x
    chebyshev_smooth(mat, values, level.smoother, level.nodes, b, x, work.r[l], work.d[l], true, true, width);
    level_mul(level.restrictor, level.restrictor_values, work.r[l], work.b[l + 1], width,
              hierarchy.levels[l + 1].nodes.starts);  // b' = R r
    cycle(hierarchy, fine, work, l + 1, work.b[l + 1], work.x[l + 1]);
    level_mul_add(level.prolongator, level.prolongator_values, work.x[l + 1], x, width,
                  level.nodes.starts);  // x += P x'
    // x += S (b - A x)
    chebyshev_smooth(mat, values, level.smoother, level.nodes, b, x, work.r[l], work.d[l], false, false, width);
}

}  // namespace

AmgWork amg_work(const AmgHierarchy& hierarchy, std::size_t width) {
    AmgWork work;
    work.width = width;
    for (std::size_t l = 0; l < hierarchy.levels.size(); ++l) {
        const std::size_t rows = width * (l == 0 ? hierarchy.fine_rows : hierarchy.levels[l].matrix.rows);
        // Level 0 works in the caller's vectors.
        work.x.emplace_back(l == 0 ? 0 : rows, 0.0);
        work.b.emplace_back(l == 0 ? 0 : rows, 0.0);
        work.r.emplace_back(rows, 0.0);
        work.d.emplace_back(rows, 0.0);
    }
    return work;
}

void amg_apply(const AmgHierarchy& hierarchy, const SprMat& matrix, AmgWork& work, std::span<const double> r,
               std::span<double> z) {
    const std::size_t width = work.width;
    if (matrix.rows != hierarchy.fine_rows || r.size() != matrix.rows * width || z.size() != matrix.rows * width)
        panic("multigrid: a hierarchy for " + std::to_string(hierarchy.fine_rows) + " unknowns met a " +
              std::to_string(matrix.rows) + "-row matrix and vectors of " + std::to_string(r.size()) + " and " +
              std::to_string(z.size()) + " entries in " + std::to_string(width) + " columns");
    if (!hierarchy.ready) refuse_unready();
    if (work.r.size() != hierarchy.levels.size()) work = amg_work(hierarchy, width);
    cycle(hierarchy, matrix, work, 0, r, z);
}

}  // namespace quarvex
