// Batch value of one expression node: `typ` blocks of `len` points, block-major. Block 0
// holds the values, block j >= 1 the forward derivative along input direction j; the
// entry of point i in block j is data[j * len + i].
#pragma once

#include <cstddef>
#include <vector>

namespace quarvex {

struct Dyr {
    std::size_t typ = 0;
    std::size_t len = 0;
    std::vector<double> data;

    std::size_t tot_len() const { return typ * len; }
    bool empty() const { return typ == 0 || len == 0; }
};

// The batch kernels, one per arena operation. Each reads its inputs and overwrites `out`
// in place without changing its shape; the shape checks guard the arena's invariant. `out`
// may be one of the inputs: the result is then computed from the input as it was.
void dyr_add(Dyr& out, const Dyr& x, const Dyr& y);
void dyr_subtract(Dyr& out, const Dyr& x, const Dyr& y);
void dyr_multiply(Dyr& out, const Dyr& x, const Dyr& y);
void dyr_divide(Dyr& out, const Dyr& x, const Dyr& y);
void dyr_reciprocal(Dyr& out, const Dyr& x);
void dyr_negate(Dyr& out, const Dyr& x);
void dyr_sine(Dyr& out, const Dyr& x);
void dyr_cosine(Dyr& out, const Dyr& x);
void dyr_exponential(Dyr& out, const Dyr& x);
void dyr_logarithm(Dyr& out, const Dyr& x);
void dyr_add_constant(Dyr& out, double c, const Dyr& x);
void dyr_subtract_constant(Dyr& out, double c, const Dyr& x);
void dyr_constant_minus(Dyr& out, double c, const Dyr& x);
void dyr_scale(Dyr& out, double c, const Dyr& x);
void dyr_integer_power(Dyr& out, double c, const Dyr& x);

}  // namespace quarvex
