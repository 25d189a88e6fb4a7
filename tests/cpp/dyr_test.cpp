// The batch kernels on their own: values against closed forms, derivative blocks against
// central finite differences of the kernels' own value blocks, in-place use, and the failure texts.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "expr/dyr.hpp"

namespace quarvex {
namespace {

using test_support::panic_text;

using Unary = std::function<void(Dyr&, const Dyr&)>;
using Binary = std::function<void(Dyr&, const Dyr&, const Dyr&)>;

Dyr make_dyr(std::size_t typ, std::size_t len, double start, double step) {
    Dyr d{typ, len, std::vector<double>(typ * len)};
    for (std::size_t i = 0; i < d.data.size(); ++i) d.data[i] = start + step * static_cast<double>(i);
    return d;
}

Dyr zeros(std::size_t typ, std::size_t len) {
    return Dyr{typ, len, std::vector<double>(typ * len, 0.0)};
}

// Block 0 of a one-block value at the given points.
std::vector<double> unary_values(const Unary& kernel, const std::vector<double>& points) {
    Dyr x{1, points.size(), points};
    Dyr out = zeros(1, points.size());
    kernel(out, x);
    return out.data;
}

std::vector<double> binary_values(const Binary& kernel, const std::vector<double>& left,
                                  const std::vector<double>& right) {
    Dyr x{1, left.size(), left};
    Dyr y{1, right.size(), right};
    Dyr out = zeros(1, left.size());
    kernel(out, x, y);
    return out.data;
}

// Points where every kernel below is smooth: x in [0.6, 1.9], never an integer.
constexpr std::size_t kPoints = 7;  // odd, so vector loops have a remainder
constexpr std::size_t kBlocks = 3;
constexpr double kStep = 1e-6;

// Input with derivative blocks: block 0 the points, blocks 1 and 2 two directions.
Dyr smooth_input(double start) {
    Dyr x = make_dyr(kBlocks, kPoints, 0.0, 0.0);
    for (std::size_t i = 0; i < kPoints; ++i) {
        x.data[i] = start + 0.19 * static_cast<double>(i);
        x.data[kPoints + i] = 1.0 - 0.3 * static_cast<double>(i);
        x.data[2 * kPoints + i] = 0.5 + 0.25 * static_cast<double>(i);
    }
    return x;
}

struct UnaryCase {
    const char* name;
    Unary kernel;
    double (*value)(double);
};

double reference_power_3(double v) {
    return v * v * v;
}
double reference_power_minus_5(double v) {
    return 1.0 / (v * v * v * v * v);
}
double reference_power_6(double v) {
    return std::pow(v, 6.0);
}

const std::vector<UnaryCase>& unary_cases() {
    static const std::vector<UnaryCase> cases = {
        {"reciprocal", dyr_reciprocal, [](double v) { return 1.0 / v; }},
        {"negate", dyr_negate, [](double v) { return -v; }},
        {"sine", dyr_sine, [](double v) { return std::sin(v); }},
        {"cosine", dyr_cosine, [](double v) { return std::cos(v); }},
        {"exponential", dyr_exponential, [](double v) { return std::exp(v); }},
        {"logarithm", dyr_logarithm, [](double v) { return std::log(v); }},
        {"add constant", [](Dyr& o, const Dyr& x) { dyr_add_constant(o, 2.5, x); }, [](double v) { return v + 2.5; }},
        {"subtract constant", [](Dyr& o, const Dyr& x) { dyr_subtract_constant(o, 2.5, x); },
         [](double v) { return v - 2.5; }},
        {"constant minus", [](Dyr& o, const Dyr& x) { dyr_constant_minus(o, 2.5, x); },
         [](double v) { return 2.5 - v; }},
        {"scale", [](Dyr& o, const Dyr& x) { dyr_scale(o, -1.75, x); }, [](double v) { return -1.75 * v; }},
        {"power 3.9", [](Dyr& o, const Dyr& x) { dyr_integer_power(o, 3.9, x); }, reference_power_3},
        {"power -5", [](Dyr& o, const Dyr& x) { dyr_integer_power(o, -5.0, x); }, reference_power_minus_5},
        {"power 6", [](Dyr& o, const Dyr& x) { dyr_integer_power(o, 6.0, x); }, reference_power_6},
    };
    return cases;
}

TEST(DyrKernels, UnaryValuesAndDerivativeBlocks) {
    for (const UnaryCase& c : unary_cases()) {
        SCOPED_TRACE(c.name);
        const Dyr x = smooth_input(0.6);
        Dyr out = zeros(kBlocks, kPoints);
        c.kernel(out, x);
        for (std::size_t i = 0; i < kPoints; ++i) {
            const double v = x.data[i];
            EXPECT_NEAR(out.data[i], c.value(v), 1e-14 * std::abs(c.value(v)) + 1e-300) << "point " << i;
        }
        for (std::size_t k = 1; k < kBlocks; ++k) {
            std::vector<double> ahead(kPoints), behind(kPoints);
            for (std::size_t i = 0; i < kPoints; ++i) {
                ahead[i] = x.data[i] + kStep * x.data[k * kPoints + i];
                behind[i] = x.data[i] - kStep * x.data[k * kPoints + i];
            }
            const std::vector<double> up = unary_values(c.kernel, ahead);
            const std::vector<double> down = unary_values(c.kernel, behind);
            for (std::size_t i = 0; i < kPoints; ++i) {
                const double difference = (up[i] - down[i]) / (2.0 * kStep);
                EXPECT_NEAR(out.data[k * kPoints + i], difference, 1e-6 * (1.0 + std::abs(difference)))
                    << "block " << k << " point " << i;
            }
        }
    }
}

struct BinaryCase {
    const char* name;
    Binary kernel;
    double (*value)(double, double);
};

const std::vector<BinaryCase>& binary_cases() {
    static const std::vector<BinaryCase> cases = {
        {"add", dyr_add, [](double a, double b) { return a + b; }},
        {"subtract", dyr_subtract, [](double a, double b) { return a - b; }},
        {"multiply", dyr_multiply, [](double a, double b) { return a * b; }},
        {"divide", dyr_divide, [](double a, double b) { return a / b; }},
    };
    return cases;
}

TEST(DyrKernels, BinaryValuesAndDerivativeBlocks) {
    for (const BinaryCase& c : binary_cases()) {
        SCOPED_TRACE(c.name);
        const Dyr x = smooth_input(0.6);
        Dyr y = smooth_input(1.3);
        std::reverse(y.data.begin() + kPoints, y.data.end());  // other directions than x's
        Dyr out = zeros(kBlocks, kPoints);
        c.kernel(out, x, y);
        for (std::size_t i = 0; i < kPoints; ++i) {
            const double expected = c.value(x.data[i], y.data[i]);
            EXPECT_NEAR(out.data[i], expected, 1e-15 * std::abs(expected)) << "point " << i;
        }
        for (std::size_t k = 1; k < kBlocks; ++k) {
            std::vector<double> left_up(kPoints), left_down(kPoints), right_up(kPoints), right_down(kPoints);
            for (std::size_t i = 0; i < kPoints; ++i) {
                left_up[i] = x.data[i] + kStep * x.data[k * kPoints + i];
                left_down[i] = x.data[i] - kStep * x.data[k * kPoints + i];
                right_up[i] = y.data[i] + kStep * y.data[k * kPoints + i];
                right_down[i] = y.data[i] - kStep * y.data[k * kPoints + i];
            }
            const std::vector<double> up = binary_values(c.kernel, left_up, right_up);
            const std::vector<double> down = binary_values(c.kernel, left_down, right_down);
            for (std::size_t i = 0; i < kPoints; ++i) {
                const double difference = (up[i] - down[i]) / (2.0 * kStep);
                EXPECT_NEAR(out.data[k * kPoints + i], difference, 1e-6 * (1.0 + std::abs(difference)))
                    << "block " << k << " point " << i;
            }
        }
    }
}

// The quotient is the reciprocal of the divisor multiplied by the dividend, operation for operation.
TEST(DyrKernels, DivideIsReciprocalThenMultiply) {
    const Dyr x = smooth_input(0.6);
    const Dyr y = smooth_input(1.3);
    Dyr reciprocal = zeros(kBlocks, kPoints);
    dyr_reciprocal(reciprocal, y);
    Dyr product = zeros(kBlocks, kPoints);
    dyr_multiply(product, reciprocal, x);
    Dyr quotient = zeros(kBlocks, kPoints);
    dyr_divide(quotient, x, y);
    EXPECT_EQ(quotient.data, product.data);
}

// Writing into one of the inputs gives what a separate output gets.
TEST(DyrKernels, OutputMayBeAnInput) {
    for (const UnaryCase& c : unary_cases()) {
        SCOPED_TRACE(c.name);
        const Dyr x = smooth_input(0.6);
        Dyr separate = zeros(kBlocks, kPoints);
        c.kernel(separate, x);
        Dyr same = x;
        c.kernel(same, same);
        EXPECT_EQ(same.data, separate.data);
    }
    for (const BinaryCase& c : binary_cases()) {
        SCOPED_TRACE(c.name);
        const Dyr x = smooth_input(0.6);
        const Dyr y = smooth_input(1.3);
        Dyr separate = zeros(kBlocks, kPoints);
        c.kernel(separate, x, y);
        Dyr left = x;
        c.kernel(left, left, y);
        EXPECT_EQ(left.data, separate.data) << "output is the left operand";
        Dyr right = y;
        c.kernel(right, x, right);
        EXPECT_EQ(right.data, separate.data) << "output is the right operand";
        Dyr squared_separate = zeros(kBlocks, kPoints);
        c.kernel(squared_separate, x, x);
        Dyr both = x;
        c.kernel(both, both, both);
        EXPECT_EQ(both.data, squared_separate.data) << "output is both operands";
    }
}

TEST(DyrKernels, AddConstantCopiesDerivativeBlocks) {
    const Dyr x = smooth_input(0.6);
    Dyr out = zeros(kBlocks, kPoints);
    dyr_add_constant(out, 4.0, x);
    EXPECT_EQ(std::vector<double>(out.data.begin() + kPoints, out.data.end()),
              std::vector<double>(x.data.begin() + kPoints, x.data.end()));
    dyr_subtract_constant(out, 4.0, x);
    EXPECT_EQ(std::vector<double>(out.data.begin() + kPoints, out.data.end()),
              std::vector<double>(x.data.begin() + kPoints, x.data.end()));
}

// Inputs 1 and -1 keep every power exact, so the saturated exponents can be checked exactly.
TEST(DyrKernels, IntegerPowerSaturatesTheExponent) {
    struct Case {
        double c;
        double base;
        double value;
        double derivative;  // n * base^(n-1) for a derivative block of 1
    };
    const Case cases[] = {
        {1e300, 1.0, 1.0, 2147483647.0},
        {1e300, -1.0, -1.0, 2147483647.0},
        {-1e300, 1.0, 1.0, -2147483648.0},
        {-1e300, -1.0, 1.0, 2147483648.0},
        {-2147483648.9, 1.0, 1.0, -2147483648.0},
        {2147483647.9, -1.0, -1.0, 2147483647.0},
        {-std::numeric_limits<double>::infinity(), 1.0, 1.0, -2147483648.0},
        {std::numeric_limits<double>::infinity(), 1.0, 1.0, 2147483647.0},
        {std::numeric_limits<double>::quiet_NaN(), 3.0, 1.0, 0.0},
        {-0.9, 3.0, 1.0, 0.0},
        {-1.9, 2.0, 0.5, -0.25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.c);
        const Dyr x{2, 1, {c.base, 1.0}};
        Dyr out = zeros(2, 1);
        dyr_integer_power(out, c.c, x);
        EXPECT_EQ(out.data[0], c.value);
        EXPECT_EQ(out.data[1], c.derivative);
    }
    const Dyr wide{1, 3, {2.0, 0.5, 1.001}};
    Dyr out = zeros(1, 3);
    dyr_integer_power(out, -1e300, wide);
    EXPECT_EQ(out.data[0], 0.0);
    EXPECT_EQ(out.data[1], std::numeric_limits<double>::infinity());
    EXPECT_EQ(out.data[2], 0.0);  // (1/1.001)^(2^31) underflows
}

TEST(DyrKernels, PowerOfEmptyValueIsEmpty) {
    for (const Dyr& empty : {Dyr{0, 14, {}}, Dyr{2, 0, {}}}) {
        Dyr out = empty;
        dyr_integer_power(out, 7.0, empty);
        dyr_multiply(out, empty, empty);
        dyr_sine(out, empty);
        dyr_add_constant(out, 1.0, empty);
        dyr_constant_minus(out, 1.0, empty);
        EXPECT_TRUE(out.data.empty());
    }
}

constexpr const char* kCheck1 = "assertion failed: self.tot_len() == l.tot_len() && self.tot_len() == r.tot_len()";
constexpr const char* kCheck2 = "assertion failed: self.len == l.len && self.typ == l.typ";

std::string equality_text(std::size_t left, std::size_t right) {
    return "assertion failed: `(left == right)`\n  left: `" + std::to_string(left) + "`,\n right: `" +
           std::to_string(right) + "`";
}

TEST(DyrKernels, ShapeChecksFailWithTheirTexts) {
    const Dyr four = make_dyr(1, 4, 1.0, 1.0);   // typ 1, len 4
    const Dyr six = make_dyr(2, 3, 1.0, 1.0);    // typ 2, len 3
    const Dyr eight = make_dyr(2, 4, 1.0, 1.0);  // typ 2, len 4
    const Dyr five = make_dyr(1, 5, 1.0, 1.0);
    struct Case {
        const char* name;
        std::function<void()> call;
        std::string text;
    };
    Dyr out4 = four;
    Dyr out6 = six;
    const std::vector<Case> cases = {
        {"add, left", [&] { dyr_add(out4, six, four); }, kCheck1},
        {"add, right", [&] { dyr_add(out4, four, six); }, kCheck1},
        {"subtract", [&] { dyr_subtract(out4, four, five); }, kCheck1},
        {"multiply", [&] { dyr_multiply(out6, four, six); }, kCheck1},
        {"divide, divisor first", [&] { dyr_divide(out4, six, five); }, equality_text(4, 5)},
        {"divide, then dividend", [&] { dyr_divide(out4, six, four); }, equality_text(4, 6)},
        {"reciprocal", [&] { dyr_reciprocal(out4, six); }, equality_text(4, 6)},
        {"negate", [&] { dyr_negate(out6, five); }, equality_text(6, 5)},
        {"sine", [&] { dyr_sine(out4, five); }, kCheck2},
        {"cosine, same total", [&] { dyr_cosine(out6, make_dyr(3, 2, 1.0, 1.0)); }, kCheck2},
        {"exponential", [&] { dyr_exponential(out4, eight); }, kCheck2},
        {"logarithm", [&] { dyr_logarithm(out6, four); }, kCheck2},
        {"add constant, len", [&] { dyr_add_constant(out4, 1.0, six); }, equality_text(4, 3)},
        {"subtract constant, len", [&] { dyr_subtract_constant(out6, 1.0, five); }, equality_text(3, 5)},
        {"add constant, blocks", [&] { dyr_add_constant(out4, 1.0, eight); }, equality_text(1, 2)},
        {"constant minus", [&] { dyr_constant_minus(out4, 1.0, five); }, equality_text(4, 5)},
        {"scale", [&] { dyr_scale(out6, 2.0, eight); }, equality_text(6, 8)},
        {"integer power", [&] { dyr_integer_power(out4, 3.0, eight); }, equality_text(4, 8)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(panic_text(c.call), c.text);
    }
    EXPECT_EQ(out4.data, four.data) << "a failed check writes nothing";
    EXPECT_EQ(out6.data, six.data);
}

// The checks of the block-free kernels compare total sizes only; the blocks are then read with
// the output's shape.
TEST(DyrKernels, TotalSizeKernelsAcceptOtherShapes) {
    const Dyr x = make_dyr(3, 2, 1.0, 1.0);  // [1 2 | 3 4 | 5 6]
    Dyr out = zeros(2, 3);                   // blocks of 3
    dyr_constant_minus(out, 10.0, x);
    EXPECT_EQ(out.data, (std::vector<double>{9.0, 8.0, 7.0, -4.0, -5.0, -6.0}));
    dyr_reciprocal(out, x);
    EXPECT_EQ(out.data[0], 1.0);
    EXPECT_EQ(out.data[3], -4.0);  // -(1/1)^2 * 4
}

}  // namespace
}  // namespace quarvex
