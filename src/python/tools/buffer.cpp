// Buffer arguments and bytearray results; see buffer.hpp.
#include "python/tools/buffer.hpp"

#include <string>

namespace quarvex {
namespace {

const char* item_name(Item item) {
    switch (item) {
        case Item::f64:
            return "float64";
        case Item::i32:
            return "int32";
        case Item::i64:
            return "int64";
    }
    return "?";
}

// The item type of a buffer format ("d", "<i", "=q", ...), native byte order only; false if
// it is none of the three.
bool parse_item(const char* format, Py_ssize_t itemsize, Item& item) {
    if (format == nullptr) return false;  // plain bytes
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (format[0] == '\0' || format[1] != '\0') return false;
    switch (format[0]) {
        case 'd':
            item = Item::f64;
            return itemsize == 8;
        case 'i':
        case 'l':
        case 'q':
            if (itemsize == 4)
                item = Item::i32;
            else if (itemsize == 8)
                item = Item::i64;
            else
                return false;
            return true;
        default:
            return false;
    }
}

std::string shape_of(const Py_buffer& view) {
    std::string text = "(";
    for (int d = 0; d < view.ndim; ++d) text += (d > 0 ? ", " : "") + std::to_string(view.shape[d]);
    return text + (view.ndim == 1 ? ",)" : ")");
}

}  // namespace

ArrayArg::ArrayArg(const char* name, PyObject* object, std::initializer_list<Item> accepted, int ndim, Py_ssize_t width,
                   const char* shape_text) {
    const std::string prefix = std::string("argument '") + name + "': ";
    Py_buffer view{};
    if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        prefix_type_error(prefix);
        throw PythonError{};
    }
    std::string accepted_text;
    bool found = false;
    Item item = Item::f64;
    const bool known = parse_item(view.format, view.itemsize, item);
    for (const Item candidate : accepted) {
        accepted_text += (accepted_text.empty() ? "" : " or ") + std::string(item_name(candidate));
        found = found || (known && candidate == item);
    }
    if (!found) {
        const std::string format = view.format != nullptr ? view.format : "B";
        PyBuffer_Release(&view);
        raise_python(PyExc_TypeError,
                     prefix + "expected an array of " + accepted_text + ", got items of format '" + format + "'");
    }
    if (view.ndim != ndim || (ndim == 2 && view.shape[1] != width)) {
        const std::string got = shape_of(view);
        PyBuffer_Release(&view);
        raise_python(PyExc_ValueError, prefix + "expected an array of shape " + shape_text + ", got shape " + got);
    }
    view_ = view;
    item_ = item;
}

PyRef new_bytearray(std::size_t bytes) {
    return checked_result(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes)));
}

}  // namespace quarvex
