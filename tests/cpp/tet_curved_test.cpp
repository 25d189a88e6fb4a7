// The isoparametric element against the affine one on straight elements, against exact
// answers on curved ones (rigid motions, the energy of linear fields, the volume and the
// integral of a linear load), the refusal of folded maps, and curved assembly.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "elems/tet_curved.hpp"
#include "elems/tet_element.hpp"
#include "model/assembly.hpp"
#include "model/curved_system.hpp"
#include "model/dofs.hpp"
#include "model/loads.hpp"
#include "model/mesh.hpp"
#include "model/system.hpp"

namespace quarvex {
namespace {

using test_support::panic_text;

// Local edge order, written out here rather than taken from the code under test.
constexpr int kEdges[6][2] = {{0, 1}, {1, 2}, {0, 2}, {0, 3}, {1, 3}, {2, 3}};

const std::array<Point, 4> kGeneral = {{{0.3, -0.2, 0.1}, {1.4, 0.1, -0.3}, {0.2, 1.2, 0.4}, {0.5, 0.3, 1.6}}};

Tet make_tet(const std::array<Point, 4>& pts) {
    Tet tet;
    tet.pts = pts;
    tet.verts = {0, 1, 2, 3};
    return tet;
}

EdgePoints midpoints(const std::array<Point, 4>& pts) {
    EdgePoints edges;
    for (int e = 0; e < 6; ++e)
        for (int r = 0; r < 3; ++r) edges[e][r] = 0.5 * (pts[kEdges[e][0]][r] + pts[kEdges[e][1]][r]);
    return edges;
}

// The general element with its edge nodes pushed off the chords (a curved but valid element).
EdgePoints bent_edges() {
    EdgePoints edges = midpoints(kGeneral);
    const double push[6][3] = {{0.05, -0.08, 0.02}, {0.0, 0.06, 0.07}, {-0.07, 0.03, 0.0},
                               {0.04, 0.0, -0.05},  {0.06, 0.05, 0.0}, {0.0, -0.04, 0.08}};
    for (int e = 0; e < 6; ++e)
        for (int r = 0; r < 3; ++r) edges[e][r] += push[e][r];
    return edges;
}

ExMat isotropic_exmat(double lambda, double mu) {
    const test_support::Dense9 dense = test_support::isotropic(lambda, mu);
    ExMat cmat;
    for (int row = 0; row < 9; ++row)
        for (int col = 0; col < 9; ++col) block(cmat, row / 3, col / 3)[3 * (row % 3) + col % 3] = dense[row][col];
    return cmat;
}

ExMat random_exmat(unsigned seed) {
    const std::vector<double> values = test_support::random_vector(81, seed);
    ExMat cmat;
    for (int row = 0; row < 9; ++row)
        for (int col = 0; col < 9; ++col)
            block(cmat, row / 3, col / 3)[3 * (row % 3) + col % 3] = values[9 * row + col];
    return cmat;
}

// Node values of the linear field u(x) = A x + t at the element's nodes, entry 3a + c.
std::array<double, kLocalDofs> linear_field(const NodePoints& nodes, const double (&A)[3][3], const double (&t)[3]) {
    std::array<double, kLocalDofs> u{};
    for (int a = 0; a < 10; ++a)
        for (int c = 0; c < 3; ++c)
            u[3 * a + c] = A[c][0] * nodes[a][0] + A[c][1] * nodes[a][1] + A[c][2] * nodes[a][2] + t[c];
    return u;
}

std::array<double, kLocalDofs> times(const std::array<double, kElementMatrixSize>& K,
                                     const std::array<double, kLocalDofs>& u) {
    std::array<double, kLocalDofs> out{};
    for (std::size_t r = 0; r < kLocalDofs; ++r)
        for (std::size_t c = 0; c < kLocalDofs; ++c) out[r] += K[r * kLocalDofs + c] * u[c];
    return out;
}

double quadrature_volume(const CurvedGeometry& geometry) {
    double volume = 0.0;
    for (std::size_t q = 0; q < kQuadPoints; ++q) volume += QUAD_WEIGHTS[q] * geometry.det_j[q];
    return volume;
}

TEST(TetCurved, StraightElementGivesTheAffineMatrixAndLoad) {
    const Tet tet = make_tet(kGeneral);
    const ElementGeometry affine = element_geometry(tet);
    const CurvedGeometry curved = curved_geometry(node_points(tet, midpoints(kGeneral)));
    for (std::size_t q = 0; q < kQuadPoints; ++q) {
        EXPECT_NEAR(curved.det_j[q], affine.det_j, 1e-14 * affine.abs_det_j) << "point " << q;
        for (std::size_t k = 0; k < 9; ++k) EXPECT_NEAR(curved.inverse[q][k], affine.inverse[k], 1e-13);
    }
    for (const unsigned seed : {1u, 2u, 3u}) {
        const ExMat cmat = random_exmat(seed);  // no symmetry: the layouts must agree entry by entry
        std::array<double, kElementMatrixSize> expected{}, actual{};
        element_stiffness(affine, cmat, expected);
        curved_stiffness(curved, cmat, actual);
        const double scale = *std::max_element(expected.begin(), expected.end(),
                                               [](double x, double y) { return std::fabs(x) < std::fabs(y); });
        for (std::size_t i = 0; i < kElementMatrixSize; ++i)
            EXPECT_NEAR(actual[i], expected[i], 1e-13 * std::fabs(scale)) << "entry " << i << " seed " << seed;
    }
    const std::vector<double> load = test_support::random_vector(3 * kQuadPoints, 7);
    const std::array<const double*, 3> components = {load.data(), load.data() + 14, load.data() + 28};
    std::array<double, kLocalDofs> expected{}, actual{};
    element_load(affine.abs_det_j, components, expected);
    curved_load(curved, components, actual);
    for (std::size_t i = 0; i < kLocalDofs; ++i) EXPECT_NEAR(actual[i], expected[i], 1e-14) << "entry " << i;
    const QuadPointCoords affine_points = quad_points(tet);
    const QuadPointCoords curved_points = curved_quad_points(node_points(tet, midpoints(kGeneral)));
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t q = 0; q < kQuadPoints; ++q) EXPECT_NEAR(curved_points[r][q], affine_points[r][q], 1e-15);
}

TEST(TetCurved, RigidMotionsOfACurvedElementCarryNoForce) {
    const NodePoints nodes = node_points(make_tet(kGeneral), bent_edges());
    const CurvedGeometry geometry = curved_geometry(nodes);
    ASSERT_EQ(first_folded_point(geometry), kQuadPoints);
    std::array<double, kElementMatrixSize> K{};
    curved_stiffness(geometry, isotropic_exmat(1.3, 0.7), K);
    const double translation[3][3] = {}, skew[3][3] = {{0.0, -0.3, 0.2}, {0.3, 0.0, -0.5}, {-0.2, 0.5, 0.0}};
    for (const auto* A : {&translation, &skew}) {
        const std::array<double, kLocalDofs> force = times(K, linear_field(nodes, *A, {0.4, -0.1, 0.25}));
        for (std::size_t i = 0; i < kLocalDofs; ++i) EXPECT_NEAR(force[i], 0.0, 1e-13) << "entry " << i;
    }
}

TEST(TetCurved, LinearFieldEnergyIsTheConstantStrainEnergyOverTheCurvedVolume) {
    // u = A x interpolates exactly on the isoparametric element, so u . K u = eps : D : eps * V
    // with V the curved volume, which the load vector of a unit load also sums to.
    const NodePoints nodes = node_points(make_tet(kGeneral), bent_edges());
    const CurvedGeometry geometry = curved_geometry(nodes);
    const double lambda = 1.3, mu = 0.7;
    std::array<double, kElementMatrixSize> K{};
    curved_stiffness(geometry, isotropic_exmat(lambda, mu), K);
    const double A[3][3] = {{0.2, 0.1, -0.3}, {0.05, -0.4, 0.2}, {0.3, 0.15, 0.1}};
    const std::array<double, kLocalDofs> u = linear_field(nodes, A, {0.0, 0.0, 0.0});
    const std::array<double, kLocalDofs> Ku = times(K, u);
    double energy = 0.0;
    for (std::size_t i = 0; i < kLocalDofs; ++i) energy += u[i] * Ku[i];
    double strain[3][3], trace = 0.0, contracted = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) strain[i][j] = 0.5 * (A[i][j] + A[j][i]);
    for (int i = 0; i < 3; ++i) trace += strain[i][i];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) contracted += strain[i][j] * strain[i][j];
    const double volume = quadrature_volume(geometry);
    EXPECT_NEAR(energy, (lambda * trace * trace + 2.0 * mu * contracted) * volume, 1e-13);

    const PointValues ones = [] {
        PointValues values;
        values.fill(1.0);
        return values;
    }();
    const std::array<const double*, 1> unit = {ones.data()};
    std::array<double, kLocalDofs> f{};
    curved_load(geometry, unit, f);
    double total = 0.0;
    for (std::size_t a = 0; a < 10; ++a) total += f[3 * a];
    EXPECT_NEAR(total, volume, 1e-15);
    const double straight_volume = element_geometry(make_tet(kGeneral)).abs_det_j / 6.0;
    EXPECT_GT(std::fabs(volume - straight_volume), 1e-3);  // the element is really curved
}

