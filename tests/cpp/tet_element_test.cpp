// The element routine against independent answers: exact integrals on the unit right
// tetrahedron, rigid motions, the strain energy of linear fields, node permutations, and
// body-load integrals of polynomial loads.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "base/lagrange.hpp"
#include "expr/arena.hpp"
#include "model/element_system.hpp"

namespace {

using namespace quarvex;
using quarvex::test_support::Dense9;
using quarvex::test_support::isotropic;
using quarvex::test_support::kUnitRight;
using quarvex::test_support::panic_text;

using Matrix3 = std::array<std::array<double, 3>, 3>;
using Nodes = std::array<Point, 10>;

// Local edge order of the element, written out here rather than taken from the code under test.
constexpr int kEdges[6][2] = {{0, 1}, {1, 2}, {0, 2}, {0, 3}, {1, 3}, {2, 3}};

Tet make_tet(const std::array<Point, 4>& pts) {
    Tet tet;
    tet.pts = pts;
    tet.verts = {10, 11, 12, 13};
    return tet;
}

// A well-shaped element in general position, with positive orientation.
const std::array<Point, 4> kGeneral = {{{0.3, -0.2, 0.1}, {1.4, 0.1, -0.3}, {0.2, 1.2, 0.4}, {0.5, 0.3, 1.6}}};

double volume(const std::array<Point, 4>& pts) {
    double e[3][3];
    for (int k = 0; k < 3; ++k)
        for (int r = 0; r < 3; ++r) e[k][r] = pts[k + 1][r] - pts[0][r];
    const double triple = e[0][0] * (e[1][1] * e[2][2] - e[1][2] * e[2][1]) +
                          e[0][1] * (e[1][2] * e[2][0] - e[1][0] * e[2][2]) +
                          e[0][2] * (e[1][0] * e[2][1] - e[1][1] * e[2][0]);
    return std::fabs(triple) / 6.0;
}

// Vertices, then edge midpoints in local edge order.
Nodes node_positions(const std::array<Point, 4>& pts) {
    Nodes nodes;
    for (int k = 0; k < 4; ++k) nodes[k] = pts[k];
    for (int e = 0; e < 6; ++e)
        for (int r = 0; r < 3; ++r) nodes[4 + e][r] = 0.5 * (pts[kEdges[e][0]][r] + pts[kEdges[e][1]][r]);
    return nodes;
}

ExMat to_exmat(const Dense9& dense) {
    ExMat cmat;
    for (int row = 0; row < 9; ++row)
        for (int col = 0; col < 9; ++col) block(cmat, row / 3, col / 3)[3 * (row % 3) + col % 3] = dense[row][col];
    return cmat;
}

Dense9 random_dense(std::mt19937_64& random, bool symmetric) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    Dense9 dense{};
    for (int row = 0; row < 9; ++row)
        for (int col = 0; col < 9; ++col) dense[row][col] = unit(random);
    if (symmetric)
        for (int row = 0; row < 9; ++row)
            for (int col = 0; col < row; ++col) dense[row][col] = dense[col][row];
    return dense;
}

struct ElementResult {
    std::vector<double> matrix = std::vector<double>(kElementMatrixSize, -7.0);  // stale content
    std::vector<double> vector = std::vector<double>(kLocalDofs, -7.0);
    double at(int row, int col) const { return matrix[row * 30 + col]; }
};

ElementResult run_element(const Tet& tet, const ExMat& cmat, LoadMap& loads) {
    ElementResult result;
    LoadValues load_values;
    tet_element(tet, std::span<double, 900>(result.matrix.data(), 900), std::span<double, 30>(result.vector.data(), 30),
                cmat, loads, load_values);
    return result;
}

ElementResult run_element(const std::array<Point, 4>& pts, const Dense9& dense) {
    LoadMap no_loads;
    return run_element(make_tet(pts), to_exmat(dense), no_loads);
}

