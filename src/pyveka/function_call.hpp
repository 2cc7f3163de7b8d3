// The trampoline between the interpreter and the bodies: the vectorcall
// entry of every function of the module (function_call.cpp). The bodies call
// the module's own functions through it too, past the generic call's checks.
#pragma once

#include <Python.h>

#include <cstddef>

namespace veka {

// Refuses bad arguments, runs the body with every reference it reads held,
// applies the result check and adds the traceback entry. Lets no C++
// exception out but a forced unwind (errors.hpp).
PyObject* call_native_function(PyObject* callable, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames);

// The same call made by a body of the module, with positional arguments only:
// it counts the recursion units of such a call (interpreter_access.hpp).
PyObject* call_from_a_body(PyObject* callable, PyObject* const* args, size_t nargs);

}  // namespace veka
