// The sparse product against the memory bandwidth of the machine: the unit-cube matrices of
// N = 20 and 30 (quadratic elements, three unknowns per node) filled with values, y = A x timed
// and compared with a triad a = b + s c over arrays of the same size measured in the same run. The product
// must move 8 bytes per stored value, 8 per run and 28 per row (row_runs, x, y); its bound is
// that traffic at the triad's rate.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "lacc/pattern.hpp"
#include "lacc/pool.hpp"
#include "lacc/spr.hpp"
#include "unit_cube.hpp"

namespace {

double seconds_of(const std::function<void()>& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// a = b + s c over n entries (24 bytes per entry, as STREAM counts).
struct Triad {
    std::vector<double> a, b, c;
    explicit Triad(std::size_t n) : a(n), b(n), c(n) {
        quarvex::parallel_ranges(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                a[i] = 0.0;
                b[i] = 1.0 + 1e-9 * static_cast<double>(i);
                c[i] = 2.0 - 1e-9 * static_cast<double>(i);
            }
        });
    }
    void run() {
        quarvex::parallel_ranges(a.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) a[i] = std::fma(0.5, c[i], b[i]);
        });
    }
};

// One size: the product's best time against the bound from the best triad of the same rounds.
void run_size(int n) {
    const std::vector<quarvex::Tet> tets = quarvex::bench::unit_cube(n);
    quarvex::SprMat mat = quarvex::build_pattern(tets, quarvex::bench::unit_cube_dofs(n));
    for (std::size_t k = 0; k < mat.vals.size(); ++k) mat.vals[k] = 1.0 + 1e-3 * static_cast<double>(k % 97);
    std::vector<double> x(mat.cols), y(mat.rows);
    for (std::size_t k = 0; k < x.size(); ++k) x[k] = std::sin(static_cast<double>(k));

    const std::size_t runs = mat.runs.size() - 2;
    const double bytes = 8.0 * static_cast<double>(mat.vals.size()) + 8.0 * static_cast<double>(runs) +
                         28.0 * static_cast<double>(mat.rows);
    // Rounds of five triads and then five products, so that both see the same state of the
    // machine while neither pays for the other's dirty cache lines; the best time of each counts.
    Triad triad(static_cast<std::size_t>(bytes / 24.0));
    quarvex::mul_vec(mat, x, y);  // warm up
    double triad_best = 1e300, product = 1e300;
    for (int round = 0; round < 8; ++round) {
        for (int k = 0; k < 5; ++k) triad_best = std::min(triad_best, seconds_of([&] { triad.run(); }));
        for (int k = 0; k < 5; ++k) product = std::min(product, seconds_of([&] { quarvex::mul_vec(mat, x, y); }));
    }
    const double rate = 24.0 * static_cast<double>(triad.a.size()) / triad_best;
    const double bound = bytes / rate;
    std::printf("%4d %10llu %12zu %10zu %10.1f %12.2f %12.3f %12.3f %10.3f %9.2f\n", n,
                static_cast<unsigned long long>(mat.rows), mat.vals.size(), runs, bytes / 1e6, rate / 1e9,
                product * 1e3, bound * 1e3, product / bound, bytes / product / 1e9);
}

}  // namespace

// Usage: spmv_bench [N ...]   (default 20 30)
int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {20, 30};
    std::printf("sparse product, unit cube, %zu workers; time / bound should stay <= 1.1\n", quarvex::worker_count());
    std::printf("%4s %10s %12s %10s %10s %12s %12s %12s %10s %9s\n", "N", "rows", "nnz", "runs", "MB moved",
                "triad GB/s", "product ms", "bound ms", "time/bound", "GB/s");
    for (const int n : sizes) run_size(n);
    return 0;
}
