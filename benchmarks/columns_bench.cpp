// Products and multigrid cycles on several columns at once against one column at a time, on
// the clamped unit cube: what a solve of several loads saves per load. For each width w the
// table gives the time of one product (float values, as the cycle reads them; double values,
// as conjugate gradients read them) and of one V-cycle on w columns, and that time divided by
// w over the time of the one-column call.
// Usage: columns_bench [N] [repeats]   (default 20 5)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "amg/amg.hpp"
#include "amg/cycle.hpp"
#include "amg/matrix.hpp"
#include "box_model.hpp"

using namespace quarvex;

namespace {

template <class Action>
double best_seconds(int repeats, Action&& action) {
    double best = 1e300;
    for (int k = 0; k < repeats; ++k) {
        const auto start = std::chrono::steady_clock::now();
        action();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 20;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    const bench::BoxModel box = bench::box_model({n, n, n, 1.0, 1.0, 1.0, bench::Support::clamped}, 1.25, 1.0);
    const SprMat& mat = box.model.mat;
    const std::size_t rows = mat.rows;
    const std::vector<float> values = float_values(mat);
    const AmgHierarchy hierarchy = amg_setup(mat, rigid_body_modes(box.coordinates, box.components), AmgOptions{});
    std::printf("unit cube N = %d, %zu unknowns, %zu stored values; best of %d\n", n, rows, values.size(), repeats);
    std::printf("%5s %12s %8s %12s %8s %12s %8s\n", "width", "float [ms]", "per col", "double [ms]", "per col",
                "cycle [ms]", "per col");
    double float_one = 0.0, double_one = 0.0, cycle_one = 0.0;
    for (const std::size_t width : {1, 2, 4, 8, 10, 12, 16}) {
        std::vector<double> x(rows * width, 1.0), y(rows * width, 0.0);
        const double float_time = best_seconds(repeats, [&] { level_mul(mat, values, x, y, width); });
        const double double_time = best_seconds(repeats, [&] { level_mul(mat, x, y, width); });
        AmgWork work = amg_work(hierarchy, width);
        const double cycle_time = best_seconds(repeats, [&] { amg_apply(hierarchy, mat, work, x, y); });
        if (width == 1) float_one = float_time, double_one = double_time, cycle_one = cycle_time;
        const double w = static_cast<double>(width);
        std::printf("%5zu %12.2f %8.2f %12.2f %8.2f %12.2f %8.2f\n", width, 1e3 * float_time,
                    float_time / w / float_one, 1e3 * double_time, double_time / w / double_one, 1e3 * cycle_time,
                    cycle_time / w / cycle_one);
    }
    return 0;
}
