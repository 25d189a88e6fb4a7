// Jacobi bases, the eigenvalue estimate and the Chebyshev smoother of the multigrid levels.
//
// Chebyshev iteration on [lower, upper] with theta = (upper + lower) / 2, delta = (upper - lower) / 2,
// sigma = theta / delta, rho_0 = 1 / sigma (Saad, Iterative Methods, Algorithm 12.1):
//   r = b - A x,  d = M r / theta
//   for k = 1 .. degree:  x += d;  (k = degree: stop)
//                         r -= A d;  rho_k = 1 / (2 sigma - rho_{k-1});
//                         d = rho_k rho_{k-1} d + (2 rho_k / delta) M r
#include "amg/smoother.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "amg/columns.hpp"
#include "amg/failure.hpp"
#include "amg/matrix.hpp"
#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "lacc/lav.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

// Levels with fewer unknowns run their vector loops on the calling thread.
constexpr std::size_t kSerialBelow = 8192;

template <class Body>
void for_node_ranges(const NodeRanges& nodes, Body&& body) {
    const std::size_t count = node_count(nodes);
    if (static_cast<std::size_t>(nodes.starts.back()) < kSerialBelow)
        body(std::size_t{0}, count);
    else
        parallel_ranges(count, body);
}

[[noreturn]] void refuse_diagonal(std::int32_t first_row, std::int32_t end_row) {
    if (end_row - first_row == 1)
        refuse_not_definite("diagonal entry of row " + std::to_string(first_row) + " is not positive");
    refuse_not_definite("diagonal block of rows " + std::to_string(first_row) + ".." + std::to_string(end_row - 1));
}

// Inverts the symmetric b x b block in place through its Cholesky factor: X = L^-T L^-1, with
// 2 b^2 entries of `scratch`. Returns false when a pivot is not positive and finite.
bool invert_block(double* block, std::size_t b, std::vector<double>& scratch) {
    scratch.assign(2 * b * b, 0.0);
    double* const lower = scratch.data();
    double* const inv = scratch.data() + b * b;
    for (std::size_t j = 0; j < b; ++j) {
        double pivot = block[j * b + j];
        for (std::size_t k = 0; k < j; ++k) pivot -= lower[j * b + k] * lower[j * b + k];
        if (!(pivot > 0.0) || !std::isfinite(pivot)) return false;
        lower[j * b + j] = std::sqrt(pivot);
        for (std::size_t i = j + 1; i < b; ++i) {
            double value = block[i * b + j];
            for (std::size_t k = 0; k < j; ++k) value -= lower[i * b + k] * lower[j * b + k];
            lower[i * b + j] = value / lower[j * b + j];
        }
    }
    // inv = L^-1 (lower), column by column of the identity.
    for (std::size_t c = 0; c < b; ++c)
        for (std::size_t i = c; i < b; ++i) {
            double value = i == c ? 1.0 : 0.0;
            for (std::size_t k = c; k < i; ++k) value -= lower[i * b + k] * inv[k * b + c];
            inv[i * b + c] = value / lower[i * b + i];
        }
    // X(i, j) = sum_k inv(k, i) inv(k, j), the same sum for (j, i): X is exactly symmetric.
    for (std::size_t i = 0; i < b; ++i)
        for (std::size_t j = 0; j < b; ++j) {
            double value = 0.0;
            for (std::size_t k = std::max(i, j); k < b; ++k) value += inv[k * b + i] * inv[k * b + j];
            block[i * b + j] = value;
        }
    return true;
}

// Largest eigenvalue of the symmetric tridiagonal matrix (diagonal, off) by bisection on the
// Sturm count (number of eigenvalues below x from the pivots of T - x I).
double tridiagonal_max(const std::vector<double>& diagonal, const std::vector<double>& off) {
    const std::size_t m = diagonal.size();
    double low = diagonal[0], high = diagonal[0];
    for (std::size_t k = 0; k < m; ++k) {
        const double radius = (k > 0 ? std::abs(off[k - 1]) : 0.0) + (k + 1 < m ? std::abs(off[k]) : 0.0);
        low = std::min(low, diagonal[k] - radius);
        high = std::max(high, diagonal[k] + radius);
    }
    const auto below = [&](double x) {
        std::size_t count = 0;
        double pivot = 1.0;
        for (std::size_t k = 0; k < m; ++k) {
            const double coupling = k > 0 ? off[k - 1] * off[k - 1] : 0.0;
            pivot = diagonal[k] - x - (k > 0 ? coupling / pivot : 0.0);
            if (pivot == 0.0) pivot = -1e-300;
            if (pivot < 0.0) ++count;
        }
        return count;
    };
    for (int step = 0; step < 200 && high - low > 1e-12 * std::max(std::abs(low), std::abs(high)); ++step) {
        const double middle = 0.5 * (low + high);
        if (below(middle) == m)
            high = middle;
        else
            low = middle;
    }
    return high;
}

}  // namespace

