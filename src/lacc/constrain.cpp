// Local frames and symmetric elimination on a run-format matrix.
#include "lacc/constrain.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "base/failure.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

constexpr double kOrthonormalTolerance = 1e-10;
constexpr double kTurnedDiagonalMargin = 1e-12;  // relative to the node block's largest entry

// (y_0, y_1, y_2) = R (v_0, v_1, v_2) for the frame's axes R.
void turn(const std::array<double, 9>& axes, double* v0, double* v1, double* v2) {
    const double in[3] = {*v0, *v1, *v2};
    double out[3];
    for (int k = 0; k < 3; ++k) out[k] = axes[3 * k] * in[0] + axes[3 * k + 1] * in[1] + axes[3 * k + 2] * in[2];
    *v0 = out[0];
    *v1 = out[1];
    *v2 = out[2];
}

[[noreturn]] void fail_frame(std::size_t index, const std::string& why) {
    panic("frame " + std::to_string(index) + ": " + why);
}

}  // namespace

void check_frames(const SprMat& mat, std::span<const NodeFrame> frames) {
    std::vector<std::uint8_t> taken(mat.rows, 0);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        const NodeFrame& frame = frames[f];
        if (frame.first > mat.rows || mat.rows - frame.first < 3)
            fail_frame(f, "unknowns " + std::to_string(frame.first) + " .. " + std::to_string(frame.first + 2) +
                              " lie outside the " + std::to_string(mat.rows) + " unknowns");
        // R R^T = I, entry by entry.
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) {
                double dot = 0.0;
                for (int k = 0; k < 3; ++k) dot += frame.axes[3 * a + k] * frame.axes[3 * b + k];
                if (!(std::fabs(dot - (a == b ? 1.0 : 0.0)) <= kOrthonormalTolerance))
                    fail_frame(f, "its axes are not orthonormal");
            }
        for (std::uint64_t d = frame.first; d < frame.first + 3; ++d) {
            if (taken[d]) fail_frame(f, "unknown " + std::to_string(d) + " already lies in another frame");
            taken[d] = 1;
        }
    }
}

void check_diagonals(const SprMat& mat, std::span<const std::uint64_t> unknowns, std::span<const NodeFrame> frames) {
    std::vector<std::int32_t> frame_of(mat.rows, -1);  // frame of every unknown in one
    for (std::size_t f = 0; f < frames.size(); ++f)
        for (std::uint64_t d = frames[f].first; d < frames[f].first + 3 && d < mat.rows; ++d)
            frame_of[d] = static_cast<std::int32_t>(f);
    const auto entry = [&](std::size_t r, std::size_t c) {
        const std::size_t position = find_entry(mat, r, c);
        return position == SIZE_MAX ? 0.0 : mat.vals[position];
    };
    for (const std::uint64_t d : unknowns) {
        check_index(d, mat.rows);
        double diagonal = 0.0;
        double least = 0.0;  // what the diagonal must exceed
        if (frame_of[d] < 0) {
            diagonal = entry(d, d);
        } else {
            // r^T B r with r = axes row (d - first); turning the frame changes it by rounding of
            // the block's size, so it must stand clear of that to stay positive once turned.
            const NodeFrame& frame = frames[static_cast<std::size_t>(frame_of[d])];
            const double* const axis = frame.axes.data() + 3 * (d - frame.first);
            for (std::size_t a = 0; a < 3; ++a)
                for (std::size_t b = 0; b < 3; ++b) {
                    const double value = entry(frame.first + a, frame.first + b);
                    diagonal += axis[a] * value * axis[b];
                    least = std::max(least, kTurnedDiagonalMargin * std::fabs(value));
                }
        }
        if (!(diagonal > least) || !std::isfinite(diagonal)) {
            char text[160];
            std::snprintf(
                text, sizeof text,
                "constrained unknown %llu has the diagonal entry %.6g: a constraint needs a positive stiffness",
                static_cast<unsigned long long>(d), diagonal);
            panic(text);
        }
    }
}

