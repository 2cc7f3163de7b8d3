// The interpreter operations the function bodies are written in.
//
// A body is a C++ function that reads like the Python function it stands for,
// one operation per line. Each operation either succeeds or leaves the
// interpreter's exception set and throws PythonError; the trampoline that runs
// every body (native_function.cpp) catches it, so no C++ exception reaches the
// interpreter. Each operation records where it stands in the body, which names
// the line of the traceback entry the trampoline adds.
#pragma once

#include "constants.hpp"
#include "name_resolution.hpp"

#include <initializer_list>
#include "source_line.hpp"
#include <span>

namespace veka {

// Thrown only after the interpreter's error indicator has been set.
struct PythonError {};

using Where = SourceLine;

class Frame {
public:
    Frame(const Constants& constants, PyObject* namespace_dict, std::span<PyObject* const> args)
        : k(constants), namespace_dict_(namespace_dict), args_(args)
    {
    }

    const Constants& k;

    // The positional arguments of the call (only `_resolve_path` has any).
    [[nodiscard]] std::span<PyObject* const> args() const { return args_; }
    [[nodiscard]] const Where& where() const { return where_; }

    // `name` (module namespace, then builtins).
    Ref global(GlobalUse& use, Where where = Where::here());
    // `obj.name`
    Ref attr(Obj obj, AttributeUse& use, Where where = Where::here());
    // `callable(*args)`
    Ref call(Obj callable, std::initializer_list<PyObject*> args = {},
             Where where = Where::here());
    // `callable(*args)` for an arguments tuple made once.
    Ref call_with_tuple(Obj callable, Obj args_tuple, Where where = Where::here());
    // `callable(first, *rest)`
    Ref call_prepended(Obj callable, Obj first, std::span<PyObject* const> rest,
                       Where where = Where::here());
    // `obj.name(*args)`
    Ref call_method(Obj obj, Obj name, std::initializer_list<PyObject*> args = {},
                    Where where = Where::here());
    // `module.name(*args)`, the name looked up as by attr
    Ref call_method(Obj obj, AttributeUse& use, std::initializer_list<PyObject*> args = {},
                    Where where = Where::here());
    // `bool(obj)`
    bool truth(Obj obj, Where where = Where::here());
    // `bool(left == right)`
    bool equals(Obj left, Obj right, Where where = Where::here());
    // `bool(left > right)`
    bool greater(Obj left, Obj right, Where where = Where::here());
    // `obj.startswith(prefix)` taken as a truth value.
    bool startswith(Obj obj, Obj prefix, Where where = Where::here());
    // `f"{word_size}bit"`
    Ref word_size_directory(Obj word_size, Where where = Where::here());
    // `str(obj)`
    Ref str(Obj obj, Where where = Where::here());
    // `from .<module> import <name>`, through sys.modules first, never builtins.__import__.
    Ref import_from_sibling(SiblingImport& import, Where where = Where::here());
    // `raise exception_type(message)`
    [[noreturn]] void raise(PyObject* exception_type, Obj message, Where where = Where::here());

private:
    PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargs);
    // Stops the body when an operation failed (its result is null).
    Ref checked(PyObject* result)
    {
        if (!result) throw PythonError{};
        return Ref::steal(result);
    }
    bool checked_truth(int answer)
    {
        if (answer < 0) throw PythonError{};
        return answer != 0;
    }

    PyObject* namespace_dict_;
    std::span<PyObject* const> args_;
    Where where_;
};

// The operations every body makes many times are inline; their cache hits
// are the common case.

inline Ref Frame::global(GlobalUse& use, Where where)
{
    where_ = where;
    return checked(resolve_global(use, k, namespace_dict_).release());
}

inline Ref Frame::attr(Obj obj, AttributeUse& use, Where where)
{
    where_ = where;
    PyObject* name = (k.*use.name).get();
    if (PyModule_CheckExact(obj.get())) {
        Ref value = cached_lookup(use.module_dict, PyModule_GetDict(obj.get()), name);
        if (value) return value;
        if (PyErr_Occurred()) throw PythonError{};
    }
    return checked(PyObject_GetAttr(obj.get(), name));
}

inline bool Frame::truth(Obj obj, Where where)
{
    where_ = where;
    PyObject* value = obj.get();
    if (value == Py_True) return true;
    if (value == Py_False || value == Py_None) return false;
    return checked_truth(PyObject_IsTrue(value));
}

// The nine bodies, in the order of the module's function table.
Ref bits_body(Frame& f);
Ref system_body(Frame& f);
Ref machine_body(Frame& f);
Ref package_root_body(Frame& f);
Ref resolve_path_body(Frame& f);
Ref solver_lookup_body(Frame& f);
Ref configured_call_body(Frame& f);
Ref mesher_lookup_body(Frame& f);
Ref remote_script_body(Frame& f);

}  // namespace veka
