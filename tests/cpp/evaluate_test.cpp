// Binding and evaluating whole arenas: values against closed forms, derivative blocks against
// central finite differences, the batch shape rules, and rejected bindings and operand ids.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "expr/evaluate.hpp"

namespace quarvex {
namespace {

using test_support::panic_text;

constexpr std::size_t kPoints = 14;

Arena coordinate_arena() {
    Arena arena;
    new_var(arena);
    new_var(arena);
    new_var(arena);
    return arena;
}

std::vector<double> points(double start, double step) {
    std::vector<double> values(kPoints);
    for (std::size_t i = 0; i < kPoints; ++i) values[i] = start + step * static_cast<double>(i);
    return values;
}

// Binds x, y, z as the callers do; with typ > 1 the seeds make blocks 1, 2, 3 the derivatives
// along x, y, z.
void bind_coordinates(Arena& arena, const std::vector<double>& xs, const std::vector<double>& ys,
                      const std::vector<double>& zs, std::size_t typ) {
    bind_values(arena.values, 0, xs, typ > 1 ? 1 : 0, typ);
    bind_values(arena.values, 1, ys, typ > 2 ? 2 : 0, typ);
    bind_values(arena.values, 2, zs, typ > 3 ? 3 : 0, typ);
}

std::vector<double> block(const Arena& arena, std::uint64_t node, std::size_t j) {
    const Dyr& value = arena.values.node_values[node];
    return std::vector<double>(value.data.begin() + j * value.len, value.data.begin() + (j + 1) * value.len);
}

TEST(Evaluate, SquarePlusY) {
    Arena arena = coordinate_arena();
    const std::uint64_t square = new_two_nodes(arena, Kernel::Multiply, 0, 0);
    const std::uint64_t sum = new_two_nodes(arena, Kernel::Add, square, 1);
    bind_values(arena.values, 0, std::vector<double>{1.0, 2.0}, 0, 1);
    bind_values(arena.values, 1, std::vector<double>{3.0, 4.0}, 0, 1);
    bind_values(arena.values, 2, std::vector<double>{0.0, 0.0}, 0, 1);
    evaluate(arena.node_ops, arena.values);
    EXPECT_EQ(arena.values.node_values[sum].data, (std::vector<double>{4.0, 8.0}));
}

TEST(Evaluate, ConstantsSpreadAndUnboundVariablesAreZero) {
    for (std::size_t typ : {1, 2}) {
        SCOPED_TRACE(typ);
        Arena arena = coordinate_arena();
        const std::uint64_t five = new_cst(arena, 5.0);
        const std::uint64_t unbound = new_var(arena);
        const std::uint64_t shifted = new_node_const(arena, Kernel::AddConstant, unbound, 0.5);
        bind_coordinates(arena, points(0.1, 0.1), points(0.2, 0.1), points(0.3, 0.1), typ);
        evaluate(arena.node_ops, arena.values);
        EXPECT_EQ(block(arena, five, 0), std::vector<double>(kPoints, 5.0));
        EXPECT_EQ(block(arena, unbound, 0), std::vector<double>(kPoints, 0.0));
        EXPECT_EQ(block(arena, shifted, 0), std::vector<double>(kPoints, 0.5));
        if (typ == 2) {
            EXPECT_EQ(block(arena, five, 1), std::vector<double>(kPoints, 0.0));
            EXPECT_EQ(block(arena, unbound, 1), std::vector<double>(kPoints, 0.0));
        }
    }
}

// With one derivative block seeded on x, block 1 of every node is its derivative along x.
TEST(Evaluate, DerivativeBlockAlongX) {
    Arena arena = coordinate_arena();
    const std::uint64_t sine = new_one_node(arena, Kernel::Sine, 0);
    const std::uint64_t square = new_two_nodes(arena, Kernel::Multiply, 0, 0);
    const std::uint64_t unbound = new_var(arena);
    const std::uint64_t times_y = new_two_nodes(arena, Kernel::Multiply, 0, 1);
    const std::vector<double> xs = points(-1.3, 0.2);
    const std::vector<double> ys = points(2.0, -0.3);
    bind_coordinates(arena, xs, ys, points(0.0, 0.0), 2);
    evaluate(arena.node_ops, arena.values);
    for (std::size_t i = 0; i < kPoints; ++i) {
        EXPECT_EQ(block(arena, sine, 1)[i], std::cos(xs[i]));
        EXPECT_EQ(block(arena, square, 1)[i], 2.0 * xs[i]);
        EXPECT_EQ(block(arena, unbound, 1)[i], 0.0);
        EXPECT_EQ(block(arena, times_y, 1)[i], ys[i]);
    }
}

TEST(Evaluate, IntegerPowerTruncatesItsExponent) {
    struct Case {
        double c;
        int n;
    };
    const Case cases[] = {{3.9, 3},   {-2.0, -2}, {0.0, 0},   {std::numeric_limits<double>::quiet_NaN(), 0},
                          {6.0, 6},   {7.0, 7},   {0.5, 0},   {-0.5, 0},
                          {-3.7, -3}, {1.0, 1},   {-1.0, -1}, {13.0, 13}};
    const std::vector<double> xs = points(-1.45, 0.21);  // no zero among them
    for (const Case& c : cases) {
        SCOPED_TRACE(c.c);
        Arena arena = coordinate_arena();
        const std::uint64_t power = new_node_const(arena, Kernel::IntegerPower, 0, c.c);
        bind_coordinates(arena, xs, points(0.0, 0.0), points(0.0, 0.0), 2);
        evaluate(arena.node_ops, arena.values);
        for (std::size_t i = 0; i < kPoints; ++i) {
            const double value = std::pow(xs[i], c.n);
            const double derivative = c.n == 0 ? 0.0 : c.n * std::pow(xs[i], c.n - 1);
            EXPECT_NEAR(block(arena, power, 0)[i], value, 1e-14 * std::abs(value)) << "x = " << xs[i];
            EXPECT_NEAR(block(arena, power, 1)[i], derivative, 1e-14 * std::abs(derivative)) << "x = " << xs[i];
        }
    }
}

TEST(Evaluate, LogarithmOfZeroAndNegative) {
    Arena arena = coordinate_arena();
    const std::uint64_t log = new_one_node(arena, Kernel::Logarithm, 0);
    bind_values(arena.values, 0, std::vector<double>{0.0, -1.0, 1.0}, 0, 1);
    evaluate(arena.node_ops, arena.values);
    EXPECT_EQ(arena.values.node_values[log].data[0], -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(arena.values.node_values[log].data[1]));
    EXPECT_EQ(arena.values.node_values[log].data[2], 0.0);
}

// Every kernel in one expression; each node's derivative blocks along x, y, z against central
// differences of the node's values, and the final value against the formula written out.
TEST(Evaluate, DerivativesOfACompositeExpression) {
    Arena arena = coordinate_arena();
    const auto two = [&](Kernel kernel, std::uint64_t a, std::uint64_t b) {
        return new_two_nodes(arena, kernel, a, b);
    };
    const auto one = [&](Kernel kernel, std::uint64_t a) { return new_one_node(arena, kernel, a); };
    const auto with_c = [&](Kernel kernel, std::uint64_t a, double c) { return new_node_const(arena, kernel, a, c); };
    const std::uint64_t n3 = one(Kernel::Sine, 0);                   // sin x
    const std::uint64_t n4 = two(Kernel::Multiply, n3, 1);           // y sin x
    const std::uint64_t n5 = one(Kernel::Exponential, n4);           // e^(y sin x)
    const std::uint64_t n6 = with_c(Kernel::IntegerPower, 2, 2.0);   // z^2
    const std::uint64_t n7 = with_c(Kernel::AddConstant, n6, 1.0);   // z^2 + 1
    const std::uint64_t n8 = two(Kernel::Divide, n5, n7);            // e^(y sin x) / (z^2 + 1)
    const std::uint64_t n9 = one(Kernel::Logarithm, 0);              // ln x
    const std::uint64_t n10 = with_c(Kernel::IntegerPower, 1, 3.0);  // y^3
    const std::uint64_t n11 = one(Kernel::Cosine, 2);                // cos z
    const std::uint64_t n12 = two(Kernel::Multiply, n10, n11);       // y^3 cos z
    const std::uint64_t n13 = two(Kernel::Subtract, n9, n12);        // ln x - y^3 cos z
    const std::uint64_t n14 = two(Kernel::Add, n8, n13);
    const std::uint64_t n15 = one(Kernel::Negate, n14);
    const std::uint64_t n16 = with_c(Kernel::ConstantMinus, n15, 2.0);  // 2 + n14
    const std::uint64_t n17 = with_c(Kernel::Scale, n16, 0.5);          // (2 + n14) / 2
    const std::uint64_t n18 = with_c(Kernel::SubtractConstant, n17, 3.0);
    const std::uint64_t n19 = one(Kernel::Reciprocal, n7);             // 1 / (z^2 + 1)
    const std::uint64_t n20 = with_c(Kernel::IntegerPower, n7, -3.0);  // (z^2 + 1)^-3
    const std::uint64_t n21 = two(Kernel::Multiply, n18, n19);
    const std::uint64_t last = two(Kernel::Add, n21, n20);

    const std::vector<double> xs = points(0.5, 0.07);
    const std::vector<double> ys = points(0.2, 0.075);
    const std::vector<double> zs = points(-1.0, 0.15);
    bind_coordinates(arena, xs, ys, zs, 4);
    evaluate(arena.node_ops, arena.values);
    const Arena derivatives = arena;

    for (std::size_t i = 0; i < kPoints; ++i) {
        const double x = xs[i], y = ys[i], z = zs[i];
        const double q = z * z + 1.0;
        const double n14_value = std::exp(y * std::sin(x)) / q + std::log(x) - y * y * y * std::cos(z);
        const double expected = (0.5 * (2.0 + n14_value) - 3.0) / q + 1.0 / (q * q * q);
        EXPECT_NEAR(derivatives.values.node_values[last].data[i], expected, 1e-13 * std::abs(expected));
    }

    const double step = 1e-6;
    const std::vector<double>* inputs[] = {&xs, &ys, &zs};
    for (std::size_t direction = 0; direction < 3; ++direction) {
        std::vector<double> up[3] = {xs, ys, zs};
        std::vector<double> down[3] = {xs, ys, zs};
        for (std::size_t i = 0; i < kPoints; ++i) {
            up[direction][i] = (*inputs[direction])[i] + step;
            down[direction][i] = (*inputs[direction])[i] - step;
        }
        Arena ahead = arena;
        bind_coordinates(ahead, up[0], up[1], up[2], 1);
        evaluate(ahead.node_ops, ahead.values);
        Arena behind = arena;
        bind_coordinates(behind, down[0], down[1], down[2], 1);
        evaluate(behind.node_ops, behind.values);
        for (std::uint64_t node = 3; node < node_count(arena); ++node) {
            for (std::size_t i = 0; i < kPoints; ++i) {
                const double difference =
                    (ahead.values.node_values[node].data[i] - behind.values.node_values[node].data[i]) / (2.0 * step);
                EXPECT_NEAR(block(derivatives, node, direction + 1)[i], difference, 1e-6 * (1.0 + std::abs(difference)))
                    << "node " << node << " direction " << direction << " point " << i;
            }
        }
    }
}

TEST(Bind, SeedSelectsTheUnitBlock) {
    struct Case {
        std::size_t seed;
        std::vector<double> expected;  // typ 4, len 2
    };
    const Case cases[] = {
        {0, {7.0, 8.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
        {1, {7.0, 8.0, 1.0, 1.0, 0.0, 0.0, 0.0, 0.0}},
        {3, {7.0, 8.0, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0}},
        {4, {7.0, 8.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seed);
        Arena arena = coordinate_arena();
        bind_values(arena.values, 1, std::vector<double>{7.0, 8.0}, c.seed, 4);
        EXPECT_EQ(arena.values.node_values[1].data, c.expected);
        EXPECT_EQ(arena.values.node_values[1].typ, 4u);
        EXPECT_EQ(arena.values.node_values[1].len, 2u);
    }
}

TEST(Bind, UnchangedShapeRewritesOnlyTheBoundNode) {
    Arena arena = coordinate_arena();
    const std::uint64_t sum = new_two_nodes(arena, Kernel::Add, 0, 1);
    bind_coordinates(arena, points(1.0, 1.0), points(10.0, 0.0), points(0.0, 0.0), 1);
    evaluate(arena.node_ops, arena.values);
    const std::vector<double> before = arena.values.node_values[sum].data;
    const double* y_storage = arena.values.node_values[1].data.data();

    bind_values(arena.values, 0, points(-1.0, 0.0), 0, 1);
    EXPECT_EQ(arena.values.node_values[sum].data, before) << "operation nodes wait for evaluate";
    EXPECT_EQ(arena.values.node_values[1].data.data(), y_storage);
    evaluate(arena.node_ops, arena.values);
    EXPECT_EQ(arena.values.node_values[sum].data, std::vector<double>(kPoints, 9.0));

    // A new shape spreads the evaluated sum like a constant: its first value, zero derivatives.
    bind_values(arena.values, 2, std::vector<double>{0.0, 0.0, 0.0}, 0, 2);
    EXPECT_EQ(arena.values.typ, 2u);
    EXPECT_EQ(arena.values.len, 3u);
    EXPECT_EQ(arena.values.node_values[sum].data, (std::vector<double>{9.0, 9.0, 9.0, 0.0, 0.0, 0.0}));
    EXPECT_EQ(arena.values.node_values[0].data, (std::vector<double>{-1.0, -1.0, -1.0, 0.0, 0.0, 0.0}));
}

TEST(Bind, NodeBeyondTheArena) {
    Arena arena;
    new_var(arena);
    new_var(arena);
    bind_values(arena.values, 0, points(0.1, 0.1), 0, 1);
    bind_values(arena.values, 1, points(0.2, 0.1), 0, 1);
    const std::vector<double> x_before = arena.values.node_values[0].data;
    EXPECT_EQ(panic_text([&] { bind_values(arena.values, 2, points(0.3, 0.1), 0, 1); }),
              "index out of bounds: the len is 2 but the index is 2");
    EXPECT_EQ(panic_text([&] { bind_values(arena.values, UINT64_MAX, points(0.3, 0.1), 0, 1); }),
              "index out of bounds: the len is 2 but the index is 18446744073709551615");
    EXPECT_EQ(arena.values.node_values[0].data, x_before);

    // At a new shape the same id binds nothing and fails nothing; every node is reshaped.
    Arena fresh;
    const std::uint64_t five = new_cst(fresh, 5.0);
    const std::uint64_t unbound = new_var(fresh);
    bind_values(fresh.values, 7, points(0.3, 0.1), 0, 1);
    EXPECT_EQ(fresh.values.typ, 1u);
    EXPECT_EQ(fresh.values.len, kPoints);
    EXPECT_EQ(fresh.values.node_values[five].data, std::vector<double>(kPoints, 5.0));
    EXPECT_EQ(fresh.values.node_values[unbound].data, std::vector<double>(kPoints, 0.0));
}

TEST(Evaluate, OperandIdsBeyondTheArenaAreRejected) {
    struct Case {
        const char* name;
        std::function<void(Arena&)> build;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"right operand", [](Arena& a) { new_two_nodes(a, Kernel::Add, 0, 99); },
         "index out of bounds: the len is 5 but the index is 99"},
        {"left operand first", [](Arena& a) { new_two_nodes(a, Kernel::Divide, 98, 99); },
         "index out of bounds: the len is 5 but the index is 98"},
        {"own id as count", [](Arena& a) { new_one_node(a, Kernel::Sine, 5); },
         "index out of bounds: the len is 5 but the index is 5"},
        {"node and constant", [](Arena& a) { new_node_const(a, Kernel::IntegerPower, UINT64_MAX, 3.0); },
         "index out of bounds: the len is 5 but the index is 18446744073709551615"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Arena arena = coordinate_arena();
        const std::uint64_t shifted = new_node_const(arena, Kernel::AddConstant, 0, 1.0);
        c.build(arena);
        bind_coordinates(arena, points(1.0, 1.0), points(0.0, 0.0), points(0.0, 0.0), 1);
        EXPECT_EQ(panic_text([&] { evaluate(arena.node_ops, arena.values); }), c.text);
        EXPECT_EQ(block(arena, shifted, 0), points(2.0, 1.0)) << "nodes before the bad one are computed";
    }
}

// An operand at or above the node's own id is read as it stood before the pass.
TEST(Evaluate, LaterOperandsReadTheirPreviousValues) {
    Arena arena = coordinate_arena();
    const std::uint64_t sum = new_two_nodes(arena, Kernel::Add, 4, 0);  // node 4 is built next
    const std::uint64_t shifted = new_node_const(arena, Kernel::AddConstant, 0, 1.0);
    const std::uint64_t running = new_two_nodes(arena, Kernel::Add, 5, 0);  // its own id
    bind_coordinates(arena, points(1.0, 1.0), points(0.0, 0.0), points(0.0, 0.0), 1);
    evaluate(arena.node_ops, arena.values);
    EXPECT_EQ(block(arena, sum, 0), points(1.0, 1.0));  // 0 + x
    EXPECT_EQ(block(arena, running, 0), points(1.0, 1.0));
    evaluate(arena.node_ops, arena.values);
    EXPECT_EQ(block(arena, sum, 0), points(3.0, 2.0));  // (x + 1) + x
    EXPECT_EQ(block(arena, shifted, 0), points(2.0, 1.0));
    EXPECT_EQ(block(arena, running, 0), points(2.0, 2.0));  // x + x
}

TEST(Evaluate, KernelChecksGuardAnUnboundArena) {
    Arena arena = coordinate_arena();
    const std::uint64_t five = new_cst(arena, 5.0);
    new_two_nodes(arena, Kernel::Add, five, 0);
    EXPECT_EQ(panic_text([&] { evaluate(arena.node_ops, arena.values); }),
              "assertion failed: self.tot_len() == l.tot_len() && self.tot_len() == r.tot_len()");
    Arena logs = coordinate_arena();
    new_one_node(logs, Kernel::Logarithm, new_cst(logs, 5.0));
    EXPECT_EQ(panic_text([&] { evaluate(logs.node_ops, logs.values); }),
              "assertion failed: self.len == l.len && self.typ == l.typ");
    Arena powers = coordinate_arena();
    new_node_const(powers, Kernel::IntegerPower, new_cst(powers, 5.0), 2.0);
    EXPECT_EQ(panic_text([&] { evaluate(powers.node_ops, powers.values); }),
              "assertion failed: `(left == right)`\n  left: `0`,\n right: `1`");
}

// A shape of no blocks or no points makes every node empty; evaluation then writes nothing.
TEST(Evaluate, EmptyShapes) {
    for (std::size_t typ : {0, 1}) {
        SCOPED_TRACE(typ);
        Arena arena = coordinate_arena();
        new_cst(arena, 2.0);
        new_two_nodes(arena, Kernel::Divide, 3, 0);
        new_node_const(arena, Kernel::IntegerPower, 4, 5.0);
        new_node_const(arena, Kernel::AddConstant, 4, 5.0);
        bind_values(arena.values, 0, typ == 0 ? points(1.0, 1.0) : std::vector<double>{}, 0, typ);
        evaluate(arena.node_ops, arena.values);
        for (const Dyr& value : arena.values.node_values) EXPECT_TRUE(value.data.empty());
    }
}

}  // namespace
}  // namespace quarvex
