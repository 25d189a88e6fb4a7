// Global assembly against a dense reference built element by element from tet_element.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "model/assembly.hpp"
#include "model/dofs.hpp"
#include "model/element_system.hpp"
#include "model/loads.hpp"
#include "model/mesh.hpp"
#include "model/system.hpp"

namespace quarvex {
namespace {

// The isotropic material as the rows set_cmat takes.
std::vector<std::vector<double>> isotropic(double lambda, double mu) {
    std::vector<std::vector<double>> rows;
    for (const auto& row : test_support::isotropic(lambda, mu)) rows.emplace_back(row.begin(), row.end());
    return rows;
}

// Two tetrahedra sharing the face (1, 2, 3); vertex 0 prescribed, the rest numbered per node.
struct TwoTets {
    Nexus model;
    std::uint64_t free = 0;
};

TwoTets two_tets(const std::vector<std::vector<double>>& cmat) {
    const std::vector<Point> pts{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.9, 0.8, 0.7}};
    const std::vector<TetKey> tets{{0, 1, 2, 3}, {1, 2, 3, 4}};
    TwoTets out{make_nexus(pts, tets)};
    VertexDofMap ver_dof;
    EdgeDofMap edge_dof;
    ver_dof[0] = {-1, 3};
    std::int32_t next = 0;
    for (int v = 1; v < 5; ++v, next += 3) ver_dof[v] = {next, 3};
    for (const TetKey& tet : tets) {
        constexpr int kEdges[6][2] = {{0, 1}, {1, 2}, {0, 2}, {0, 3}, {1, 3}, {2, 3}};
        for (const auto& edge : kEdges) {
            const EdgeKey key{tet[edge[0]], tet[edge[1]]};
            if (!edge_dof.contains(key)) {
                edge_dof[key] = {next, 3};
                next += 3;
            }
        }
    }
    set_dof(out.model, ver_dof, edge_dof);
    set_cmat(out.model, cmat);
    Arena load;
    for (int i = 0; i < 3; ++i) new_var(load);
    const auto fx = new_cst(load, 0.5);
    const auto fy = new_two_nodes(load, Kernel::Multiply, 0, 1);  // x y
    const auto fz = new_cst(load, -2.0);
    set_f(out.model, 0, {}, load, {fx, fy, fz});
    set_solver(out.model, static_cast<std::uint64_t>(next), {0.0, 0.01, -0.02, 0.03});
    out.free = static_cast<std::uint64_t>(next);
    return out;
}

// Dense matrix and load of the free rows, straight from the element routine.
void dense_reference(const Nexus& model, std::uint64_t n, std::vector<double>& matrix, std::vector<double>& load) {
    matrix.assign(n * n, 0.0);
    load.assign(n, 0.0);
    LoadValues load_values;
    std::array<double, kElementMatrixSize> k{};
    std::array<double, kLocalDofs> f{};
    for (const Tet& tet : model.tets) {
        tet_element(tet, k, f, model.cmat, model.loads, load_values);
        std::vector<std::int64_t> dofs;
        for_each_dof(tet, [&](std::int64_t d) { dofs.push_back(d); });
        for (std::size_t h = 0; h < dofs.size(); ++h) {
            if (dofs[h] < 0) continue;
            const auto r = static_cast<std::size_t>(dofs[h]);
            load[r] += f[h];
            for (std::size_t q = 0; q < dofs.size(); ++q) {
                if (dofs[q] >= 0)
                    matrix[r * n + static_cast<std::size_t>(dofs[q])] += k[h * 30 + q];
                else
                    load[r] -= k[h * 30 + q] * model.bc[static_cast<std::size_t>(-dofs[q])];
            }
        }
    }
}

std::vector<double> to_dense(const SprMat& mat) {
    std::vector<double> dense(mat.rows * mat.cols, 0.0);
    for (std::size_t r = 0; r < mat.rows; ++r)
        for (std::int32_t t = mat.row_runs[r]; t < mat.row_runs[r + 1]; ++t)
            for (std::uint32_t p = mat.runs[t].off; p < mat.runs[t + 1].off; ++p)
                dense[r * mat.cols + static_cast<std::size_t>(mat.runs[t].col) + (p - mat.runs[t].off)] = mat.vals[p];
    return dense;
}

void expect_close(const std::vector<double>& actual, const std::vector<double>& expected, double scale) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-12 * scale) << "entry " << i;
}

