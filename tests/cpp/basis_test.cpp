// The quadrature rule and the quadratic basis against independent answers: exact monomial
// integrals, the partition of unity and known values at the quadrature points.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <cmath>
#include <string>

#include "base/bary.hpp"
#include "base/failure.hpp"
#include "base/lagrange.hpp"

namespace {

using namespace quarvex;
using quarvex::test_support::panic_text;

double factorial(int n) {
    return n <= 1 ? 1.0 : n * factorial(n - 1);
}

// sum_q w_q xi1^i xi2^j xi3^k, with the reference coordinates taken from the barycentric table.
double quadrature_of_monomial(int i, int j, int k) {
    const PointValues xi1 = bary_values(1), xi2 = bary_values(2), xi3 = bary_values(3);
    double sum = 0.0;
    for (std::size_t q = 0; q < kQuadPoints; ++q)
        sum += QUAD_WEIGHTS[q] * std::pow(xi1[q], i) * std::pow(xi2[q], j) * std::pow(xi3[q], k);
    return sum;
}

TEST(QuadratureRule, WeightsSumToReferenceVolume) {
    double sum = 0.0;
    for (const double weight : QUAD_WEIGHTS) sum += weight;
    EXPECT_NEAR(sum * 6.0, 1.0, 3e-14);
}

TEST(QuadratureRule, IntegratesEveryMonomialUpToDegreeFiveExactly) {
    for (int degree = 0; degree <= 5; ++degree)
        for (int i = 0; i <= degree; ++i)
            for (int j = 0; i + j <= degree; ++j) {
                const int k = degree - i - j;
                const double exact = factorial(i) * factorial(j) * factorial(k) / factorial(degree + 3);
                const double relative = std::fabs(quadrature_of_monomial(i, j, k) - exact) / exact;
                EXPECT_LT(relative, 3e-14) << "monomial xi1^" << i << " xi2^" << j << " xi3^" << k;
            }
}

TEST(QuadratureRule, DoesNotIntegrateDegreeSix) {
    double worst = 0.0;
    for (int i = 0; i <= 6; ++i)
        for (int j = 0; i + j <= 6; ++j) {
            const int k = 6 - i - j;
            const double exact = factorial(i) * factorial(j) * factorial(k) / factorial(9);
            worst = std::max(worst, std::fabs(quadrature_of_monomial(i, j, k) - exact) / exact);
        }
    EXPECT_GT(worst, 1e-3) << "worst relative error at degree 6";
}

TEST(BarycentricTable, SumsToOneAndDerivesLambdaZeroLeftToRight) {
    const PointValues lambda0 = bary_values(0);
    for (std::size_t q = 0; q < kQuadPoints; ++q) {
        const double sum = lambda0[q] + bary_values(1)[q] + bary_values(2)[q] + bary_values(3)[q];
        EXPECT_NEAR(sum, 1.0, 1e-15) << "point " << q;
    }
    // Point 6 is (a, a, a): lambda_0 = ((1 - a) - a) - a, not the stored A = 0.721794249067326.
    EXPECT_EQ(lambda0[6], 0.7217942490673269);
    EXPECT_NE(lambda0[6], 0.721794249067326);
    EXPECT_EQ(bary_values(3)[0], 0.721794249067326);  // point 0 is (a, a, A)
}

TEST(ShapeTables, PartitionOfUnityForValuesAndGradients) {
    const InverseJacobian identity{1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (std::size_t q = 0; q < kQuadPoints; ++q) {
        double value_sum = 0.0;
        double grad_sum[3] = {0.0, 0.0, 0.0};
        for (std::size_t a = 0; a < kShapes; ++a) {
            value_sum += shape_values(a)[q];
            const PointGrads grads = shape_grads(identity, a);
            for (std::size_t r = 0; r < 3; ++r) grad_sum[r] += grads[r][q];
        }
        EXPECT_NEAR(value_sum, 1.0, 1e-14) << "point " << q;
        for (std::size_t r = 0; r < 3; ++r) EXPECT_NEAR(grad_sum[r], 0.0, 1e-14) << "point " << q << " row " << r;
    }
}

TEST(ShapeTables, IntegralsOfTheShapeFunctions) {
    // Over the reference tetrahedron a vertex function integrates to -V/20 and an edge
    // function to V/5, with V = 1/6.
    for (std::size_t a = 0; a < kShapes; ++a) {
        double integral = 0.0;
        for (std::size_t q = 0; q < kQuadPoints; ++q) integral += QUAD_WEIGHTS[q] * shape_values(a)[q];
        const double expected = a < 4 ? -1.0 / 120.0 : 1.0 / 30.0;
        EXPECT_NEAR(integral, expected, 1e-15) << "shape " << a;
    }
}

TEST(ShapeTables, KnownValuesAtQuadraturePoints) {
    // Edge (0, 1) at point 13 = (E, e, e): 4 lambda_0 lambda_1 with lambda_0 ~ E.
    EXPECT_NEAR(shape_values(4)[13], 0.8262675318540189, 1e-14);
    // Vertex 0 with m = identity: every row is -(4 lambda_0 - 1); at point 6 lambda_0 = A.
    const InverseJacobian identity{1, 0, 0, 0, 1, 0, 0, 0, 1};
    const PointGrads grads = shape_grads(identity, 0);
    for (std::size_t r = 0; r < 3; ++r) EXPECT_NEAR(grads[r][6], -1.8871769962693081, 1e-14);
}

TEST(ShapeTables, UndefinedIndexPanics) {
    const InverseJacobian identity{1, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(panic_text([] { bary_values(4); }), "undefined index!");
    EXPECT_EQ(panic_text([] { shape_values(10); }), "undefined index!");
    EXPECT_EQ(panic_text([&] { shape_grads(identity, 10); }), "undefined index!");
    EXPECT_EQ(panic_text([&] { shape_grads(identity, 9); }), "<no panic>");
}

}  // namespace
