// Shared pieces of the C++ benchmarks: timing, the isotropic material, the loaded unit
// cube model and one regular conjugate-gradient iteration.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "lacc/lav.hpp"
#include "lacc/pool.hpp"
#include "model/assembly.hpp"
#include "model/dofs.hpp"
#include "model/loads.hpp"
#include "model/mesh.hpp"
#include "model/system.hpp"
#include "unit_cube.hpp"

namespace quarvex::bench {

template <class Action>
double median_seconds(int repeats, Action&& action) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        action();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Bytes per second of a[i] = b[i] + s c[i] over three vectors of n doubles, on the pool
// (24 bytes per entry counted, as is usual for the triad).
inline double triad_bandwidth(std::size_t n) {
    std::vector<double> a(n, 0.0), b(n, 1.0), c(n, 2.0);
    const double seconds = median_seconds(9, [&] {
        parallel_ranges(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) a[i] = b[i] + 0.5 * c[i];
        });
    });
    return 24.0 * static_cast<double>(n) / seconds;
}

inline std::vector<std::vector<double>> isotropic(double lam, double mu) {
    std::vector<std::vector<double>> d(9, std::vector<double>(9, 0.0));
    for (int c = 0; c < 3; ++c)
        for (int j = 0; j < 3; ++j)
            for (int e = 0; e < 3; ++e)
                for (int l = 0; l < 3; ++l)
                    d[3 * c + j][3 * e + l] =
                        lam * (c == j) * (e == l) + mu * ((c == e) * (j == l) + (c == l) * (j == e));
    return d;
}

// The unit cube of n^3 cells with every degree of freedom free, an isotropic material and a
// gravity load, its system set up but not assembled.
inline Nexus loaded_cube(int n) {
    Nexus model;
    model.tets = unit_cube(n);
    set_cmat(model, isotropic(0.6, 0.4));
    Arena gravity;
    for (int i = 0; i < 3; ++i) new_var(gravity);
    const auto zero = new_cst(gravity, 0.0);
    const auto weight = new_cst(gravity, -1.0);
    set_f(model, 0, {}, std::move(gravity), {zero, zero, weight});
    return model;
}

// The work of one regular iteration: t = A p; pi = (p, t); x += a p; r -= a t; rho = |r|^2;
// p = r + b p (fixed small factors, so the vectors stay finite over many calls).
struct CgVectors {
    std::vector<double> x, r, p, t;
    explicit CgVectors(std::size_t n) : x(n, 0.0), r(n, 0.5), p(n, 0.25), t(n, 0.0) {}
};

inline double cg_iteration(const SprMat& mat, CgVectors& v) {
    mul_vec(mat, v.p, v.t);
    const double pi = dot(v.p, v.t);
    const double alpha = 1e-3 / (pi == 0.0 ? 1.0 : pi);
    axpy(v.x, alpha, v.p);
    axmy(v.r, alpha, v.t);
    const double rho = norm_sq(v.r);
    aypx(v.p, 1e-3 * rho / (1.0 + rho), v.r);
    return rho;
}

}  // namespace quarvex::bench
