// The module's function type: attributes, life cycle and construction.
#include "native_function.hpp"

#include "errors.hpp"
#include "function_call.hpp"
#include "function_layout.hpp"
#include "function_table.hpp"
#include "interpreter_access.hpp"
#include "shared_state.hpp"

#include <cassert>
#include <cstddef>

namespace veka {
namespace {

// ---- Attributes ------------------------------------------------------------

PyObject* get_name(PyObject* self, void*)
{
    return Py_NewRef(as_function(self)->name);
}

int set_text(PyObject* value, PyObject** slot, const char* refusal)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, refusal);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*)
{
    return set_text(value, &as_function(self)->name, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*)
{
    return Py_NewRef(as_function(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*)
{
    return set_text(value, &as_function(self)->qualname,
                    "__qualname__ must be set to a string object");
}

PyObject* get_doc(PyObject* self, void*)
{
    PyObject* doc = as_function(self)->doc;
    return Py_NewRef(doc ? doc : Py_None);
}

int set_doc(PyObject* self, PyObject* value, void*)
{
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*)
{
    NativeFunction* function = as_function(self);
    if (!function->annotations) {
        function->annotations = PyDict_New();
        if (!function->annotations) return nullptr;
    }
    return Py_NewRef(function->annotations);
}

// As for a Python function: None, like deleting, leaves a new empty dict to
// the next read.
int set_annotations(PyObject* self, PyObject* value, void*)
{
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_code(PyObject* self, void*)
{
    return Py_NewRef(as_function(self)->code);
}

PyObject* get_globals(PyObject* self, void*)
{
    PyObject* globals = as_function(self)->globals;
    return Py_NewRef(globals ? globals : Py_None);
}

// No parameter has a default: inspect wants None here, not a missing attribute.
// The same None is __annotate__ where functions have one: the annotations are
// strings, stored as they are, as under `from __future__ import annotations`.
PyObject* get_none(PyObject*, void*)
{
    Py_RETURN_NONE;
}

// Module-level functions of the module's own source declare no type parameters.
PyObject* get_no_type_params(PyObject*, void*)
{
    return PyTuple_New(0);
}

PyGetSetDef function_getset[] = {
    {.name = "__name__", .get = get_name, .set = set_name},
    {.name = "__qualname__", .get = get_qualname, .set = set_qualname},
    {.name = "__doc__", .get = get_doc, .set = set_doc},
    {.name = "__annotations__", .get = get_annotations, .set = set_annotations},
    {.name = "__code__", .get = get_code},
    {.name = "__globals__", .get = get_globals},
    {.name = "__defaults__", .get = get_none},
    {.name = "__kwdefaults__", .get = get_none},
    {.name = "__dict__", .get = PyObject_GenericGetDict, .set = PyObject_GenericSetDict},
    // What this version's Python functions have beside the above; an empty
    // entry ends the table, and a version with __annotate__ has both.
    functions_have_type_params ? PyGetSetDef{.name = "__type_params__", .get = get_no_type_params}
                               : PyGetSetDef{},
    functions_have_annotate ? PyGetSetDef{.name = "__annotate__", .get = get_none} : PyGetSetDef{},
    {},
};

// Pickled, and so copied, as a reference to the module attribute, like a
// Python function: copy, deepcopy and unpickling give back this very object.
PyObject* reduce_function(PyObject* self, PyObject*)
{
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {.ml_name = "__reduce__", .ml_meth = reduce_function, .ml_flags = METH_NOARGS},
    {},
};

PyMemberDef function_members[] = {
    {.name = "__vectorcalloffset__",
     .type = Py_T_PYSSIZET,
     .offset = offsetof(NativeFunction, vectorcall),
     .flags = Py_READONLY},
    {.name = "__dictoffset__",
     .type = Py_T_PYSSIZET,
     .offset = offsetof(NativeFunction, dict),
     .flags = Py_READONLY},
    {.name = "__weaklistoffset__",
     .type = Py_T_PYSSIZET,
     .offset = offsetof(NativeFunction, weakrefs),
     .flags = Py_READONLY},
    {},
};

// ---- Life cycle ------------------------------------------------------------

int traverse_function(PyObject* self, visitproc visit, void* arg)
{
    NativeFunction* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->shared_state);
    Py_VISIT(function->globals);
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->doc);
    Py_VISIT(function->annotations);
    Py_VISIT(function->code);
    Py_VISIT(function->dict);
    return 0;
}

// What clear and dealloc both drop: every reference but name, qualname and code.
void drop_references(NativeFunction* function)
{
    Py_CLEAR(function->shared_state);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->dict);
}

int clear_function(PyObject* self)
{
    NativeFunction* function = as_function(self);
    drop_references(function);
    // A str subclass set as the name can close a cycle: the empty str takes
    // its place, as on a Python function, so that name and qualname stay set.
    // It is the interpreter's own object, which no call allocates.
    PyObject* empty = PyUnicode_FromStringAndSize(nullptr, 0);
    assert(empty);
    Py_SETREF(function->name, Py_NewRef(empty));
    Py_SETREF(function->qualname, empty);
    return 0;
}

void dealloc_function(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    NativeFunction* function = as_function(self);
    PyObject_GC_UnTrack(self);
    if (function->weakrefs) PyObject_ClearWeakRefs(self);
    drop_references(function);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->code);
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
    return Py_NewRef(self);
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
    .name = "pyveka.veka_call.native_function",
    .basicsize = sizeof(NativeFunction),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

// ---- Construction ----------------------------------------------------------

// Local names as a tuple of interned strings.
Ref name_tuple(std::span<const char* const> names)
{
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t index = 0;
    for (const char* name : names) {
        PyTuple_SET_ITEM(tuple.get(), index++, check(PyUnicode_InternFromString(name)).release());
    }
    return tuple;
}

// A real code object (valid bytecode and line table) whose argument layout
// makes inspect.signature report the function's parameters.
Ref make_code(const FunctionRow& row)
{
    Ref code = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty("veka_call", row.name, 1)));
    if (row.local_names.empty()) return code;

    const long flags = row.parameters == Parameters::variadic_parts ? CO_VARARGS : 0;
    Ref flags_value = check(PyLong_FromLong(flags));
    Ref varnames = name_tuple(row.local_names);
    Ref nlocals = check(PyLong_FromSize_t(row.local_names.size()));
    Ref keywords = check(Py_BuildValue("(sss)", "co_flags", "co_varnames", "co_nlocals"));
    Ref replace = check(PyUnicode_InternFromString("replace"));
    PyObject* stack[] = {code.get(), flags_value.get(), varnames.get(), nlocals.get()};
    return check(PyObject_VectorcallMethod(replace.get(), stack, 1, keywords.get()));
}

