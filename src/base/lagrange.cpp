#include "base/lagrange.hpp"

#include "base/failure.hpp"

namespace quarvex {

PointValues shape_values(std::size_t a) {
    if (a >= kShapes) fail_undefined_index();
    return kShapeValueTable[a];
}

PointGrads shape_grads(const InverseJacobian& m, std::size_t a) {
    if (a >= kShapes) fail_undefined_index();
    return physical_grads(m, kRefGradTable[a]);
}

}  // namespace quarvex
