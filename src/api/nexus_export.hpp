// The free-free matrix of a model in compressed sparse row (CSR) form, read from the run
// format: row r holds columns indices[indptr[r]] .. indices[indptr[r + 1] - 1], increasing,
// and its values are the same stretch of `vals`, which the run format already stores row by
// row, run by run, column by column. Also the version stamp of a model's matrix structure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "lacc/spr.hpp"

namespace quarvex {

// Number of stored values (nnz).
std::size_t stored_count(const SprMat& mat);

// Writes the row pointers (rows + 1 entries) and the column indices (nnz entries), in
// parallel over rows. Columns stay below 2^31, so 32-bit indices fit whenever nnz < 2^31.
// Panics on spans of the wrong length.
void write_csr_structure(const SprMat& mat, std::span<std::int32_t> indptr, std::span<std::int32_t> indices);
void write_csr_structure(const SprMat& mat, std::span<std::int64_t> indptr, std::span<std::int64_t> indices);

// Copies the nnz stored values, in the order of the structure above.
void copy_values(const SprMat& mat, std::span<double> values);

// A structure stamp no earlier call in this process has returned (1, 2, ...). set_solver
// stamps every matrix it builds; 0 stands for the empty 0 x 0 structure of a new model.
std::uint64_t next_pattern_version();

}  // namespace quarvex
