// The pattern is built from blocks of rows rather than from one list entry per (element, row,
// column). A block is a maximal stretch of consecutive rows inside which no free range of any
// element starts or ends, so every element covers a block wholly or not at all, every row of a
// block has the same columns, and a block's columns are the union of the blocks of the elements
// that touch it. The steps, each a parallel loop over elements, blocks or chunks of blocks:
//   1. check every free number against `rows` (before anything proportional to rows exists);
//   2. mark where free ranges start and end, which cuts the rows into blocks;
//   3. turn each element's free ranges into the sorted list of its blocks;
//   4. list for every block the elements that touch it (an untouched block is an empty row);
//   5. for every block, the union of its elements' blocks, as runs of consecutive columns;
//   6. write row_runs and runs, repeating a block's runs for each of its rows; then the values,
//      zero from the start, their pages mapped up front from all workers.
#include "lacc/pattern.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "base/interrupt.hpp"
#include "lacc/pages.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

constexpr std::uint64_t kIndexLimit = std::uint64_t{1} << 31;  // columns and run indices stay below
constexpr std::uint64_t kEntryLimit = std::uint64_t{1} << 32;  // nnz stays below (Run.off is u32)
constexpr std::size_t kChunksPerWorker = 16;                   // chunks of blocks, for balance

// The free rows first .. end - 1 of a range; empty for a constrained or empty range.
struct RowSpan {
    std::int64_t first = 0;
    std::int64_t end = 0;
};

RowSpan free_rows(DofRange range) {
    if (range.start < 0 || range.count <= 0) return {};
    return {range.start, std::int64_t{range.start} + range.count};
}

// Blocks first .. end - 1.
struct BlockSpan {
    std::uint32_t first = 0;
    std::uint32_t end = 0;
};

// Columns col .. col + len - 1.
struct ColumnRun {
    std::uint32_t col = 0;
    std::uint32_t len = 0;
};

// Step 1. The lowest element holding a free number >= rows (or tets.size()), and the largest
// free number of all elements (-1 when there is none).
struct DofScan {
    std::size_t bad_element = 0;
    std::int64_t last_free = -1;
    std::uint64_t free_total = 0;  // free numbers of all elements, with repeats
};

DofScan scan_dofs(std::span<const Tet> tets, std::uint64_t rows) {
    std::atomic<std::size_t> bad_element{tets.size()};
    std::atomic<std::int64_t> last_free{-1};
    std::atomic<std::uint64_t> free_total{0};
    parallel_ranges(tets.size(), [&](std::size_t begin, std::size_t end) {
        std::int64_t piece_last = -1;
        std::uint64_t piece_total = 0;
        for (std::size_t e = begin; e < end; ++e) {
            std::int64_t element_last = -1;
            for (const DofRange range : tets[e].dofs) {
                const RowSpan span = free_rows(range);
                if (span.first < span.end) {
                    element_last = std::max(element_last, span.end - 1);
                    piece_total += static_cast<std::uint64_t>(span.end - span.first);
                }
            }
            if (element_last >= 0 && static_cast<std::uint64_t>(element_last) >= rows) {
                std::size_t seen = bad_element.load(std::memory_order_relaxed);
                while (e < seen && !bad_element.compare_exchange_weak(seen, e, std::memory_order_relaxed)) {}
                break;  // later elements of this piece have higher indices
            }
            piece_last = std::max(piece_last, element_last);
        }
        std::int64_t seen = last_free.load(std::memory_order_relaxed);
        while (piece_last > seen && !last_free.compare_exchange_weak(seen, piece_last, std::memory_order_relaxed)) {}
        free_total.fetch_add(piece_total, std::memory_order_relaxed);
    });
    return {bad_element.load(), last_free.load(), free_total.load()};
}

// The first free number >= rows met when the element's ranges are expanded in order.
std::uint64_t first_out_of_range(const Tet& tet, std::uint64_t rows) {
    for (const DofRange range : tet.dofs) {
        const RowSpan span = free_rows(range);
        if (span.first<span.end&& static_cast<std::uint64_t>(span.end)> rows)
            return std::max(static_cast<std::uint64_t>(span.first), rows);
    }
    return rows;
}

// Step 2. Block b holds rows first_row[b] .. first_row[b + 1] - 1; block_of[r] is the block of row r.
struct Blocks {
    std::vector<std::uint32_t> first_row;
    std::vector<std::uint32_t> block_of;
    std::size_t count() const { return first_row.size() - 1; }
};

