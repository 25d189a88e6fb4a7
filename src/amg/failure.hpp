// The failure texts of the multigrid solver, each written once. All are thrown as the core's
// Panic and start with the part that failed ("multigrid: ", "conjugate gradients: ").
#pragma once

#include <cstddef>
#include <string>

namespace quarvex {

// A number as failure texts show it: six significant digits ("-1.5e-07", "2048").
std::string number_text(double value);

// "multigrid: the matrix is not positive definite (<evidence>)"
[[noreturn]] void refuse_not_definite(const std::string& evidence);

// "multigrid: the matrix's structure differs from the one the hierarchy was built for"
[[noreturn]] void refuse_other_structure();

// "multigrid: the hierarchy is not ready (its last refresh failed); refresh or set it up again"
[[noreturn]] void refuse_unready();

// "conjugate gradients: the <what> is not positive definite (<evidence>)"
[[noreturn]] void refuse_breakdown(const std::string& what, const std::string& evidence);

}  // namespace quarvex