// The stored rule constants carry a relative error of about 2e-14 (its weights sum to 1/6 to
// that accuracy), so integrals are compared relative to their size.
double rule_tolerance(double expected) {
    return 3e-14 * std::max(1.0, std::fabs(expected));
}

double max_abs(const std::vector<double>& values) {
    double largest = 0.0;
    for (const double value : values) largest = std::max(largest, std::fabs(value));
    return largest;
}

// Nodal displacement vector (30 entries) of the field u(x) at the ten nodes.
template <class Field>
std::vector<double> sample(const std::array<Point, 4>& pts, Field&& field) {
    const Nodes nodes = node_positions(pts);
    std::vector<double> u(30);
    for (int a = 0; a < 10; ++a) {
        const Point value = field(nodes[a]);
        for (int c = 0; c < 3; ++c) u[3 * a + c] = value[c];
    }
    return u;
}

std::vector<double> multiply(const ElementResult& element, const std::vector<double>& u) {
    std::vector<double> out(30, 0.0);
    for (int row = 0; row < 30; ++row)
        for (int col = 0; col < 30; ++col) out[row] += element.at(row, col) * u[col];
    return out;
}

double bilinear(const ElementResult& element, const std::vector<double>& u, const std::vector<double>& v) {
    const std::vector<double> kv = multiply(element, v);
    double sum = 0.0;
    for (int row = 0; row < 30; ++row) sum += u[row] * kv[row];
    return sum;
}

// ---------------------------------------------------------------------------------------
// Geometry

TEST(ElementGeometry, UnitRightTetrahedronHasIdentityJacobian) {
    const ElementGeometry geometry = element_geometry(make_tet(kUnitRight));
    for (int r = 0; r < 3; ++r)
        for (int j = 0; j < 3; ++j) {
            EXPECT_EQ(geometry.jacobian[r][j], r == j ? 1.0 : 0.0);
            EXPECT_EQ(geometry.inverse[3 * j + r], r == j ? 1.0 : 0.0);
        }
    EXPECT_EQ(geometry.det_j, 1.0);
    EXPECT_EQ(geometry.abs_det_j, 1.0);
}

TEST(ElementGeometry, InverseAndDeterminantOfBothOrientations) {
    std::array<Point, 4> swapped = kGeneral;
    std::swap(swapped[1], swapped[2]);
    for (const auto& pts : {kGeneral, swapped}) {
        const ElementGeometry geometry = element_geometry(make_tet(pts));
        EXPECT_NEAR(geometry.abs_det_j, 6.0 * volume(pts), 1e-14);
        for (int r = 0; r < 3; ++r)
            for (int s = 0; s < 3; ++s) {
                double product = 0.0;  // (J J^-1)[r][s]
                for (int j = 0; j < 3; ++j) product += geometry.jacobian[r][j] * geometry.inverse[3 * j + s];
                EXPECT_NEAR(product, r == s ? 1.0 : 0.0, 1e-14);
            }
    }
    EXPECT_GT(element_geometry(make_tet(kGeneral)).det_j, 0.0);
    EXPECT_LT(element_geometry(make_tet(swapped)).det_j, 0.0);
}

TEST(ElementGeometry, QuadraturePointsIntegrateQuadraticsExactly) {
    // Over a tetrahedron, integral of x_r x_s = V/20 (sum_k p_k[r] p_k[s] + sum_k p_k[r] * sum_k p_k[s]).
    const Tet tet = make_tet(kGeneral);
    const QuadPointCoords points = quad_points(tet);
    const double abs_det = element_geometry(tet).abs_det_j;
    const double v = volume(kGeneral);
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < 3; ++s) {
            double quadrature = 0.0;
            for (std::size_t q = 0; q < kQuadPoints; ++q) quadrature += QUAD_WEIGHTS[q] * points[r][q] * points[s][q];
            double products = 0.0, sum_r = 0.0, sum_s = 0.0;
            for (int k = 0; k < 4; ++k) {
                products += kGeneral[k][r] * kGeneral[k][s];
                sum_r += kGeneral[k][r];
                sum_s += kGeneral[k][s];
            }
            const double expected = v / 20.0 * (products + sum_r * sum_s);
            EXPECT_NEAR(abs_det * quadrature, expected, rule_tolerance(expected)) << r << s;
        }
}

