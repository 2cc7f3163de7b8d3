#include "name_resolution.hpp"

#include "struct_fields.hpp"

#include <frameobject.h>  // PyFrame_New

#include <cstring>

namespace veka {
namespace {

Ref from_builtins(PyObject* builtins, PyObject* name)
{
    Ref value = Ref::steal(PyObject_GetAttr(builtins, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

const char* base_name(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

Ref resolve_global(GlobalUse& use, const Constants& k, PyObject* namespace_dict)
{
    const std::uint64_t version = dict_version(namespace_dict);
    if (use.namespace_value && use.namespace_version == version) return Ref::borrow(use.namespace_value);
    PyObject* name = (k.*use.name).get();
    PyObject* value = PyDict_GetItemWithError(namespace_dict, name);
    if (value) {
        // Remember the version read before the lookup: a lookup that changed
        // the dict (a key's __eq__) leaves an entry that never matches again.
        use.namespace_version = version;
        use.namespace_value = value;
        return Ref::borrow(value);
    }
    use.namespace_value = nullptr;
    if (PyErr_Occurred()) return {};
    return from_builtins(k.builtins.get(), name);
}

Ref cached_lookup(DictHit& hit, PyObject* dict, PyObject* key)
{
    const std::uint64_t version = dict_version(dict);
    if (hit.value && hit.dict_version == version) return Ref::borrow(hit.value);
    PyObject* value = PyDict_GetItemWithError(dict, key);
    hit.dict_version = version;
    hit.value = value;
    return Ref::borrow(value);
}

void add_traceback_entry(const char* dotted_name, const std::source_location& where,
                         PyObject* namespace_dict)
{
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);

    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(
        base_name(where.file_name()), dotted_name, static_cast<int>(where.line()))));
    Ref frame;
    if (code) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        namespace_dict, nullptr)));
    }
    // A failure to make the entry must not replace the exception it decorates.
    if (!frame) PyErr_Clear();

    PyErr_Restore(type, value, traceback);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace veka
