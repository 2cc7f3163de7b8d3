// A call of one of the module's functions: the trampoline between the
// interpreter and a body (body_call.hpp).
#include "body_call.hpp"
#include "errors.hpp"
#include "function_object.hpp"
#include "interpreter_access.hpp"
#include "shared_state.hpp"

#include <cassert>

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

// Runs the body: a str or None, or null with the exception set and the
// traceback entry added. No C++ exception passes this point.
PyObject* run_body(const FunctionRow& row, BodyCall& call, PyObject* globals) noexcept
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
    add_traceback_entry(row.dotted_name, call.line(), globals);
    return nullptr;
}

// The functions call each other through the namespace; rebound into a cycle,
// they must end in RecursionError, not in a C stack overflow: each call
// counts as recursion_units levels of the interpreter's guard.
bool enter_recursive_call()
{
    for (int unit = 0; unit < recursion_units; ++unit) {
        if (Py_EnterRecursiveCall(" while calling a Python object")) {
            for (int entered = 0; entered < unit; ++entered) Py_LeaveRecursiveCall();
            return false;
        }
    }
    return true;
}

void leave_recursive_call()
{
    for (int unit = 0; unit < recursion_units; ++unit) Py_LeaveRecursiveCall();
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
        for (PyObject* arg : held_.items()) Py_DECREF(arg);
    }
    ArgumentsHeld(const ArgumentsHeld&) = delete;
    ArgumentsHeld& operator=(const ArgumentsHeld&) = delete;

    [[nodiscard]] std::span<PyObject* const> items() const { return held_.items(); }

private:
    PointerArray<8> held_;
};

PyObject* call_body(NativeFunction* self, PyObject* const* args, size_t nargs)
{
    const FunctionRow& row = *self->row;
    // Held for the whole call, as a Python frame holds its function and
    // globals: code the body runs may drop the caller's references to all
    // of them, or clear the function.
    const Ref function = Ref::borrow(reinterpret_cast<PyObject*>(self));
    const Ref state = Ref::borrow(self->shared_state);
    const Ref globals = Ref::borrow(self->globals);
    // Only reachable from a finalizer that runs while a garbage cycle is torn
    // down: clear dropped the function's state, or the state's own.
    if (!state || !globals || constants_of(state.get()).torn_down()) [[unlikely]] {
        return refuse_torn_down(row);
    }
    if (!enter_recursive_call()) return nullptr;
    const auto run = [&](std::span<PyObject* const> held) {
        BodyCall call(constants_of(state.get()), watch_of(state.get()), globals.get(), held);
        return run_body(row, call, globals.get());
    };
    PyObject* result = nullptr;
    if (nargs == 0) {
        result = run({});
    } else {
        try {
            const ArgumentsHeld held(args, nargs);
            result = run(held.items());
        } catch (...) {  // only the array of a caller's many arguments allocates
            translate_current_exception();
        }
    }
    leave_recursive_call();
    return result;
}

}  // namespace

PyObject* call_native_function(PyObject* callable, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) noexcept
{
    NativeFunction* self = as_function(callable);
    const FunctionRow& row = *self->row;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const bool keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
    if (keywords || (nargs > 0 && row.parameters == Parameters::none)) [[unlikely]] {
        return refuse_arguments(row, nargs, kwnames);
    }
    PyObject* result = call_body(self, args, static_cast<size_t>(nargs));
    assert((result != nullptr) != (PyErr_Occurred() != nullptr));
    return result;
}

}  // namespace veka
