// Curved elements in a model's assembly: assemble_curved(model, elements, edge_points)
// assembles the model as Nexus.assemble does, with the isoparametric kernel for the listed
// elements (their edge nodes at the given positions) and the affine kernel for the others.
#include <string>

#include "model/assembly.hpp"
#include "model/curved_system.hpp"
#include "python/tools/buffer.hpp"
#include "python/tools/tools.hpp"

namespace quarvex {

constexpr Signature kAssembleCurved{"assemble_curved()", {"model", "elements", "edge_points"}};
PyObject* tools_assemble_curved(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_on_model<Borrow::exclusive>(
        kAssembleCurved, args, nargs, kwnames, [](Nexus& model, const BoundArgs& bound) {
            CurvedElements curved;
            {
                const ArrayArg elements("elements", bound.values[1], {Item::i64}, 1, 0, "(c,)");
                const ArrayArg edge_points("edge_points", bound.values[2], {Item::f64}, 2, 18, "(c, 18)");
                if (edge_points.rows() != elements.rows()) {
                    raise_python(PyExc_ValueError, "argument 'edge_points': " + std::to_string(edge_points.rows()) +
                                                       " rows for " + std::to_string(elements.rows()) + " elements");
                }
                for (const std::int64_t e : elements.items<std::int64_t>()) {
                    if (e < 0 || static_cast<std::uint64_t>(e) >= model.tets.size()) {
                        raise_python(PyExc_ValueError, "argument 'elements': element " + std::to_string(e) +
                                                           " does not exist (the model has " +
                                                           std::to_string(model.tets.size()) + " elements)");
                    }
                }
                curved =
                    curved_elements(model.tets.size(), elements.items<std::int64_t>(), edge_points.items<double>());
            }
            const std::string warning = assemble(model, curved);
            if (!warning.empty()) warn_runtime(warning);
            return none();
        });
}

}  // namespace quarvex
