// Vector kernels of the solver, each a chunked parallel loop (chunks of chunk_len of the
// first operand's length, chunk k of one vector paired with chunk k of the other). The
// lane kernels fix the rounding: four fused multiply-add chains, combined ((a0+a1)+a2)+a3.
#pragma once

#include <cstddef>
#include <span>

namespace quarvex {

// Four-lane dot product of two runs of m entries.
double lane_dot(const double* v, const double* w, std::size_t m);
double lane_sumsq(const double* v, std::size_t m);

double dot(std::span<const double> a, std::span<const double> b);  // sum a[i] b[i]; lengths must agree
double norm_sq(std::span<const double> a);                          // sum a[i]^2
void axpy(std::span<double> y, double a, std::span<const double> x);  // y <- y + a x
void axmy(std::span<double> y, double a, std::span<const double> x);  // y <- y - a x
void aypx(std::span<double> y, double a, std::span<const double> x);  // y <- x + a y; lengths must agree
void copy_into(std::span<double> y, std::span<const double> x);       // y <- x
void sub_into(std::span<double> y, std::span<const double> x);        // y <- y - x
void fill_zero(std::span<double> y);                                   // y <- 0

}  // namespace quarvex
