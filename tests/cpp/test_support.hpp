// Helpers shared by the C++ unit tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/failure.hpp"
#include "base/tet.hpp"

namespace quarvex::test_support {

// The text of the Panic that body() throws, or "<no panic>" when it returns normally.
template <class Body>
std::string panic_text(Body&& body) {
    try {
        body();
    } catch (const Panic& failure) {
        return failure.text;
    }
    return "<no panic>";
}

// An element that holds only the given degree-of-freedom ranges.
inline Tet make_tet(std::vector<DofRange> dofs) {
    Tet tet;
    tet.dofs = std::move(dofs);
    return tet;
}

}  // namespace quarvex::test_support