TEST(TetCurved, VolumeOfACurvedElementIsExact) {
    // The node of edge (0, 1) of the unit right tetrahedron moved by -s e_y: the map is
    // x = xi - s e_y 4 l0 l1, so det J = 1 - s d(4 l0 l1)/d xi2 = 1 + 4 s xi1, whose integral
    // over the reference element is 1/6 + s/6.
    const std::array<Point, 4> unit = test_support::kUnitRight;
    const double s = 0.1;
    EdgePoints edges = midpoints(unit);
    edges[0][1] -= s;
    const CurvedGeometry geometry = curved_geometry(node_points(make_tet(unit), edges));
    ASSERT_EQ(first_folded_point(geometry), kQuadPoints);
    EXPECT_NEAR(quadrature_volume(geometry), 1.0 / 6.0 + s / 6.0, 1e-14);  // weights stored to 15 digits
}

TEST(TetCurved, FoldedMapIsRefusedNamingTheElement) {
    // The edge node of (0, 1) pulled beyond vertex 2's side: the map turns inside out near it.
    const std::array<Point, 4> unit = test_support::kUnitRight;
    EdgePoints edges = midpoints(unit);
    edges[0] = {0.5, 0.9, 0.0};
    const CurvedGeometry geometry = curved_geometry(node_points(make_tet(unit), edges));
    ASSERT_LT(first_folded_point(geometry), kQuadPoints);
    const std::string text = panic_text([&] { check_unfolded(17, geometry); });
    EXPECT_EQ(text.rfind("element 17 is folded: its isoparametric map has det J = ", 0), 0u) << text;
    // A straight element given backwards has det J < 0 everywhere: refused as well.
    std::array<Point, 4> backwards = unit;
    std::swap(backwards[1], backwards[2]);
    EXPECT_EQ(first_folded_point(curved_geometry(node_points(make_tet(backwards), midpoints(backwards)))), 0u);
}