TEST(ElementGeometry, ShapeGradientsReproduceAQuadraticField) {
    // Quadratic interpolation is exact for f(x) = x.A.x + g.x, so
    // sum_a f(node_a) grad phi_a(x_q) = 2 A x_q + g at every quadrature point.
    const Matrix3 A = {{{0.7, -0.2, 0.4}, {-0.2, 1.1, 0.3}, {0.4, 0.3, -0.5}}};
    const Point g = {0.25, -1.5, 2.0};
    const auto field = [&](const Point& x) {
        double value = 0.0;
        for (int r = 0; r < 3; ++r) {
            value += g[r] * x[r];
            for (int s = 0; s < 3; ++s) value += x[r] * A[r][s] * x[s];
        }
        return value;
    };
    const Tet tet = make_tet(kGeneral);
    const ElementGeometry geometry = element_geometry(tet);
    const QuadPointCoords points = quad_points(tet);
    const Nodes nodes = node_positions(kGeneral);
    for (std::size_t q = 0; q < kQuadPoints; ++q)
        for (int r = 0; r < 3; ++r) {
            double interpolated = 0.0;
            for (std::size_t a = 0; a < kShapes; ++a)
                interpolated += field(nodes[a]) * shape_grads(geometry.inverse, a)[r][q];
            double exact = g[r];
            for (int s = 0; s < 3; ++s) exact += 2.0 * A[r][s] * points[s][q];
            EXPECT_NEAR(interpolated, exact, 1e-12) << "point " << q << " row " << r;
        }
}

// ---------------------------------------------------------------------------------------
// Stiffness

// 30 * integral over the unit right tetrahedron of grad phi_a . grad phi_b (exact rationals).
constexpr int kLaplace30[10][10] = {
    {9, 1, 1, 1, -6, 2, -6, -6, 2, 2},    {1, 3, 0, 0, -4, -1, 1, 1, -1, 0},    {1, 0, 3, 0, 1, -1, -4, 1, 0, -1},
    {1, 0, 0, 3, 1, 0, 1, -4, -1, -1},    {-6, -4, 1, 1, 24, -8, 4, 4, -8, -8}, {2, -1, -1, 0, -8, 16, -8, -8, 4, 4},
    {-6, 1, -4, 1, 4, -8, 24, 4, -8, -8}, {-6, 1, 1, -4, 4, -8, 4, 24, -8, -8}, {2, -1, 0, -1, -8, 4, -8, -8, 16, 4},
    {2, 0, -1, -1, -8, 4, -8, -8, 4, 16},
};
// 30 * integral over the unit right tetrahedron of dphi_a/dy * dphi_b/dx.
constexpr int kCrossYX30[10][10] = {
    {3, 1, 0, 0, -4, 1, -1, -1, 1, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},     {1, -1, 0, 0, 0, 3, -3, 1, -1, 0},
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},    {-1, -3, 0, 0, 4, -4, 4, 4, -4, 0}, {1, 3, 0, 0, -4, 4, -4, -4, 4, 0},
    {-4, 0, 0, 0, 4, -4, 4, 0, 0, 0},  {-1, 1, 0, 0, 0, -4, 4, 8, -8, 0},  {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {1, -1, 0, 0, 0, 4, -4, -8, 8, 0},
};