Blocks cut_blocks(std::span<const Tet> tets, std::size_t rows) {
    std::vector<std::uint8_t> starts(rows + 1, 0);
    starts[0] = 1;
    parallel_ranges(tets.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t e = begin; e < end; ++e)
            for (const DofRange range : tets[e].dofs) {
                const RowSpan span = free_rows(range);
                if (span.first == span.end) continue;
                std::atomic_ref<std::uint8_t>(starts[span.first]).store(1, std::memory_order_relaxed);
                std::atomic_ref<std::uint8_t>(starts[span.end]).store(1, std::memory_order_relaxed);
            }
    });
    Blocks blocks;
    blocks.block_of.resize(rows);
    std::uint32_t block = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        if (starts[r] != 0) {
            blocks.first_row.push_back(static_cast<std::uint32_t>(r));
            block = static_cast<std::uint32_t>(blocks.first_row.size() - 1);
        }
        blocks.block_of[r] = block;
    }
    blocks.first_row.push_back(static_cast<std::uint32_t>(rows));
    return blocks;
}

// The free ranges of an element as spans of blocks, sorted and merged, in `spans`.
void merged_spans(const Tet& tet, const Blocks& blocks, std::vector<BlockSpan>& spans) {
    spans.clear();
    for (const DofRange range : tet.dofs) {
        const RowSpan rows = free_rows(range);
        if (rows.first < rows.end) spans.push_back({blocks.block_of[rows.first], blocks.block_of[rows.end - 1] + 1});
    }
    std::sort(spans.begin(), spans.end(), [](BlockSpan a, BlockSpan b) { return a.first < b.first; });
    std::size_t merged = 0;
    for (const BlockSpan span : spans) {
        if (merged > 0 && span.first <= spans[merged - 1].end)
            spans[merged - 1].end = std::max(spans[merged - 1].end, span.end);
        else
            spans[merged++] = span;
    }
    spans.resize(merged);
}

// Step 3. Element e's blocks, sorted and distinct: blocks[first[e]] .. blocks[first[e + 1] - 1].
struct ElementBlocks {
    std::vector<std::uint64_t> first;
    std::vector<std::uint32_t> blocks;
    std::span<const std::uint32_t> of(std::size_t e) const {
        return {blocks.data() + first[e], static_cast<std::size_t>(first[e + 1] - first[e])};
    }
};

ElementBlocks element_blocks(std::span<const Tet> tets, const Blocks& blocks) {
    ElementBlocks result;
    result.first.assign(tets.size() + 1, 0);
    parallel_ranges(tets.size(), [&](std::size_t begin, std::size_t end) {
        std::vector<BlockSpan> spans;
        for (std::size_t e = begin; e < end; ++e) {
            merged_spans(tets[e], blocks, spans);
            std::uint64_t count = 0;
            for (const BlockSpan span : spans) count += span.end - span.first;
            result.first[e + 1] = count;
        }
    });
    for (std::size_t e = 0; e < tets.size(); ++e) result.first[e + 1] += result.first[e];
    result.blocks.resize(result.first.back());
    parallel_ranges(tets.size(), [&](std::size_t begin, std::size_t end) {
        std::vector<BlockSpan> spans;
        for (std::size_t e = begin; e < end; ++e) {
            merged_spans(tets[e], blocks, spans);
            std::uint32_t* out = result.blocks.data() + result.first[e];
            for (const BlockSpan span : spans)
                for (std::uint32_t b = span.first; b < span.end; ++b) *out++ = b;
        }
    });
    return result;
}

// Step 4. The elements touching block b are elements[first[b]] .. elements[first[b + 1] - 1].
struct BlockElements {
    std::vector<std::uint64_t> first;
    std::vector<std::uint32_t> elements;
};

BlockElements block_elements(std::size_t element_count, std::size_t block_count, const ElementBlocks& element) {
    std::vector<std::uint64_t> cursor(block_count + 1, 0);
    parallel_ranges(element_count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t e = begin; e < end; ++e)
            for (const std::uint32_t b : element.of(e))
                std::atomic_ref<std::uint64_t>(cursor[b + 1]).fetch_add(1, std::memory_order_relaxed);
    });
    for (std::size_t b = 0; b < block_count; ++b) {
        if (cursor[b + 1] == 0) fail_index(0, 0);  // rows that no element uses
        cursor[b + 1] += cursor[b];
    }
    BlockElements result{cursor, std::vector<std::uint32_t>(cursor.back())};
    parallel_ranges(element_count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t e = begin; e < end; ++e)
            for (const std::uint32_t b : element.of(e)) {
                const std::uint64_t at =
                    std::atomic_ref<std::uint64_t>(cursor[b]).fetch_add(1, std::memory_order_relaxed);
                result.elements[at] = static_cast<std::uint32_t>(e);
            }
    });
    return result;
}

