// Cost of evaluating a body-load arena the way assembly does per element: bind x, y, z at the 14
// quadrature points, evaluate every node, read three components. Each load is also written out
// as plain C++ over the same points, to show what the arena's interpretation costs on top.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "expr/evaluate.hpp"

namespace {

using quarvex::Arena;
using quarvex::Kernel;

constexpr std::size_t kPoints = 14;
constexpr int kElements = 64;  // distinct coordinate sets, cycled like consecutive elements

struct Load {
    const char* name;
    Arena arena;
    std::uint64_t components[3];
    int transcendental;
    // The same three components computed directly at one point.
    void (*direct)(double x, double y, double z, double* out);
};

// fx = 2xy + z^2 - 1,  fy = 3xyz + y^2 - x,  fz = (x + y)(y - z) / 4 + 0.5x
Load polynomial_load() {
    Load load{"polynomial", Arena{}, {}, 0, nullptr};
    Arena& a = load.arena;
    using namespace quarvex;
    const auto x = new_var(a), y = new_var(a), z = new_var(a);
    const auto xy = new_two_nodes(a, Kernel::Multiply, x, y);
    const auto two_xy = new_node_const(a, Kernel::Scale, xy, 2.0);
    const auto zz = new_two_nodes(a, Kernel::Multiply, z, z);
    const auto sum = new_two_nodes(a, Kernel::Add, two_xy, zz);
    load.components[0] = new_node_const(a, Kernel::SubtractConstant, sum, 1.0);
    const auto xyz = new_two_nodes(a, Kernel::Multiply, xy, z);
    const auto three_xyz = new_node_const(a, Kernel::Scale, xyz, 3.0);
    const auto yy = new_node_const(a, Kernel::IntegerPower, y, 2.0);
    const auto sum2 = new_two_nodes(a, Kernel::Add, three_xyz, yy);
    load.components[1] = new_two_nodes(a, Kernel::Subtract, sum2, x);
    const auto x_plus_y = new_two_nodes(a, Kernel::Add, x, y);
    const auto y_minus_z = new_two_nodes(a, Kernel::Subtract, y, z);
    const auto product = new_two_nodes(a, Kernel::Multiply, x_plus_y, y_minus_z);
    const auto quarter = new_node_const(a, Kernel::Scale, product, 0.25);
    const auto half_x = new_node_const(a, Kernel::Scale, x, 0.5);
    load.components[2] = new_two_nodes(a, Kernel::Add, quarter, half_x);
    load.direct = [](double x, double y, double z, double* out) {
        out[0] = 2.0 * (x * y) + z * z - 1.0;
        out[1] = 3.0 * (x * y * z) + y * y - x;
        out[2] = 0.25 * ((x + y) * (y - z)) + 0.5 * x;
    };
    return load;
}

// fx = y sin x + z^2,  fy = e^(-x) cos y,  fz = x^3 - 2yz / (1 + x^2)
Load mixed_load() {
    Load load{"mixed (sin, cos, exp)", Arena{}, {}, 3, nullptr};
    Arena& a = load.arena;
    using namespace quarvex;
    const auto x = new_var(a), y = new_var(a), z = new_var(a);
    const auto sine = new_one_node(a, Kernel::Sine, x);
    const auto y_sine = new_two_nodes(a, Kernel::Multiply, y, sine);
    const auto zz = new_two_nodes(a, Kernel::Multiply, z, z);
    load.components[0] = new_two_nodes(a, Kernel::Add, y_sine, zz);
    const auto minus_x = new_one_node(a, Kernel::Negate, x);
    const auto decay = new_one_node(a, Kernel::Exponential, minus_x);
    const auto cosine = new_one_node(a, Kernel::Cosine, y);
    load.components[1] = new_two_nodes(a, Kernel::Multiply, decay, cosine);
    const auto cube = new_node_const(a, Kernel::IntegerPower, x, 3.0);
    const auto yz = new_two_nodes(a, Kernel::Multiply, y, z);
    const auto two_yz = new_node_const(a, Kernel::Scale, yz, 2.0);
    const auto xx = new_two_nodes(a, Kernel::Multiply, x, x);
    const auto denominator = new_node_const(a, Kernel::AddConstant, xx, 1.0);
    const auto quotient = new_two_nodes(a, Kernel::Divide, two_yz, denominator);
    const auto difference = new_two_nodes(a, Kernel::Subtract, cube, quotient);
    load.components[2] = new_node_const(a, Kernel::Scale, difference, 1.0);
    new_cst(a, 0.0);  // an unused constant, as scripts leave them
    load.direct = [](double x, double y, double z, double* out) {
        out[0] = y * std::sin(x) + z * z;
        out[1] = std::exp(-x) * std::cos(y);
        out[2] = x * x * x - (2.0 * (y * z)) * (1.0 / (x * x + 1.0));
    };
    return load;
}

struct Coordinates {
    std::vector<double> xs, ys, zs;
};

std::vector<Coordinates> element_points() {
    std::vector<Coordinates> elements(kElements);
    for (int e = 0; e < kElements; ++e) {
        for (std::size_t q = 0; q < kPoints; ++q) {
            const double t = 0.01 * e + 0.07 * static_cast<double>(q);
            elements[e].xs.push_back(0.3 + t);
            elements[e].ys.push_back(0.9 - 0.5 * t);
            elements[e].zs.push_back(0.1 + 0.25 * t);
        }
    }
    return elements;
}

template <class Body>
double nanoseconds_per_call(long calls, Body&& body) {
    for (long i = 0; i < calls / 10; ++i) body(i);  // warm up caches and the scratch buffers
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) body(i);
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(calls);
}

