#include "base/failure.hpp"

namespace quarvex {

void panic(std::string text) { throw Panic{std::move(text)}; }

std::string index_message(std::uint64_t len, std::uint64_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

void check_equal(std::uint64_t left, std::uint64_t right) {
    if (left == right) return;
    panic("assertion failed: `(left == right)`\n  left: `" + std::to_string(left) + "`,\n right: `" +
          std::to_string(right) + "`");
}

}  // namespace quarvex
