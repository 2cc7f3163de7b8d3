#include "name_resolution.hpp"

namespace veka {
namespace {

// obj.name, or an empty Ref when obj has no such attribute.
Ref optional_attribute(PyObject* obj, PyObject* name)
{
    PyObject* value = into_python(PyObject_GetAttr, obj, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return {};
    }
    return check(value);
}

}  // namespace

Ref global_from_builtins(const Constants& k, PyObject* name)
{
    Ref value = optional_attribute(k.builtins.get(), name);
    if (value) return value;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw PythonError(SourceLine::here());
}

Ref resolve_lazy_import(const Constants& k, PyObject* dict, PyObject* name, const Ref& placeholder)
{
    // Held: the import that resolves the placeholder runs Python code, which
    // may drop the dict's other owners.
    const Ref held = Ref::borrow(dict);
    Ref resolved =
        check(into_python(PyObject_CallMethodNoArgs, placeholder.get(), k.resolve.get()));
    PyObject* bound = nullptr;
    const bool found = check_status(into_python(PyDict_GetItemRef, held.get(), name, &bound)) == 1;
    const Ref still_bound = Ref::steal(bound);
    // The import itself may have bound the name anew: that binding stays.
    if (found && still_bound.get() == placeholder.get()) {
        check_status(into_python(PyDict_SetItem, held.get(), name, resolved.get()));
    }
    return resolved;
}

Ref run_import(const ImportRequest& request, PyObject* loaded_modules, PyObject* namespace_dict)
{
    Ref loaded =
        check_lookup(into_python(PyDict_GetItemWithError, loaded_modules, request.full_name));
    // A None entry blocks the import: the import system says so.
    if (loaded && loaded.get() != Py_None) {
        if (!request.name) return loaded;
        Ref value = optional_attribute(loaded.get(), request.name);
        if (value) return value;
    }

    Ref locals = check(PyDict_New());
    Ref fromlist = request.name ? check(PyTuple_Pack(1, request.name)) : Ref::borrow(Py_None);
    Ref imported = check(into_python(PyImport_ImportModuleLevelObject, request.module,
                                     namespace_dict, locals.get(), fromlist.get(), request.level));
    if (!request.name) return imported;
    Ref value = optional_attribute(imported.get(), request.name);
    if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", request.name);
        throw PythonError(SourceLine::here());
    }
    return value;
}

}  // namespace veka