TEST(ElementStiffness, UnitRightTetrahedronGivesTheReferenceLaplacian) {
    // D[3c+j][3d+l] = delta(c,d) delta(j,l): K[3a+c][3b+d] = delta(c,d) * integral grad phi_a . grad phi_b.
    Dense9 dense{};
    for (int row = 0; row < 9; ++row) dense[row][row] = 1.0;
    const ElementResult element = run_element(kUnitRight, dense);
    for (int a = 0; a < 10; ++a)
        for (int b = 0; b < 10; ++b)
            for (int c = 0; c < 3; ++c)
                for (int d = 0; d < 3; ++d) {
                    const double expected = c == d ? kLaplace30[a][b] / 30.0 : 0.0;
                    EXPECT_NEAR(element.at(3 * a + c, 3 * b + d), expected, rule_tolerance(expected))
                        << a << " " << b << " " << c << d;
                }
}

TEST(ElementStiffness, NonSymmetricMaterialPlacesBlockRowAndColumn) {
    // Only D[3*0+1][3*2+0] (c=0, j=1, d=2, l=0) is set: K[3a][3b+2] = integral dphi_a/dy dphi_b/dx,
    // every other entry is zero and K is not symmetric.
    Dense9 dense{};
    dense[1][6] = 1.0;
    const ElementResult element = run_element(kUnitRight, dense);
    double asymmetry = 0.0;
    for (int row = 0; row < 30; ++row)
        for (int col = 0; col < 30; ++col) {
            const int a = row / 3, c = row % 3, b = col / 3, d = col % 3;
            const double expected = c == 0 && d == 2 ? kCrossYX30[a][b] / 30.0 : 0.0;
            EXPECT_NEAR(element.at(row, col), expected, rule_tolerance(expected)) << row << " " << col;
            asymmetry = std::max(asymmetry, std::fabs(element.at(row, col) - element.at(col, row)));
        }
    EXPECT_GT(asymmetry, 0.1);
}

TEST(ElementStiffness, RigidTranslationsAreInTheNullSpaceForAnyMaterial) {
    std::mt19937_64 random(7);
    const ElementResult element = run_element(kGeneral, random_dense(random, false));
    const double scale = max_abs(element.matrix);
    for (int c = 0; c < 3; ++c) {
        std::vector<double> translation(30, 0.0);
        for (int a = 0; a < 10; ++a) translation[3 * a + c] = 1.0;
        const std::vector<double> forces = multiply(element, translation);
        EXPECT_LT(max_abs(forces), 1e-13 * scale) << "translation along " << c;
    }
}