// Step 5. The column runs of the blocks of one chunk, in block order; run_counts[k] belongs to
// the chunk's k-th block. row_runs_total and entries_total count what
// the chunk's rows take in `runs` and `vals` (each row repeats its block's runs).
struct ChunkPattern {
    std::vector<ColumnRun> runs;
    std::vector<std::uint32_t> run_counts;
    std::uint64_t row_runs_total = 0;
    std::uint64_t entries_total = 0;
};

// The sorted, distinct blocks coupled to `block`, left in coupled[0 .. count - 1]; returns
// count. They are gathered through a bit set (clear on entry and on return) without a branch
// on whether a block is new, which would be mispredicted often; a dense result is read back
// from the set in order, a sparse one sorted.
std::size_t coupled_blocks(std::size_t block, const BlockElements& touching, const ElementBlocks& element,
                           std::vector<std::uint64_t>& seen, std::vector<std::uint32_t>& coupled) {
    std::size_t count = 0;
    std::uint32_t lowest = std::numeric_limits<std::uint32_t>::max();
    std::uint32_t highest = 0;
    for (std::uint64_t k = touching.first[block]; k < touching.first[block + 1]; ++k) {
        const std::span<const std::uint32_t> candidates = element.of(touching.elements[k]);
        if (coupled.size() < count + candidates.size()) coupled.resize(2 * (count + candidates.size()));
        for (const std::uint32_t b : candidates) {
            const std::uint64_t word = seen[b >> 6];
            const std::uint64_t bit = std::uint64_t{1} << (b & 63);
            seen[b >> 6] = word | bit;
            coupled[count] = b;
            count += (word & bit) == 0 ? 1 : 0;
        }
        lowest = std::min(lowest, candidates.front());  // each element's list is sorted
        highest = std::max(highest, candidates.back());
    }
    if (count == 0) return 0;
    const std::size_t words = (highest >> 6) - (lowest >> 6) + 1;
    if (words <= 4 * count) {
        count = 0;
        for (std::size_t w = lowest >> 6; w <= (highest >> 6); ++w) {
            std::uint64_t word = seen[w];
            seen[w] = 0;
            for (; word != 0; word &= word - 1)
                coupled[count++] = static_cast<std::uint32_t>(w * 64 + std::countr_zero(word));
        }
    } else {
        std::sort(coupled.begin(), coupled.begin() + static_cast<std::ptrdiff_t>(count));
        for (std::size_t k = 0; k < count; ++k) seen[coupled[k] >> 6] = 0;
    }
    return count;
}

ChunkPattern chunk_pattern(std::size_t first_block, std::size_t end_block, const Blocks& blocks,
                           const BlockElements& touching, const ElementBlocks& element) {
    ChunkPattern chunk;
    std::vector<std::uint64_t> seen((blocks.count() + 63) / 64, 0);
    std::vector<std::uint32_t> coupled;
    for (std::size_t block = first_block; block < end_block; ++block) {
        const std::size_t count = coupled_blocks(block, touching, element, seen, coupled);
        std::uint32_t run_count = 0;
        std::uint64_t col_count = 0;
        for (std::size_t k = 0; k < count;) {
            std::size_t last = k;  // consecutive blocks are consecutive columns
            while (last + 1 < count && coupled[last + 1] == coupled[last] + 1) ++last;
            const std::uint32_t col = blocks.first_row[coupled[k]];
            const std::uint32_t len = blocks.first_row[coupled[last] + 1] - col;
            chunk.runs.push_back({col, len});
            ++run_count;
            col_count += len;
            k = last + 1;
        }
        const std::uint64_t block_rows = blocks.first_row[block + 1] - blocks.first_row[block];
        chunk.run_counts.push_back(run_count);
        chunk.row_runs_total += block_rows * run_count;
        chunk.entries_total += block_rows * col_count;
    }
    return chunk;
}

