// The dict of plot_dom and plot_disp; see py_edge_dict.hpp.
#include "python/py_edge_dict.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "python/py_convert.hpp"

namespace quarvex {
namespace {

// A new tuple of the given new references (each stolen), untracked by the collector.
template <std::size_t N>
PyRef untracked_tuple(std::array<PyRef, N> items) {
    PyRef tuple = checked_result(PyTuple_New(static_cast<Py_ssize_t>(N)));
    for (std::size_t k = 0; k < N; ++k) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), items[k].release());
    PyObject_GC_UnTrack(tuple.get());
    return tuple;
}

PyRef point_tuple(const Point& point) {
    return untracked_tuple<3>({from_f64(point[0]), from_f64(point[1]), from_f64(point[2])});
}

// Objects of the vertices lowest .. lowest + count - 1, each made on first use.
struct VertexObjects {
    std::int32_t lowest = 0;
    std::vector<PyRef> indices;  // the int of the index
    std::vector<PyRef> points;   // the tuple of the first end point met at the vertex
    std::vector<Point> point_values;

    VertexObjects(std::int32_t low, std::size_t count)
        : lowest{low}, indices(count), points(count), point_values(count) {}

    std::size_t at(std::int32_t vertex) const { return static_cast<std::size_t>(std::int64_t{vertex} - lowest); }

    PyRef index(std::int32_t vertex) {
        PyRef& index = indices[at(vertex)];
        if (!index) index = from_i32(vertex);
        return PyRef::borrow(index.get());
    }

    // The vertex's tuple when `value` is the one it holds (bit for bit: 0.0 and -0.0 differ,
    // a NaN matches itself), else a tuple of its own.
    PyRef point(std::int32_t vertex, const Point& value) {
        PyRef& point = points[at(vertex)];
        if (!point) {
            point = point_tuple(value);
            point_values[at(vertex)] = value;
        } else if (std::memcmp(point_values[at(vertex)].data(), value.data(), sizeof(Point)) != 0) {
            return point_tuple(value);
        }
        return PyRef::borrow(point.get());
    }
};

template <std::size_t PointsPerEdge>
void fill_edge_dict(PyObject* dict, const PlotEdges& edges) {
    std::int32_t lowest = edges.keys.front()[0];
    std::int32_t highest = lowest;
    for (const auto& key : edges.keys) {
        lowest = std::min({lowest, key[0], key[1]});
        highest = std::max({highest, key[0], key[1]});
    }
    VertexObjects vertices(lowest, static_cast<std::size_t>(std::int64_t{highest} - lowest + 1));
    for (std::size_t e = 0; e < edges.keys.size(); ++e) {
        const auto [i, j] = edges.keys[e];
        const Point* points = edges.points.data() + PointsPerEdge * e;
        PyRef key = untracked_tuple<2>({vertices.index(i), vertices.index(j)});
        PyRef value;
        if constexpr (PointsPerEdge == 2) {
            value = untracked_tuple<2>({vertices.point(i, points[0]), vertices.point(j, points[1])});
        } else {
            value = untracked_tuple<3>(
                {vertices.point(i, points[0]), point_tuple(points[1]), vertices.point(j, points[2])});
        }
        if (PyDict_SetItem(dict, key.get(), value.get()) != 0) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonError{};
            PyErr_Clear();
            raise_internal("Failed to set_item on dict");
        }
    }
}

}  // namespace

PyRef to_edge_dict(const PlotEdges& edges) {
    PyRef dict = checked_result(PyDict_New());
    if (edges.keys.empty()) return dict;
    if (edges.points_per_edge == 2)
        fill_edge_dict<2>(dict.get(), edges);
    else
        fill_edge_dict<3>(dict.get(), edges);
    return dict;
}

}  // namespace quarvex
