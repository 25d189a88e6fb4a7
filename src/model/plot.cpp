// The edges of all elements, grouped by key without a hash table. Slot s = 6 e + k is local
// edge k of element e, keyed (i, j). The steps, each a parallel loop:
//   1. count the slots of every first vertex i and lay out one bucket per i;
//   2. put every slot into its bucket as (j, s), in increasing s;
//   3. sort each bucket by j, then s: the last slot of each run of equal j gives edge (i, j),
//      and the edges take their places in (i, j) order;
//   4. evaluate every element once and copy the points of its giving slots into their places
//      (plot_layout does steps 1 to 3, plot_dom_points and plot_disp_points step 4).
#include "model/plot.hpp"

#include <algorithm>
#include <atomic>
#include <limits>

#include "base/failure.hpp"
#include "elems/tet_edges.hpp"
#include "lacc/pages.hpp"
#include "lacc/pool.hpp"

namespace quarvex {
namespace {

constexpr std::uint64_t kEdgesPerElement = kEdgeVertices.size();

std::array<std::int32_t, 2> slot_key(const Tet& tet, std::uint64_t k) {
    return {tet.verts[kEdgeVertices[k][0]], tet.verts[kEdgeVertices[k][1]]};
}

// The slots of first vertex lowest + b, as (j, s), are entries[first[b] .. first[b + 1]).
struct SlotEntry {
    std::int32_t second = 0;
    std::uint64_t slot = 0;
};

struct Buckets {
    std::int32_t lowest = 0;
    std::vector<std::uint64_t> first;
    PageVector<SlotEntry> entries;
    std::size_t count() const { return first.size() - 1; }
};

// Lowers `first` to e unless it already holds a lower index.
void lower_to(std::atomic<std::size_t>& first, std::size_t e) {
    std::size_t seen = first.load(std::memory_order_relaxed);
    while (e < seen && !first.compare_exchange_weak(seen, e, std::memory_order_relaxed)) {}
}

// Steps 1 and 2. One bucket per value from the lowest to the highest first vertex; the
// vertices are indices into the points the model was made from, so there are no more
// buckets than points. Each chunk of elements counts its slots per bucket and puts them in
// places of its own, chunk after chunk within a bucket, so a bucket lists its slots in
// increasing order and no two chunks write the same counter.
Buckets bucket_slots(std::span<const Tet> tets) {
    std::atomic<std::int32_t> lowest{std::numeric_limits<std::int32_t>::max()};
    std::atomic<std::int32_t> highest{std::numeric_limits<std::int32_t>::min()};
    parallel_ranges(tets.size(), [&](std::size_t begin, std::size_t end) {
        std::int32_t low = std::numeric_limits<std::int32_t>::max();
        std::int32_t high = std::numeric_limits<std::int32_t>::min();
        for (std::size_t e = begin; e < end; ++e)
            for (const auto& edge : kEdgeVertices) {
                low = std::min(low, tets[e].verts[edge[0]]);
                high = std::max(high, tets[e].verts[edge[0]]);
            }
        std::int32_t seen = lowest.load(std::memory_order_relaxed);
        while (low < seen && !lowest.compare_exchange_weak(seen, low, std::memory_order_relaxed)) {}
        seen = highest.load(std::memory_order_relaxed);
        while (high > seen && !highest.compare_exchange_weak(seen, high, std::memory_order_relaxed)) {}
    });
    Buckets buckets;
    buckets.lowest = lowest.load();
    const auto bucket_of = [&](std::int32_t vertex) {
        return static_cast<std::uint64_t>(std::int64_t{vertex} - buckets.lowest);
    };
    const std::uint64_t bucket_count = bucket_of(highest.load()) + 1;
    // No more chunks than leave their counters (chunks x buckets) within the slot count.
    const std::uint64_t slot_count = kEdgesPerElement * tets.size();
    const std::size_t chunk_total = std::clamp<std::uint64_t>(slot_count / bucket_count, 1, worker_count());
    const Chunking chunks = chunking_by_len(tets.size(), chunk_count(tets.size(), chunk_total));
    // place[c * bucket_count + b]: slots of chunk c in bucket b, then where they go.
    std::vector<std::uint64_t> place(chunks.count * bucket_count, 0);
    for_each_chunk(chunks, [&](const Chunk& chunk) {
        std::uint64_t* const count = place.data() + chunk.index * bucket_count;
        for (std::size_t e = chunk.begin; e < chunk.end; ++e)
            for (const auto& edge : kEdgeVertices) ++count[bucket_of(tets[e].verts[edge[0]])];
    });
    buckets.first.assign(bucket_count + 1, 0);
    std::uint64_t next = 0;
    for (std::uint64_t b = 0; b < bucket_count; ++b) {
        buckets.first[b] = next;
        for (std::size_t c = 0; c < chunks.count; ++c) {
            const std::uint64_t count = place[c * bucket_count + b];
            place[c * bucket_count + b] = next;
            next += count;
        }
    }
    buckets.first[bucket_count] = next;
    buckets.entries = PageVector<SlotEntry>(next);
    populate_pages(buckets.entries);
    for_each_chunk(chunks, [&](const Chunk& chunk) {
        std::uint64_t* const cursor = place.data() + chunk.index * bucket_count;
        for (std::size_t e = chunk.begin; e < chunk.end; ++e)
            for (std::uint64_t k = 0; k < kEdgesPerElement; ++k) {
                const auto [i, j] = slot_key(tets[e], k);
                buckets.entries[cursor[bucket_of(i)]++] = {j, kEdgesPerElement * e + k};
            }
    });
    return buckets;
}

bool entry_before(const SlotEntry& a, const SlotEntry& b) {
    return a.second != b.second ? a.second < b.second : a.slot < b.slot;
}

// Step 3.
PlotLayout place_edges(Buckets& buckets, std::size_t slot_count) {
    std::vector<std::uint64_t> edge_first(buckets.count() + 1, 0);
    parallel_ranges(buckets.count(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            const auto first = buckets.entries.begin() + static_cast<std::ptrdiff_t>(buckets.first[b]);
            const auto last = buckets.entries.begin() + static_cast<std::ptrdiff_t>(buckets.first[b + 1]);
            std::sort(first, last, entry_before);
            std::uint64_t edges = 0;
            for (auto entry = first; entry != last; ++entry)
                edges += (entry + 1 == last || (entry + 1)->second != entry->second) ? 1 : 0;
            edge_first[b + 1] = edges;
        }
    });
    for (std::size_t b = 0; b < buckets.count(); ++b) edge_first[b + 1] += edge_first[b];
    PlotLayout places{PageVector<std::array<std::int32_t, 2>>(edge_first.back()),
                      PageVector<std::uint64_t>(slot_count)};
    populate_pages(places.keys);
    populate_pages(places.place);
    parallel_ranges(slot_count, [&](std::size_t begin, std::size_t end) {
        std::fill(places.place.begin() + static_cast<std::ptrdiff_t>(begin),
                  places.place.begin() + static_cast<std::ptrdiff_t>(end), kNoEdge);
    });
    parallel_ranges(buckets.count(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            const auto i = static_cast<std::int32_t>(std::int64_t{buckets.lowest} + static_cast<std::int64_t>(b));
            std::uint64_t edge = edge_first[b];
            for (std::uint64_t n = buckets.first[b]; n < buckets.first[b + 1]; ++n) {
                const SlotEntry& entry = buckets.entries[n];
                if (n + 1 < buckets.first[b + 1] && buckets.entries[n + 1].second == entry.second) continue;
                places.keys[edge] = {i, entry.second};
                places.place[entry.slot] = edge++;
            }
        }
    });
    return places;
}