TEST(Assembly, MatchesDenseReference) {
    TwoTets setup = two_tets(isotropic(1.2, 0.8));
    std::vector<double> matrix, load;
    dense_reference(setup.model, setup.free, matrix, load);
    assemble(setup.model);
    expect_close(to_dense(setup.model.mat), matrix, 10.0);
    expect_close(setup.model.rhs, load, 10.0);
    for (const std::int32_t start : setup.model.mat.row_runs) EXPECT_GT(start, 0);
}

TEST(Assembly, SymmetricMaterialGivesSymmetricMatrix) {
    TwoTets setup = two_tets(isotropic(1.0, 0.5));
    assemble(setup.model);
    const std::vector<double> dense = to_dense(setup.model.mat);
    const std::size_t n = setup.free;
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t c = 0; c < r; ++c) EXPECT_NEAR(dense[r * n + c], dense[c * n + r], 1e-13);
}

TEST(Assembly, AddsOnEveryCallAndNullifyClears) {
    TwoTets setup = two_tets(isotropic(1.0, 0.5));
    assemble(setup.model);
    const std::vector<double> once = test_support::plain(setup.model.mat.vals);
    const std::vector<double> once_rhs = setup.model.rhs;
    assemble(setup.model);
    for (std::size_t i = 0; i < once.size(); ++i) EXPECT_DOUBLE_EQ(setup.model.mat.vals[i], 2.0 * once[i]);
    for (std::size_t i = 0; i < once_rhs.size(); ++i) EXPECT_DOUBLE_EQ(setup.model.rhs[i], 2.0 * once_rhs[i]);
    nullify(setup.model);
    for (const double v : setup.model.mat.vals) EXPECT_EQ(v, 0.0);
    for (const double v : setup.model.rhs) EXPECT_EQ(v, 0.0);
    assemble(setup.model);
    expect_close(test_support::plain(setup.model.mat.vals), once, 10.0);
}

TEST(Assembly, NonSymmetricMaterialKeepsItsOrientation) {
    auto cmat = isotropic(1.0, 0.5);
    cmat[0][4] += 0.3;  // couples block (0, 1) only
    TwoTets setup = two_tets(cmat);
    std::vector<double> matrix, load;
    dense_reference(setup.model, setup.free, matrix, load);
    assemble(setup.model);
    expect_close(to_dense(setup.model.mat), matrix, 10.0);
}

TEST(Assembly, RefusesBeforeAddingAnything) {
    TwoTets setup = two_tets(isotropic(1.0, 0.5));
    setup.model.bc.resize(2);  // vertex 0 reads bc[1..3]
    try {
        assemble(setup.model);
        FAIL() << "no failure";
    } catch (const Panic& failure) {
        EXPECT_EQ(failure.text, "index out of bounds: the len is 2 but the index is 2");
    }
    for (const double v : setup.model.mat.vals) EXPECT_EQ(v, 0.0);
}

// set_solver again: with the numbering unchanged the matrix keeps its structure and storage;
// after a set_dof (even one that adds nothing) it is built anew. Either way the matrix then
// assembles bit for bit as a new model's with the same prescribed values does.
TEST(SetSolverAgain, KeepsTheStorageOnlyForTheSameNumbering) {
    const std::vector<double> new_bc{0.0, -0.5, 0.25, 2.0};
    TwoTets reference = two_tets(isotropic(1.0, 0.5));
    set_solver(reference.model, reference.free, new_bc);
    assemble(reference.model);
    for (const bool renumbered : {false, true}) {
        TwoTets setup = two_tets(isotropic(1.0, 0.5));
        assemble(setup.model);
        if (renumbered) set_dof(setup.model, {}, {});
        const double* const storage = setup.model.mat.vals.data();
        const std::uint64_t version = setup.model.pattern_version;
        set_solver(setup.model, setup.free, new_bc);
        EXPECT_EQ(setup.model.mat.vals.data() == storage, !renumbered) << renumbered;
        EXPECT_NE(setup.model.pattern_version, version);
        for (const double value : setup.model.mat.vals) EXPECT_EQ(value, 0.0);
        assemble(setup.model);
        EXPECT_EQ(setup.model.mat.row_runs, reference.model.mat.row_runs);
        EXPECT_EQ(test_support::plain(setup.model.mat.runs), test_support::plain(reference.model.mat.runs));
        EXPECT_EQ(setup.model.mat.vals, reference.model.mat.vals) << renumbered;
    }
}

