// One element's share of the L2 error: |det J| * sum_q w(q) * sum_c (uh_c - u_c)^2 at the
// 14 quadrature points, uh from the element's degree-of-freedom values in sol and bc and u
// the exact field's values at the element's quadrature points.
#pragma once

#include <span>

#include "base/tet.hpp"
#include "expr/field_values.hpp"

namespace quarvex {

double element_error(const Tet& tet, const FieldValues& exact, std::span<const double> sol, std::span<const double> bc);

}  // namespace quarvex