TEST(ElementStiffness, IsotropicMaterialIsSymmetricAndRotationFree) {
    const ElementResult element = run_element(kGeneral, isotropic(1.3, 0.7));
    const double scale = max_abs(element.matrix);
    for (int row = 0; row < 30; ++row)
        for (int col = 0; col < row; ++col)
            EXPECT_NEAR(element.at(row, col), element.at(col, row), 1e-14 * scale) << row << " " << col;
    const Point omegas[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (const Point& w : omegas) {
        const auto rotation = [&](const Point& x) {  // u = omega x x
            return Point{w[1] * x[2] - w[2] * x[1], w[2] * x[0] - w[0] * x[2], w[0] * x[1] - w[1] * x[0]};
        };
        EXPECT_LT(max_abs(multiply(element, sample(kGeneral, rotation))), 1e-13 * scale);
    }
}

TEST(ElementStiffness, SymmetricMaterialGivesSymmetricMatrix) {
    std::mt19937_64 random(11);
    const ElementResult element = run_element(kGeneral, random_dense(random, true));
    const double scale = max_abs(element.matrix);
    for (int row = 0; row < 30; ++row)
        for (int col = 0; col < row; ++col)
            EXPECT_NEAR(element.at(row, col), element.at(col, row), 1e-14 * scale) << row << " " << col;
}

TEST(ElementStiffness, LinearFieldsGiveTheVolumeTimesTheMaterialProduct) {
    // For u = Hu x and v = Hv x: u^T K v = V * sum Hu[c][j] D[3c+j][3d+l] Hv[d][l], for any D;
    // with an isotropic D, u^T K u = V (lambda tr(eps)^2 + 2 mu eps:eps), eps = (Hu + Hu^T)/2.
    std::mt19937_64 random(23);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    Matrix3 hu, hv;
    for (auto& row : hu)
        for (double& entry : row) entry = unit(random);
    for (auto& row : hv)
        for (double& entry : row) entry = unit(random);
    const auto linear = [](const Matrix3& h) {
        return [h](const Point& x) {
            Point value{};
            for (int c = 0; c < 3; ++c) value[c] = h[c][0] * x[0] + h[c][1] * x[1] + h[c][2] * x[2];
            return value;
        };
    };
    const std::vector<double> u = sample(kGeneral, linear(hu)), v = sample(kGeneral, linear(hv));
    const double v_el = volume(kGeneral);

    const Dense9 general = random_dense(random, false);
    double expected = 0.0;
    for (int row = 0; row < 9; ++row)
        for (int col = 0; col < 9; ++col) expected += hu[row / 3][row % 3] * general[row][col] * hv[col / 3][col % 3];
    EXPECT_NEAR(bilinear(run_element(kGeneral, general), u, v), v_el * expected, 1e-13);

    const double lambda = 1.3, mu = 0.7;
    double trace = 0.0, eps_eps = 0.0;
    for (int c = 0; c < 3; ++c) {
        trace += hu[c][c];
        for (int j = 0; j < 3; ++j) eps_eps += 0.25 * (hu[c][j] + hu[j][c]) * (hu[c][j] + hu[j][c]);
    }
    EXPECT_NEAR(bilinear(run_element(kGeneral, isotropic(lambda, mu)), u, u),
                v_el * (lambda * trace * trace + 2.0 * mu * eps_eps), 1e-13);
}

TEST(ElementStiffness, VertexSwapsPermuteTheNodes) {
    // Renumbering the vertices renumbers the ten nodes; the matrix follows the renumbering.
    std::mt19937_64 random(31);
    const Dense9 dense = random_dense(random, false);
    const ElementResult original = run_element(kGeneral, dense);
    const double scale = max_abs(original.matrix);
    const int swaps[][2] = {{0, 1}, {1, 2}, {0, 3}, {2, 3}, {1, 3}};
    for (const auto& swap : swaps) {
        int vertex_map[4] = {0, 1, 2, 3};  // new local vertex k is old vertex vertex_map[k]
        std::swap(vertex_map[swap[0]], vertex_map[swap[1]]);
        std::array<Point, 4> pts;
        for (int k = 0; k < 4; ++k) pts[k] = kGeneral[vertex_map[k]];
        int node_map[10];  // new node -> old node
        for (int k = 0; k < 4; ++k) node_map[k] = vertex_map[k];
        for (int e = 0; e < 6; ++e) {
            const int i = vertex_map[kEdges[e][0]], j = vertex_map[kEdges[e][1]];
            for (int old = 0; old < 6; ++old)
                if ((kEdges[old][0] == i && kEdges[old][1] == j) || (kEdges[old][0] == j && kEdges[old][1] == i))
                    node_map[4 + e] = 4 + old;
        }
        const ElementResult swapped = run_element(pts, dense);
        for (int a = 0; a < 10; ++a)
            for (int b = 0; b < 10; ++b)
                for (int c = 0; c < 3; ++c)
                    for (int d = 0; d < 3; ++d)
                        EXPECT_NEAR(swapped.at(3 * a + c, 3 * b + d),
                                    original.at(3 * node_map[a] + c, 3 * node_map[b] + d), 1e-13 * scale)
                            << "swap " << swap[0] << swap[1];
    }
}

TEST(ElementStiffness, DegenerateElementPanics) {
    const std::array<Point, 4> flat = {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}};
    std::array<Point, 4> not_finite = kGeneral;
    not_finite[2][1] = std::nan("");
    LoadMap no_loads;
    const ExMat cmat = to_exmat(isotropic(1.0, 1.0));
    EXPECT_EQ(panic_text([&] { run_element(make_tet(flat), cmat, no_loads); }),
              "degenerate element with vertices [10, 11, 12, 13]: det J = 0");
    EXPECT_EQ(panic_text([&] { run_element(make_tet(not_finite), cmat, no_loads); }).rfind("degenerate element", 0),
              0u);
}

