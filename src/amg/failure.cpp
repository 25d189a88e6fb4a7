// The failure texts of the multigrid solver.
#include "amg/failure.hpp"

#include <cstdio>

#include "base/failure.hpp"

namespace quarvex {

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

void refuse_not_definite(const std::string& evidence) {
    panic("multigrid: the matrix is not positive definite (" + evidence + ")");
}

void refuse_other_structure() {
    panic("multigrid: the matrix's structure differs from the one the hierarchy was built for");
}

void refuse_unready() {
    panic("multigrid: the hierarchy is not ready (its last refresh failed); refresh or set it up again");
}

void refuse_breakdown(const std::string& what, const std::string& evidence) {
    panic("conjugate gradients: the " + what + " is not positive definite (" + evidence + ")");
}

}  // namespace quarvex