// Step 6 for one chunk: every row of a block gets the block's runs, from run index run_index
// and value position `entry` on.
void write_rows(const ChunkPattern& chunk, std::size_t first_block, std::uint64_t run_index, std::uint64_t entry,
                const Blocks& blocks, SprMat& mat) {
    const ColumnRun* block_runs = chunk.runs.data();
    for (std::size_t k = 0; k < chunk.run_counts.size(); ++k) {
        const std::size_t block = first_block + k;
        for (std::uint32_t r = blocks.first_row[block]; r < blocks.first_row[block + 1]; ++r) {
            mat.row_runs[r] = static_cast<std::int32_t>(run_index);
            for (std::uint32_t j = 0; j < chunk.run_counts[k]; ++j) {
                mat.runs[run_index++] = {static_cast<std::int32_t>(block_runs[j].col),
                                         static_cast<std::uint32_t>(entry)};
                entry += block_runs[j].len;
            }
        }
        block_runs += chunk.run_counts[k];
    }
}

}  // namespace

SprMat build_pattern(std::span<const Tet> tets, std::uint64_t rows) {
    const DofScan scan = scan_dofs(tets, rows);
    if (scan.bad_element < tets.size()) fail_index(first_out_of_range(tets[scan.bad_element], rows), rows);
    if (rows == 0) return SprMat{};  // no free number at all, or the scan would have failed
    if (static_cast<std::uint64_t>(scan.last_free + 1) < rows) fail_index(0, 0);  // the last rows are unused
    if (rows > kIndexLimit)
        fail_matrix_too_large(std::to_string(rows) + " columns, column numbers must stay below 2^31");
    if (tets.size() > std::numeric_limits<std::uint32_t>::max())
        fail_matrix_too_large(std::to_string(tets.size()) + " elements, at most 2^32 - 1 are supported");
    // Fewer free numbers than rows leave some row unused; refusing it here keeps a refused call
    // from building tables of `rows` entries for a model that holds far fewer numbers.
    if (scan.free_total < rows) fail_index(0, 0);
    check_interrupt();

    const Blocks blocks = cut_blocks(tets, rows);
    check_interrupt();
    ElementBlocks element = element_blocks(tets, blocks);
    check_interrupt();
    BlockElements touching = block_elements(tets.size(), blocks.count(), element);
    check_interrupt();

    // Rows differ widely in cost, so blocks go in many more chunks than the usual rule makes.
    const Chunking block_chunks = chunking_by_len(
        blocks.count(), std::max<std::size_t>(1, chunk_count(blocks.count(), kChunksPerWorker * worker_count())));
    const std::size_t chunk_total = block_chunks.count;
    std::vector<ChunkPattern> chunks(chunk_total);
    for_each_chunk(block_chunks, [&](const Chunk& chunk) {
        chunks[chunk.index] = chunk_pattern(chunk.begin, chunk.end, blocks, touching, element);
    });
    element = {};
    touching = {};
    check_interrupt();

    // Where each chunk's rows begin in `runs` (after the dummy) and in `vals`.
    std::vector<std::uint64_t> run_base(chunk_total + 1, 1);
    std::vector<std::uint64_t> entry_base(chunk_total + 1, 0);
    for (std::size_t c = 0; c < chunk_total; ++c) {
        run_base[c + 1] = run_base[c] + chunks[c].row_runs_total;
        entry_base[c + 1] = entry_base[c] + chunks[c].entries_total;
    }
    const std::uint64_t run_end = run_base.back();  // index of the sentinel
    const std::uint64_t nnz = entry_base.back();
    if (run_end >= kIndexLimit)
        fail_matrix_too_large(std::to_string(run_end - 1) + " runs, run indices must stay below 2^31");
    if (nnz >= kEntryLimit) fail_matrix_too_large(std::to_string(nnz) + " entries, at most 2^32 - 1 are supported");

    SprMat mat;
    mat.rows = rows;
    mat.cols = rows;
    mat.row_runs.assign(rows + 1, 0);
    mat.runs = PageVector<Run>(run_end + 1);  // runs[0], the dummy, is already (0, 0)
    populate_pages(mat.runs);
    for_each_chunk(block_chunks, [&](const Chunk& chunk) {
        write_rows(chunks[chunk.index], chunk.begin, run_base[chunk.index], entry_base[chunk.index], blocks, mat);
    });
    mat.row_runs[rows] = static_cast<std::int32_t>(run_end);
    mat.runs[run_end] = {0, static_cast<std::uint32_t>(nnz)};
    chunks = {};
    mat.vals = PageVector<double>(nnz);  // zeros without a pass that writes them
    populate_pages(mat.vals);
    return mat;
}

}  // namespace quarvex
