// The plot edges against a plain reference: an ordered map filled element by element in
// element order (a later element replaces an earlier one's points), on a random mesh with many
// shared keys, keys in both orders, repeated vertices and numbers both free and prescribed.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <map>
#include <random>
#include <vector>

#include "elems/tet_edges.hpp"
#include "model/plot.hpp"

namespace quarvex {
namespace {

using test_support::panic_text;

// `count` elements over vertices -5 .. 34, each with one to four random ranges.
Nexus random_model(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::int32_t> vertex(-5, 34), start(-20, 60), length(0, 9);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    Nexus model;
    for (std::size_t e = 0; e < count; ++e) {
        Tet tet;
        for (std::size_t v = 0; v < 4; ++v) {
            tet.verts[v] = vertex(random);
            for (double& coordinate : tet.pts[v]) coordinate = 0.1 * tet.verts[v] + (v == 0 ? 0.0 : value(random));
        }
        for (int r = 1 + static_cast<int>(random() % 4); r > 0; --r)
            tet.dofs.push_back({start(random), length(random)});
        model.tets.push_back(tet);
    }
    model.sol.resize(70);
    model.bc.resize(40);
    for (double& x : model.sol) x = value(random);
    for (double& x : model.bc) x = value(random);
    return model;
}

template <class Records>
void expect_reference(const PlotEdges& got, const Nexus& model, std::size_t points_per_edge, Records records) {
    std::map<std::array<std::int32_t, 2>, std::vector<Point>> reference;
    for (const Tet& tet : model.tets)
        for (const auto& edge : records(tet))
            reference.insert_or_assign(edge.key, std::vector<Point>(edge.points.begin(), edge.points.end()));
    ASSERT_EQ(got.points_per_edge, points_per_edge);
    ASSERT_EQ(got.keys.size(), reference.size());
    ASSERT_EQ(got.points.size(), points_per_edge * reference.size());
    std::size_t e = 0;
    for (const auto& [key, points] : reference) {
        ASSERT_EQ(got.keys[e], key) << "edge " << e;
        for (std::size_t p = 0; p < points_per_edge; ++p)
            EXPECT_EQ(got.points[points_per_edge * e + p], points[p]) << "edge " << e;
        ++e;
    }
}

TEST(PlotEdges, MatchTheOrderedMapReference) {
    for (const std::size_t count : {0, 1, 7, 3000}) {
        const Nexus model = random_model(count, static_cast<unsigned>(count));
        expect_reference(plot_dom(model), model, 2, [](const Tet& tet) { return dom_edges(tet); });
        expect_reference(plot_disp(model), model, 3,
                         [&](const Tet& tet) { return disp_edges(tet, model.sol, model.bc); });
    }
}

TEST(PlotEdges, TheFirstFailingElementInElementOrderIsReported) {
    Nexus model = random_model(3000, 5);
    model.tets[2900].dofs = {{500, 3}};
    model.tets[1700].dofs = {{2, 2}, {-600, 1}};
    model.tets[2400].dofs = {{400, 3}};
    for (int repeat = 0; repeat < 5; ++repeat)
        EXPECT_EQ(panic_text([&] { plot_disp(model); }), "index out of bounds: the len is 40 but the index is 600");
}

}  // namespace
}  // namespace quarvex
