// The Chebyshev smoother against its stated damping: on the 1D Laplacian with point Jacobi,
// M A has the eigenvectors sin(k pi i / (n + 1)) and eigenvalues 1 - cos(k pi / (n + 1)), so one
// smoothing of an error that is an eigenvector must multiply it by |1 - mu p(mu)|: at most
// 1 / T_d((upper + lower) / (upper - lower)) on [lower, upper], and at most 1 below lower.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "amg/blocks.hpp"
#include "amg/smoother.hpp"
#include "lacc/lav.hpp"

namespace quarvex {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kSize = 200;

SprMat laplacian(const NodeRanges& single) {
    SprMat mat = build_block_structure(single, single, [](std::size_t node, NodeSet& set) {
        if (node > 0) set.add(static_cast<std::int32_t>(node - 1));
        set.add(static_cast<std::int32_t>(node));
        if (node + 1 < kSize) set.add(static_cast<std::int32_t>(node + 1));
    });
    for (std::size_t r = 0; r < mat.rows; ++r)
        for_each_entry(mat, r, [&](std::size_t col, std::size_t pos) { mat.vals[pos] = col == r ? 2.0 : -1.0; });
    return mat;
}

double chebyshev_t(int degree, double x) {
    return std::cosh(degree * std::acosh(x));
}

class SmootherDamping : public ::testing::TestWithParam<int> {};

TEST_P(SmootherDamping, EachModeShrinksByTheChebyshevBound) {
    const int degree = GetParam();
    std::vector<std::int32_t> sizes(kSize, 1);
    const NodeRanges single = node_ranges_from_sizes(sizes);
    const SprMat mat = laplacian(single);
    const std::vector<float> values(mat.vals.begin(), mat.vals.end());
    Smoother smoother = jacobi_base(mat, single, false);  // M = 1/2: M A = A / 2
    const double mu_max = 1.0 - std::cos(kPi * kSize / (kSize + 1.0));
    smoother.eigen_max = mu_max;
    smoother.upper = 1.1 * mu_max;
    smoother.lower = smoother.upper / 30.0;
    smoother.degree = degree;
    const double bound =
        1.0 / chebyshev_t(degree, (smoother.upper + smoother.lower) / (smoother.upper - smoother.lower));

    std::vector<double> zero(kSize, 0.0), error(kSize), r(kSize), d(kSize);
    for (const std::size_t k : {1u, 5u, 20u, 60u, 100u, 150u, 199u, 200u}) {
        for (std::size_t i = 0; i < kSize; ++i) error[i] = std::sin(kPi * k * (i + 1.0) / (kSize + 1.0));
        const double before = std::sqrt(norm_sq(error));
        chebyshev_smooth(mat, values, smoother, single, zero, error, r, d, false, false);  // e = (I - p(MA) M A) e
        const double after = std::sqrt(norm_sq(error));
        const double mu = 1.0 - std::cos(kPi * k / (kSize + 1.0));
        const double allowed = mu >= smoother.lower ? bound : 1.0;
        EXPECT_LE(after, before * allowed * (1.0 + 1e-5)) << "mode " << k << ", eigenvalue " << mu;
    }
}

INSTANTIATE_TEST_SUITE_P(Degrees, SmootherDamping, ::testing::Values(1, 2, 4));

}  // namespace
}  // namespace quarvex
