// The call frame every method runs through: take the receiver's borrow, run the body
// (binding, conversion, operation, result), release the borrow on every path and turn
// any failure into a Python exception. Instances lay out as the object header, a borrow
// flag (0 free, -1 exclusive, n > 0 shared) and the payload record.
#pragma once

#include "python/py_errors.hpp"
#include "python/py_ref.hpp"

#include <memory>
#include <type_traits>
#include <utility>

namespace quarvex {

template <class Payload>
struct Instance {
    PyObject_HEAD Py_ssize_t borrow_flag;
    Payload payload;
};

template <class Payload>
Instance<Payload>* instance_of(PyObject* self) {
    return reinterpret_cast<Instance<Payload>*>(self);
}

enum class Borrow { exclusive, shared };

// Takes the borrow on construction (a conflict raises RuntimeError) and releases it on
// destruction, so the flag returns to the value it had on every path.
class BorrowGuard {
  public:
    BorrowGuard(Py_ssize_t& flag, Borrow kind) : flag_{flag}, kind_{kind} {
        if (kind == Borrow::exclusive) {
            if (flag != 0) raise_python(PyExc_RuntimeError, "Already borrowed");
            flag = -1;
        } else {
            if (flag == -1) raise_python(PyExc_RuntimeError, "Already mutably borrowed");
            ++flag;
        }
    }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    ~BorrowGuard() {
        if (kind_ == Borrow::exclusive)
            flag_ = 0;
        else
            --flag_;
    }

  private:
    Py_ssize_t& flag_;
    Borrow kind_;
};

// The one catch of the binding layer: runs body(), which returns the result as a PyRef, and
// turns any failure into the pending Python exception. Everything the body holds (a borrow
// guard, converted arguments) is released before the exception is raised.
template <class Body>
PyObject* run_frame(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        raise_current(std::current_exception());
        return nullptr;
    }
}

// Runs body(payload) under the borrow of `self` (inside a frame): an exclusive borrow hands
// the body the payload to change, a shared one hands it read-only.
template <Borrow kind, class Payload, class Body>
PyRef with_borrow(PyObject* self, Body&& body) {
    Instance<Payload>* instance = instance_of<Payload>(self);
    BorrowGuard guard{instance->borrow_flag, kind};
    if constexpr (kind == Borrow::exclusive)
        return body(instance->payload);
    else
        return body(std::as_const(instance->payload));
}

// A method: body(payload) under the receiver's borrow, in the frame.
template <Borrow kind, class Payload, class Body>
PyObject* call_method(PyObject* self, Body&& body) noexcept {
    return run_frame([&] { return with_borrow<kind, Payload>(self, body); });
}

// The one exception to the rule above: Nexus.assemble takes a shared borrow, as the class's
// interface fixes, yet adds into the model's matrix and load vector. This is the only place
// where a body gets write access under a shared borrow.
template <class Payload, class Body>
PyObject* call_method_shared_writing(PyObject* self, Body&& body) noexcept {
    return run_frame([&] {
        Instance<Payload>* instance = instance_of<Payload>(self);
        BorrowGuard guard{instance->borrow_flag, Borrow::shared};
        return body(instance->payload);
    });
}

// Allocates an instance of `type` holding `payload` (moved in), with a free borrow flag.
template <class Payload>
PyRef new_instance(PyTypeObject* type, Payload&& payload) {
    // Nothing may throw once the object is allocated: its payload is moved in last.
    static_assert(std::is_nothrow_move_constructible_v<std::remove_cvref_t<Payload>>);
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyRef object{alloc(type, 0)};
    if (!object) throw PythonError{};
    Instance<Payload>* instance = instance_of<Payload>(object.get());
    instance->borrow_flag = 0;
    std::construct_at(&instance->payload, std::forward<Payload>(payload));
    return object;
}

// Constructor slot body: the payload made by make_payload() (which binds and converts the
// arguments) in a new instance of `type`, through the same frame as the methods.
template <class MakePayload>
PyObject* construct_instance(PyTypeObject* type, MakePayload&& make_payload) noexcept {
    return run_frame([&] { return new_instance(type, make_payload()); });
}

// Destructor slot: drops the payload, then frees the object and its hold on the heap type.
template <class Payload>
void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    const PyRef type_hold{reinterpret_cast<PyObject*>(type)};  // an instance of a heap type holds its type
    std::destroy_at(&instance_of<Payload>(self)->payload);
    type->tp_free(self);
}

}  // namespace quarvex
