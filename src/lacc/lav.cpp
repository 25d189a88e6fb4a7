// Placeholder: lane kernels only, replaced by the chunked parallel kernels.
#include "lacc/lav.hpp"

#include <cmath>

namespace quarvex {

double lane_dot(const double* v, const double* w, std::size_t m) {
    double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) {
        a0 = std::fma(v[i], w[i], a0);
        a1 = std::fma(v[i + 1], w[i + 1], a1);
        a2 = std::fma(v[i + 2], w[i + 2], a2);
        a3 = std::fma(v[i + 3], w[i + 3], a3);
    }
    if (i + 2 <= m) {
        a0 = std::fma(v[i], w[i], a0);
        a1 = std::fma(v[i + 1], w[i + 1], a1);
        i += 2;
    }
    if (i < m) a0 = a0 + v[i] * w[i];
    return ((a0 + a1) + a2) + a3;
}

double lane_sumsq(const double* v, std::size_t m) { return lane_dot(v, v, m); }

}  // namespace quarvex