// ---------------------------------------------------------------------------------------
// Body load

// An arena with x, y, z as nodes 0, 1, 2 followed by the given constants (nodes 3, 4, ...).
Arena arena_with_constants(std::initializer_list<double> constants) {
    Arena arena;
    new_var(arena);
    new_var(arena);
    new_var(arena);
    for (const double value : constants) new_cst(arena, value);
    return arena;
}

LoadMap loads_for(std::int32_t group, Arena arena, std::vector<std::uint64_t> nodes) {
    LoadMap loads;
    loads.emplace(group, BodyLoad{std::move(arena), 3, 1, std::move(nodes)});
    return loads;
}

TEST(ElementLoad, ConstantDownwardLoad) {
    // f = (0, 0, -g): vertex functions integrate to -V/20, edge functions to V/5.
    const double g = 9.81;
    LoadMap loads = loads_for(0, arena_with_constants({0.0, 0.0, -g}), {3, 4, 5});
    const ElementResult element = run_element(make_tet(kGeneral), to_exmat(isotropic(1.0, 1.0)), loads);
    const double v = volume(kGeneral);
    double total = 0.0;
    for (int a = 0; a < 10; ++a) {
        EXPECT_EQ(element.vector[3 * a], 0.0);
        EXPECT_EQ(element.vector[3 * a + 1], 0.0);
        const double expected = a < 4 ? g * v / 20.0 : -g * v / 5.0;
        EXPECT_NEAR(element.vector[3 * a + 2], expected, rule_tolerance(expected)) << "shape " << a;
        total += element.vector[3 * a + 2];
    }
    EXPECT_NEAR(total, -g * v, rule_tolerance(g * v));
}

TEST(ElementLoad, PolynomialLoadMomentsAreExact) {
    // f = (x, y z, 1), evaluated at the physical points of two elements in turn (the second
    // binding reuses the arena's shape). Since sum_a phi_a = 1 and sum_a X_a phi_a = x:
    //   sum_a F[3a] = int x,  sum_a X_a F[3a] = int x^2,  sum_a F[3a+1] = int y z,  sum_a F[3a+2] = V.
    Arena arena = arena_with_constants({1.0});
    new_two_nodes(arena, Kernel::Multiply, 1, 2);  // node 4 = y z
    LoadMap loads = loads_for(5, std::move(arena), {0, 4, 3});
    const auto moment = [](const std::array<Point, 4>& pts, int r, int s) {  // int x_r x_s
        double products = 0.0, sum_r = 0.0, sum_s = 0.0;
        for (int k = 0; k < 4; ++k) {
            products += pts[k][r] * pts[k][s];
            sum_r += pts[k][r];
            sum_s += pts[k][s];
        }
        return volume(pts) / 20.0 * (products + sum_r * sum_s);
    };
    std::array<Point, 4> second = kGeneral;
    std::swap(second[0], second[3]);
    second[1][2] += 0.7;
    for (const auto& pts : {kGeneral, second}) {
        Tet tet = make_tet(pts);
        tet.group = 5;
        const ElementResult element = run_element(tet, to_exmat(isotropic(1.0, 1.0)), loads);
        const Nodes nodes = node_positions(pts);
        double sum_x = 0.0, moment_x = 0.0, sum_yz = 0.0, sum_one = 0.0;
        for (int a = 0; a < 10; ++a) {
            sum_x += element.vector[3 * a];
            moment_x += nodes[a][0] * element.vector[3 * a];
            sum_yz += element.vector[3 * a + 1];
            sum_one += element.vector[3 * a + 2];
        }
        const double v = volume(pts);
        const double centroid_x = (pts[0][0] + pts[1][0] + pts[2][0] + pts[3][0]) / 4.0;
        EXPECT_NEAR(sum_x, v * centroid_x, rule_tolerance(v * centroid_x));
        EXPECT_NEAR(moment_x, moment(pts, 0, 0), rule_tolerance(moment(pts, 0, 0)));
        EXPECT_NEAR(sum_yz, moment(pts, 1, 2), rule_tolerance(moment(pts, 1, 2)));
        EXPECT_NEAR(sum_one, v, rule_tolerance(v));
    }
}

