// The plot data of a model as arrays instead of dicts: the keys of plot_dom or plot_disp as
// int32 pairs and their points as float64 triples, in the order of the dicts' entries, with
// no Python object per edge.
#include <cstring>

#include "lacc/pages.hpp"
#include "model/plot.hpp"
#include "python/tools/buffer.hpp"
#include "python/tools/tools.hpp"

namespace quarvex {
namespace {

// (keys, points): 2 e int32 and 3 k e float64 items for e edges of k points each; the points
// are written straight into their bytearray.
template <std::size_t PointsPerEdge, class Fill>
PyRef plot_arrays(const Nexus& model, Fill&& fill) {
    const PlotLayout layout = plot_layout(model);
    NewArray<std::int32_t> keys = new_array<std::int32_t>(2 * layout.keys.size());
    if (!layout.keys.empty()) std::memcpy(keys.items.data(), layout.keys.data(), keys.items.size_bytes());
    NewArray<double> points = new_array<double>(3 * PointsPerEdge * layout.keys.size());
    populate_pages(points.items.data(), points.items.size_bytes());
    fill(model, layout,
         std::span<Point>(reinterpret_cast<Point*>(points.items.data()), PointsPerEdge * layout.keys.size()));
    PyRef tuple = checked_result(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.get(), 0, keys.object.release());
    PyTuple_SET_ITEM(tuple.get(), 1, points.object.release());
    return tuple;
}

}  // namespace

constexpr Signature kPlotDomArrays{"plot_dom_arrays()", {"model"}};
PyObject* tools_plot_dom_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::shared>(
        kPlotDomArrays, args, nargs, kwnames,
        [](const Nexus& model, const BoundArgs&) { return plot_arrays<2>(model, plot_dom_points); });
}

constexpr Signature kPlotDispArrays{"plot_disp_arrays()", {"model"}};
PyObject* tools_plot_disp_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::shared>(
        kPlotDispArrays, args, nargs, kwnames,
        [](const Nexus& model, const BoundArgs&) { return plot_arrays<3>(model, plot_disp_points); });
}

}  // namespace quarvex
