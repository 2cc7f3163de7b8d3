// The module's own function type.
//
// Its instances stand for the nine module-level functions. They show what
// inspect and typing look for on a Python function (__name__, __qualname__,
// __module__, __doc__, __annotations__, __globals__, __defaults__,
// __kwdefaults__, __code__, __dict__), are called through vectorcall, and run
// their body through one trampoline that refuses bad arguments, applies the
// result check and adds the traceback entry.
#pragma once

#include "owned_ref.hpp"

namespace veka {

struct FunctionRow;

// A new heap type for the functions of one module execution.
Ref make_function_type();

// A function object for `row` whose calls resolve names in `namespace_dict`
// and use the constants of `shared_state`.
Ref make_function(PyObject* function_type, const FunctionRow& row, PyObject* shared_state,
                  PyObject* namespace_dict);

}  // namespace veka