TEST(ElementLoad, GroupWithoutLoadAndShortNodeLists) {
    const ExMat cmat = to_exmat(isotropic(1.0, 1.0));
    LoadMap loads = loads_for(3, arena_with_constants({2.0}), {3});
    Tet tet = make_tet(kGeneral);  // group 0 has no load
    const ElementResult unloaded = run_element(tet, cmat, loads);
    EXPECT_EQ(max_abs(unloaded.vector), 0.0);
    EXPECT_GT(max_abs(unloaded.matrix), 0.0);

    tet.group = 3;  // a one-entry list fills the x components only
    const ElementResult loaded = run_element(tet, cmat, loads);
    for (int a = 0; a < 10; ++a) {
        EXPECT_NE(loaded.vector[3 * a], 0.0);
        EXPECT_EQ(loaded.vector[3 * a + 1], 0.0);
        EXPECT_EQ(loaded.vector[3 * a + 2], 0.0);
    }
}

struct LoadFailureCase {
    const char* name;
    int node_count;  // arena: x, y, z (as many as fit) and then constants
    std::vector<std::uint64_t> nodes;
    const char* message;
};

TEST(ElementLoad, BadLoadsFailWithTheirIndexChecks) {
    const LoadFailureCase cases[] = {
        {"four components", 6, {3, 4, 5, 3}, "index out of bounds: the len is 30 but the index is 30"},
        {"node id past the arena", 6, {3, 4, 99}, "index out of bounds: the len is 6 but the index is 99"},
        {"bad node after a fourth one", 6, {3, 4, 5, 3, 99}, "index out of bounds: the len is 6 but the index is 99"},
        {"arena of two nodes", 2, {0, 1, 1}, "index out of bounds: the len is 2 but the index is 2"},
        {"empty arena", 0, {}, "index out of bounds: the len is 0 but the index is 1"},
    };
    const ExMat cmat = to_exmat(isotropic(1.0, 1.0));
    for (const LoadFailureCase& failure : cases) {
        Arena arena;
        for (int k = 0; k < failure.node_count; ++k) k < 3 ? new_var(arena) : new_cst(arena, 1.0);
        LoadMap loads = loads_for(0, std::move(arena), failure.nodes);
        EXPECT_EQ(panic_text([&] { run_element(make_tet(kGeneral), cmat, loads); }), failure.message) << failure.name;
    }

    // A node that lost its batch shape (possible only by editing node values directly).
    Arena arena = arena_with_constants({1.0});
    arena.values.typ = 1;
    arena.values.len = 14;
    for (Dyr& node : arena.values.node_values) node = Dyr{1, 14, std::vector<double>(14, 1.0)};
    arena.values.node_values[3] = Dyr{1, 5, std::vector<double>(5, 1.0)};
    LoadMap loads = loads_for(0, std::move(arena), {3});
    EXPECT_EQ(panic_text([&] { run_element(make_tet(kGeneral), cmat, loads); }),
              "assertion failed: `(left == right)`\n  left: `5`,\n right: `14`");
}

}  // namespace