Smoother jacobi_base(const SprMat& mat, const NodeRanges& nodes, bool blocks) {
    Smoother smoother;
    smoother.blocks = blocks;
    const std::size_t count = node_count(nodes);
    if (!blocks) {
        smoother.inverse.assign(mat.rows, 0.0);
        parallel_batches(count, kInterruptBatch, [&](std::size_t begin, std::size_t end) {
            for (std::size_t v = begin; v < end; ++v)
                for (std::int32_t r = nodes.starts[v]; r < nodes.starts[v + 1]; ++r) {
                    const std::size_t row = static_cast<std::size_t>(r);
                    const std::size_t pos = find_entry(mat, row, row);
                    const double diagonal = pos == SIZE_MAX ? 0.0 : mat.vals[pos];
                    if (!(diagonal > 0.0) || !std::isfinite(diagonal)) refuse_diagonal(r, r + 1);
                    smoother.inverse[row] = 1.0 / diagonal;
                }
        });
        return smoother;
    }
    smoother.block_first.assign(count + 1, 0);
    for (std::size_t v = 0; v < count; ++v) {
        const std::int64_t b = node_size(nodes, v);
        smoother.block_first[v + 1] = smoother.block_first[v] + b * b;
    }
    smoother.inverse.assign(static_cast<std::size_t>(smoother.block_first[count]), 0.0);
    parallel_batches(count, kInterruptBatch, [&](std::size_t begin, std::size_t end) {
        std::vector<double> scratch;
        for (std::size_t v = begin; v < end; ++v) {
            const std::size_t first = static_cast<std::size_t>(nodes.starts[v]);
            const std::size_t b = static_cast<std::size_t>(node_size(nodes, v));
            double* const block = smoother.inverse.data() + smoother.block_first[v];
            const std::size_t len = row_end(mat, first) - row_begin(mat, first);
            const double* const values = mat.vals.data() + row_begin(mat, first);
            for_each_block(mat, first, nodes, [&](std::size_t w, std::size_t position) {
                if (w != v) return;
                for (std::size_t i = 0; i < b; ++i)
                    for (std::size_t j = 0; j < b; ++j) block[i * b + j] = values[i * len + position + j];
            });
            if (!invert_block(block, b, scratch)) refuse_diagonal(nodes.starts[v], nodes.starts[v + 1]);
        }
    });
    return smoother;
}

void apply_jacobi(const Smoother& smoother, const NodeRanges& nodes, std::span<const double> r, std::span<double> z,
                  double scale) {
    const double* const inverse = smoother.inverse.data();
    for_node_ranges(nodes, [&](std::size_t begin, std::size_t end) {
        const std::size_t first = static_cast<std::size_t>(nodes.starts[begin]);
        const std::size_t last = static_cast<std::size_t>(nodes.starts[end]);
        if (!smoother.blocks) {
            for (std::size_t i = first; i < last; ++i) z[i] = scale * (inverse[i] * r[i]);
            return;
        }
        for (std::size_t v = begin; v < end; ++v) {
            const std::size_t s = static_cast<std::size_t>(nodes.starts[v]);
            const std::size_t b = static_cast<std::size_t>(node_size(nodes, v));
            const double* const block = inverse + smoother.block_first[v];
            for (std::size_t i = 0; i < b; ++i) {
                double value = 0.0;
                for (std::size_t j = 0; j < b; ++j) value = std::fma(block[i * b + j], r[s + j], value);
                z[s + i] = scale * value;
            }
        }
    });
}

double estimate_eigen_max(const SprMat& mat, std::span<const float> values, const Smoother& smoother,
                          const NodeRanges& nodes, int steps) {
    const std::size_t n = mat.rows;
    if (n == 0) return 0.0;
    std::vector<double> r(n), z(n), p(n), q(n);
    std::uint64_t state = 0x9e3779b97f4a7c15ull;  // xorshift64: a fixed start in [-1, 1)
    for (double& value : r) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        value = static_cast<double>(state >> 11) * 0x1.0p-52 - 1.0;
    }
    apply_jacobi(smoother, nodes, r, z, 1.0);
    copy_into(p, z);
    double rz = dot(r, z);
    // The Lanczos matrix of M A from the coefficients of conjugate gradients:
    //   T(k, k) = 1 / alpha_k + beta_{k-1} / alpha_{k-1},  T(k, k+1) = sqrt(beta_k) / alpha_k.
    std::vector<double> diagonal, off;
    double alpha_last = 0.0, beta_last = 0.0;
    for (int k = 0; k < steps && k < static_cast<int>(n); ++k) {
        check_interrupt();             // called on the set-up's own thread, between the products
        level_mul(mat, values, p, q);  // q = A p
        const double curvature = dot(p, q);
        if (!(curvature > 0.0) || !std::isfinite(curvature)) {
            if (curvature == 0.0 && rz == 0.0) break;
            refuse_not_definite("p.Ap = " + number_text(curvature) + " while estimating the spectrum");
        }
        const double alpha = rz / curvature;
        diagonal.push_back(1.0 / alpha + (k > 0 ? beta_last / alpha_last : 0.0));
        axmy(r, alpha, q);  // r -= alpha q
        apply_jacobi(smoother, nodes, r, z, 1.0);
        const double rz_next = dot(r, z);
        if (!(rz_next > 0.0)) break;
        const double beta = rz_next / rz;
        if (k + 1 < steps) off.push_back(std::sqrt(beta) / alpha);
        aypx(p, beta, z);  // p = z + beta p
        rz = rz_next;
        alpha_last = alpha;
        beta_last = beta;
    }
    if (diagonal.empty()) return 1.0;
    off.resize(diagonal.size() - 1);
    return tridiagonal_max(diagonal, off);
}

