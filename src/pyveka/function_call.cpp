// A call of one of the module's functions: the trampoline between the
// interpreter and a body (function_call.hpp, body_call.hpp).
#include "function_call.hpp"

#include "body_call.hpp"
#include "errors.hpp"
#include "function_layout.hpp"
#include "function_table.hpp"
#include "interpreter_access.hpp"
#include "shared_state.hpp"

#include <cassert>
#include <cstdio>

namespace veka {
namespace {

VEKA_COLD PyObject* refuse_arguments(const FunctionRow& row, Py_ssize_t nargs, PyObject* kwnames)
{
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i))) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return nullptr;
        }
    }
    if (nkw > 0 && row.parameters == Parameters::none) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", row.name, "takes no keyword arguments");
    } else if (nkw > 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", row.name,
                     PyTuple_GET_ITEM(kwnames, 0));
    } else {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", row.name, "takes no arguments",
                     nargs);
    }
    return nullptr;
}

VEKA_COLD PyObject* refuse_torn_down(const FunctionRow& row)
{
    PyErr_Format(PyExc_RuntimeError, "%s() was called after its module was torn down", row.name);
    return nullptr;
}

// The result check's refusal (and the guard against a body that broke its
// contract by returning nothing).
VEKA_COLD void refuse_result(const FunctionRow& row, PyObject* result)
{
    if (!result) {
        PyErr_Format(PyExc_SystemError, "%s() returned no value", row.name);
    } else {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                     type_name_for_messages(result));
    }
}

// The name of a function's traceback entries: "pyveka.veka_call.<name>".
VEKA_COLD void add_function_entry(const FunctionRow& row, const SourceLine& where,
                                  PyObject* globals)
{
    char entry_name[96];  // NOLINT: written by snprintf, which cuts what does not fit
    std::snprintf(entry_name, sizeof entry_name, "%s.%s", module_full_name, row.name);
    add_traceback_entry(entry_name, where, globals);
}

// Runs the body and applies the result check: a str or None, or null with
// the exception set and the traceback entry added. No C++ exception passes
// this point but a forced unwind (errors.hpp). Inline: on its own it costs
// every call of the module some 50 instructions more.
inline PyObject* run_body_checked(const FunctionRow& row, BodyCall& call, PyObject* globals)
{
    try {
        Ref result = row.body(call);
        assert(result);  // a body reports failure by throwing, never by an empty result
        PyObject* value = result.get();
        if (value && (value == Py_None || PyUnicode_CheckExact(value))) return result.release();
        refuse_result(row, value);
    } catch (const PythonError&) {
    } catch (...) {
        translate_current_exception();
    }
    add_function_entry(row, call.line(), globals);
    return nullptr;
}

// The functions call each other through the namespace; rebound into a cycle,
// they must end in RecursionError, not in a C stack overflow: each call
// counts as `units` levels of the interpreter's guard (recursion_units).
template <int units>
bool enter_recursive_call()
{
    for (int unit = 0; unit < units; ++unit) {
        if (Py_EnterRecursiveCall(" while calling a Python object")) {
            for (int entered = 0; entered < unit; ++entered) Py_LeaveRecursiveCall();
            return false;
        }
    }
    return true;
}

template <int units>
void leave_recursive_call()
{
    for (int unit = 0; unit < units; ++unit) Py_LeaveRecursiveCall();
}

// Runs `self`'s body on `args` with everything it reads held, as a Python
// frame holds its function and globals: code the body runs may drop the
// caller's references to all of them, or clear the function. The caller
// holds the arguments.
template <int units>
PyObject* call_holding_references(NativeFunction* self, std::span<PyObject* const> args)
{
    const FunctionRow& row = *self->row;
    const Ref function = Ref::borrow(reinterpret_cast<PyObject*>(self));
    const Ref state = Ref::borrow(self->shared_state);
    const Ref globals = Ref::borrow(self->globals);
    // Only reachable from a finalizer that runs while a garbage cycle is torn
    // down: clear dropped the function's state, or the state's own.
    if (!state || !globals || constants_of(state.get()).torn_down()) [[unlikely]] {
        return refuse_torn_down(row);
    }
    if (!enter_recursive_call<units>()) return nullptr;
    BodyCall call(constants_of(state.get()), watch_of(state.get()), globals.get(), args);
    PyObject* result = run_body_checked(row, call, globals.get());
    leave_recursive_call<units>();
    return result;
}

// The positional arguments, owned for the whole call. The caller's array may
// be the items of a tuple that code run by the body frees (a partial object
// whose state is replaced mid-call), so the call keeps pointers and
// references of its own.
class ArgumentsHeld {
public:
    ArgumentsHeld(PyObject* const* args, size_t count) : held_(count)
    {
        for (size_t index = 0; index < count; ++index) held_.push(Py_NewRef(args[index]));
    }
    ~ArgumentsHeld()
    {
        // Each drop may run a finalizer: a call into the interpreter.
        for (PyObject* arg : held_.items())
            into_python([](PyObject* held) { Py_DECREF(held); }, arg);
    }
    ArgumentsHeld(const ArgumentsHeld&) = delete;
    ArgumentsHeld& operator=(const ArgumentsHeld&) = delete;

    [[nodiscard]] std::span<PyObject* const> items() const { return held_.items(); }

private:
    PointerArray<8> held_;
};

// A call with positional arguments (only `_resolve_path` takes any), in a
// frame of its own: the array of held arguments then takes no stack in the
// calls without, which are the ones a recursion goes through.
template <int units>
VEKA_NOINLINE PyObject* call_holding_arguments(NativeFunction* self, PyObject* const* args,
                                               size_t nargs)
{
    try {
        const ArgumentsHeld held(args, nargs);
        return call_holding_references<units>(self, held.items());
    } catch (...) {  // only the array of a caller's many arguments allocates
        translate_current_exception();
        return nullptr;
    }
}

// A call of `callable`, one of the module's functions, counting `units`.
template <int units>
PyObject* call_counting(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    NativeFunction* self = as_function(callable);
    const FunctionRow& row = *self->row;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const bool keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
    if (keywords || (nargs > 0 && row.parameters == Parameters::none)) [[unlikely]] {
        return refuse_arguments(row, nargs, kwnames);
    }
    PyObject* result = nargs == 0
                           ? call_holding_references<units>(self, {})
                           : call_holding_arguments<units>(self, args, static_cast<size_t>(nargs));
    assert((result != nullptr) != (PyErr_Occurred() != nullptr));
    return result;
}

}  // namespace

PyObject* call_native_function(PyObject* callable, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames)
{
    return call_counting<recursion_units.entered>(callable, args, nargsf, kwnames);
}

PyObject* call_from_a_body(PyObject* callable, PyObject* const* args, size_t nargs)
{
    return call_counting<recursion_units.from_a_body>(callable, args, nargs, nullptr);
}

}  // namespace veka
