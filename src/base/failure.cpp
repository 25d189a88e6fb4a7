#include "base/failure.hpp"

#include <cstdio>

namespace quarvex {

void panic(std::string text) {
    throw Panic{std::move(text)};
}

std::string index_message(std::uint64_t len, std::uint64_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index);
}

void fail_index(std::uint64_t index, std::uint64_t len) {
    panic(index_message(len, index));
}

void check_equal(std::uint64_t left, std::uint64_t right) {
    if (left == right) return;
    panic("assertion failed: `(left == right)`\n  left: `" + std::to_string(left) + "`,\n right: `" +
          std::to_string(right) + "`");
}

void fail_undefined_index() {
    panic("undefined index!");
}

void fail_wrong_length() {
    panic("wrong length!");
}

void fail_total_lengths() {
    panic("assertion failed: self.tot_len() == l.tot_len() && self.tot_len() == r.tot_len()");
}

void fail_shape() {
    panic("assertion failed: self.len == l.len && self.typ == l.typ");
}

void fail_product_lengths() {
    panic("assertion failed: self.0.cols == rhs.len() && self.0.cols == self.1.len()");
}

void fail_matrix_too_large(const std::string& what) {
    panic("matrix too large: " + what);
}

void fail_stale_numbering() {
    panic("the degrees of freedom changed after the last set_solver: call set_solver before assemble");
}

void fail_too_many_dofs(std::uint64_t element, std::int64_t count) {
    panic("element " + std::to_string(element) + " has " + std::to_string(count) +
          " degrees of freedom, more than the 30 of a quadratic tetrahedron");
}

void fail_degenerate_element(const std::array<std::int32_t, 4>& verts, double det_j) {
    char det_text[32];
    std::snprintf(det_text, sizeof det_text, "%.17g", det_j);
    panic("degenerate element with vertices [" + std::to_string(verts[0]) + ", " + std::to_string(verts[1]) + ", " +
          std::to_string(verts[2]) + ", " + std::to_string(verts[3]) + "]: det J = " + det_text);
}

}  // namespace quarvex
