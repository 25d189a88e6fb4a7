// Internal failures of the core. The core throws `Panic`; the binding layer turns it into
// the Python exception PanicException carrying `text`. Each failure text is written here once.
#pragma once

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

// The equality assertion: "assertion failed: `(left == right)`\n  left: `L`,\n right: `R`"
void check_equal(std::uint64_t left, std::uint64_t right);

}  // namespace quarvex
