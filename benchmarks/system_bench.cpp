// Assembly, one matrix-vector product and one conjugate-gradient iteration on the
// structured unit cube (isotropic material, gravity load), beside the bandwidth bound.
// Usage: QUARVEX_NUM_THREADS=1|2 system_bench [N ...]   (default 10 20 30)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_common.hpp"
#include "lacc/lav.hpp"
#include "lacc/pool.hpp"
#include "model/assembly.hpp"
#include "model/dofs.hpp"
#include "model/loads.hpp"
#include "model/mesh.hpp"
#include "model/system.hpp"

using namespace quarvex;

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {10, 20, 30};

    const double triad = bench::triad_bandwidth(std::size_t{20'000'000});
    std::printf("workers %zu, triad bandwidth %.2f GB/s\n", worker_count(), triad / 1e9);
    std::printf("%3s %9s %9s %10s %9s %10s %9s %8s %9s %8s %9s %8s\n", "N", "elements", "dofs", "nnz", "assemble",
                "elem/s", "mul_vec", "GB/s", "bound", "ratio", "cg iter", "ratio");
    for (const int n : sizes) {
        Nexus model = bench::loaded_cube(n);
        const std::uint64_t dofs = bench::unit_cube_dofs(n);
        set_solver(model, dofs, {0.0});

        const double t_assemble = bench::median_seconds(3, [&] {
            nullify(model);
            assemble(model);
        });

        const SprMat& mat = model.mat;
        const std::size_t rows = mat.rows;
        const std::size_t nnz = mat.vals.size();
        const std::size_t runs = mat.runs.size() - 2;
        std::vector<double> x(rows, 1.0), y(rows, 0.0);
        bench::CgVectors vectors(rows);
        const double t_mul = bench::median_seconds(21, [&] { mul_vec(mat, x, y); });
        const double bytes = 8.0 * nnz + 8.0 * runs + 28.0 * rows;
        const double bound = bytes / triad;

        const double t_iter = bench::median_seconds(21, [&] { bench::cg_iteration(mat, vectors); });
        // Against one measured product plus the bandwidth time of the vector kernels
        // (dot 2, axpy 3, axmy 3, norm_sq 1, aypx 3 vectors of traffic).
        const double iter_bound = t_mul + 12.0 * 8.0 * static_cast<double>(rows) / triad;
        std::printf("%3d %9zu %9zu %10zu %9.4f %10.0f %9.5f %8.2f %9.5f %8.2f %9.5f %8.2f\n", n, model.tets.size(),
                    rows, nnz, t_assemble, static_cast<double>(model.tets.size()) / t_assemble, t_mul,
                    bytes / t_mul / 1e9, bound, t_mul / bound, t_iter, t_iter / iter_bound);
    }
    return 0;
}
