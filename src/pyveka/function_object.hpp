// The layout of the module's function objects, shared by their type
// (native_function.cpp) and their calls (function_call.cpp).
#pragma once

#include "native_function.hpp"

namespace veka {

// Raw pointers, as in every C-level object: the type's slots own them. name,
// qualname and code are never null, as on CPython's own functions; clear
// keeps them, since no str or code object can close a cycle, and nulls every
// other pointer it drops.
struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionRow* row;  // static: the module's function table
    PyObject* shared_state;
    PyObject* globals;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* annotations;
    PyObject* code;
    PyObject* dict;
    PyObject* weakrefs;
};

inline NativeFunction* as_function(PyObject* object)
{
    return reinterpret_cast<NativeFunction*>(object);
}

// The functions' vectorcall entry: refuses bad arguments, runs the body, applies
// the result check and adds the traceback entry. Never leaves a C++ exception.
PyObject* call_native_function(PyObject* callable, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) noexcept;

}  // namespace veka
