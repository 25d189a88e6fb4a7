// Global assembly: every element's stiffness and load are added into the shared matrix and
// load vector, chunk by chunk on the pool.
#pragma once

#include "model/nexus.hpp"

namespace quarvex {

// Adds every element's contribution into mat and rhs. Reads the model's elements, loads,
// material and bc, and writes only the values of mat and rhs, each free row under its row lock.
void assemble(Nexus& model);

}  // namespace quarvex
