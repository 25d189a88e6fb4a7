#include "expr/dyr.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "base/failure.hpp"

// The kernels run flat loops over contiguous blocks: block 0 (the values) is entries 0 .. len-1,
// derivative block k is entries k*len .. k*len+len-1. Within one block the loop runs over points
// only, so it vectorises. Sine and cosine with derivative blocks go point by point instead, so
// that each point pays for one sin and one cos whatever the number of blocks.
//
// An output may be the same record as one of its inputs (an operand id at or above the node's
// own id reads the node's value from before the pass). Every kernel therefore reads an entry
// before it writes the same entry, and writes block 0 last whenever a derivative block needs the
// input's block 0; where block 0 of the output itself is what the derivatives need (reciprocal,
// exponential) block 0 is written first instead.

namespace quarvex {
namespace {

void check_total_sizes(const Dyr& out, const Dyr& x, const Dyr& y) {
    if (out.tot_len() == x.tot_len() && out.tot_len() == y.tot_len()) return;
    fail_total_lengths();
}

void check_same_shape(const Dyr& out, const Dyr& x) {
    if (out.len == x.len && out.typ == x.typ) return;
    fail_shape();
}

// Derivative block k of `out` in place as the product rule for s * b:
//   block k = sk * b0 + s0 * bk, then block 0 = s0 * b0.
// `base` holds b with the shape of `out`.
void multiply_in_place(Dyr& out, const double* base) {
    const std::size_t len = out.len;
    double* s = out.data.data();
    for (std::size_t k = 1; k < out.typ; ++k) {
        double* sk = s + k * len;
        const double* bk = base + k * len;
        for (std::size_t i = 0; i < len; ++i) sk[i] = std::fma(s[i], bk[i], sk[i] * base[i]);
    }
    for (std::size_t i = 0; i < len; ++i) s[i] = s[i] * base[i];
}

// s := s * s:  block k = 2 * s0 * sk, then block 0 = s0 * s0.
void square_in_place(Dyr& out) {
    const std::size_t len = out.len;
    double* s = out.data.data();
    for (std::size_t k = 1; k < out.typ; ++k) {
        double* sk = s + k * len;
        for (std::size_t i = 0; i < len; ++i) sk[i] = (2.0 * s[i]) * sk[i];
    }
    for (std::size_t i = 0; i < len; ++i) s[i] = s[i] * s[i];
}

// r := 1 / s:  block 0 r0 = 1 / s0 first, then block k = -(r0 * r0) * sk with that r0.
void reciprocal_in_place(Dyr& out) {
    const std::size_t len = out.len;
    double* s = out.data.data();
    for (std::size_t i = 0; i < len; ++i) s[i] = 1.0 / s[i];
    for (std::size_t k = 1; k < out.typ; ++k) {
        double* sk = s + k * len;
        for (std::size_t i = 0; i < len; ++i) sk[i] = -(s[i] * s[i]) * sk[i];
    }
}

// The exponent of the integer power: c truncated toward zero, saturated to the signed 32-bit
// range, NaN giving 0.
std::int32_t power_exponent(double c) {
    if (std::isnan(c)) return 0;
    if (c <= static_cast<double>(std::numeric_limits<std::int32_t>::min()))
        return std::numeric_limits<std::int32_t>::min();
    if (c >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(c);
}

// Sine (cosine = false) or cosine of x0, with derivative blocks cos(x0) xk or -sin(x0) xk.
// With derivative blocks, one pass per point computes sin and cos of x0 once for all blocks.
void sine_or_cosine(Dyr& out, const Dyr& x, bool cosine) {
    check_same_shape(out, x);
    if (out.empty()) return;  // no block 0 to write
    const std::size_t len = out.len;
    double* o = out.data.data();
    const double* a = x.data.data();
    if (out.typ == 1) {
        for (std::size_t i = 0; i < len; ++i) o[i] = cosine ? std::cos(a[i]) : std::sin(a[i]);
        return;
    }
    for (std::size_t i = 0; i < len; ++i) {
        const double sine = std::sin(a[i]);
        const double cos_x = std::cos(a[i]);
        const double slope = cosine ? -sine : cos_x;
        for (std::size_t k = 1; k < out.typ; ++k) o[k * len + i] = slope * a[k * len + i];
        o[i] = cosine ? cos_x : sine;
    }
}

}  // namespace

void dyr_add(Dyr& out, const Dyr& x, const Dyr& y) {
    check_total_sizes(out, x, y);
    const std::size_t total = out.tot_len();
    double* o = out.data.data();
    const double* a = x.data.data();
    const double* b = y.data.data();
    for (std::size_t i = 0; i < total; ++i) o[i] = a[i] + b[i];
}

void dyr_subtract(Dyr& out, const Dyr& x, const Dyr& y) {
    check_total_sizes(out, x, y);
    const std::size_t total = out.tot_len();
    double* o = out.data.data();
    const double* a = x.data.data();
    const double* b = y.data.data();
    for (std::size_t i = 0; i < total; ++i) o[i] = a[i] - b[i];
}

// block 0: x0 * y0;  block k: xk * y0 + x0 * yk (the second product fused).
void dyr_multiply(Dyr& out, const Dyr& x, const Dyr& y) {
    check_total_sizes(out, x, y);
    if (out.empty()) return;  // no block 0 to write
    const std::size_t len = out.len;
    double* o = out.data.data();
    const double* a = x.data.data();
    const double* b = y.data.data();
    for (std::size_t k = 1; k < out.typ; ++k) {
        double* ok = o + k * len;
        const double* ak = a + k * len;
        const double* bk = b + k * len;
        for (std::size_t i = 0; i < len; ++i) ok[i] = std::fma(a[i], bk[i], ak[i] * b[i]);
    }
    for (std::size_t i = 0; i < len; ++i) o[i] = a[i] * b[i];
}

// The quotient is the reciprocal of y multiplied by x with the product rule, r0 = 1 / y0:
//   block 0: r0 * x0;  block k: rk * x0 + r0 * xk with rk = -(r0 * r0) * yk.
// Both steps run in one pass per block, with the same operations in the same order, so that
// the output may be x or y itself.
void dyr_divide(Dyr& out, const Dyr& x, const Dyr& y) {
    check_equal(out.tot_len(), y.tot_len());
    check_equal(out.tot_len(), x.tot_len());
    if (out.empty()) return;  // no block 0 to write
    const std::size_t len = out.len;
    double* o = out.data.data();
    const double* a = x.data.data();
    const double* b = y.data.data();
    for (std::size_t k = 1; k < out.typ; ++k) {
        double* ok = o + k * len;
        const double* ak = a + k * len;
        const double* bk = b + k * len;
        for (std::size_t i = 0; i < len; ++i) {
            const double r0 = 1.0 / b[i];
            const double rk = -(r0 * r0) * bk[i];
            ok[i] = std::fma(r0, ak[i], rk * a[i]);
        }
    }
    for (std::size_t i = 0; i < len; ++i) o[i] = (1.0 / b[i]) * a[i];
}

// block 0: r0 = 1 / x0;  block k: -(r0 * r0) * xk.
void dyr_reciprocal(Dyr& out, const Dyr& x) {
    check_equal(out.tot_len(), x.tot_len());
    if (out.empty()) return;  // no block 0 to write
    const std::size_t len = out.len;
    double* o = out.data.data();
    const double* a = x.data.data();
    for (std::size_t i = 0; i < len; ++i) o[i] = 1.0 / a[i];
    for (std::size_t k = 1; k < out.typ; ++k) {
        double* ok = o + k * len;
        const double* ak = a + k * len;
        for (std::size_t i = 0; i < len; ++i) ok[i] = -(o[i] * o[i]) * ak[i];
    }
}

void dyr_negate(Dyr& out, const Dyr& x) {
    check_equal(out.tot_len(), x.tot_len());
    const std::size_t total = out.tot_len();
    double* o = out.data.data();
    const double* a = x.data.data();
    for (std::size_t i = 0; i < total; ++i) o[i] = -a[i];
}

// block 0: sin x0;  block k: cos(x0) * xk.
void dyr_sine(Dyr& out, const Dyr& x) {
    sine_or_cosine(out, x, false);
}

// block 0: cos x0;  block k: -sin(x0) * xk.
void dyr_cosine(Dyr& out, const Dyr& x) {
    sine_or_cosine(out, x, true);
}

// block 0: e = exp(x0);  block k: e * xk with the e just stored.
void dyr_exponential(Dyr& out, const Dyr& x) {
    check_same_shape(out, x);
    if (out.empty()) return;  // no block 0 to write
    const std::size_t len = out.len;
    double* o = out.data.data();
    const double* a = x.data.data();
    for (std::size_t i = 0; i < len; ++i) o[i] = std::exp(a[i]);
    for (std::size_t k = 1; k < out.typ; ++k) {
        double* ok = o + k * len;
        const double* ak = a + k * len;
        for (std::size_t i = 0; i < len; ++i) ok[i] = o[i] * ak[i];
    }
}

// block 0: ln x0;  block k: xk / x0.
void dyr_logarithm(Dyr& out, const Dyr& x) {
    check_same_shape(out, x);
    if (out.empty()) return;  // no block 0 to write
    const std::size_t len = out.len;
    double* o = out.data.data();
    const double* a = x.data.data();
    for (std::size_t k = 1; k < out.typ; ++k) {
        double* ok = o + k * len;
        const double* ak = a + k * len;
        for (std::size_t i = 0; i < len; ++i) ok[i] = ak[i] / a[i];
    }
    for (std::size_t i = 0; i < len; ++i) o[i] = std::log(a[i]);
}

// block 0: x0 + c;  block k: a copy of xk when x has derivative blocks. The point counts must
// agree; the block counts must agree too, so that block 0 and the copy stay inside both records.
void dyr_add_constant(Dyr& out, double c, const Dyr& x) {
    check_equal(out.len, x.len);
    check_equal(out.typ, x.typ);
    if (out.empty()) return;  // no block 0 to write
    const std::size_t len = out.len;
    double* o = out.data.data();
    const double* a = x.data.data();
    for (std::size_t i = 0; i < len; ++i) o[i] = a[i] + c;
    if (x.typ >= 2 && o != a) std::copy(a + len, a + x.tot_len(), o + len);  // in place the tail is already there
}

// block 0: x0 - c, computed as x0 + (-c), which rounds identically;  block k: a copy of xk.
void dyr_subtract_constant(Dyr& out, double c, const Dyr& x) {
    dyr_add_constant(out, -c, x);
}

// block 0: c - x0;  block k: -xk.
void dyr_constant_minus(Dyr& out, double c, const Dyr& x) {
    check_equal(out.tot_len(), x.tot_len());
    if (out.empty()) return;  // no block 0 to write
    const std::size_t len = out.len;
    const std::size_t total = out.tot_len();
    double* o = out.data.data();
    const double* a = x.data.data();
    for (std::size_t i = 0; i < len; ++i) o[i] = c - a[i];
    for (std::size_t i = len; i < total; ++i) o[i] = -a[i];
}

// every block: c * x.
void dyr_scale(Dyr& out, double c, const Dyr& x) {
    check_equal(out.tot_len(), x.tot_len());
    const std::size_t total = out.tot_len();
    double* o = out.data.data();
    const double* a = x.data.data();
    for (std::size_t i = 0; i < total; ++i) o[i] = c * a[i];
}

// x^n with n = c truncated to a signed 32-bit integer (see power_exponent). A negative n takes
// the reciprocal first and continues with |n|. |n| >= 2 runs binary powering from the highest
// bit down: the value so far is squared for every further bit and multiplied by the base where
// the bit is set.
void dyr_integer_power(Dyr& out, double c, const Dyr& x) {
    check_equal(out.tot_len(), x.tot_len());
    const std::int32_t n = power_exponent(c);
    if (&out != &x) std::copy(x.data.data(), x.data.data() + x.tot_len(), out.data.data());
    if (out.empty()) return;
    if (n < 0) reciprocal_in_place(out);
    const std::uint32_t magnitude =
        n < 0 ? static_cast<std::uint32_t>(-static_cast<std::int64_t>(n)) : static_cast<std::uint32_t>(n);
    if (magnitude == 0) {
        const std::size_t len = out.len;
        std::fill(out.data.data(), out.data.data() + len, 1.0);
        std::fill(out.data.data() + len, out.data.data() + out.tot_len(), 0.0);
        return;
    }
    if (magnitude == 1) return;

    // For n > 0 and an output other than x the base is x itself; otherwise (a reciprocal base, or
    // the output being x) it is copied once into this thread's scratch, which keeps its capacity.
    thread_local std::vector<double> base_scratch;
    const double* base = x.data.data();
    if (!std::has_single_bit(magnitude) && (n < 0 || &out == &x)) {
        base_scratch.assign(out.data.data(), out.data.data() + out.tot_len());
        base = base_scratch.data();
    }
    for (int bit = std::bit_width(magnitude) - 2; bit >= 0; --bit) {
        square_in_place(out);
        if ((magnitude >> bit) & 1u) multiply_in_place(out, base);
    }
}

}  // namespace quarvex
