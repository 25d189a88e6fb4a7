// Time and memory of the pattern build on the structured unit cube. Each size runs in its own
// process (this program started again with the size as argument), so that the peak resident
// memory of one build is not hidden by an earlier, larger one.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "lacc/pattern.hpp"
#include "lacc/pool.hpp"
#include "unit_cube.hpp"

namespace {

using quarvex::SprMat;

// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:").
long status_kib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + field.size(), nullptr, 10);
    return -1;
}

// Resets the peak resident size to the current one (Linux 4.0 and later).
bool reset_peak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

double mat_mib(const SprMat& mat) {
    const double bytes = 8.0 * mat.vals.capacity() + 8.0 * mat.runs.capacity() + 4.0 * mat.row_runs.capacity();
    return bytes / (1 << 20);
}

// One size: prints "n nnz runs first_s best_s peak_mib mat_mib" (first build, best of five).
int run_one(int n) {
    const std::vector<quarvex::Tet> tets = quarvex::bench::unit_cube(n);
    const std::uint64_t rows = quarvex::bench::unit_cube_dofs(n);
    quarvex::worker_count();  // start the pool before measuring
    const bool peak_reset = reset_peak();
    const long rss_before = status_kib("VmRSS:");
    auto start = std::chrono::steady_clock::now();
    SprMat mat = quarvex::build_pattern(tets, rows);
    const double first = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double best = first;
    const long peak = status_kib("VmHWM:");
    const double mat_size = mat_mib(mat);
    const std::size_t nnz = mat.vals.size();
    const std::size_t runs = mat.runs.size() - 2;
    for (int repeat = 0; repeat < 4; ++repeat) {
        mat = SprMat{};
        start = std::chrono::steady_clock::now();
        mat = quarvex::build_pattern(tets, rows);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    const double peak_mib = peak_reset ? (peak - rss_before) / 1024.0 : -1.0;
    std::printf("%d %zu %zu %.6f %.6f %.2f %.2f\n", n, nnz, runs, first, best, peak_mib, mat_size);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2) return run_one(std::atoi(argv[1]));
    std::printf("pattern build, structured unit cube, 6 tets per cube, P2, %zu workers\n", quarvex::worker_count());
    std::printf("%4s %10s %12s %10s %10s %10s %10s %10s %9s\n", "N", "rows", "nnz", "runs", "first s", "best s",
                "peak MiB", "mat MiB", "peak/mat");
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
    for (const int n : {10, 20, 30}) {
        const std::string command = std::string(self) + " " + std::to_string(n);
        FILE* child = popen(command.c_str(), "r");
        if (child == nullptr) return 1;
        int size = 0;
        std::size_t nnz = 0, runs = 0;
        double first = 0, best = 0, peak = 0, mat = 0;
        const int read =
            std::fscanf(child, "%d %zu %zu %lf %lf %lf %lf", &size, &nnz, &runs, &first, &best, &peak, &mat);
        pclose(child);
        if (read != 7) return 1;
        std::printf("%4d %10llu %12zu %10zu %10.4f %10.4f %10.1f %10.1f %9.2f\n", size,
                    static_cast<unsigned long long>(quarvex::bench::unit_cube_dofs(size)), nnz, runs, first, best, peak,
                    mat, peak / mat);
    }
    return 0;
}
