// Dense block kernels of the multigrid set-up: c += a b for small row-major blocks whose rows
// lie `stride` apart. The node sizes of elasticity (3 unknowns per mesh node, 6 per coarse
// node) get kernels of fixed size that keep a row of c in vector registers.
#pragma once

#include <cmath>
#include <cstddef>

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#endif

namespace quarvex {

// c(m, k) += sum_l a(m, l) b(l, k) for a block a of bi x bj, b of bj x bk and c of bi x bk,
// rows `stride` apart in each; with TransposedA, a(m, l) is read from a block of bj x bi.
// Fixed sizes (all > 0) keep a row of c in registers along k; sizes 0 mean sizes known at run
// time.
template <std::size_t BI, std::size_t BJ, std::size_t BK, bool TransposedA = false>
inline void block_product(const double* __restrict a, std::size_t a_stride, const double* __restrict b,
                          std::size_t b_stride, double* __restrict c, std::size_t c_stride, std::size_t bi,
                          std::size_t bj, std::size_t bk) {
#if defined(__AVX2__) && defined(__FMA__)
    if constexpr (BK == 6) {
        // A row of c is one vector of four and one of two.
        for (std::size_t m = 0; m < BI; ++m) {
            double* const c_row = c + m * c_stride;
            __m256d low = _mm256_loadu_pd(c_row);
            __m128d high = _mm_loadu_pd(c_row + 4);
            for (std::size_t l = 0; l < BJ; ++l) {
                const double* const b_row = b + l * b_stride;
                const __m256d factor = _mm256_set1_pd(TransposedA ? a[l * a_stride + m] : a[m * a_stride + l]);
                low = _mm256_fmadd_pd(factor, _mm256_loadu_pd(b_row), low);
                high = _mm_fmadd_pd(_mm256_castpd256_pd128(factor), _mm_loadu_pd(b_row + 4), high);
            }
            _mm256_storeu_pd(c_row, low);
            _mm_storeu_pd(c_row + 4, high);
        }
        return;
    }
#endif
    if constexpr (BI > 0) {
        for (std::size_t m = 0; m < BI; ++m)
            for (std::size_t l = 0; l < BJ; ++l) {
                const double factor = TransposedA ? a[l * a_stride + m] : a[m * a_stride + l];
                for (std::size_t k = 0; k < BK; ++k)
                    c[m * c_stride + k] = std::fma(factor, b[l * b_stride + k], c[m * c_stride + k]);
            }
    } else {
        for (std::size_t m = 0; m < bi; ++m)
            for (std::size_t l = 0; l < bj; ++l) {
                const double factor = TransposedA ? a[l * a_stride + m] : a[m * a_stride + l];
                for (std::size_t k = 0; k < bk; ++k)
                    c[m * c_stride + k] = std::fma(factor, b[l * b_stride + k], c[m * c_stride + k]);
            }
    }
}

// c += a b with a of bi x bj (or, TransposedA, a^T with a of bj x bi), b of bj x bk: the
// fixed-size kernel when there is one.
template <bool TransposedA = false>
inline void add_block_product(std::size_t bi, std::size_t bj, std::size_t bk, const double* a, std::size_t a_stride,
                              const double* b, std::size_t b_stride, double* c, std::size_t c_stride) {
    if (bk == 6) {
        if (bi == 3 && bj == 3)
            return block_product<3, 3, 6, TransposedA>(a, a_stride, b, b_stride, c, c_stride, 3, 3, 6);
        if (bi == 6 && bj == 3)
            return block_product<6, 3, 6, TransposedA>(a, a_stride, b, b_stride, c, c_stride, 6, 3, 6);
        if (bi == 3 && bj == 6)
            return block_product<3, 6, 6, TransposedA>(a, a_stride, b, b_stride, c, c_stride, 3, 6, 6);
        if (bi == 6 && bj == 6)
            return block_product<6, 6, 6, TransposedA>(a, a_stride, b, b_stride, c, c_stride, 6, 6, 6);
    }
    if (bk == 9) {  // coarse nodes of the plate-bending modes
        if (bi == 3 && bj == 3)
            return block_product<3, 3, 9, TransposedA>(a, a_stride, b, b_stride, c, c_stride, 3, 3, 9);
        if (bi == 9 && bj == 3)
            return block_product<9, 3, 9, TransposedA>(a, a_stride, b, b_stride, c, c_stride, 9, 3, 9);
        if (bi == 3 && bj == 9)
            return block_product<3, 9, 9, TransposedA>(a, a_stride, b, b_stride, c, c_stride, 3, 9, 9);
        if (bi == 9 && bj == 9)
            return block_product<9, 9, 9, TransposedA>(a, a_stride, b, b_stride, c, c_stride, 9, 9, 9);
    }
    block_product<0, 0, 0, TransposedA>(a, a_stride, b, b_stride, c, c_stride, bi, bj, bk);
}

}  // namespace quarvex
