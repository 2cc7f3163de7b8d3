#include "native_function.hpp"

#include "body_ops.hpp"
#include "constants.hpp"
#include "name_resolution.hpp"
#include "struct_fields.hpp"

#include <structmember.h>  // PyMemberDef, T_PYSSIZET, READONLY

#include <cassert>
#include <cstddef>
#include <new>

namespace veka {
namespace {

// Raw pointers, as in every C-level object: the slots below own them and
// release them in clear.
struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionRow* row;
    const Constants* constants;  // owned through constants_owner
    PyObject* constants_owner;
    PyObject* globals;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* annotations;
    PyObject* code;
    PyObject* dict;
    PyObject* weakrefs;
};

NativeFunction* as_function(PyObject* object)
{
    return reinterpret_cast<NativeFunction*>(object);
}

// ---- Calls -----------------------------------------------------------------

[[gnu::cold]] bool refuse_arguments(const FunctionRow& row, Py_ssize_t nargs, PyObject* kwnames)
{
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i))) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return true;
        }
    }
    if (nkw > 0) {
        if (row.parameters == Parameters::none) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", row.name, "takes no keyword arguments");
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", row.name,
                         PyTuple_GET_ITEM(kwnames, 0));
        }
        return true;
    }
    if (row.parameters == Parameters::none && nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", row.name, "takes no arguments",
                     nargs);
        return true;
    }
    return false;
}

// The result check's refusal (and the guard against a body that broke its
// contract by returning nothing).
[[gnu::cold]] void refuse_result(const FunctionRow& row, PyObject* result)
{
    if (!result) {
        PyErr_Format(PyExc_SystemError, "%s() returned no value", row.name);
    } else {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                     type_name_for_messages(result));
    }
}

// Runs the body: a str or None, or null with the exception set. This is the
// one place where C++ exceptions stop.
Ref run_body(const FunctionRow& row, Frame& frame) noexcept
{
    try {
        Ref result = row.body(frame);
        assert(result);  // a body reports failure by throwing, never by an empty result
        if (result && (result.get() == Py_None || PyUnicode_CheckExact(result.get()))) {
            return result;
        }
        refuse_result(row, result.get());
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "pyveka.veka_call: unexpected C++ exception");
    }
    return {};
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
        if (refuse_arguments(row, nargs, kwnames)) return nullptr;
    }
    if (!self->constants_owner || !self->globals) [[unlikely]] {
        // Only reachable from a finalizer that runs while a garbage cycle is torn down.
        PyErr_Format(PyExc_RuntimeError, "%s() was called after its module was torn down", row.name);
        return nullptr;
    }

    // The functions call each other through the namespace; rebound into a
    // cycle, they must end in RecursionError, not in a C stack overflow.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    Frame frame(*self->constants, self->globals,
                std::span<PyObject* const>(args, static_cast<size_t>(nargs)));
    Ref result = run_body(row, frame);
    Py_LeaveRecursiveCall();
    if (!result) [[unlikely]] {
        add_traceback_entry(row.dotted_name, frame.where(), self->globals);
    }
    assert(static_cast<bool>(result) != static_cast<bool>(PyErr_Occurred()));
    return result.release();
}

