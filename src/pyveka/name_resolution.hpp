// Call-time resolution of module-level names, attribute reads on modules,
// imports, and traceback entries.
//
// The per-use caches. Each use of a module-level name in a body (GlobalUse),
// each attribute read on a module (AttributeUse) and each import
// (ImportCache) remembers, in a DictHit, the last answer of its lookup in one
// dict together with that dict's version tag:
// - Exact: in CPython 3.11 every change of any dict gives it a new tag from
//   one process-wide counter, so a tag names one state of one dict. While the
//   tag read now equals the one remembered, the dict is the same and
//   unchanged, and a fresh lookup would answer the very same object.
// - Safe to borrow: the remembered object is handed out only while the tag
//   matches, and an unchanged dict still holds it.
// - Static: a cache owns nothing, so nothing of it outlives the interpreter;
//   it is read and written only with the interpreter lock held, and the
//   module lives in one interpreter per process.
// Absent names and the builtins fallback are never remembered.
//
// A dict lookup runs Python code only when a colliding key is not an exact
// str (its __eq__); such code may answer differently without changing the
// dict, so only dicts whose keys are all exact str are remembered, as the
// interpreter's own global cache does.
//
// An attribute read on an object that is not a module (InstanceHit) is
// remembered only where the interpreter's own attribute caches would
// remember it: the type reads attributes the generic way
// (PyObject_GenericGetAttr); what its MRO holds under that name, if
// anything, is not a data descriptor and is of an immutable type (so it
// cannot become one); and the object's own dict, a plain one, answered.
// While the type's version tag (new on every change of the type or a base)
// and the dict's are both unchanged, a fresh read answers the same object.
#pragma once

#include "errors.hpp"
#include "shared_state.hpp"
#include "struct_fields.hpp"

#include <cstdint>

namespace veka {

// Whether every key of the dict is an exact str, so that a lookup in it runs
// no Python code (a scan, made only when a cache is filled).
bool keys_are_exact_str(PyObject* dict);

struct DictHit {
    std::uint64_t dict_version = 0;
    PyObject* value = nullptr;  // borrowed: the unchanged dict holds it
};

// dict[key], or an empty Ref when the dict does not hold the key.
inline Ref cached_lookup(DictHit& hit, PyObject* dict, PyObject* key, SourceLine where)
{
    const std::uint64_t version = dict_version(dict);
    if (hit.value && hit.dict_version == version) return Ref::borrow(hit.value);
    // The tag read before the lookup is the one remembered: a lookup that
    // changed the dict (a key's __eq__) leaves a hit that never matches again.
    Ref value = check_lookup(PyDict_GetItemWithError(dict, key), where);
    if (value && keys_are_exact_str(dict)) hit = {.dict_version = version, .value = value.get()};
    return value;
}

struct GlobalUse {
    Ref Constants::* name;
    DictHit namespace_hit{};
};

// `name` after the namespace missed it: the builtins module's attribute, or
// NameError.
VEKA_COLD Ref global_from_builtins(const Constants& k, PyObject* name, SourceLine where);

// The value of a module-level name: the module namespace, then builtins.
inline Ref resolve_global(GlobalUse& use, const Constants& k, PyObject* namespace_dict,
                          SourceLine where)
{
    PyObject* name = (k.*use.name).get();
    Ref value = cached_lookup(use.namespace_hit, namespace_dict, name, where);
    if (value) return value;
    return global_from_builtins(k, name, where);
}

struct InstanceHit {
    unsigned int type_version = 0;
    std::uint64_t dict_version = 0;
    PyObject* value = nullptr;  // borrowed: the unchanged dict holds it
};

// An attribute read whose object is usually a module (os.path, os.environ,
// platform.system). For names the module type does not define itself, a
// plain module's dict alone decides, so its answer is remembered.
struct AttributeUse {
    Ref Constants::* name;
    DictHit module_dict{};
    InstanceHit instance{};
};

// `obj.name` for an object of a generic-attribute type with a plain dict,
// remembered where it may be (see the top of this file); the cache missed.
Ref read_generic_attribute(PyObject* obj, PyObject* name, InstanceHit& hit, SourceLine where);

// Whether `obj.name` reads `obj` the generic way, through a dict of its own.
inline bool reads_own_dict(PyObject* obj)
{
    return attribute_slot(obj) == PyObject_GenericGetAttr && plain_instance_dict(obj);
}

// `obj.name`, through the caches where they apply.
inline Ref read_attribute(PyObject* obj, PyObject* name, AttributeUse& use, SourceLine where)
{
    if (PyModule_CheckExact(obj)) {
        if (PyObject* dict = plain_instance_dict(obj)) {
            Ref value = cached_lookup(use.module_dict, dict, name, where);
            if (value) return value;
        }
    }
    getattrofunc get = attribute_slot(obj);
    if (get == PyObject_GenericGetAttr) {
        if (PyObject* dict = plain_instance_dict(obj)) {
            const InstanceHit& hit = use.instance;
            if (hit.value && hit.type_version == type_version(Py_TYPE(obj)) &&
                hit.dict_version == dict_version(dict)) {
                return Ref::borrow(hit.value);
            }
            return read_generic_attribute(obj, name, use.instance, where);
        }
    }
    return check(get ? get(obj, name) : PyObject_GetAttr(obj, name), where);
}

// One import: `import <module>` (name null) or `from <module> import <name>`,
// with `level` leading dots; `full_name` is the module's key in sys.modules.
struct ImportRequest {
    PyObject* module;
    PyObject* full_name;
    PyObject* name;
    int level;
};

struct ImportCache {
    DictHit loaded_module{};
    DictHit name{};
};

// Runs an import as the module's every import runs: the module from
// `loaded_modules` (sys.modules) when it is there (for a from-import, only
// when it has the name), else the interpreter's import system with
// `namespace_dict` as globals and an empty dict as locals. An override of
// builtins.__import__ is not consulted. A from-import of a name the module
// lacks raises ImportError "cannot import name ...".
Ref run_import(const ImportRequest& request, PyObject* loaded_modules, PyObject* namespace_dict,
               ImportCache& cache, SourceLine where);

// Adds a traceback entry named `dotted_name` at `where` to the pending
// exception; the entry's frame has the module namespace as its globals. The
// pending exception is kept unchanged even when the entry cannot be made.
VEKA_COLD void add_traceback_entry(const char* dotted_name, const SourceLine& where,
                                   PyObject* namespace_dict) noexcept;

}  // namespace veka
