// What this module reads of the interpreter beyond its documented functions,
// and everything that differs between the CPython versions it is built for
// (3.11 to 3.14). Each helper says why it exists and, for a field read, which
// check makes the read valid. Nothing else in the module reads a struct field
// or tests PY_VERSION_HEX.
#pragma once

#include "owned_ref.hpp"

#include <cstdint>
#include <cstring>
#include <span>

#if PY_VERSION_HEX < 0x030B0000
#error "pyveka.veka_call needs CPython 3.11 or newer"
#elif PY_VERSION_HEX >= 0x030F0000
// A newer version may change what the helpers below rest on; they are
// checked against each version before its build is allowed.
#error "pyveka.veka_call has not been ported to this CPython version yet (3.11 to 3.14 are)"
#endif

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>  // T_PYSSIZET, READONLY: in Python.h as Py_* from 3.12
#endif

namespace veka {

// ---- Field reads -------------------------------------------------------------

// The type's name as the interpreter's own messages print it
// ("collections.OrderedDict"); PyType_GetName gives only its last part.
// Valid for every object: Py_TYPE is never null, and tp_name is a field of
// PyTypeObject in every version.
inline const char* type_name_for_messages(PyObject* object)
{
    return Py_TYPE(object)->tp_name;
}

// An exact module's dict, or null once the garbage collector has cleared the
// module. Valid for an exact module (PyModule_CheckExact): the module type
// keeps the dict at its tp_dictoffset, the field PyModule_GetDict reads
// through a call (and asserts is set, in a debug build of the interpreter).
inline PyObject* exact_module_dict(PyObject* module)
{
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(module) +
                                         PyModule_Type.tp_dictoffset);
}

// A tuple's items in place, to pass a tuple made once as a call's arguments
// without a new tuple per call; the API offers them only one at a time.
// Valid for a tuple (PyTuple_Check): the documented macros read the same field.
inline std::span<PyObject* const> tuple_items(PyObject* tuple)
{
    return {&PyTuple_GET_ITEM(tuple, 0), static_cast<size_t>(PyTuple_GET_SIZE(tuple))};
}

// Whether a dict has changed since a remembered moment, for the module's name
// caches (name_cache.cpp): 3.11 gives every dict state a tag from one
// process-wide counter, which 3.12 deprecates for dict watchers
// (PyDict_AddWatcher) and 3.14 removes.
#if PY_VERSION_HEX >= 0x030C0000
#define VEKA_DICT_WATCHERS 1
#else
#define VEKA_DICT_WATCHERS 0
// Valid for a dict (PyDict_Check): the field is PyDictObject's in 3.11.
inline std::uint64_t dict_version_tag(PyObject* dict)
{
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// ---- Behaviour that differs by version ----------------------------------------

// The pending exception, taken aside and put back: 3.12 replaced the
// three-part PyErr_Fetch/PyErr_Restore (deprecated there) by one object.
class PendingException {
public:
    static PendingException take() noexcept
    {
        PendingException taken;
#if PY_VERSION_HEX >= 0x030C0000
        taken.value_ = Ref::steal(PyErr_GetRaisedException());
#else
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        taken.type_ = Ref::steal(type);
        taken.value_ = Ref::steal(value);
        taken.traceback_ = Ref::steal(traceback);
#endif
        return taken;
    }
    // Makes a copy of the taken exception pending (none when none was taken).
    void restore_copy() const noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(Py_XNewRef(value_.get()));
#else
        PyErr_Restore(Py_XNewRef(type_.get()), Py_XNewRef(value_.get()),
                      Py_XNewRef(traceback_.get()));
#endif
    }

private:
    PendingException() = default;
#if PY_VERSION_HEX < 0x030C0000
    Ref type_, traceback_;
#endif
    Ref value_;
};

// Whether two exact str hold the same text: 1 or 0, or -1 with an exception
// set. 3.14 has a call for exactly that. Before it, a str's text is in one
// canonical form (the narrowest kind its characters fit), so equal texts
// have the same length, kind and code units; 3.11 still has legacy strings
// not made ready yet, whose form is known only once the comparison makes
// them ready (which may fail).
inline int text_equal(PyObject* a, PyObject* b)
{
#if PY_VERSION_HEX >= 0x030E0000
    return PyUnicode_Equal(a, b);
#else
#if PY_VERSION_HEX < 0x030C0000
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
#endif
}

// How many units of the interpreter's recursion guard one call of the
// module's functions counts. A level of a recursion through them (trampoline,
// body, the call out) takes up to as much C stack as two units allow the
// interpreter's own C functions, and an AddressSanitizer build's frames
// several times more (tests/test_lifecycle_faults.py measures it):
// - 3.11 counts C levels against sys.getrecursionlimit(), and 3.12 and 3.13
//   against a fixed C limit sized for the interpreter's own frames, so each
//   level counts as that many units;
// - 3.14 compares the C stack pointer itself with the stack's real limit, so
//   one check per level is exact.
#if defined(__SANITIZE_ADDRESS__)
#define VEKA_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEKA_ADDRESS_SANITIZER 1
#endif
#endif
#if PY_VERSION_HEX >= 0x030E0000
inline constexpr int recursion_units = 1;
#elif defined(VEKA_ADDRESS_SANITIZER)
inline constexpr int recursion_units = 16;
#else
inline constexpr int recursion_units = 2;
#endif

// Member types of PyMemberDef: structmember.h's names until 3.12 added these.
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr int member_ssize_t = Py_T_PYSSIZET;
inline constexpr int member_read_only = Py_READONLY;
#else
inline constexpr int member_ssize_t = T_PYSSIZET;
inline constexpr int member_read_only = READONLY;
#endif

// Whether this version's Python functions have `__type_params__` (3.12, PEP
// 695) and `__annotate__` (3.14, PEP 649): functools.wraps copies both.
inline constexpr bool functions_have_type_params = PY_VERSION_HEX >= 0x030C0000;
inline constexpr bool functions_have_annotate = PY_VERSION_HEX >= 0x030E0000;

}  // namespace veka

// Module slots a version knows and the module declares (module_frame.cpp):
// - from 3.12, a module without Py_mod_multiple_interpreters is refused by
//   every isolated interpreter before its create step runs; the module keeps
//   its state per interpreter and refuses a second interpreter itself, with
//   its own error, so it declares that any interpreter may try;
// - from 3.13, free-threaded builds ask whether the module is safe without
//   the GIL: not yet, so such a build enables the GIL when it loads the module.
#if PY_VERSION_HEX >= 0x030C0000
#define VEKA_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define VEKA_INTERPRETER_SLOT
#endif
#if PY_VERSION_HEX >= 0x030D0000
#define VEKA_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define VEKA_GIL_SLOT
#endif
