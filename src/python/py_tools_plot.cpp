// The plot data of a model as arrays instead of dicts: the keys of plot_dom or plot_disp as
// int32 pairs and their points as float64 triples, in the order of the dicts' entries, with
// no Python object per edge.
#include <cstring>

#include "model/plot.hpp"
#include "python/py_tools.hpp"
#include "python/py_tools_buffer.hpp"

namespace quarvex {
namespace {

// (keys, points): 2 e int32 and 3 k e float64 items for e edges of k points each.
PyRef plot_arrays(const PlotEdges& edges) {
    NewArray<std::int32_t> keys = new_array<std::int32_t>(2 * edges.keys.size());
    if (!edges.keys.empty()) std::memcpy(keys.items.data(), edges.keys.data(), keys.items.size_bytes());
    NewArray<double> points = new_array<double>(3 * edges.points.size());
    if (!edges.points.empty()) std::memcpy(points.items.data(), edges.points.data(), points.items.size_bytes());
    PyRef tuple = checked_result(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.get(), 0, keys.object.release());
    PyTuple_SET_ITEM(tuple.get(), 1, points.object.release());
    return tuple;
}

}  // namespace

constexpr Signature kPlotDomArrays{"plot_dom_arrays()", {"model"}};
PyObject* tools_plot_dom_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::shared>(kPlotDomArrays, args, nargs, kwnames, [](const Nexus& model, const BoundArgs&) {
        return plot_arrays(plot_dom(model));
    });
}

constexpr Signature kPlotDispArrays{"plot_disp_arrays()", {"model"}};
PyObject* tools_plot_disp_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::shared>(kPlotDispArrays, args, nargs, kwnames, [](const Nexus& model, const BoundArgs&) {
        return plot_arrays(plot_disp(model));
    });
}

}  // namespace quarvex
