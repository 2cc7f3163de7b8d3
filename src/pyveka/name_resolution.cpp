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

}  // namespace

Ref global_from_builtins(const Constants& k, PyObject* name)
{
    Ref value = Ref::steal(PyObject_GetAttr(k.builtins.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

void add_traceback_entry(const char* dotted_name, const SourceLine& where,
                         PyObject* namespace_dict)
{
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);

    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(
        base_name(where.file), dotted_name, where.line)));
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
