// One element's share of the L2 error: |det J| * sum_q w(q) * sum_c (uh_c - u_c)^2 at the
// 14 quadrature points, uh from the element's degree-of-freedom values in sol and bc.
#pragma once

#include <cstdint>
#include <span>

#include "elems/tet.hpp"
#include "lacc/arena.hpp"

namespace quarvex {

double element_error(const Tet& tet, Arena& arena, std::span<const std::uint64_t> nodes,
                     std::span<const double> sol, std::span<const double> bc);

}  // namespace quarvex
