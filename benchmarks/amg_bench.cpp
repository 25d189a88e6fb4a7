// Multigrid-preconditioned conjugate gradients against the core's unpreconditioned cg_solve
// on the clamped unit cube (lambda = 1.25, mu = 1, f = (0, 0, -1), relative tolerance 1e-8),
// then iteration counts on a cantilever, a slender beam and nearly incompressible material.
// Usage: amg_bench [--sizes 8,12,16,20,24,32] [--repeats 3] [--no-cg] [--no-others] [--threshold t]
//                  [--degree d] [--ratio r] [--point] [--coarse n] [--weight w] [--eigen-steps s]
// --no-cg skips the unpreconditioned reference, --no-others the other models (for sweeps).
// Columns: assembly (set_solver + assemble, for whole-pipeline comparisons), the reference's
// iterations and time, multigrid set-up and solve (medians of the repeats, CG and multigrid
// alternating; CG once above 500k unknowns), ratio = CG time / (set-up + solve), operator
// complexity, levels, the hierarchy's bytes and the set-up's peak resident growth over the fine
// matrix's bytes, and the time of amg_refresh (same structure, new values). For the largest N,
// the products of every level's operators (float values) in GB/s beside a triad.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "amg/amg.hpp"
#include "amg/matrix.hpp"
#include "amg/pcg.hpp"
#include "box_model.hpp"
#include "lacc/cg.hpp"
#include "lacc/lav.hpp"
#include "lacc/pool.hpp"

using namespace quarvex;

namespace {

constexpr double kRtol = 1e-8;
constexpr bench::Support kClamped = bench::Support::clamped;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A field of /proc/self/status in bytes (VmRSS, VmHWM).
double status_bytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == field + ":") {
            double kib = 0.0;
            status >> kib;
            return kib * 1024.0;
        }
        status.ignore(1 << 12, '\n');
    }
    return 0.0;
}

// Starts a new peak of the resident set (VmHWM := VmRSS).
void reset_peak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// The iterations cg_solve makes: the same recursion with the same kernels, counted.
std::size_t cg_iterations(const SprMat& mat, const std::vector<double>& rhs, double tol) {
    const std::size_t n = rhs.size();
    const std::uint64_t period = refresh_period(n);
    std::vector<double> sol(n, 0.0), residual(rhs), product(n, 0.0), search_dir(rhs);
    double rho = norm_sq(residual);
    std::size_t i = 0;
    for (; i < n && !(rho < tol * tol) && rho != 0.0; ++i) {
        mul_vec(mat, search_dir, product);
        const double alpha = rho / dot(search_dir, product);
        axpy(sol, alpha, search_dir);
        if (i % period != 0) {
            axmy(residual, alpha, product);
        } else {
            mul_vec(mat, sol, product);
            copy_into(residual, rhs);
            sub_into(residual, product);
        }
        const double rho_next = norm_sq(residual);
        aypx(search_dir, rho_next / rho, residual);
        rho = rho_next;
    }
    return i;
}

struct AmgRun {
    double setup = 0.0, solve = 0.0, refresh = 0.0;
    double setup_peak = 0.0;  // growth of the resident set during the set-up, bytes
    AmgReport report;
    AmgStats stats;
    std::vector<double> sol;
};

// The rounding floor of |b - A x| / |b| at the solution: u |(|A| |x|)| / |b| with the unit
// roundoff u = 2^-53, what the rounding of A x alone leaves in the residual.
double residual_floor(const SprMat& mat, const std::vector<double>& x, double rhs_norm) {
    double sum = 0.0;
    for (std::size_t r = 0; r < mat.rows; ++r) {
        double row = 0.0;
        for_each_entry(mat, r, [&](std::size_t c, std::size_t pos) { row += std::abs(mat.vals[pos] * x[c]); });
        sum += row * row;
    }
    return 0x1.0p-53 * std::sqrt(sum) / rhs_norm;
}

