#include "name_resolution.hpp"

#include <frameobject.h>  // PyFrame_New

namespace veka {
namespace {

const char* base_name(const char* path)
{
    const char* name = path;
    for (const char* at = path; *at; ++at) {
        if (*at == '/' || *at == '\\') name = at + 1;
    }
    return name;
}

// obj.name, or an empty Ref when obj has no such attribute.
Ref optional_attribute(PyObject* obj, PyObject* name, SourceLine where)
{
    PyObject* value = PyObject_GetAttr(obj, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return {};
    }
    return check(value, where);
}

}  // namespace

Ref global_from_builtins(const Constants& k, PyObject* name, SourceLine where)
{
    Ref value = optional_attribute(k.builtins.get(), name, where);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw PythonError(where);
    }
    return value;
}

bool keys_are_exact_str(PyObject* dict)
{
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

Ref read_generic_attribute(PyObject* obj, PyObject* name, InstanceHit& hit, SourceLine where)
{
    PyTypeObject* type = Py_TYPE(obj);
    const unsigned int version = type_version(type);
    if (version == 0 || type_may_take_precedence(type, name)) {
        return check(PyObject_GenericGetAttr(obj, name), where);
    }
    // With no data descriptor in the way, the object's dict decides when it
    // holds the name, as in PyObject_GenericGetAttr.
    Ref dict = Ref::borrow(plain_instance_dict(obj));
    if (!dict) return check(PyObject_GenericGetAttr(obj, name), where);
    const std::uint64_t before = dict_version(dict.get());
    Ref value = check_lookup(PyDict_GetItemWithError(dict.get(), name), where);
    if (!value) return check(PyObject_GenericGetAttr(obj, name), where);
    // Remembered only when nothing changed while the lookup ran.
    if (Py_TYPE(obj) == type && type_version(type) == version &&
        dict_version(dict.get()) == before && plain_instance_dict(obj) == dict.get() &&
        keys_are_exact_str(dict.get())) {
        hit = {.type_version = version, .dict_version = before, .value = value.get()};
    }
    return value;
}

Ref run_import(const ImportRequest& request, PyObject* loaded_modules, PyObject* namespace_dict,
               ImportCache& cache, SourceLine where)
{
    Ref loaded = cached_lookup(cache.loaded_module, loaded_modules, request.full_name, where);
    // A None entry blocks the import: the import system says so.
    if (loaded && loaded.get() != Py_None) {
        if (!request.name) return loaded;
        PyObject* module_dict =
            PyModule_CheckExact(loaded.get()) ? plain_instance_dict(loaded.get()) : nullptr;
        if (module_dict) {
            Ref value = cached_lookup(cache.name, module_dict, request.name, where);
            if (value) return value;
        }
        // Not in a plain module's dict: its __getattr__, or any other
        // object's attribute lookup, still has the say.
        Ref value = optional_attribute(loaded.get(), request.name, where);
        if (value) return value;
    }

    Ref locals = check(PyDict_New(), where);
    Ref fromlist =
        request.name ? check(PyTuple_Pack(1, request.name), where) : Ref::borrow(Py_None);
    Ref imported =
        check(PyImport_ImportModuleLevelObject(request.module, namespace_dict, locals.get(),
                                               fromlist.get(), request.level),
              where);
    if (!request.name) return imported;
    Ref value = optional_attribute(imported.get(), request.name, where);
    if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", request.name);
        throw PythonError(where);
    }
    return value;
}

void add_traceback_entry(const char* dotted_name, const SourceLine& where,
                         PyObject* namespace_dict) noexcept
{
    PendingExceptionKept pending;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(base_name(where.file()), dotted_name, where.line())));
    if (!code) return;
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                    namespace_dict, nullptr)));
    if (!frame) return;
    // PyTraceBack_Here extends the traceback of the pending exception; when
    // it fails, it leaves MemoryError in that exception's place.
    pending.restore_copy();
    if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) == 0) {
        pending.keep_pending();
    }
}

}  // namespace veka