// Step 4, with records(tet) the element's six edge records (key and points). A failing
// element is passed over; the first of them in element order fails again at the end.
template <std::size_t PointsPerEdge, class Records>
void fill_points(const Nexus& model, const PlotLayout& layout, std::span<Point> points, Records&& records) {
    const std::span<const Tet> tets = model.tets;
    check_equal(layout.place.size(), kEdgesPerElement * tets.size());
    check_equal(points.size(), PointsPerEdge * layout.keys.size());
    std::atomic<std::size_t> first_failed{tets.size()};
    for_each_chunk(chunking(tets.size()), [&](const Chunk& chunk) {
        for (std::size_t e = chunk.begin; e < chunk.end; ++e) {
            if (first_failed.load(std::memory_order_relaxed) < e) return;  // an earlier element failed first
            try {
                const auto edges = records(tets[e]);
                for (std::uint64_t k = 0; k < kEdgesPerElement; ++k) {
                    const std::uint64_t edge = layout.place[kEdgesPerElement * e + k];
                    if (edge == kNoEdge) continue;
                    std::copy(edges[k].points.begin(), edges[k].points.end(),
                              points.begin() + static_cast<std::ptrdiff_t>(PointsPerEdge * edge));
                }
            } catch (const Panic&) {
                lower_to(first_failed, e);
                return;  // later elements of the chunk cannot fail first
            }
        }
    });
    if (first_failed.load() < tets.size()) records(tets[first_failed.load()]);  // throws its panic again
}

template <std::size_t PointsPerEdge>
PlotEdges plot_edges(const Nexus& model, void (*fill)(const Nexus&, const PlotLayout&, std::span<Point>)) {
    PlotLayout layout = plot_layout(model);
    PlotEdges result;
    result.points_per_edge = PointsPerEdge;
    result.points = PageVector<Point>(PointsPerEdge * layout.keys.size());
    populate_pages(result.points);
    fill(model, layout, result.points);
    result.keys = std::move(layout.keys);
    return result;
}

}  // namespace

PlotLayout plot_layout(const Nexus& model) {
    if (model.tets.empty()) return {};
    Buckets buckets = bucket_slots(model.tets);
    return place_edges(buckets, kEdgesPerElement * model.tets.size());
}

void plot_dom_points(const Nexus& model, const PlotLayout& layout, std::span<Point> points) {
    fill_points<2>(model, layout, points, [](const Tet& tet) { return dom_edges(tet); });
}

void plot_disp_points(const Nexus& model, const PlotLayout& layout, std::span<Point> points) {
    fill_points<3>(model, layout, points, [&](const Tet& tet) { return disp_edges(tet, model.sol, model.bc); });
}

PlotEdges plot_dom(const Nexus& model) {
    return plot_edges<2>(model, plot_dom_points);
}

PlotEdges plot_disp(const Nexus& model) {
    return plot_edges<3>(model, plot_disp_points);
}

}  // namespace quarvex