void chebyshev_smooth(const SprMat& mat, std::span<const float> values, const Smoother& smoother,
                      const NodeRanges& nodes, std::span<const double> b, std::span<double> x, std::span<double> r,
                      std::span<double> d, bool zero_start, bool keep_residual, std::size_t width) {
    const double theta = 0.5 * (smoother.upper + smoother.lower);
    const double delta = 0.5 * (smoother.upper - smoother.lower);
    const double sigma = theta / delta;
    const double* const inverse = smoother.inverse.data();
    // d = c_d d + c_r M r;  x = x + d  (x = d when x starts at 0), one pass per node, every column.
    const auto step = [&](std::span<const double> residual, double c_d, double c_r, bool x_zero) {
        const auto update = [&](std::size_t at, double value) {
            const double direction = c_d * d[at] + c_r * value;
            d[at] = direction;
            x[at] = x_zero ? direction : x[at] + direction;
        };
        if (width == 1) {
            for_node_ranges(nodes, [&](std::size_t begin, std::size_t end) {
                if (!smoother.blocks) {
                    const std::size_t first = static_cast<std::size_t>(nodes.starts[begin]);
                    const std::size_t last = static_cast<std::size_t>(nodes.starts[end]);
                    for (std::size_t i = first; i < last; ++i) update(i, inverse[i] * residual[i]);
                    return;
                }
                for (std::size_t v = begin; v < end; ++v) {
                    const std::size_t s = static_cast<std::size_t>(nodes.starts[v]);
                    const std::size_t size = static_cast<std::size_t>(node_size(nodes, v));
                    const double* const block = inverse + smoother.block_first[v];
                    for (std::size_t i = 0; i < size; ++i) {
                        double value = 0.0;
                        for (std::size_t j = 0; j < size; ++j)
                            value = std::fma(block[i * size + j], residual[s + j], value);
                        update(s + i, value);
                    }
                }
            });
            return;
        }
        // Several columns: the rows of a node's block times the node's rows of the residual, the
        // columns innermost (contiguous, unrolled for the solves' widths).
        with_width(width, [&](auto w) {
            for_node_ranges(nodes, [&](std::size_t begin, std::size_t end) {
                double values[kMaxWidth];
                const auto finish = [&](std::size_t row) {
                    double* const dr = d.data() + row * w;
                    double* const xr = x.data() + row * w;
                    for (std::size_t c = 0; c < w; ++c) {
                        const double direction = c_d * dr[c] + c_r * values[c];
                        dr[c] = direction;
                        xr[c] = x_zero ? direction : xr[c] + direction;
                    }
                };
                for (std::size_t v = begin; v < end; ++v) {
                    const std::size_t s = static_cast<std::size_t>(nodes.starts[v]);
                    const std::size_t size = static_cast<std::size_t>(node_size(nodes, v));
                    for (std::size_t i = 0; i < size; ++i) {
                        if (!smoother.blocks) {
                            const double* const row = residual.data() + (s + i) * w;
                            for (std::size_t c = 0; c < w; ++c) values[c] = inverse[s + i] * row[c];
                        } else {
                            const double* const block = inverse + smoother.block_first[v] + i * size;
                            std::fill(values, values + w, 0.0);
                            for (std::size_t j = 0; j < size; ++j) {
                                const double* const row = residual.data() + (s + j) * w;
                                for (std::size_t c = 0; c < w; ++c) values[c] = std::fma(block[j], row[c], values[c]);
                            }
                        }
                        finish(s + i);
                    }
                }
            });
        });
    };
    std::span<const double> residual = b;
    if (!zero_start) {
        check_interrupt();  // Ctrl-C between the products of a large level, on the calling thread
        level_residual(mat, values, x, b, r, width, nodes.starts);  // r = b - A x
        residual = r;
    }
    step(residual, 0.0, 1.0 / theta, zero_start);  // d = M r / theta; x += d
    double rho = 1.0 / sigma;
    for (int k = 1; k <= smoother.degree; ++k) {
        if (k == smoother.degree && !keep_residual) break;
        check_interrupt();
        if (residual.data() == b.data())
            level_residual(mat, values, d, b, r, width, nodes.starts);  // r = b - A d (x = d so far)
        else
            level_mul_sub(mat, values, d, r, width, nodes.starts);  // r -= A d
        residual = r;
        if (k == smoother.degree) break;
        const double rho_next = 1.0 / (2.0 * sigma - rho);
        step(residual, rho_next * rho, 2.0 * rho_next / delta, false);
        rho = rho_next;
    }
}

std::size_t smoother_bytes(const Smoother& smoother) {
    return smoother.inverse.size() * sizeof(double) + smoother.block_first.size() * sizeof(std::int64_t);
}

}  // namespace quarvex