void rotate_frames(SprMat& mat, std::span<double> rhs, std::span<double> sol, std::span<const NodeFrame> frames) {
    if (frames.empty()) return;
    check_frames(mat, frames);
    if (rhs.size() != mat.rows || sol.size() != mat.rows) fail_product_lengths();
    std::vector<std::int32_t> frame_at(mat.rows, -1);  // frame of each frame's first unknown
    for (std::size_t f = 0; f < frames.size(); ++f) frame_at[frames[f].first] = static_cast<std::int32_t>(f);
    // The rows of a frame share their columns: compare their runs before anything changes.
    for (std::size_t f = 0; f < frames.size(); ++f) {
        const std::size_t first = frames[f].first;
        for (std::size_t k = 1; k < 3; ++k) {
            const std::size_t a = static_cast<std::size_t>(mat.row_runs[first]);
            const std::size_t b = static_cast<std::size_t>(mat.row_runs[first + k]);
            const std::size_t count = static_cast<std::size_t>(mat.row_runs[first + 1]) - a;
            bool same = static_cast<std::size_t>(mat.row_runs[first + k + 1]) - b == count;
            for (std::size_t t = 0; same && t < count; ++t)
                same = mat.runs[a + t].col == mat.runs[b + t].col &&
                       mat.runs[a + t + 1].off - mat.runs[a + t].off == mat.runs[b + t + 1].off - mat.runs[b + t].off;
            if (!same) fail_frame(f, "the rows of its three unknowns do not share their columns");
        }
    }
    // A T^T: in every row, the three columns of a frame become R (a_0, a_1, a_2).
    parallel_ranges(mat.rows, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            for_each_entry(mat, r, [&](std::size_t col, std::size_t position) {
                if (frame_at[col] < 0) return;
                const std::size_t second = find_entry(mat, r, col + 1);
                const std::size_t third = find_entry(mat, r, col + 2);
                if (second == SIZE_MAX || third == SIZE_MAX)
                    fail_frame(static_cast<std::size_t>(frame_at[col]), "a row holds only part of its columns");
                double* const vals = mat.vals.data();
                turn(frames[static_cast<std::size_t>(frame_at[col])].axes, vals + position, vals + second,
                     vals + third);
            });
        }
    });
    // T (A T^T): the three rows of a frame become R (row_0, row_1, row_2), entry by entry.
    parallel_for(frames.size(), [&](std::size_t f) {
        const NodeFrame& frame = frames[f];
        const std::size_t row0 = row_begin(mat, frame.first);
        const std::size_t row1 = row_begin(mat, frame.first + 1);
        const std::size_t row2 = row_begin(mat, frame.first + 2);
        const std::size_t len = row_end(mat, frame.first) - row0;
        double* const vals = mat.vals.data();
        for (std::size_t k = 0; k < len; ++k) turn(frame.axes, vals + row0 + k, vals + row1 + k, vals + row2 + k);
        turn(frame.axes, &rhs[frame.first], &rhs[frame.first + 1], &rhs[frame.first + 2]);
        turn(frame.axes, &sol[frame.first], &sol[frame.first + 1], &sol[frame.first + 2]);
    });
}

SavedRows save_rows(const SprMat& mat, std::span<const double> rhs, std::span<const std::uint64_t> unknowns) {
    SavedRows saved;
    saved.unknowns.assign(unknowns.begin(), unknowns.end());
    saved.loads.reserve(unknowns.size());
    saved.row_first.reserve(unknowns.size() + 1);
    for (const std::uint64_t d : unknowns) {
        check_index(d, mat.rows);
        for_each_entry(mat, d, [&](std::size_t col, std::size_t position) {
            saved.cols.push_back(static_cast<std::int32_t>(col));
            saved.vals.push_back(mat.vals[position]);
        });
        saved.row_first.push_back(saved.cols.size());
        saved.loads.push_back(rhs[d]);
    }
    return saved;
}

void eliminate(SprMat& mat, std::span<double> rhs, std::span<double> sol, std::span<const std::uint64_t> unknowns,
               std::span<const double> values) {
    check_equal(unknowns.size(), values.size());
    if (rhs.size() != mat.rows || sol.size() != mat.rows) fail_product_lengths();
    check_diagonals(mat, unknowns, {});
    std::vector<std::uint8_t> constrained(mat.rows, 0);
    std::vector<double> value(mat.rows, 0.0);
    for (std::size_t k = 0; k < unknowns.size(); ++k) {
        check_index(unknowns[k], mat.rows);
        constrained[unknowns[k]] = 1;
        value[unknowns[k]] = values[k];
    }
    // Every row reads its own entries before it zeroes them, so rows run independently:
    //   free row i:        b_i -= A_id g_d, A_id = 0 for each constrained d
    //   constrained row d: A_dj = 0 for j != d, b_d = A_dd g_d, x_d = g_d
    parallel_ranges(mat.rows, [&](std::size_t begin, std::size_t end) {
        double* const vals = mat.vals.data();
        for (std::size_t r = begin; r < end; ++r) {
            if (constrained[r]) {
                double diagonal = 0.0;
                for_each_entry(mat, r, [&](std::size_t col, std::size_t position) {
                    if (col == r)
                        diagonal = vals[position];
                    else
                        vals[position] = 0.0;
                });
                rhs[r] = diagonal * value[r];
                sol[r] = value[r];
                continue;
            }
            double load = rhs[r];
            for_each_entry(mat, r, [&](std::size_t col, std::size_t position) {
                if (!constrained[col]) return;
                load -= vals[position] * value[col];  // b_i -= A_id g_d
                vals[position] = 0.0;
            });
            rhs[r] = load;
        }
    });
}

}  // namespace quarvex
