// Call-time resolution of module-level names, and the module's imports, for
// what the caches (name_cache.hpp) do not answer.
#pragma once

#include "errors.hpp"
#include "interpreter_access.hpp"
#include "shared_state.hpp"

namespace veka {

// `name` after the module namespace missed it: the builtins module's
// attribute, or NameError.
VEKA_COLD Ref global_from_builtins(const Constants& k, PyObject* name);

// What a lazy import's placeholder, read as `dict[name]`, resolves to, bound
// under `name` in the placeholder's place while the dict still holds it.
VEKA_COLD Ref resolve_lazy_import(const Constants& k, PyObject* dict, PyObject* name,
                                  const Ref& placeholder);

// What `dict[name]` stands for, as Python's global lookups and module
// attribute reads take it: the value read (an empty Ref for none), or what a
// lazy import's placeholder resolves to (interpreter_access.hpp).
inline Ref settled(const Constants& k, PyObject* dict, PyObject* name, Ref value)
{
    if constexpr (has_lazy_imports) {
        if (value && Py_TYPE(value.get()) ==
                         reinterpret_cast<PyTypeObject*>(k.lazy_import_type.get())) [[unlikely]] {
            return resolve_lazy_import(k, dict, name, value);
        }
    }
    return value;
}

// One import: `import <module>` (name null) or `from <module> import <name>`,
// with `level` leading dots; `full_name` is the module's key in sys.modules.
struct ImportRequest {
    PyObject* module;
    PyObject* full_name;
    PyObject* name;
    int level;
};

// Runs an import as the module's every import runs: the module from
// `loaded_modules` (sys.modules) when it is there (for a from-import, only
// when it has the name), else the interpreter's import system with
// `namespace_dict` as globals and an empty dict as locals. An override of
// builtins.__import__ is not consulted. A from-import of a name the module
// lacks raises ImportError "cannot import name ...".
Ref run_import(const ImportRequest& request, PyObject* loaded_modules, PyObject* namespace_dict);

}  // namespace veka
