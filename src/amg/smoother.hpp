// The smoother of a multigrid level: a Chebyshev polynomial in M A, M the inverse of A's
// diagonal (point Jacobi) or of its diagonal node blocks (block Jacobi), over the interval
// [upper / ratio, upper] that holds the eigenvalues of M A worth damping. The polynomial is
// the same before and after the coarse correction, so the cycle stays symmetric.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "amg/blocks.hpp"
#include "lacc/spr.hpp"

namespace quarvex {

struct Smoother {
    bool blocks = true;                     // block Jacobi base, else point Jacobi
    std::vector<double> inverse;            // point: 1 / A(i, i); blocks: the node inverses, row-major
    std::vector<std::int64_t> block_first;  // blocks: node v's inverse starts at inverse[block_first[v]]
    double eigen_max = 0.0;                 // estimate of the largest eigenvalue of M A
    double upper = 0.0;                     // Chebyshev interval [lower, upper]
    double lower = 0.0;
    int degree = 1;
};

// M for the level, the matrix in node blocks over (nodes, nodes). Throws Panic when a diagonal
// entry is not positive and finite (point) or a diagonal block is not positive definite
// (blocks): the matrix is then not positive definite.
Smoother jacobi_base(const SprMat& mat, const NodeRanges& nodes, bool blocks);

// z = scale M r.
void apply_jacobi(const Smoother& smoother, const NodeRanges& nodes, std::span<const double> r, std::span<double> z,
                  double scale);

// The largest eigenvalue of M A from `steps` Lanczos steps (run as Jacobi-preconditioned
// conjugate gradients from a fixed pseudo-random vector). A lower estimate that converges
// quickly from below; Panic when the iteration finds A not positive definite.
// The matrix has the structure of `mat` and the values `values`.
double estimate_eigen_max(const SprMat& mat, std::span<const float> values, const Smoother& smoother,
                          const NodeRanges& nodes, int steps);

// Chebyshev smoothing of A x = b: x = x + p(M A) M (b - A x), with work vectors r and d of the
// level's size, A with the structure of `mat` and the values `values`. zero_start: x is taken
// as 0 on entry (its content ignored). keep_residual: r = b - A x on return (one more product).
// Every vector holds `width` interleaved columns (amg/matrix.hpp), each smoothed alike.
void chebyshev_smooth(const SprMat& mat, std::span<const float> values, const Smoother& smoother,
                      const NodeRanges& nodes, std::span<const double> b, std::span<double> x, std::span<double> r,
                      std::span<double> d, bool zero_start, bool keep_residual, std::size_t width = 1);

// Bytes held by the smoother.
std::size_t smoother_bytes(const Smoother& smoother);

}  // namespace quarvex
