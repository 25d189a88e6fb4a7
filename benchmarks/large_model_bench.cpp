// A large model through set-up, assembly and 50 conjugate-gradient iterations: phase times
// and peak resident memory per degree of freedom. Usage: large_model_bench [N] (default 55,
// about one million elements).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench_common.hpp"
#include "lacc/pool.hpp"

using namespace quarvex;

namespace {

// Peak resident memory of this process in bytes (VmHWM).
double peak_rss_bytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            double kib = 0.0;
            status >> kib;
            return kib * 1024.0;
        }
        status.ignore(1 << 12, '\n');
    }
    return 0.0;
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 55;
    const auto start = std::chrono::steady_clock::now();
    Nexus model = bench::loaded_cube(n);
    const double t_mesh = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::uint64_t dofs = bench::unit_cube_dofs(n);

    const double t_solver = bench::median_seconds(1, [&] { set_solver(model, dofs, {0.0}); });
    const double t_assemble = bench::median_seconds(1, [&] { assemble(model); });
    bench::CgVectors vectors(model.mat.rows);
    const double t_cg = bench::median_seconds(1, [&] {
        for (int i = 0; i < 50; ++i) bench::cg_iteration(model.mat, vectors);
    });
    const double peak = peak_rss_bytes();

    std::printf("workers %zu, N = %d: %zu elements, %llu dofs, %zu stored values\n", worker_count(), n,
                model.tets.size(), static_cast<unsigned long long>(dofs), model.mat.vals.size());
    std::printf("%-26s %10s\n", "phase", "seconds");
    std::printf("%-26s %10.3f\n", "mesh and numbering (C++)", t_mesh);
    std::printf("%-26s %10.3f\n", "set_solver", t_solver);
    std::printf("%-26s %10.3f  (%.0f elements/s)\n", "assemble", t_assemble,
                static_cast<double>(model.tets.size()) / t_assemble);
    std::printf("%-26s %10.3f  (%.2f ms per iteration)\n", "50 CG iterations", t_cg, t_cg / 50 * 1e3);
    std::printf("peak RSS %.2f GiB, %.0f bytes per degree of freedom\n", peak / (1u << 30),
                peak / static_cast<double>(dofs));
    return 0;
}
