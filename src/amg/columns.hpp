// Blocks of vectors solved together: `width` columns stored interleaved, entry i of column c at
// i * width + c (the layout of the level products in amg/matrix.hpp), and the per-column
// kernels of conjugate gradients on such a block. A block of one column is a plain vector and
// takes the solver's vector kernels (lacc/lav.hpp), with their sums. Wider blocks run in
// parallel over chunks of rows; sums are formed per chunk and added in chunk order, so they
// repeat from run to run.
#pragma once

#include <cstddef>
#include <span>
#include <type_traits>

namespace quarvex {

// body(w) with w the width as a compile-time constant (std::integral_constant) for the even
// widths up to 16, which the solves use, so that loops over the columns unroll and vectorise;
// other widths get it as a plain std::size_t.
template <class Body>
decltype(auto) with_width(std::size_t width, Body&& body) {
    switch (width) {
        case 2:
            return body(std::integral_constant<std::size_t, 2>{});
        case 4:
            return body(std::integral_constant<std::size_t, 4>{});
        case 6:
            return body(std::integral_constant<std::size_t, 6>{});
        case 8:
            return body(std::integral_constant<std::size_t, 8>{});
        case 10:
            return body(std::integral_constant<std::size_t, 10>{});
        case 12:
            return body(std::integral_constant<std::size_t, 12>{});
        case 14:
            return body(std::integral_constant<std::size_t, 14>{});
        case 16:
            return body(std::integral_constant<std::size_t, 16>{});
        default:
            return body(width);
    }
}

// out[c] = sum_i a(i, c) b(i, c) for every column c < width.
void column_dots(std::span<const double> a, std::span<const double> b, std::size_t width, std::span<double> out);

// out[c] = the 2-norm of column c of a (norm2 for one column: no under- or overflow).
void column_norms(std::span<const double> a, std::size_t width, std::span<double> out);

// y(:, c) = y(:, c) + factor[c] x(:, c).
void column_axpy(std::span<double> y, std::span<const double> factor, std::span<const double> x, std::size_t width);

// y(:, c) = y(:, c) - factor[c] x(:, c).
void column_axmy(std::span<double> y, std::span<const double> factor, std::span<const double> x, std::size_t width);

// y(:, c) = x(:, c) + factor[c] y(:, c); a factor of 0 copies x(:, c).
void column_aypx(std::span<double> y, std::span<const double> factor, std::span<const double> x, std::size_t width);

// y(:, c) = factor[c] y(:, c).
void column_scale(std::span<double> y, std::span<const double> factor, std::size_t width);

// Minimal residual smoothing of a block's iterates (see amg/pcg.cpp), per column:
// s_dot_d[c] = s(:, c) . (r(:, c) - s(:, c)) and d_sq[c] = |r(:, c) - s(:, c)|^2.
void column_smoothing_sums(std::span<const double> s, std::span<const double> r, std::size_t width,
                           std::span<double> s_dot_d, std::span<double> d_sq);

// y(:, c) += eta[c] (x(:, c) - y(:, c)) and s(:, c) += eta[c] (r(:, c) - s(:, c)); s_sq[c] = |s(:, c)|^2
// afterwards.
void column_smooth(std::span<double> y, std::span<const double> x, std::span<double> s, std::span<const double> r,
                   std::span<const double> eta, std::size_t width, std::span<double> s_sq);

// column = block(:, c).
void copy_column_out(std::span<const double> block, std::size_t width, std::size_t c, std::span<double> column);

// block(:, c) = column.
void copy_column_in(std::span<const double> column, std::size_t width, std::size_t c, std::span<double> block);

}  // namespace quarvex