// Interrupts: a hook that throws at its `stop_at`-th call stands for Ctrl-C.
struct Interrupted {};
int interrupt_calls = 0;
int interrupt_stop_at = 0;
void counting_hook() {
    if (++interrupt_calls == interrupt_stop_at) throw Interrupted{};
}

class Interrupt : public testing::Test {
  protected:
    void arm(int stop_at) {
        interrupt_calls = 0;
        interrupt_stop_at = stop_at;
        set_interrupt_hook(counting_hook);
    }
    void TearDown() override { set_interrupt_hook(nullptr); }
};

TEST_F(Interrupt, AssembleStopsBeforeItsFirstRoundAndCanRunAgain) {
    TwoTets interrupted = two_tets(isotropic(1.0, 0.5));
    arm(1);
    EXPECT_THROW(assemble(interrupted.model), Interrupted);
    for (const double value : interrupted.model.mat.vals) EXPECT_EQ(value, 0.0);
    set_interrupt_hook(nullptr);
    assemble(interrupted.model);
    TwoTets reference = two_tets(isotropic(1.0, 0.5));
    assemble(reference.model);
    EXPECT_EQ(interrupted.model.mat.vals, reference.model.mat.vals);
    // The two elements add into their shared rows of rhs in either order when two workers run
    // them, so the loads agree to rounding, not bit for bit.
    ASSERT_EQ(interrupted.model.rhs.size(), reference.model.rhs.size());
    for (std::size_t row = 0; row < reference.model.rhs.size(); ++row)
        EXPECT_NEAR(interrupted.model.rhs[row], reference.model.rhs[row], 1e-14 * std::fabs(reference.model.rhs[row]))
            << "row " << row;
}

TEST_F(Interrupt, SetSolverKeepsThePreviousMatrixAtEveryCheck) {
    for (int stop_at = 1; stop_at <= 5; ++stop_at) {
        TwoTets setup = two_tets(isotropic(1.0, 0.5));
        set_dof(setup.model, {}, {});  // adds no range, but a new numbering: set_solver builds anew
        const SprMat before = setup.model.mat;
        arm(stop_at);
        EXPECT_THROW(set_solver(setup.model, setup.free, {0.0, 0.5, 0.5, 0.5}), Interrupted) << stop_at;
        EXPECT_EQ(setup.model.mat.runs, before.runs);
        EXPECT_EQ(setup.model.mat.row_runs, before.row_runs);
        EXPECT_EQ(setup.model.bc, (std::vector<double>{0.0, 0.5, 0.5, 0.5}));  // as a failed call leaves it
    }
}

TEST_F(Interrupt, SolveKeepsTheLastIterateAsAStart) {
    TwoTets setup = two_tets(isotropic(1.0, 0.5));
    assemble(setup.model);
    arm(4);  // before the fourth iteration
    EXPECT_THROW(solve(setup.model, 1e-12), Interrupted);
    const std::vector<double> partial = setup.model.sol;
    EXPECT_TRUE(std::any_of(partial.begin(), partial.end(), [](double v) { return v != 0.0; }));
    for (const double value : partial) EXPECT_TRUE(std::isfinite(value));
    set_interrupt_hook(nullptr);
    solve(setup.model, 1e-10);  // a valid start: the method runs on from it
    for (const double value : setup.model.sol) EXPECT_TRUE(std::isfinite(value));
}

}  // namespace
}  // namespace quarvex
