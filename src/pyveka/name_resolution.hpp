// Call-time resolution of module-level names, and traceback entries.
//
// Every use of a module-level name inside a body looks it up in the module
// namespace, then in builtins. Each use site owns a GlobalUse that remembers
// its last namespace hit together with the namespace's version tag; the tag
// changes on every change of the dict (and no two dict states share one), so
// a hit is only reused while a fresh lookup would give the very same object.
// The remembered object is borrowed: the unchanged dict keeps it alive.
// Builtins answers are never remembered.
#pragma once

#include "constants.hpp"
#include "struct_fields.hpp"

#include <cstdint>
#include "source_line.hpp"

namespace veka {

// A lookup in a dict that seldom changes (the module namespace, a module's
// dict, sys.modules), remembered together with the dict's version tag.
struct DictHit {
    std::uint64_t dict_version = 0;
    PyObject* value = nullptr;  // borrowed: the unchanged dict keeps it
};

// dict[key] as a new reference; an empty Ref when the dict does not hold the
// key, or with an exception set when the lookup failed.
inline Ref cached_lookup(DictHit& hit, PyObject* dict, PyObject* key)
{
    const std::uint64_t version = dict_version(dict);
    if (hit.value && hit.dict_version == version) return Ref::borrow(hit.value);
    // The version read before the lookup is the one remembered: a lookup that
    // changed the dict (a key's __eq__) leaves a hit that never matches again.
    PyObject* value = PyDict_GetItemWithError(dict, key);
    hit.dict_version = version;
    hit.value = value;
    return Ref::borrow(value);
}

struct GlobalUse {
    Ref Constants::*name;
    DictHit namespace_hit{};
};

// `name` after the namespace missed it: the builtins module's attribute, or
// NameError.
Ref global_from_builtins(const Constants& k, PyObject* name);

// The value of a module-level name, or an empty Ref with NameError (or
// whatever the lookup raised) set.
inline Ref resolve_global(GlobalUse& use, const Constants& k, PyObject* namespace_dict)
{
    PyObject* name = (k.*use.name).get();
    Ref value = cached_lookup(use.namespace_hit, namespace_dict, name);
    if (value || PyErr_Occurred()) return value;
    return global_from_builtins(k, name);
}

// An attribute lookup on a module object, the host modules' kind (os.path,
// os.environ, platform.system), answered from the module's dict. Only for
// names the module type itself does not define, so that the dict alone decides.
struct AttributeUse {
    Ref Constants::*name;
    DictHit module_dict{};
};

// `from .<module> import <name>`: where the module is found in sys.modules,
// and the name in it.
struct SiblingImport {
    Ref Constants::*module;
    Ref Constants::*full_name;
    Ref Constants::*fromlist;
    AttributeUse name;
    DictHit loaded_modules{};
};

// Adds a traceback entry named `dotted_name` at the source line `where` to
// the pending exception; the entry's frame has the module namespace as its
// globals. The pending exception is kept unchanged even if the entry cannot
// be made.
[[gnu::cold]] void add_traceback_entry(const char* dotted_name, const SourceLine& where,
                         PyObject* namespace_dict);

}  // namespace veka