AmgRun run_amg(const bench::BoxModel& box, const AmgOptions& options, double rtol, const std::vector<double>& rhs) {
    AmgRun run;
    const SprMat& mat = box.model.mat;
    const NearNullSpace modes = rigid_body_modes(box.coordinates, box.components);
    reset_peak();
    const double resident = status_bytes("VmRSS");
    auto start = std::chrono::steady_clock::now();
    AmgHierarchy hierarchy = amg_setup(mat, modes, options);
    run.setup = seconds_since(start);
    run.setup_peak = status_bytes("VmHWM") - resident;
    std::vector<double>& sol = run.sol;
    sol.assign(mat.rows, 0.0);
    start = std::chrono::steady_clock::now();
    run.report = amg_pcg(mat, hierarchy, sol, rhs, rtol, 0.0, 1000, false);
    run.solve = seconds_since(start);
    run.stats = amg_stats(hierarchy, mat);
    start = std::chrono::steady_clock::now();
    amg_refresh(hierarchy, mat);
    run.refresh = seconds_since(start);
    return run;
}

// The product y = M x of one operator with float values: its bytes (values, runs, row starts,
// x and y once) over the median time.
void print_product(const char* name, std::size_t level, const SprMat& mat, std::span<const float> values,
                   double triad) {
    std::vector<double> x(mat.cols, 1.0), y(mat.rows, 0.0);
    const double seconds = bench::median_seconds(15, [&] { level_mul(mat, values, x, y); });
    const double bytes = 4.0 * static_cast<double>(values.size()) + 8.0 * static_cast<double>(mat.runs.size()) +
                         4.0 * static_cast<double>(mat.rows) + 8.0 * static_cast<double>(mat.rows + mat.cols);
    std::printf("%-12s %5zu %9zu %9zu %11zu %9.3f %7.2f %6.2f\n", name, level, static_cast<std::size_t>(mat.rows),
                static_cast<std::size_t>(mat.cols), values.size(), seconds * 1e3, bytes / seconds / 1e9,
                bytes / seconds / triad);
}

