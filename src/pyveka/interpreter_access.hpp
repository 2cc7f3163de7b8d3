// What this module reads of the interpreter beyond its documented functions,
// and the behaviour that differs between the CPython versions it is built for
// (3.11 to 3.15; CMakeLists.txt refuses any other at configure time). Each
// helper says why it exists and, for a field read, which check makes the read
// valid; each version split says which version brought the difference and
// when the split can go. API a newer version added is backported under its
// own name in python_compat.hpp. Nothing else in the module reads a struct
// field or tests PY_VERSION_HEX, but the two name-cache implementations,
// which are chosen by version as a whole, and into_python.hpp, which the
// ownership handle needs before anything here.
#pragma once

#include "owned_ref.hpp"
#include "python_compat.hpp"

#include <cstdint>
#include <span>

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
// caches: 3.11 gives every dict state a tag from one process-wide counter
// (name_cache_tags.cpp), which 3.12 deprecates for dict watchers
// (PyDict_AddWatcher, name_cache_watchers.cpp) and 3.14 removes. Each file
// compiles to nothing on the other's versions; delete the split with 3.11.
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

// PyType_FromSpec, except that a null answer always comes with an exception:
// 3.11 and 3.12 answer null without one when they cannot copy the type's name
// (3.13 sets MemoryError there); delete the check with 3.12.
inline PyObject* type_from_spec(PyType_Spec* description)
{
    PyObject* type = PyType_FromSpec(description);
#if PY_VERSION_HEX < 0x030D0000
    if (!type && !PyErr_Occurred()) PyErr_NoMemory();
#endif
    return type;
}

// The interpreter's dict of per-interpreter data, or null with MemoryError:
// every version makes the dict on first use and, as documented, answers null
// without an exception when it cannot.
inline PyObject* interpreter_dict()
{
    PyObject* data = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!data) PyErr_NoMemory();
    return data;
}

// Lazy imports (PEP 810): from 3.15, `lazy import` binds a placeholder, of
// the type types.LazyImportType (`_types` holds it; the C API does not name
// it), which Python's global lookups and module attribute reads resolve and
// then bind in its place. The module resolves a placeholder wherever Python
// would (name_resolution.hpp); delete the false branch with 3.14.
#if PY_VERSION_HEX >= 0x030F0000
inline constexpr bool has_lazy_imports = true;
#else
inline constexpr bool has_lazy_imports = false;
#endif

// How many units of the interpreter's recursion guard one call of the
// module's functions counts, so that a recursion through them ends in
// RecursionError wherever a recursion through the interpreter's own C
// functions does, before the C stack runs out. A call from one of the
// module's bodies straight into another function of the module is a level of
// the module's frames alone; a call from anywhere else (Python code, above
// all) may close a level that also has the interpreter's frames, which it
// counts itself, and the module's deepest (about 1,000 bytes on x86-64).
// benchmarks/recursion_stack.py measures them; on x86-64 with g++ 12:
// - 3.11 counts units against sys.getrecursionlimit(). A level through a C
//   builtin takes about 400 bytes a unit, one through the module's frames
//   alone at most about 350: 3 units entered from elsewhere, 2 from a body.
//   Delete with 3.11.
// - 3.12 counts C levels against a fixed limit as well, low enough to end the
//   deepest recursion here within 0.6 MB: 2 units. Delete with 3.12.
// - 3.13 raised that limit: at 2 units a recursion through Python code and
//   the module could take 3.7 MB before RecursionError, too close to a 4 MiB
//   thread's stack: as on 3.11. Delete with 3.13.
// - 3.14 compares the stack pointer itself with the stack's end: 1 unit.
// An AddressSanitizer build's frames are several times larger: 16 units.
struct RecursionUnits {
    int entered;      // by a call from anywhere but a body of the module
    int from_a_body;  // by a body's call of another function of the module
};
#if defined(__SANITIZE_ADDRESS__)
#define VEKA_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEKA_ADDRESS_SANITIZER 1
#endif
#endif
#if PY_VERSION_HEX >= 0x030E0000
inline constexpr RecursionUnits recursion_units{.entered = 1, .from_a_body = 1};
#elif defined(VEKA_ADDRESS_SANITIZER)
inline constexpr RecursionUnits recursion_units{.entered = 16, .from_a_body = 16};
#elif PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
inline constexpr RecursionUnits recursion_units{.entered = 2, .from_a_body = 2};
#else
inline constexpr RecursionUnits recursion_units{.entered = 3, .from_a_body = 2};
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
