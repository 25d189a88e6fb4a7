// Helpers shared by the C++ unit tests.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/failure.hpp"
#include "base/tet.hpp"

namespace quarvex::test_support {

// The text of the Panic that body() throws, or "<no panic>" when it returns normally.
template <class Body>
std::string panic_text(Body&& body) {
    try {
        body();
    } catch (const Panic& failure) {
        return failure.text;
    }
    return "<no panic>";
}

// An element that holds only the given degree-of-freedom ranges.
inline Tet make_tet(std::vector<DofRange> dofs) {
    Tet tet;
    tet.dofs = std::move(dofs);
    return tet;
}

// The elements of a vector of any allocator (the matrix's PageVector) in a plain vector.
template <class T, class Allocator>
std::vector<T> plain(const std::vector<T, Allocator>& values) {
    return {values.begin(), values.end()};
}

// The unit right tetrahedron.
inline const std::array<Point, 4> kUnitRight = {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

// n values drawn uniformly from [-1, 1) by the seeded Mersenne twister.
inline std::vector<double> random_vector(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = value(random);
    return v;
}

// The isotropic material matrix D[3c + j][3d + l] = lambda d_cj d_dl + mu (d_cd d_jl + d_cl d_jd).
using Dense9 = std::array<std::array<double, 9>, 9>;
inline Dense9 isotropic(double lambda, double mu) {
    Dense9 dense{};
    for (int c = 0; c < 3; ++c)
        for (int j = 0; j < 3; ++j)
            for (int d = 0; d < 3; ++d)
                for (int l = 0; l < 3; ++l)
                    dense[3 * c + j][3 * d + l] =
                        lambda * (c == j) * (d == l) + mu * ((c == d) * (j == l) + (c == l) * (j == d));
    return dense;
}

// lane_dot entry by entry: entry i of the complete groups of four goes fused to lane i mod 4;
// of the remainder, a pair goes fused to lanes 0 and 1 and a single entry is added to lane 0
// after its product is rounded.
inline double reference_lane_dot(const double* v, const double* w, std::size_t m) {
    double lane[4] = {0.0, 0.0, 0.0, 0.0};
    const std::size_t grouped = m / 4 * 4;
    const std::size_t paired = grouped + (m - grouped >= 2 ? 2 : 0);
    for (std::size_t i = 0; i < m; ++i) {
        if (i < grouped) {
            lane[i % 4] = std::fma(v[i], w[i], lane[i % 4]);
        } else if (i < paired) {
            lane[i - grouped] = std::fma(v[i], w[i], lane[i - grouped]);
        } else {
            const double product = v[i] * w[i];
            lane[0] = lane[0] + product;
        }
    }
    return ((lane[0] + lane[1]) + lane[2]) + lane[3];
}

// The pool's reduction of parts[begin, begin + len): cut at len / 2, `depth` times or down to
// single items; a leaf sums its parts from 0.0 in index order, a cut range returns lower + upper.
inline double reference_tree_sum(const std::vector<double>& parts, std::size_t begin, std::size_t len,
                                 std::size_t depth) {
    if (depth == 0 || len == 1) {
        double sum = 0.0;
        for (std::size_t k = begin; k < begin + len; ++k) sum = sum + parts[k];
        return sum;
    }
    const double lower = reference_tree_sum(parts, begin, len / 2, depth - 1);
    const double upper = reference_tree_sum(parts, begin + len / 2, len - len / 2, depth - 1);
    return lower + upper;
}

}  // namespace quarvex::test_support