void print_products(const bench::BoxModel& box, const AmgOptions& options) {
    const SprMat& mat = box.model.mat;
    const AmgHierarchy hierarchy = amg_setup(mat, rigid_body_modes(box.coordinates, box.components), options);
    const double triad = bench::triad_bandwidth(std::size_t{20'000'000});
    std::printf("\nlevel products with float values, N = largest above; triad %.2f GB/s\n", triad / 1e9);
    std::printf("%-12s %5s %9s %9s %11s %9s %7s %6s\n", "operator", "level", "rows", "cols", "values", "ms", "GB/s",
                "/triad");
    for (std::size_t l = 0; l < hierarchy.levels.size(); ++l) {
        const AmgLevel& level = hierarchy.levels[l];
        if (!(l + 1 == hierarchy.levels.size() && hierarchy.coarse.n > 0))
            print_product("A", l, l == 0 ? mat : level.matrix, level.matrix_values, triad);
        if (l + 1 < hierarchy.levels.size()) {
            print_product("P", l, level.prolongator, level.prolongator_values, triad);
            print_product("R", l, level.restrictor, level.restrictor_values, triad);
        }
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string level_sizes(const AmgStats& stats) {
    std::string text;
    for (const std::size_t rows : stats.rows) {
        if (!text.empty()) text += '/';
        text += std::to_string(rows);
    }
    return text;
}

std::vector<int> parse_list(const char* text) {
    std::vector<int> values;
    for (const char* p = text; *p != '\0';) {
        values.push_back(std::atoi(p));
        while (*p != '\0' && *p != ',') ++p;
        if (*p == ',') ++p;
    }
    return values;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes{8, 12, 16, 20, 24, 32};
    bool with_cg = true;
    bool with_others = true;
    int repeats = 3;
    AmgOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (flag == "--sizes")
            sizes = parse_list(value), ++i;
        else if (flag == "--no-cg")
            with_cg = false;
        else if (flag == "--no-others")
            with_others = false;
        else if (flag == "--repeats")
            repeats = std::max(1, std::atoi(value)), ++i;
        else if (flag == "--threshold")
            options.strength_threshold = std::atof(value), ++i;
        else if (flag == "--degree")
            options.smoother_degree = std::atoi(value), ++i;
        else if (flag == "--ratio")
            options.smoother_ratio = std::atof(value), ++i;
        else if (flag == "--point")
            options.block_smoother = false;
        else if (flag == "--coarse")
            options.coarse_size = static_cast<std::size_t>(std::atol(value)), ++i;
        else if (flag == "--weight")
            options.prolongator_weight = std::atof(value), ++i;
        else if (flag == "--eigen-steps")
            options.eigen_steps = std::atoi(value), ++i;
        else {
            std::fprintf(stderr, "unknown flag %s\n", argv[i]);
            return 2;
        }
    }
    std::printf("workers %zu; threshold %g, Chebyshev degree %d on [upper/%g, upper], %s Jacobi, coarse %zu\n",
                worker_count(), options.strength_threshold, options.smoother_degree, options.smoother_ratio,
                options.block_smoother ? "block" : "point", options.coarse_size);
    std::printf("unit cube, clamped at x = 0, lambda 1.25, mu 1, rtol %g; times in seconds\n", kRtol);
    std::printf("%3s %8s %8s %6s %8s %7s %7s %7s %7s %6s %6s %3s %5s %5s %7s  %s\n", "N", "unknowns", "assemble",
                "CG its", "CG time", "setup", "PCG its", "solve", "total", "ratio", "opcx", "lev", "mem", "peak",
                "refresh", "level sizes");
    for (const int n : sizes) {
        const bench::BoxModel box = bench::box_model({n, n, n, 1.0, 1.0, 1.0, kClamped}, 1.25, 1.0);
        const SprMat& mat = box.model.mat;
        const double tol = kRtol * std::sqrt(norm_sq(box.model.rhs));
        // CG and multigrid alternate `repeats` times (CG once above 500k unknowns): medians of
        // each, so that a change of load on the machine weighs on both alike.
        std::size_t cg_its = 0;
        std::vector<double> cg_times, setup_times, solve_times;
        AmgRun run;
        for (int repeat = 0; repeat < repeats; ++repeat) {
            if (with_cg && (repeat == 0 || mat.rows <= 500'000)) {
                std::vector<double> sol(mat.rows, 0.0);
                const auto start = std::chrono::steady_clock::now();
                cg_solve(mat, sol, box.model.rhs, tol);
                cg_times.push_back(seconds_since(start));
            }
            AmgRun next = run_amg(box, options, kRtol, box.model.rhs);
            setup_times.push_back(next.setup);
            solve_times.push_back(next.solve);
            if (repeat == 0) run = std::move(next);  // the peak memory of a first set-up in the process
        }
        if (with_cg) cg_its = cg_iterations(mat, box.model.rhs, tol);
        const double cg_time = with_cg ? median(cg_times) : 0.0;
        const double setup = median(setup_times), solve = median(solve_times);
        const double total = setup + solve;
        const double fine = static_cast<double>(run.stats.fine_bytes);
        std::printf("%3d %8zu %8.3f %6zu %8.3f %7.3f %7zu %7.3f %7.3f %6.1f %6.3f %3zu %5.2f %5.2f %7.3f  %s%s\n", n,
                    static_cast<std::size_t>(mat.rows), box.assemble_seconds, cg_its, cg_time, setup,
                    run.report.iterations, solve, total, with_cg ? cg_time / total : 0.0, run.stats.operator_complexity,
                    run.stats.rows.size(), static_cast<double>(run.stats.bytes) / fine, run.setup_peak / fine,
                    run.refresh, level_sizes(run.stats).c_str(), run.report.converged ? "" : "  NOT CONVERGED");
        std::fflush(stdout);
    }
    if (!sizes.empty()) {
        const int n = sizes.back();
        print_products(bench::box_model({n, n, n, 1.0, 1.0, 1.0, kClamped}, 1.25, 1.0), options);
    }
    if (!with_others) return 0;

    std::printf(
        "\nother models: PCG iterations to rtol, the relative residual |b - A x| / |b| reached, and its\n"
        "rounding floor u |(|A| |x|)| / |b| (u = 2^-53): a target below the floor is out of reach\n");
    std::printf("%-44s %5s %8s %7s %7s %7s %9s %9s %6s  %s\n", "model", "rtol", "unknowns", "PCG its", "setup", "solve",
                "residual", "floor", "opcx", "level sizes");
    struct Case {
        const char* name;
        bench::BoxShape shape;
        double nu;
        double rtol;
        bool random_load = false;  // uniform in [-1, 1] per unknown instead of gravity
    };
    const double nu = 1.25 / 4.5;  // lambda = 1.25, mu = 1
    const Case cases[] = {
        {"cantilever 30x3x3 cells of 10x1x1, gravity", {30, 3, 3, 10.0, 1.0, 1.0, kClamped}, nu, 1e-8},
        {"slender beam 200x2x2 cells of 100x1x1", {200, 2, 2, 100.0, 1.0, 1.0, kClamped}, nu, 1e-8},
        {"slender beam 200x2x2 cells of 100x1x1", {200, 2, 2, 100.0, 1.0, 1.0, kClamped}, nu, 1e-5},
        {"slender beam 200x2x2, random load", {200, 2, 2, 100.0, 1.0, 1.0, kClamped}, nu, 1e-8, true},
        {"slender beam 100x1x1 cells of 100x1x1", {100, 1, 1, 100.0, 1.0, 1.0, kClamped}, nu, 1e-5},
        {"beam 50x2x2 cells of 25x1x1", {50, 2, 2, 25.0, 1.0, 1.0, kClamped}, nu, 1e-8},
        {"unit cube N = 16, nu = 0.45", {16, 16, 16, 1.0, 1.0, 1.0, kClamped}, 0.45, 1e-8},
        {"unit cube N = 16, nu = 0.49", {16, 16, 16, 1.0, 1.0, 1.0, kClamped}, 0.49, 1e-8},
        {"unit cube N = 24, nu = 0.45", {24, 24, 24, 1.0, 1.0, 1.0, kClamped}, 0.45, 1e-8},
        {"unit cube N = 24, nu = 0.49", {24, 24, 24, 1.0, 1.0, 1.0, kClamped}, 0.49, 1e-8},
    };
    for (const Case& c : cases) {
        const bench::BoxModel box = bench::box_model(c.shape, bench::lambda_for(c.nu), 1.0);
        std::vector<double> rhs = box.model.rhs;
        if (c.random_load) {
            std::uint64_t state = 12345;
            for (double& value : rhs) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                value = static_cast<double>(state >> 11) * 0x1.0p-52 - 1.0;
            }
        }
        const AmgRun run = run_amg(box, options, c.rtol, rhs);
        std::printf("%-44s %5.0e %8zu %7zu %7.3f %7.3f %9.2e %9.2e %6.3f  %s%s\n", c.name, c.rtol,
                    static_cast<std::size_t>(box.model.mat.rows), run.report.iterations, run.setup, run.solve,
                    run.report.residual_norm / run.report.rhs_norm,
                    residual_floor(box.model.mat, run.sol, run.report.rhs_norm), run.stats.operator_complexity,
                    level_sizes(run.stats).c_str(), run.report.converged ? "" : "  NOT CONVERGED");
        std::fflush(stdout);
    }
    std::printf("\npeak RSS %.2f GiB\n", status_bytes("VmHWM") / (1u << 30));
    return 0;
}