Ref make_annotations(const FunctionRow& row)
{
    Ref annotations = check(PyDict_New());
    if (row.parameters == Parameters::variadic_parts) {
        Ref parts = check(PyUnicode_FromString(row.parts_annotation));
        check_status(PyDict_SetItemString(annotations.get(), "parts", parts.get()));
    }
    Ref returns = check(PyUnicode_FromString(row.return_annotation));
    check_status(PyDict_SetItemString(annotations.get(), "return", returns.get()));
    return annotations;
}

}  // namespace

Ref make_function_type()
{
    return check(type_from_spec(&function_spec));
}

Ref make_function(PyObject* function_type, const FunctionRow& row, PyObject* shared_state,
                  PyObject* namespace_dict)
{
    Ref annotations = make_annotations(row);
    Ref name = check(PyUnicode_InternFromString(row.name));
    Ref doc = row.doc ? check(PyUnicode_FromString(row.doc)) : Ref::borrow(Py_None);
    Ref code = make_code(row);

    auto* type = reinterpret_cast<PyTypeObject*>(function_type);
    Ref function = check(PyType_GenericAlloc(type, 0));
    NativeFunction* self = as_function(function.get());
    self->vectorcall = call_native_function;
    self->row = &row;
    self->shared_state = Py_NewRef(shared_state);
    self->globals = Py_NewRef(namespace_dict);
    self->qualname = name.share().release();
    self->name = name.release();
    self->doc = doc.release();
    self->annotations = annotations.release();
    self->code = code.release();
    return function;
}

}  // namespace veka
