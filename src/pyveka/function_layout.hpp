// The layout of the module's function objects, shared by their type
// (native_function.cpp) and their calls (function_call.cpp) alone.
#pragma once

#include "function_table.hpp"

namespace veka {

// Raw pointers, as in every C-level object: the type's slots own them. name,
// qualname and code are never null, as on CPython's own functions: clear puts
// the empty str in place of name and qualname (a str subclass set there can
// close a cycle), keeps code, and nulls every other pointer it drops.
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

}  // namespace veka
