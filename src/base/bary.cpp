#include "base/bary.hpp"

#include "base/failure.hpp"

namespace quarvex {

PointValues bary_values(std::size_t k) {
    if (k >= kBaryTable.size()) fail_undefined_index();
    return kBaryTable[k];
}

}  // namespace quarvex
