// Internal failures of the core. The core throws `Panic`; the binding layer turns it into
// the Python exception PanicException carrying `text`. Every failure text of the core is
// written once, in the helper named for it below.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace quarvex {

struct Panic {
    std::string text;
};

[[noreturn]] void panic(std::string text);

// "index out of bounds: the len is 4 but the index is 7"
std::string index_message(std::uint64_t len, std::uint64_t index);

// Throws the index-out-of-bounds panic unless index < len.
inline void check_index(std::uint64_t index, std::uint64_t len) {
    if (index >= len) panic(index_message(len, index));
}
[[noreturn]] void fail_index(std::uint64_t index, std::uint64_t len);

// The equality assertion: "assertion failed: `(left == right)`\n  left: `L`,\n right: `R`"
void check_equal(std::uint64_t left, std::uint64_t right);

// A shape index or barycentric index outside its table: "undefined index!".
[[noreturn]] void fail_undefined_index();
// An exact field whose component values do not cover the 14 points: "wrong length!".
[[noreturn]] void fail_wrong_length();
// The batch kernels' shape assertions: operands of a two-node kernel must have the output's
// total length, those of a one-node kernel its shape.
[[noreturn]] void fail_total_lengths();
[[noreturn]] void fail_shape();
// The sparse product's operands must match the matrix's column count.
[[noreturn]] void fail_product_lengths();
// A matrix the run format cannot index; `what` says which limit.
[[noreturn]] void fail_matrix_too_large(const std::string& what);
// assemble on a matrix built for an older numbering.
[[noreturn]] void fail_stale_numbering();
// An element whose ranges expand to more than the 30 local degrees of freedom.
[[noreturn]] void fail_too_many_dofs(std::uint64_t element, std::int64_t count);
// An element whose vertices span no volume, or whose Jacobian determinant is not finite.
[[noreturn]] void fail_degenerate_element(const std::array<std::int32_t, 4>& verts, double det_j);

}  // namespace quarvex
