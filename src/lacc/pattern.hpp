// Builds the structure of the global matrix from the elements' degree-of-freedom ranges:
// row d couples with every free degree of freedom of every element that has d.
#pragma once

#include <cstdint>
#include <span>

#include "base/tet.hpp"
#include "lacc/spr.hpp"

namespace quarvex {

// The matrix of the free-free couplings of all elements, `rows` x `rows`, all values 0.0.
// Fails with the index-out-of-bounds panic for a free number >= rows (len rows, index d) or
// for a row that no element uses (len 0, index 0), in that order; refuses with "matrix too
// large: ..." a matrix whose column numbers or run indices would reach 2^31 or whose entries
// would reach 2^32. Nothing is kept from a failed call. Between its parallel steps it calls
// check_interrupt(), which may throw to stop it.
SprMat build_pattern(std::span<const Tet> tets, std::uint64_t rows);

}  // namespace quarvex
