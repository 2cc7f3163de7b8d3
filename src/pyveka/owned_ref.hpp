// Ownership contract for every PyObject* this module keeps.
//
// A Ref owns exactly one strong reference, or nothing. It is made in one of
// two named ways, so the ownership transfer is visible at the line it happens:
//   Ref::steal(p)   adopts a reference the caller already owns ("new reference"
//                   results of the C API);
//   Ref::borrow(p)  takes a reference of its own to an object owned elsewhere.
// A Ref moves and never copies; release() hands the reference to C code that
// steals it. Plain PyObject* in this code base is always a borrowed pointer.
// Dropping a reference may run a finalizer, which is Python code: it is a
// call into the interpreter like any other (into_python).
#pragma once

#include "into_python.hpp"

#include <Python.h>

#include <utility>

namespace veka {

class Ref {
public:
    constexpr Ref() noexcept = default;

    [[nodiscard]] static Ref steal(PyObject* owned) noexcept { return Ref(owned); }
    [[nodiscard]] static Ref borrow(PyObject* borrowed) noexcept
    {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept
    {
        // Take the new value before dropping the old: the drop may run
        // arbitrary code (a __del__) that looks at this very slot.
        PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
        drop(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { drop(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    // Another owner of the same object.
    [[nodiscard]] Ref share() const noexcept { return borrow(object_); }
    void reset() noexcept
    {
        PyObject* old = std::exchange(object_, nullptr);
        drop(old);
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    constexpr explicit Ref(PyObject* owned) noexcept : object_(owned) {}
    static void drop(PyObject* object) noexcept
    {
        into_python([](PyObject* dropped) { Py_XDECREF(dropped); }, object);
    }
    PyObject* object_ = nullptr;
};

}  // namespace veka