namespace {

// ---- Attributes ------------------------------------------------------------

PyObject* get_name(PyObject* self, void*)
{
    return Ref::borrow(as_function(self)->name).release();
}

int set_text(PyObject* value, PyObject** slot, const char* refusal)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, refusal);
        return -1;
    }
    Ref old = Ref::steal(*slot);
    *slot = Ref::borrow(value).release();
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*)
{
    return set_text(value, &as_function(self)->name, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*)
{
    return Ref::borrow(as_function(self)->qualname).release();
}

int set_qualname(PyObject* self, PyObject* value, void*)
{
    return set_text(value, &as_function(self)->qualname,
                    "__qualname__ must be set to a string object");
}

PyObject* get_doc(PyObject* self, void*)
{
    return Ref::borrow(as_function(self)->doc).release();
}

int set_doc(PyObject* self, PyObject* value, void*)
{
    Ref old = Ref::steal(as_function(self)->doc);
    as_function(self)->doc = Ref::borrow(value ? value : Py_None).release();
    return 0;
}

PyObject* get_annotations(PyObject* self, void*)
{
    NativeFunction* function = as_function(self);
    if (!function->annotations) function->annotations = PyDict_New();
    return Ref::borrow(function->annotations).release();
}

int set_annotations(PyObject* self, PyObject* value, void*)
{
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Ref old = Ref::steal(as_function(self)->annotations);
    as_function(self)->annotations = Ref::borrow(value).release();
    return 0;
}

PyObject* get_code(PyObject* self, void*)
{
    return Ref::borrow(as_function(self)->code).release();
}

PyObject* get_globals(PyObject* self, void*)
{
    return Ref::borrow(as_function(self)->globals).release();
}

// No parameter has a default: inspect wants None here, not a missing attribute.
PyObject* get_none(PyObject*, void*)
{
    return Ref::borrow(Py_None).release();
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled, and so copied, as a reference to the module attribute, like a
// Python function: copy, deepcopy and unpickling give back this very object.
PyObject* reduce_function(PyObject* self, PyObject*)
{
    return Ref::borrow(as_function(self)->qualname).release();
}

PyMethodDef function_methods[] = {
    {"__reduce__", reduce_function, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(NativeFunction, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- Life cycle ------------------------------------------------------------

int traverse_function(PyObject* self, visitproc visit, void* arg)
{
    NativeFunction* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->constants_owner);
    Py_VISIT(function->globals);
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->doc);
    Py_VISIT(function->annotations);
    Py_VISIT(function->code);
    Py_VISIT(function->dict);
    return 0;
}

int clear_function(PyObject* self)
{
    NativeFunction* function = as_function(self);
    Py_CLEAR(function->constants_owner);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->code);
    Py_CLEAR(function->dict);
    return 0;
}

void dealloc_function(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clear_function(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* repr_function(PyObject* self)
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Looked up on a class, the function stays itself, as a staticmethod would:
// a module-level function never binds. Having __get__ is also what makes
// pydoc list the functions under FUNCTIONS.
PyObject* get_as_descriptor(PyObject* self, PyObject*, PyObject*)
{
    return Ref::borrow(self).release();
}

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_function)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_function)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_function)},
    {Py_tp_repr, reinterpret_cast<void*>(repr_function)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(get_as_descriptor)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "pyveka.veka_call.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// ---- Construction ----------------------------------------------------------

// Local names as a tuple of interned strings.
Ref name_tuple(std::span<const char* const> names)
{
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return {};
    Py_ssize_t index = 0;
    for (const char* name : names) {
        PyObject* item = PyUnicode_InternFromString(name);
        if (!item) return {};
        PyTuple_SET_ITEM(tuple.get(), index++, item);
    }
    return tuple;
}

// A real code object (valid bytecode and line table) whose argument layout
// makes inspect.signature report the function's parameters.
Ref make_code(const FunctionRow& row)
{
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("veka_call", row.name, 1)));
    if (!code || row.local_names.empty()) return code;

    Ref flags = Ref::steal(PyLong_FromLong(row.parameters == Parameters::variadic_parts ? CO_VARARGS : 0));
    Ref varnames = name_tuple(row.local_names);
    Ref nlocals = Ref::steal(PyLong_FromSize_t(row.local_names.size()));
    Ref keywords = Ref::steal(Py_BuildValue("(sss)", "co_flags", "co_varnames", "co_nlocals"));
    Ref replace = Ref::steal(PyUnicode_InternFromString("replace"));
    if (!flags || !varnames || !nlocals || !keywords || !replace) return {};
    PyObject* stack[] = {code.get(), flags.get(), varnames.get(), nlocals.get()};
    return Ref::steal(PyObject_VectorcallMethod(replace.get(), stack, 1, keywords.get()));
}

Ref make_annotations(const FunctionRow& row)
{
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    if (row.parameters == Parameters::variadic_parts) {
        Ref parts = Ref::steal(PyUnicode_FromString(row.parts_annotation));
        if (!parts || PyDict_SetItemString(annotations.get(), "parts", parts.get()) < 0) return {};
    }
    Ref returns = Ref::steal(PyUnicode_FromString(row.return_annotation));
    if (!returns || PyDict_SetItemString(annotations.get(), "return", returns.get()) < 0) return {};
    return annotations;
}

}  // namespace

Ref make_function_type()
{
    return Ref::steal(PyType_FromSpec(&function_spec));
}

Ref make_function(PyObject* function_type, const FunctionRow& row, PyObject* constants_owner,
                  PyObject* namespace_dict)
{
    Ref annotations = make_annotations(row);
    Ref name = Ref::steal(PyUnicode_InternFromString(row.name));
    Ref doc = row.doc ? Ref::steal(PyUnicode_FromString(row.doc)) : Ref::borrow(Py_None);
    Ref code = make_code(row);
    if (!annotations || !name || !doc || !code) return {};

    auto* type = reinterpret_cast<PyTypeObject*>(function_type);
    Ref function = Ref::steal(PyType_GenericAlloc(type, 0));
    if (!function) return {};
    NativeFunction* self = as_function(function.get());
    self->vectorcall = call_native_function;
    self->row = &row;
    self->constants = &unwrap_constants(constants_owner);
    self->constants_owner = Ref::borrow(constants_owner).release();
    self->globals = Ref::borrow(namespace_dict).release();
    self->qualname = name.share().release();
    self->name = name.release();
    self->doc = doc.release();
    self->annotations = annotations.release();
    self->code = code.release();
    return function;
}

}  // namespace veka
