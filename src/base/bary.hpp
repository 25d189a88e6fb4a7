// The 14-point quadrature rule on the reference tetrahedron (exact to degree 5) and the
// barycentric coordinates at its points. Every per-point array holds 14 contiguous f64 in
// the fixed point order of kQuadXi; lambda_0 is derived as ((1 - xi1) - xi2) - xi3.
#pragma once

#include <array>
#include <cstddef>

namespace quarvex {

constexpr std::size_t kQuadPoints = 14;
using PointValues = std::array<double, kQuadPoints>;

namespace quad_rule {

// The symmetric 14-point rule, its generators stored to 15 significant digits:
// points of class 1 permute (a, a, a, A) with A = 1 - 3a, class 2 likewise with b, B, and
// class 3 permutes (e, e, E, E) with E = 1/2 - e.
constexpr double a = 0.092735250310891, A = 0.721794249067326;
constexpr double b = 0.310885919263301, B = 0.067342242210098;
constexpr double e = 0.04550370412565, E = 0.45449629587435;
constexpr double w1 = 0.012248840519394, w2 = 0.018781320953003, w3 = 0.007091003462847;

}  // namespace quad_rule

// Reference coordinates (xi1, xi2, xi3) of point q, in point order.
inline constexpr std::array<std::array<double, 3>, kQuadPoints> kQuadXi = {{
    {quad_rule::a, quad_rule::a, quad_rule::A},  // 0
    {quad_rule::b, quad_rule::b, quad_rule::B},  // 1
    {quad_rule::a, quad_rule::A, quad_rule::a},  // 2
    {quad_rule::b, quad_rule::B, quad_rule::b},  // 3
    {quad_rule::A, quad_rule::a, quad_rule::a},  // 4
    {quad_rule::B, quad_rule::b, quad_rule::b},  // 5
    {quad_rule::a, quad_rule::a, quad_rule::a},  // 6
    {quad_rule::b, quad_rule::b, quad_rule::b},  // 7
    {quad_rule::e, quad_rule::E, quad_rule::E},  // 8
    {quad_rule::E, quad_rule::e, quad_rule::E},  // 9
    {quad_rule::e, quad_rule::e, quad_rule::E},  // 10
    {quad_rule::E, quad_rule::E, quad_rule::e},  // 11
    {quad_rule::e, quad_rule::E, quad_rule::e},  // 12
    {quad_rule::E, quad_rule::e, quad_rule::e},  // 13
}};

// The 14 weights in point order; they sum to 1/6, the reference volume.
inline constexpr PointValues QUAD_WEIGHTS = {
    quad_rule::w1, quad_rule::w2, quad_rule::w1, quad_rule::w2, quad_rule::w1, quad_rule::w2, quad_rule::w1,
    quad_rule::w2, quad_rule::w3, quad_rule::w3, quad_rule::w3, quad_rule::w3, quad_rule::w3, quad_rule::w3,
};

// Row k holds lambda_k at the 14 points: lambda_k = xi_k for k = 1..3, and
// lambda_0 = ((1 - xi1) - xi2) - xi3, evaluated left to right.
inline constexpr std::array<PointValues, 4> kBaryTable = [] {
    std::array<PointValues, 4> table{};
    for (std::size_t q = 0; q < kQuadPoints; ++q) {
        const auto& xi = kQuadXi[q];
        table[0][q] = ((1.0 - xi[0]) - xi[1]) - xi[2];
        for (std::size_t k = 1; k < 4; ++k) table[k][q] = xi[k - 1];
    }
    return table;
}();

// lambda_k at the 14 points, k = 0..3; any other k panics with "undefined index!".
PointValues bary_values(std::size_t k);

}  // namespace quarvex
