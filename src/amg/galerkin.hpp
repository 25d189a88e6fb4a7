// The coarse operator P^T A P of a multigrid level, without storing A P: the fine nodes
// are taken in chunks; the rows of A P of a chunk are formed in one reused buffer and added
// into the coarse rows they reach. Every coarse block is summed over the fine nodes in
// increasing order, so the result does not depend on the chunks or the workers. Only the
// blocks on and above the block diagonal are summed; those below are their transposes, which
// keeps the coarse operator exactly symmetric.
#pragma once

#include "amg/blocks.hpp"
#include "lacc/spr.hpp"

namespace quarvex {

// P^T A P with a in node blocks over (nodes, nodes) (a_index its block index) and p over
// (nodes, coarse); the result is in node blocks over (coarse, coarse). a's structure must be
// symmetric (Panic otherwise).
SprMat galerkin_product(const SprMat& a, const BlockIndex& a_index, const SprMat& p, const NodeRanges& nodes,
                        const NodeRanges& coarse);

// The values of P^T A P into `coarse_matrix`, built by galerkin_product for the same structures.
void galerkin_values(const SprMat& a, const BlockIndex& a_index, const SprMat& p, const NodeRanges& nodes,
                     const NodeRanges& coarse, SprMat& coarse_matrix);

}  // namespace quarvex
