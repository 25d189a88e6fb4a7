// Global assembly: every element's stiffness and load are added into the shared matrix and
// load vector, chunk by chunk on the pool.
#pragma once

#include <string>

#include "model/curved_system.hpp"
#include "model/nexus.hpp"

namespace quarvex {

// Adds every element's contribution into mat and rhs. Reads the model's elements, loads,
// material and bc, and writes only the values of mat and rhs, each free row under its row
// lock. Everything that would refuse the model is checked before anything is added. Between
// rounds of elements it calls check_interrupt(); an interrupt leaves the system partly
// assembled, as a failure inside the loop would. Returns a warning for the caller to pass on
// (an element edge numbered only under the reversed key), or "".
std::string assemble(Nexus& model);

// The same with the curved elements' isoparametric kernel (curved_system.hpp) in place of the
// affine one; the first curved element whose map folds is refused before anything is added
// ("element 7 is folded: ..."). `curved` must cover the model's elements or be empty.
std::string assemble(Nexus& model, const CurvedElements& curved);

}  // namespace quarvex
