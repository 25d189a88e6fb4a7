// The vector kernels: chunk sizes, the lane order of lane_dot entry by entry, the reductions
// against a reference built from the chunks and the pool's tree of cuts, the fused and
// unfused entries of the element-wise kernels, the factor shortcuts and the failures.
// LavAnyWorkers also runs under several worker counts (see pool_test.cpp).
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "lacc/lav.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

using test_support::panic_text;
using test_support::reference_lane_dot;
using test_support::reference_tree_sum;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<double> random_values(std::size_t count, unsigned seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<double> values(count);
    for (double& v : values) v = value(random);
    return values;
}

std::vector<std::uint64_t> bits_of(const std::vector<double>& values) {
    std::vector<std::uint64_t> bits;
    for (const double v : values) bits.push_back(std::bit_cast<std::uint64_t>(v));
    return bits;
}

// Every entry fused into lane i mod 4: what a kernel without the unfused tail would give.
double all_fused_lane_dot(const double* v, const double* w, std::size_t m) {
    double lane[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < m; ++i) lane[i % 4] = std::fma(v[i], w[i], lane[i % 4]);
    return ((lane[0] + lane[1]) + lane[2]) + lane[3];
}

double reference_dot(const std::vector<double>& a, const std::vector<double>& b) {
    const std::size_t n = a.size();
    if (n == 0) return 0.0;
    const std::size_t c = chunk_len_for(n, worker_count());
    std::vector<double> parts;
    for (std::size_t begin = 0; begin < n; begin += c) {
        parts.push_back(reference_lane_dot(a.data() + begin, b.data() + begin, std::min(c, n - begin)));
    }
    return reference_tree_sum(parts, 0, parts.size(), cut_depth(worker_count()));
}

TEST(Lav, LaneDotFollowsTheLaneOrderForEveryTail) {
    bool tail_rounding_visible = false;
    for (const std::size_t m : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 13, 14, 15}) {
        for (unsigned trial = 0; trial < 200; ++trial) {
            const std::vector<double> v = random_values(m, 2 * trial);
            const std::vector<double> w = random_values(m, 2 * trial + 1);
            const double expected = reference_lane_dot(v.data(), w.data(), m);
            ASSERT_EQ(std::bit_cast<std::uint64_t>(lane_dot(v.data(), w.data(), m)),
                      std::bit_cast<std::uint64_t>(expected))
                << "m = " << m << ", trial " << trial;
            ASSERT_EQ(std::bit_cast<std::uint64_t>(lane_sumsq(v.data(), m)),
                      std::bit_cast<std::uint64_t>(reference_lane_dot(v.data(), v.data(), m)))
                << "m = " << m << ", trial " << trial;
            if (m == 3 && expected != all_fused_lane_dot(v.data(), w.data(), m)) tail_rounding_visible = true;
        }
    }
    EXPECT_TRUE(tail_rounding_visible) << "the data cannot tell a fused tail from a rounded one";
}

TEST(Lav, ChunkLenTable) {
    struct Case {
        std::size_t n, workers, len, count;
    };
    const Case table[] = {
        {0, 1, 1, 0}, {1, 1, 1, 1}, {5, 1, 5, 1},   {1000, 1, 1000, 1},  // one worker: one chunk
        {0, 4, 4, 0}, {3, 4, 4, 1}, {4, 4, 1, 4},   {7, 4, 1, 7},       {8, 4, 2, 4},  {10, 4, 2, 5},
        {5, 8, 8, 1}, {0, 8, 8, 0}, {15, 8, 1, 15}, {16, 8, 2, 8},      {17, 8, 2, 9},
    };
    for (const Case& c : table) {
        EXPECT_EQ(chunk_len_for(c.n, c.workers), c.len) << "n " << c.n << ", T " << c.workers;
        EXPECT_EQ(chunk_count(c.n, chunk_len_for(c.n, c.workers)), c.count) << "n " << c.n << ", T " << c.workers;
    }
    // n >= T gives between T and 2T - 1 chunks.
    for (std::size_t workers = 1; workers <= 9; ++workers) {
        for (std::size_t n = workers; n < 40 * workers; ++n) {
            const std::size_t count = chunk_count(n, chunk_len_for(n, workers));
            EXPECT_TRUE(workers <= count && count <= 2 * workers - 1) << "n " << n << ", T " << workers;
        }
    }
    for (std::size_t n = 0; n < 100; ++n) EXPECT_EQ(chunk_len(n), chunk_len_for(n, worker_count()));
}

