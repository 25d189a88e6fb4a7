#include "model/system.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "lacc/cg.hpp"
#include "lacc/lav.hpp"
#include "lacc/pattern.hpp"
#include "model/export.hpp"

namespace quarvex {

namespace {

// The matrix was built by a set_solver since the last set_dof, for the same number of rows: the
// elements' numbers are the ones it was built from, so a new build would give the same structure.
bool structure_is_current(const Nexus& model, std::uint64_t pos_dof) {
    return model.pattern_version != 0 && model.mat_version == model.dof_version && model.mat.rows == pos_dof;
}

}  // namespace

void set_solver(Nexus& model, std::uint64_t pos_dof, std::vector<double> bc) {
    model.bc = std::move(bc);
    if (structure_is_current(model, pos_dof)) {
        zero_values(model.mat);  // the same structure and storage, values as a new build leaves them
    } else {
        SprMat mat = build_pattern(model.tets, pos_dof);  // on failure the previous mat stays
        model.mat = std::move(mat);
    }
    model.pattern_version = next_pattern_version();  // exports made before stay apart from the new matrix
    model.rhs.resize(model.mat.rows, 0.0);
    model.sol.resize(model.mat.rows, 0.0);
    model.mat_version = model.dof_version;
}

namespace {

// D[I][J] = D[J][I] for the 9 x 9 material matrix, up to rounding of its largest entry.
bool has_major_symmetry(const ExMat& cmat) {
    const auto entry = [&](std::size_t row, std::size_t col) {
        return block(cmat, row / 3, col / 3)[3 * (row % 3) + col % 3];
    };
    double largest = 0.0;
    for (std::size_t row = 0; row < 9; ++row)
        for (std::size_t col = 0; col < 9; ++col) largest = std::max(largest, std::fabs(entry(row, col)));
    for (std::size_t row = 0; row < 9; ++row)
        for (std::size_t col = row + 1; col < 9; ++col)
            if (!(std::fabs(entry(row, col) - entry(col, row)) <= 1e-12 * largest)) return false;
    return true;
}

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

}  // namespace

std::vector<std::string> material_warnings(const Nexus& model) {
    if (has_major_symmetry(model.cmat)) return {};
    return {
        "the material matrix lacks major symmetry (D[3c+j][3d+l] != D[3d+l][3c+j]): conjugate gradients need a "
        "symmetric matrix, so the solution may be wrong"};
}

std::vector<std::string> solve(Nexus& model, double tol) {
    std::vector<std::string> warnings = material_warnings(model);
    const CgReport report = cg_solve(model.mat, model.sol, model.rhs, tol);
    if (!report.converged)
        warnings.push_back("conjugate gradients stopped after " + std::to_string(report.iterations) +
                           " iterations without meeting the tolerance: residual norm " +
                           number_text(report.residual_norm) + ", tolerance " + number_text(tol));
    return warnings;
}

SolveReport solve_to(Nexus& model, double rtol, double atol, std::uint64_t max_iterations, bool keep_history) {
    SolveReport result;
    result.warnings = material_warnings(model);
    result.rhs_norm = norm2(model.rhs);
    const double tol = std::max(rtol * result.rhs_norm, atol);
    CgOptions options{tol, max_iterations, std::numeric_limits<double>::infinity(), keep_history};
    options.stop_when_stalled = true;  // the rule of every reporting solve (residual_stalled)
    CgReport report = cg_solve(model.mat, model.sol, model.rhs, options);
    result.iterations = report.iterations;
    result.residual_norm = true_residual_norm(model.mat, model.sol, model.rhs);
    result.converged = report.converged;
    result.stalled = report.stalled;
    result.history = std::move(report.history);
    if (!result.history.empty()) result.history.back() = result.residual_norm;
    return result;
}

void nullify(Nexus& model) {
    fill_zero(model.mat.vals);
    fill_zero(model.rhs);
}

}  // namespace quarvex
