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

#include <cstdint>
#include <span>

namespace veka {

class BodyCall;
using Body = Ref (*)(BodyCall&);

enum class Parameters : std::uint8_t { none, variadic_parts };

// One row of the module's function table.
struct FunctionRow {
    const char* name;
    const char* dotted_name;  // the name of its traceback entries
    Parameters parameters;
    const char* parts_annotation;  // only for Parameters::variadic_parts
    const char* return_annotation;
    const char* doc;  // nullptr: no docstring
    std::span<const char* const> local_names;
    Body body;
};

// A new heap type for the functions of one module execution.
Ref make_function_type();

// A function object for `row` whose calls resolve names in `namespace_dict`
// and use the constants of `shared_state`.
Ref make_function(PyObject* function_type, const FunctionRow& row, PyObject* shared_state,
                  PyObject* namespace_dict);

}  // namespace veka