TEST(LavAnyWorkers, ReductionsMatchChunksAndCuts) {
    for (const std::size_t n : {0, 1, 2, 3, 5, 7, 10, 11, 1001, 4099, 100003}) {
        const std::vector<double> a = random_values(n, static_cast<unsigned>(n));
        const std::vector<double> b = random_values(n, static_cast<unsigned>(n) + 1);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(dot(a, b)), std::bit_cast<std::uint64_t>(reference_dot(a, b)))
            << "n " << n;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(norm_sq(a)), std::bit_cast<std::uint64_t>(reference_dot(a, a)))
            << "n " << n;
        const double first = dot(a, b);
        for (int again = 0; again < 5; ++again) EXPECT_EQ(dot(a, b), first) << "n " << n << ": not reproducible";
    }
}

// The general-factor kernels against an entry-by-entry reference over the chunks of y.
TEST(LavAnyWorkers, ElementWiseKernelsFuseAllButTheOddTail) {
    struct Kernel {
        const char* name;
        void (*run)(std::span<double>, double, std::span<const double>);
        double (*fused)(double a, double y, double x);
        double (*single)(double a, double y, double x);
    };
    const Kernel kernels[] = {
        {"axpy", axpy, [](double a, double y, double x) { return std::fma(a, x, y); },
         [](double a, double y, double x) { return a * x + y; }},
        {"axmy", axmy, [](double a, double y, double x) { return std::fma(-a, x, y); },
         [](double a, double y, double x) { return y - a * x; }},
        {"aypx", aypx, [](double a, double y, double x) { return std::fma(a, y, x); },
         [](double a, double y, double x) { return a * y + x; }},
    };
    for (const Kernel& kernel : kernels) {
        for (const std::size_t n : {1, 2, 3, 5, 7, 10, 11, 1001, 4099}) {
            const std::vector<double> x = random_values(n, 3 * static_cast<unsigned>(n));
            std::vector<double> y = random_values(n, 3 * static_cast<unsigned>(n) + 1);
            const double a = 0.7390851332151607;
            std::vector<double> expected = y;
            const std::size_t c = chunk_len(n);
            for (std::size_t begin = 0; begin < n; begin += c) {
                const std::size_t m = std::min(c, n - begin);
                for (std::size_t i = begin; i < begin + m; ++i) {
                    const bool trailing_single = m % 2 == 1 && i == begin + m - 1;
                    expected[i] = trailing_single ? kernel.single(a, y[i], x[i]) : kernel.fused(a, y[i], x[i]);
                }
            }
            kernel.run(y, a, x);
            EXPECT_EQ(bits_of(y), bits_of(expected)) << kernel.name << ", n " << n;
        }
    }
}

// Data on which a fused and a rounded product differ in every entry: (1 + 2^-30)^2 - 1 is
// 2^-29 + 2^-60 fused and 2^-29 with the product rounded first.
TEST(LavAnyWorkers, TrailingEntryOfAnOddChunkRoundsItsProduct) {
    const double near_one = 1.0 + std::ldexp(1.0, -30);
    const double fused = std::ldexp(1.0, -29) + std::ldexp(1.0, -60);
    const double rounded = std::ldexp(1.0, -29);
    for (const std::size_t n : {1, 3, 6, 7, 9, 25}) {
        const std::size_t c = chunk_len(n);
        std::vector<double> expected(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t m = std::min(c, n - i / c * c);
            expected[i] = (m % 2 == 1 && i % c == m - 1) ? rounded : fused;
        }
        std::vector<double> y(n, -1.0);
        axpy(y, near_one, std::vector<double>(n, near_one));  // a x + y
        EXPECT_EQ(y, expected) << "axpy, n " << n;
        y.assign(n, 1.0);
        axmy(y, near_one, std::vector<double>(n, near_one));  // y - a x
        for (double& value : y) value = -value;
        EXPECT_EQ(y, expected) << "axmy, n " << n;
        y.assign(n, near_one);
        aypx(y, near_one, std::vector<double>(n, -1.0));  // a y + x
        EXPECT_EQ(y, expected) << "aypx, n " << n;
    }
}

