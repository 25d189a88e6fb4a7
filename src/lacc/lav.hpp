// Vector kernels of the solver, each a chunked parallel loop (chunks of chunk_len of the
// first operand's length, chunk k of one vector paired with chunk k of the other). The
// lane kernels fix the rounding: four fused multiply-add chains, combined ((a0+a1)+a2)+a3.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#if defined(__AVX__) && defined(__FMA__)
#include <immintrin.h>
#endif

namespace quarvex {

// Four-lane dot product of two runs of m entries. Lanes l = 0..3 of a group of four:
// a_l = fma(v[i], w[i], a_l) with i = l mod 4; two or three left over: the first two go to
// lanes 0 and 1 fused; one then left: a_0 = a_0 + v[i] w[i] with the product rounded.
// Result ((a_0 + a_1) + a_2) + a_3. Inline because the sparse product calls it once per run
// and runs average a handful of entries. The four lanes are one 256-bit register where the
// target has one (the compiler does not turn four scalar chains into a vector chain).
inline double lane_dot(const double* v, const double* w, std::size_t m) {
    double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
    std::size_t i = 0;
    if (m >= 4) {
#if defined(__AVX__) && defined(__FMA__)
        __m256d lanes = _mm256_setzero_pd();
        for (; i + 4 <= m; i += 4) lanes = _mm256_fmadd_pd(_mm256_loadu_pd(v + i), _mm256_loadu_pd(w + i), lanes);
        alignas(32) double lane[4];
        _mm256_store_pd(lane, lanes);
        a0 = lane[0];
        a1 = lane[1];
        a2 = lane[2];
        a3 = lane[3];
#else
        for (; i + 4 <= m; i += 4) {
            a0 = std::fma(v[i], w[i], a0);
            a1 = std::fma(v[i + 1], w[i + 1], a1);
            a2 = std::fma(v[i + 2], w[i + 2], a2);
            a3 = std::fma(v[i + 3], w[i + 3], a3);
        }
#endif
    }
    if (i + 2 <= m) {
        a0 = std::fma(v[i], w[i], a0);
        a1 = std::fma(v[i + 1], w[i + 1], a1);
        i += 2;
    }
    if (i < m) a0 = a0 + v[i] * w[i];
    return ((a0 + a1) + a2) + a3;
}

inline double lane_sumsq(const double* v, std::size_t m) {
    return lane_dot(v, v, m);
}

double dot(std::span<const double> a, std::span<const double> b);  // sum a[i] b[i]; lengths must agree
double norm_sq(std::span<const double> a);                         // sum a[i]^2
// ||a|| = sqrt(sum a[i]^2) without the squares leaving the range of double: sqrt(norm_sq(a)) bit
// for bit where that sum is finite and at least 2^-900, else summed over a scaled by a power of
// two (exact) and scaled back, as BLAS nrm2 does. NaN when a holds a NaN, inf when it holds an inf.
double norm2(std::span<const double> a);
double max_abs(std::span<const double> a);                            // max |a[i]|; NaN if any is NaN; 0 if empty
void axpy(std::span<double> y, double a, std::span<const double> x);  // y <- y + a x
void axmy(std::span<double> y, double a, std::span<const double> x);  // y <- y - a x
void aypx(std::span<double> y, double a, std::span<const double> x);  // y <- x + a y; lengths must agree
void copy_into(std::span<double> y, std::span<const double> x);       // y <- x
void sub_into(std::span<double> y, std::span<const double> x);        // y <- y - x
void fill_zero(std::span<double> y);                                  // y <- 0
void scale_by(std::span<double> y, double a);                         // y <- a y

}  // namespace quarvex