// Two elements sharing the face (1, 2, 3), every node free; the material and a load x y set.
Nexus two_tet_model() {
    const std::vector<Point> pts{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.9, 0.8, 0.7}};
    const std::vector<TetKey> tets{{0, 1, 2, 3}, {1, 2, 3, 4}};
    Nexus model = make_nexus(pts, tets);
    VertexDofMap ver_dof;
    EdgeDofMap edge_dof;
    std::int32_t next = 0;
    for (int v = 0; v < 5; ++v, next += 3) ver_dof[v] = {next, 3};
    for (const TetKey& tet : tets)
        for (const auto& edge : kEdges) {
            const EdgeKey key{tet[edge[0]], tet[edge[1]]};
            if (!edge_dof.contains(key)) {
                edge_dof[key] = {next, 3};
                next += 3;
            }
        }
    set_dof(model, ver_dof, edge_dof);
    std::vector<std::vector<double>> rows;
    for (const auto& row : test_support::isotropic(1.2, 0.8)) rows.emplace_back(row.begin(), row.end());
    set_cmat(model, rows);
    Arena load;
    for (int i = 0; i < 3; ++i) new_var(load);
    const auto fx = new_two_nodes(load, Kernel::Multiply, 0, 1);
    const auto fy = new_cst(load, 0.5);
    set_f(model, 0, {}, load, {fx, fy, fx});
    set_solver(model, static_cast<std::uint64_t>(next), {0.0});
    return model;
}

std::vector<double> flat(const std::vector<EdgePoints>& edges) {
    std::vector<double> out;
    for (const EdgePoints& element : edges)
        for (const Point& point : element) out.insert(out.end(), point.begin(), point.end());
    return out;
}

TEST(CurvedAssembly, StraightElementsListedAsCurvedGiveTheAffineSystem) {
    Nexus affine = two_tet_model();
    Nexus curved = two_tet_model();
    assemble(affine);
    const std::vector<std::int64_t> elements{1, 0};
    const std::vector<double> coords = flat({midpoints(curved.tets[1].pts), midpoints(curved.tets[0].pts)});
    assemble(curved, curved_elements(curved.tets.size(), elements, coords));
    const std::vector<double> expected = test_support::plain(affine.mat.vals);
    const std::vector<double> actual = test_support::plain(curved.mat.vals);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-13) << "value " << i;
    for (std::size_t i = 0; i < affine.rhs.size(); ++i) EXPECT_NEAR(curved.rhs[i], affine.rhs[i], 1e-15);
}

TEST(CurvedAssembly, FoldedElementIsRefusedBeforeAnythingIsAdded) {
    Nexus model = two_tet_model();
    EdgePoints edges = midpoints(model.tets[1].pts);
    edges[3] = model.tets[1].pts[0];  // the node of edge (0, 3) on vertex 0: det J = 0 there
    const std::vector<std::int64_t> elements{1};
    const std::string text =
        panic_text([&] { assemble(model, curved_elements(model.tets.size(), elements, flat({edges}))); });
    EXPECT_EQ(text.rfind("element 1 is folded", 0), 0u) << text;
    for (const double v : model.mat.vals) EXPECT_EQ(v, 0.0);
    for (const double v : model.rhs) EXPECT_EQ(v, 0.0);
}

TEST(CurvedAssembly, CurvedListIsChecked) {
    const std::vector<double> coords(36, 0.0);
    const std::vector<std::int64_t> twice{1, 1}, beyond{0, 2};
    EXPECT_EQ(panic_text([&] { curved_elements(2, twice, coords); }),
              "element 1 is listed twice among the curved elements");
    EXPECT_EQ(panic_text([&] { curved_elements(2, beyond, coords); }), index_message(2, 2));
}

}  // namespace
}  // namespace quarvex