TEST(LavAnyWorkers, FactorShortcuts) {
    const std::vector<double> wild = {kNan, kInf, -kInf, -0.0, 1.5, kNan, 3.0};
    const std::vector<double> plain = {1.0, -2.0, 0.5, 4.0, -0.0, 6.0, 7.25};
    for (const double zero : {0.0, -0.0}) {
        std::vector<double> y = plain;
        axpy(y, zero, wild);
        EXPECT_EQ(bits_of(y), bits_of(plain)) << "axpy leaves y alone for a = " << zero;
        axmy(y, zero, wild);
        EXPECT_EQ(bits_of(y), bits_of(plain)) << "axmy leaves y alone for a = " << zero;
        y = wild;
        aypx(y, zero, plain);
        EXPECT_EQ(bits_of(y), bits_of(plain)) << "aypx copies x over a NaN y for a = " << zero;
    }
    // a = 1: plain sums and differences, with infinities and NaN passing through.
    std::vector<double> y = plain;
    axpy(y, 1.0, wild);
    for (std::size_t i = 0; i < y.size(); ++i) EXPECT_EQ(bits_of({y[i]}), bits_of({plain[i] + wild[i]}));
    axmy(y, 1.0, plain);
    for (std::size_t i = 0; i < y.size(); ++i) {
        EXPECT_EQ(bits_of({y[i]}), bits_of({(plain[i] + wild[i]) - plain[i]}));
    }
    y = plain;
    aypx(y, 1.0, wild);
    for (std::size_t i = 0; i < y.size(); ++i) EXPECT_EQ(bits_of({y[i]}), bits_of({plain[i] + wild[i]}));
    for (const auto run : {axpy, axmy, aypx}) {
        std::vector<double> spread = plain;
        run(spread, kNan, plain);
        EXPECT_TRUE(std::all_of(spread.begin(), spread.end(), [](double v) { return std::isnan(v); }));
    }
}

TEST(LavAnyWorkers, CopySubtractAndZero) {
    const std::vector<double> x = random_values(1001, 21);
    std::vector<double> y = random_values(1001, 22);
    std::vector<double> difference(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) difference[i] = y[i] - x[i];
    sub_into(y, x);
    EXPECT_EQ(bits_of(y), bits_of(difference));
    copy_into(y, x);
    EXPECT_EQ(bits_of(y), bits_of(x));
    std::vector<double> dirty = {kNan, -0.0, kInf, 1.0, -3.0};
    fill_zero(dirty);
    EXPECT_EQ(bits_of(dirty), bits_of(std::vector<double>(5, 0.0)));
}

// Unequal lengths: only the paired chunks are touched, never beyond the shorter vector.
TEST(LavAnyWorkers, ShorterSecondOperandLeavesTheRestAlone) {
    const std::vector<double> x = {1.0, 2.0, 3.0, 4.0};
    const std::vector<std::function<void(std::span<double>)>> calls = {
        [&](std::span<double> y) { axpy(y, 2.0, x); }, [&](std::span<double> y) { axmy(y, 2.0, x); },
        [&](std::span<double> y) { copy_into(y, x); }, [&](std::span<double> y) { sub_into(y, x); }};
    for (const auto& call : calls) {
        std::vector<double> y = {10.0, 10.0, 10.0, 10.0, 10.0};
        call(y);
        EXPECT_EQ(y[4], 10.0);
        EXPECT_NE(y[0], 10.0);
    }
}

TEST(LavAnyWorkers, EmptyVectors) {
    std::vector<double> empty;
    EXPECT_EQ(dot(empty, empty), 0.0);
    EXPECT_EQ(norm_sq(empty), 0.0);
    axpy(empty, 2.0, empty);
    axmy(empty, 2.0, empty);
    aypx(empty, 2.0, empty);
    copy_into(empty, empty);
    sub_into(empty, empty);
    fill_zero(empty);
    EXPECT_TRUE(empty.empty());
}

TEST(Lav, DifferentLengthsFailWithBothLengths) {
    std::vector<double> four(4, 1.0), five(5, 1.0);
    EXPECT_EQ(panic_text([&] { dot(four, five); }), "assertion failed: `(left == right)`\n  left: `4`,\n right: `5`");
    EXPECT_EQ(panic_text([&] { aypx(five, 2.0, four); }),
              "assertion failed: `(left == right)`\n  left: `5`,\n right: `4`");
    EXPECT_EQ(five, std::vector<double>(5, 1.0));
}

}  // namespace
}  // namespace quarvex
