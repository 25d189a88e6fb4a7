// Throughput of the element routine on one core: random well-shaped quadratic tetrahedra,
// an isotropic material, no body load. Prints elements per second and flop rates, then the
// cost of a body load (a constant and a polynomial one) relative to none.
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "expr/arena.hpp"
#include "model/element_system.hpp"

namespace {

using quarvex::ExMat;
using quarvex::Tet;

// Useful floating-point operations per element (a fused multiply-add counts as two):
// gradient transform 10 * 3 * 14 fma, weighting 3 * 10 * 14 mul, S sums 100 * 9 * 14 fma,
// |det J| scaling 100 * 9 mul, Frobenius products 100 * 9 * 9 fma, accumulation 900 add,
// plus about 60 for the Jacobian and its inverse. Padding lanes are not counted.
constexpr double kFlopsPerElement = 2.0 * (10 * 3 * 14 + 100 * 9 * 14 + 100 * 9 * 9) + 3 * 10 * 14 + 100 * 9 + 900 + 60;

constexpr double kTargetRate = 250000.0;

ExMat isotropic_material(double lambda, double mu) {
    ExMat cmat;
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t j = 0; j < 3; ++j)
            for (std::size_t d = 0; d < 3; ++d)
                for (std::size_t l = 0; l < 3; ++l)
                    block(cmat, c, d)[3 * j + l] =
                        lambda * (c == j) * (d == l) + mu * ((c == d) * (j == l) + (c == l) * (j == d));
    return cmat;
}

// A regular tetrahedron, randomly rotated, scaled, perturbed by up to 10% of its edge and moved.
std::vector<Tet> random_elements(std::size_t count, std::mt19937_64& random) {
    const std::array<quarvex::Point, 4> regular = {
        {{1.0, 1.0, 1.0}, {1.0, -1.0, -1.0}, {-1.0, 1.0, -1.0}, {-1.0, -1.0, 1.0}}};
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<Tet> elements(count);
    for (Tet& tet : elements) {
        std::array<double, 4> quat{unit(random), unit(random), unit(random), unit(random)};
        const double norm = std::sqrt(quat[0] * quat[0] + quat[1] * quat[1] + quat[2] * quat[2] + quat[3] * quat[3]);
        for (double& part : quat) part /= norm;
        const auto [w, x, y, z] = quat;
        const double rotation[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                                       {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                                       {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
        const double scale = 0.01 + 0.5 * (unit(random) + 1.0);
        const std::array<double, 3> shift{unit(random), unit(random), unit(random)};
        for (std::size_t k = 0; k < 4; ++k)
            for (std::size_t r = 0; r < 3; ++r) {
                double coord = 0.0;
                for (std::size_t s = 0; s < 3; ++s) coord += rotation[r][s] * (regular[k][s] + 0.28 * unit(random));
                tet.pts[k][r] = shift[r] + scale * coord;
            }
    }
    return elements;
}

// Elements per second over `passes` passes of `elements`, after one warm-up pass.
double measure(const std::vector<Tet>& elements, std::size_t passes, const ExMat& cmat, quarvex::LoadMap& loads,
               double& checksum) {
    std::vector<double> element_matrix(quarvex::kElementMatrixSize);
    std::vector<double> element_vector(quarvex::kLocalDofs);
    quarvex::LoadValues load_values;
    const auto run = [&](const Tet& tet) {
        quarvex::tet_element(tet, std::span<double, 900>(element_matrix.data(), 900),
                             std::span<double, 30>(element_vector.data(), 30), cmat, loads, load_values);
    };
    for (const Tet& tet : elements) run(tet);
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t pass = 0; pass < passes; ++pass)
        for (const Tet& tet : elements) {
            run(tet);
            checksum += element_matrix[31 * (pass % 30)] + element_vector[pass % 30];
        }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(elements.size() * passes) / seconds;
}

}  // namespace

int main() {
    std::mt19937_64 random(20240611);
    const ExMat cmat = isotropic_material(1.2, 0.8);
    double checksum = 0.0;

    std::printf("stiffness only (isotropic D, no load), one core\n");
    std::printf("%-18s %8s %12s %10s %10s %10s\n", "elements/pass", "passes", "elements/s", "ns/elem", "GFLOP/s",
                "vs target");
    for (const std::size_t count : {1000u, 10000u, 100000u}) {
        const std::vector<Tet> elements = random_elements(count, random);
        const std::size_t passes = 400000 / count;
        quarvex::LoadMap no_loads;
        const double rate = measure(elements, passes, cmat, no_loads, checksum);
        std::printf("%-18zu %8zu %12.0f %10.1f %10.2f %9.2fx\n", count, passes, rate, 1e9 / rate,
                    rate * kFlopsPerElement * 1e-9, rate / kTargetRate);
    }
    std::printf("useful flops per element (fma = 2): %.0f; target %.0f elements/s\n\n", kFlopsPerElement, kTargetRate);

    // Body loads: f = (0, 0, -9.81) from constants, and f = (x y, sin z, x^3) from operations.
    quarvex::Arena constant;
    for (int k = 0; k < 3; ++k) quarvex::new_var(constant);
    quarvex::new_cst(constant, 0.0);
    quarvex::new_cst(constant, -9.81);
    quarvex::Arena polynomial;
    for (int k = 0; k < 3; ++k) quarvex::new_var(polynomial);
    const std::uint64_t xy = quarvex::new_two_nodes(polynomial, quarvex::Kernel::Multiply, 0, 1);
    const std::uint64_t sin_z = quarvex::new_one_node(polynomial, quarvex::Kernel::Sine, 2);
    const std::uint64_t x_cubed = quarvex::new_node_const(polynomial, quarvex::Kernel::IntegerPower, 0, 3.0);
    struct LoadCase {
        const char* name;
        quarvex::LoadMap loads;
    };
    LoadCase cases[3] = {{"no load", {}}, {"constant load", {}}, {"x y, sin z, x^3", {}}};
    cases[1].loads.emplace(0, quarvex::BodyLoad{constant, 3, 1, {3, 3, 4}});
    cases[2].loads.emplace(0, quarvex::BodyLoad{polynomial, 3, 1, {xy, sin_z, x_cubed}});
    const std::vector<Tet> elements = random_elements(10000, random);
    std::printf("%-18s %12s %10s %12s\n", "body load", "elements/s", "ns/elem", "vs no load");
    double base_rate = 0.0;
    for (LoadCase& load_case : cases) {
        const double rate = measure(elements, 40, cmat, load_case.loads, checksum);
        if (base_rate == 0.0) base_rate = rate;
        std::printf("%-18s %12.0f %10.1f %11.2fx\n", load_case.name, rate, 1e9 / rate, rate / base_rate);
    }
    std::printf("checksum %.6e\n", checksum);
    return 0;
}
