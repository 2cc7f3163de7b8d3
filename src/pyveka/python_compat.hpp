// C API that a newer CPython added, backported under its upstream name to the
// older versions the module is built for, the way pythoncapi-compat does, so
// that the rest of the module is written once, for the newest API. Each block
// says which version added what it stands in for and when it can go:
// dropping a version means deleting the blocks headed "delete with" it.
#pragma once

#include "owned_ref.hpp"

#include <cstring>

// ---- 3.12 ------------------------------------------------------------------

// 3.12 added PyErr_GetRaisedException and PyErr_SetRaisedException, one
// object for the three parts of PyErr_Fetch/PyErr_Restore (deprecated
// there); delete with 3.11. The exception is normalized, as 3.12 keeps it.
#if PY_VERSION_HEX < 0x030C0000
inline PyObject* PyErr_GetRaisedException()
{
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

inline void PyErr_SetRaisedException(PyObject* exception)
{
    if (!exception) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
}
#endif

// 3.12 added Py_T_PYSSIZET and Py_READONLY to Python.h, the member types
// structmember.h names T_PYSSIZET and READONLY; delete with 3.11.
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

// ---- 3.13 ------------------------------------------------------------------

// 3.13 added PyDict_GetItemRef, a strong reference where
// PyDict_GetItemWithError lends one; delete with 3.12.
#if PY_VERSION_HEX < 0x030D0000
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result)
{
    *result = Py_XNewRef(PyDict_GetItemWithError(dict, key));
    if (*result) return 1;
    return PyErr_Occurred() ? -1 : 0;
}
#endif

// ---- 3.14 ------------------------------------------------------------------

// 3.14 added PyUnicode_Equal; delete with 3.13. A str's text is in one
// canonical form (the narrowest kind its characters fit), so equal texts have
// the same length, kind and code units.
#if PY_VERSION_HEX < 0x030E0000
inline int PyUnicode_Equal(PyObject* a, PyObject* b)
{
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b)) {
        PyErr_Format(PyExc_TypeError, "first and second arguments must be str, not %s and %s",
                     Py_TYPE(a)->tp_name, Py_TYPE(b)->tp_name);
        return -1;
    }
#if PY_VERSION_HEX < 0x030C0000
    // 3.11 still has legacy strings not made ready yet, whose form is known
    // only once a comparison makes them ready (which may fail); delete with 3.11.
    if (!PyUnicode_IS_READY(a) || !PyUnicode_IS_READY(b)) {
        const int order = PyUnicode_Compare(a, b);
        if (order == -1 && PyErr_Occurred()) return -1;
        return order == 0 ? 1 : 0;
    }
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return 0;
    const auto bytes = static_cast<size_t>(length) * PyUnicode_KIND(a);
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), bytes) == 0 ? 1 : 0;
}
#endif

// ---- 3.15 ------------------------------------------------------------------

// 3.15 added PySys_GetOptionalAttrString, a strong reference and a failure
// reported as an exception, where PySys_GetObject lends one and hides a
// failure: 3.11 and 3.12 drop it, 3.13 and 3.14 print it as unraisable; delete
// with 3.14. The interpreter's own reference to sys is not in the API before
// 3.15: this reads the module sys.modules holds, which is the same one.
#if PY_VERSION_HEX < 0x030F0000
inline int PySys_GetOptionalAttrString(const char* name, PyObject** result)
{
    using veka::Ref;
    *result = nullptr;
    const Ref sys_name = Ref::steal(PyUnicode_FromString("sys"));
    if (!sys_name) return -1;
    const Ref sys = Ref::steal(PyImport_GetModule(sys_name.get()));
    if (!sys) return PyErr_Occurred() ? -1 : 0;
    if (!PyModule_Check(sys.get())) return 0;  // no sys module to read
    const Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return -1;
    return PyDict_GetItemRef(PyModule_GetDict(sys.get()), key.get(), result);
}
#endif
