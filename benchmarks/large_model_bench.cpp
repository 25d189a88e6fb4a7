// A large model through set-up, assembly, 50 conjugate-gradient iterations and the plot data:
// each phase with its share of the total, set_solver against assemble, and where the resident
// memory goes, in bytes per unknown. Usage: large_model_bench [N] (default 55, about one
// million elements). Python's objects for the plot results are timed by large_model.py.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_common.hpp"
#include "lacc/pool.hpp"
#include "model/plot.hpp"

using namespace quarvex;

namespace {

// A field of /proc/self/status in bytes ("VmHWM:" the peak, "VmRSS:" the current).
double status_bytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == field) {
            double kib = 0.0;
            status >> kib;
            return kib * 1024.0;
        }
        status.ignore(1 << 12, '\n');
    }
    return 0.0;
}

template <class Vector>
double bytes_of(const Vector& values) {
    return static_cast<double>(values.capacity() * sizeof(values[0]));
}

// The elements: their records and, per element, the heap block of its ranges (the allocator's
// usable size plus its 8-byte header).
double element_bytes(const std::vector<Tet>& tets) {
    double bytes = static_cast<double>(tets.capacity() * sizeof(Tet));
    for (const Tet& tet : tets)
        if (tet.dofs.capacity() > 0)
            bytes += static_cast<double>(malloc_usable_size(const_cast<DofRange*>(tet.dofs.data())) + 8);
    return bytes;
}

struct Phase {
    const char* name;
    double seconds;
    bool counted;  // in the total
};

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 55;
    const double rss_start = status_bytes("VmRSS:");
    std::vector<Phase> phases;
    auto start = std::chrono::steady_clock::now();
    Nexus model = bench::loaded_cube(n);
    phases.push_back({"mesh and numbering (C++)",
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), true});
    const std::uint64_t dofs = bench::unit_cube_dofs(n);

    const double t_solver = bench::median_seconds(1, [&] { set_solver(model, dofs, {0.0}); });
    phases.push_back({"set_solver", t_solver, true});
    const double t_assemble = bench::median_seconds(1, [&] { assemble(model); });
    phases.push_back({"assemble", t_assemble, true});
    const double t_again = bench::median_seconds(1, [&] { set_solver(model, dofs, {0.0}); });
    phases.push_back({"set_solver again, same numbering", t_again, false});
    assemble(model);
    bench::CgVectors vectors(model.mat.rows);
    const double t_cg = bench::median_seconds(1, [&] {
        for (int i = 0; i < 50; ++i) bench::cg_iteration(model.mat, vectors);
    });
    phases.push_back({"50 CG iterations", t_cg, true});
    const double peak_before_plot = status_bytes("VmHWM:");
    model.sol = vectors.x;
    const double t_dom = bench::median_seconds(1, [&] { plot_dom(model); });
    phases.push_back({"plot_dom (core, no Python)", t_dom, true});
    const double t_disp = bench::median_seconds(1, [&] { plot_disp(model); });
    phases.push_back({"plot_disp (core, no Python)", t_disp, true});

    double total = 0.0;
    for (const Phase& phase : phases) total += phase.counted ? phase.seconds : 0.0;
    std::printf("workers %zu, N = %d: %zu elements, %llu unknowns, %zu stored values\n", worker_count(), n,
                model.tets.size(), static_cast<unsigned long long>(dofs), model.mat.vals.size());
    std::printf("%-34s %9s %7s\n", "phase", "seconds", "share");
    for (const Phase& phase : phases) {
        if (phase.counted)
            std::printf("%-34s %9.3f %6.1f%%\n", phase.name, phase.seconds, 100.0 * phase.seconds / total);
        else
            std::printf("%-34s %9.3f %7s\n", phase.name, phase.seconds, "-");
    }
    std::printf("%-34s %9.3f\n", "total (rows with a share)", total);
    std::printf("set_solver / assemble              %9.2f   (goal <= 1.5)\n", t_solver / t_assemble);
    std::printf("set_solver again / assemble        %9.2f\n", t_again / t_assemble);
    std::printf("assemble: %.0f elements/s; CG: %.2f ms per iteration\n",
                static_cast<double>(model.tets.size()) / t_assemble, t_cg / 50 * 1e3);

    // Where the memory goes, before the plot data's scratch.
    const double unknowns = static_cast<double>(dofs);
    struct Part {
        const char* name;
        double bytes;
    };
    const std::vector<Part> parts{
        {"matrix values (vals)", bytes_of(model.mat.vals)},
        {"matrix runs", bytes_of(model.mat.runs)},
        {"matrix row_runs", bytes_of(model.mat.row_runs)},
        {"elements (Tet records and ranges)", element_bytes(model.tets)},
        {"rhs, sol, bc", bytes_of(model.rhs) + bytes_of(model.sol) + bytes_of(model.bc)},
        {"CG work vectors (x, r, p, A p)",
         bytes_of(vectors.x) + bytes_of(vectors.r) + bytes_of(vectors.p) + bytes_of(vectors.t)},
    };
    double listed = 0.0;
    std::printf("\n%-36s %10s %9s %7s\n", "resident memory", "MiB", "B/unknown", "share");
    const double peak = peak_before_plot - rss_start;
    for (const Part& part : parts) {
        listed += part.bytes;
        std::printf("%-36s %10.1f %9.1f %6.1f%%\n", part.name, part.bytes / (1 << 20), part.bytes / unknowns,
                    100.0 * part.bytes / peak);
    }
    std::printf("%-36s %10.1f %9.1f %6.1f%%\n", "other (peak - listed)", (peak - listed) / (1 << 20),
                (peak - listed) / unknowns, 100.0 * (peak - listed) / peak);
    std::printf("%-36s %10.1f %9.1f\n", "peak before plotting (less start)", peak / (1 << 20), peak / unknowns);
    std::printf("peak RSS %.2f GiB, %.0f bytes per unknown (with the plot data's scratch %.0f)\n",
                peak_before_plot / (1u << 30), peak_before_plot / unknowns, status_bytes("VmHWM:") / unknowns);
    return 0;
}