volatile double sink = 0.0;

struct Row {
    const char* load;
    std::size_t nodes;
    int transcendental;
    std::size_t typ;
    double arena_ns;
    double direct_ns;
};

Row measure(Load load, std::size_t typ, long calls) {
    const std::vector<Coordinates> elements = element_points();
    Arena copy = load.arena;  // each chunk evaluates its own copy
    const double arena_ns = nanoseconds_per_call(calls, [&](long i) {
        const Coordinates& c = elements[i % kElements];
        quarvex::bind_values(copy.values, 0, c.xs, typ > 1 ? 1 : 0, typ);
        quarvex::bind_values(copy.values, 1, c.ys, typ > 2 ? 2 : 0, typ);
        quarvex::bind_values(copy.values, 2, c.zs, typ > 3 ? 3 : 0, typ);
        quarvex::evaluate(copy.node_ops, copy.values);
        double total = 0.0;
        for (std::uint64_t component : load.components) total += copy.values.node_values[component].data[kPoints - 1];
        sink = sink + total;
    });
    const double direct_ns = nanoseconds_per_call(calls, [&](long i) {
        const Coordinates& c = elements[i % kElements];
        double values[3][kPoints];
        for (std::size_t q = 0; q < kPoints; ++q) {
            double point[3];
            load.direct(c.xs[q], c.ys[q], c.zs[q], point);
            for (int k = 0; k < 3; ++k) values[k][q] = point[k];
        }
        sink = sink + values[0][kPoints - 1] + values[1][kPoints - 1] + values[2][kPoints - 1];
    });
    return Row{load.name, quarvex::node_count(load.arena), load.transcendental, typ, arena_ns, direct_ns};
}

}  // namespace

int main(int argc, char** argv) {
    const long calls = argc > 1 ? std::atol(argv[1]) : 2000000;
    std::vector<Row> rows;
    rows.push_back(measure(polynomial_load(), 1, calls));
    rows.push_back(measure(mixed_load(), 1, calls));
    rows.push_back(measure(mixed_load(), 4, calls / 4));

    std::printf(
        "Evaluating a body-load arena at %zu points per element (bind x, y, z, evaluate, read 3 components)\n\n",
        kPoints);
    std::printf("%-24s %6s %6s %4s %12s %12s %10s %12s %10s\n", "load", "nodes", "trans", "typ", "ns/eval", "ns/node",
                "vs 1 us", "direct ns", "arena/dir");
    for (const Row& row : rows) {
        std::printf("%-24s %6zu %6d %4zu %12.1f %12.1f %10.2f %12.1f %10.2f\n", row.load, row.nodes, row.transcendental,
                    row.typ, row.arena_ns, row.arena_ns / static_cast<double>(row.nodes), row.arena_ns / 1000.0,
                    row.direct_ns, row.arena_ns / row.direct_ns);
    }
    std::printf("\n'vs 1 us' is ns/eval over the 1000 ns budget; 'direct' computes the values only (typ 1).\n");
    return 0;
}
