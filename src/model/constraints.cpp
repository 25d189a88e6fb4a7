#include "model/constraints.hpp"

#include <cmath>
#include <string>

#include "base/failure.hpp"
#include "base/interrupt.hpp"

namespace quarvex {

SavedRows constrain(Nexus& model, std::span<const std::uint64_t> unknowns, std::span<const double> values,
                    std::span<const NodeFrame> frames) {
    check_equal(unknowns.size(), values.size());
    for (std::size_t k = 0; k < unknowns.size(); ++k) {
        check_index(unknowns[k], model.mat.rows);
        if (k > 0 && unknowns[k] <= unknowns[k - 1])
            panic("constrained unknowns must increase: " + std::to_string(unknowns[k]) + " follows " +
                  std::to_string(unknowns[k - 1]));
        if (!std::isfinite(values[k]))
            panic("constrained unknown " + std::to_string(unknowns[k]) + " has the value " + std::to_string(values[k]));
    }
    check_frames(model.mat, frames);
    check_diagonals(model.mat, unknowns, frames);
    check_interrupt();
    rotate_frames(model.mat, model.rhs, model.sol, frames);
    SavedRows saved = save_rows(model.mat, model.rhs, unknowns);
    eliminate(model.mat, model.rhs, model.sol, unknowns, values);
    return saved;
}

}  // namespace quarvex
